#include "tests/voip/h323/h323fixture.h"
#include "tests/support/eventually.h"

#include <filesystem>
#include <thread>

namespace voip::h323::test {

Timers quickTimers()
{
    Timers timers;
    timers.connect = std::chrono::milliseconds(2000);
    timers.firstMessage = std::chrono::milliseconds(1000);
    timers.alerting = std::chrono::milliseconds(5000);
    timers.capabilityExchange = std::chrono::milliseconds(700);
    timers.masterSlave = std::chrono::milliseconds(700);
    timers.logicalChannel = std::chrono::milliseconds(700);
    timers.roundTripDelay = std::chrono::milliseconds(700);
    return timers;
}

Side::Side(const std::string& name, bool listen, const EndPointFactory& make)
{
    manager.setDefaultUserName(name);
    manager.setDefaultDisplayName(name + " display");
    local = static_cast<voip::test::LocalEndpoint*>(
        manager.attachEndPoint(std::make_unique<voip::test::LocalEndpoint>(manager)));
    endpoint = static_cast<EndPoint*>(
        manager.attachEndPoint(make ? make(manager) : std::make_unique<EndPoint>(manager)));
    endpoint->setTimers(quickTimers());
    manager.addRoute("h323:.* = pc:");
    manager.addRoute("pc:.* = h323:<da>");
    if (listen)
        endpoint->startListener("127.0.0.1", 0);
}

Side::~Side()
{
    manager.shutDown(std::chrono::seconds(5));
}

std::string Side::address() const
{
    return "h323:127.0.0.1:" + std::to_string(endpoint->listenerPort());
}

std::string Side::call(const std::string& to)
{
    return manager.setUpCall("pc:*", to).value_or("");
}

std::shared_ptr<Connection> Side::h323(const std::string& token) const
{
    auto found = manager.findCall(token);
    if (!found)
        return nullptr;
    return std::dynamic_pointer_cast<Connection>(found->networkConnection());
}

std::shared_ptr<Connection> Side::anyH323() const
{
    for (const auto& token : manager.callTokens()) {
        if (auto connection = h323(token))
            return connection;
    }
    return nullptr;
}

std::size_t threadCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

std::size_t descriptorCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

} // namespace voip::h323::test
