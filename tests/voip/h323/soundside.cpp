#include "tests/voip/h323/soundside.h"

#include <chrono>

#include "voip/core/call.h"

namespace voip::h323::test {

SoundSide::SoundSide(const std::string& name)
{
    setDefaultUserName(name);
    setDefaultDisplayName(name + " display");
    pcss = static_cast<pcss::PcssEndPoint*>(
        attachEndPoint(std::make_unique<pcss::PcssEndPoint>(*this)));
    h323 = static_cast<EndPoint*>(attachEndPoint(std::make_unique<EndPoint>(*this)));
    addRoute("h323:.* = pc:");
    addRoute("pc:.* = h323:<da>");
    h323->startListener("127.0.0.1", 0);
}

SoundSide::~SoundSide()
{
    shutDown(std::chrono::seconds(5));
}

std::string SoundSide::address() const
{
    return "h323:127.0.0.1:" + std::to_string(h323->listenerPort());
}

std::shared_ptr<Connection> SoundSide::network()
{
    for (const auto& token : callTokens())
        if (auto call = findCall(token))
            if (auto leg = std::dynamic_pointer_cast<Connection>(call->networkConnection()))
                return leg;
    return nullptr;
}

} // namespace voip::h323::test
