#include "voip/h323/rasclient.h"

#include <algorithm>
#include <random>

#include <poll.h>

#include "voip/base/trace.h"
#include "voip/h225/message.h"
#include "voip/h225/passwordtoken.h"
#include "voip/h225/schema.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

namespace {

constexpr std::uint16_t RasPort = 1719;
/// Bigger than any RAS message we take; what is longer is dropped.
constexpr std::size_t MaxDatagram = 8192;

h225::IpAddressPort toIpAddressPort(const asio::ip::udp::endpoint& endpoint)
{
    h225::IpAddressPort result;
    result.port = endpoint.port();
    if (endpoint.address().is_v6() && !endpoint.address().to_v6().is_v4_mapped()) {
        result.ipv6 = true;
        const auto bytes = endpoint.address().to_v6().to_bytes();
        std::copy(bytes.begin(), bytes.end(), result.address.begin());
    } else {
        const auto v4 =
            endpoint.address().is_v6()
                ? asio::ip::make_address_v4(asio::ip::v4_mapped, endpoint.address().to_v6())
                : endpoint.address().to_v4();
        const auto bytes = v4.to_bytes();
        std::copy(bytes.begin(), bytes.end(), result.address.begin());
    }
    return result;
}

asio::ip::udp::endpoint toEndpoint(const h225::IpAddressPort& address)
{
    if (address.ipv6) {
        asio::ip::address_v6::bytes_type bytes;
        std::copy_n(address.address.begin(), 16, bytes.begin());
        return {asio::ip::address_v6(bytes), address.port};
    }
    asio::ip::address_v4::bytes_type bytes;
    std::copy_n(address.address.begin(), 4, bytes.begin());
    return {asio::ip::address_v4(bytes), address.port};
}

} // namespace

const char* toString(RasState state)
{
    switch (state) {
    case RasState::Unregistered:
        return "unregistered";
    case RasState::Registering:
        return "registering";
    case RasState::Registered:
        return "registered";
    case RasState::Rejected:
        return "rejected";
    case RasState::Unreachable:
        return "unreachable";
    }
    return "?";
}

RasClient::RasClient(RasConfig config)
    : config_(std::move(config))
    , socket_(io_)
{}

RasClient::~RasClient()
{
    // The keep-alive thread ends first (after the request it is sending); the calls that
    // ended just before are disengaged before the client unregisters.
    keeperStopping_ = true;
    changed_.notify_all();
    if (keeper_.joinable())
        keeper_.join();
    for (const auto& [call, reason] : takeDisengages())
        disengage(call, reason);
    if (state() == RasState::Registered)
        unregister();
    stopping_ = true;
    changed_.notify_all();
    if (reader_.joinable())
        reader_.join();
}

namespace {

/// "host", "host:port", "[v6]" or "[v6]:port" split into host and port.
std::pair<std::string, std::string> splitHostPort(std::string host, std::string port)
{
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        if (close != std::string::npos) {
            if (close + 2 < host.size() && host[close + 1] == ':')
                port = host.substr(close + 2);
            host = host.substr(1, close - 1);
        }
    } else if (std::count(host.begin(), host.end(), ':') == 1) {
        port = host.substr(host.find(':') + 1);
        host = host.substr(0, host.find(':'));
    }
    return {host, port};
}

} // namespace

bool RasClient::discovering() const
{
    return config_.gatekeeper.empty() || config_.gatekeeper == "auto";
}

bool RasClient::start()
{
    asio::error_code error;
    asio::ip::udp::resolver resolver(io_);
    asio::ip::udp::endpoint target;
    if (discovering()) {
        const auto [group, port] = splitHostPort(config_.discoveryAddress, "1718");
        const auto address = asio::ip::make_address(group, error);
        const auto number = std::strtoul(port.c_str(), nullptr, 10);
        if (error || !address.is_multicast() || number == 0 || number > 65535) {
            setState(RasState::Rejected, "bad discovery address " + config_.discoveryAddress);
            return false;
        }
        discovery_ = target = {address, std::uint16_t(number)};
    } else {
        // The gatekeeper: "host" or "host:port", resolved once here.
        const auto [host, port] = splitHostPort(config_.gatekeeper, std::to_string(RasPort));
        const auto found = resolver.resolve(host, port, error);
        if (error || found.empty()) {
            setState(RasState::Rejected, "gatekeeper " + config_.gatekeeper + " does not resolve");
            return false;
        }
        target = found.begin()->endpoint();
    }
    signalAddressGiven_ = !toEndpoint(config_.callSignalAddress).address().is_unspecified();
    {
        std::lock_guard lock(mutex_);
        signalAddress_ = config_.callSignalAddress;
    }
    useGatekeeper(target);

    const auto bind = asio::ip::make_address(config_.bindAddress, error);
    if (error) {
        setState(RasState::Rejected, "bad local address " + config_.bindAddress);
        return false;
    }
    socket_.open(bind.is_v6() ? asio::ip::udp::v6() : asio::ip::udp::v4(), error);
    if (!error)
        socket_.bind({bind, 0}, error);
    if (!error && discovering() && bind.is_v4() && !bind.is_unspecified())
        socket_.set_option(asio::ip::multicast::outbound_interface(bind.to_v4()), error);
    if (error) {
        setState(RasState::Rejected, "cannot open the RAS socket: " + error.message());
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        reregister_ = true;
        state_ = RasState::Registering;
        reading_ = true;
    }
    stopping_ = false;
    keeperStopping_ = false;
    reader_ = std::thread([this] { readLoop(); });
    keeper_ = std::thread([this] { keepLoop(); });
    return true;
}

void RasClient::useGatekeeper(const asio::ip::udp::endpoint& gatekeeper)
{
    std::optional<h225::IpAddressPort> local;
    if (!signalAddressGiven_) {
        // No address of our own given: the one this machine uses to reach the gatekeeper.
        asio::error_code error;
        asio::ip::udp::socket route(io_);
        route.open(gatekeeper.protocol(), error);
        if (!error)
            route.connect(gatekeeper, error);
        if (!error) {
            auto address = route.local_endpoint(error);
            address.port(config_.callSignalAddress.port);
            if (!error)
                local = toIpAddressPort(address);
        }
    }
    std::lock_guard lock(mutex_);
    gatekeeper_ = gatekeeper;
    if (local)
        signalAddress_ = *local;
}

h225::IpAddressPort RasClient::signalAddress() const
{
    std::lock_guard lock(mutex_);
    return signalAddress_;
}

RasState RasClient::waitForRegistration(std::chrono::milliseconds wait)
{
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [this] {
        return !reregister_ && (state_ == RasState::Registered || state_ == RasState::Rejected ||
                                state_ == RasState::Unreachable);
    });
    return state_;
}

RasState RasClient::state() const
{
    std::lock_guard lock(mutex_);
    return state_;
}

std::string RasClient::lastReason() const
{
    std::lock_guard lock(mutex_);
    return reason_;
}

std::string RasClient::endpointIdentifier() const
{
    std::lock_guard lock(mutex_);
    return endpointId_;
}

std::string RasClient::gatekeeperIdentifier() const
{
    std::lock_guard lock(mutex_);
    return gatekeeperId_;
}

std::uint16_t RasClient::localPort() const
{
    asio::error_code error;
    const auto local = socket_.local_endpoint(error);
    return error ? 0 : local.port();
}

void RasClient::setStateObserver(std::function<void(RasState)> observer)
{
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void RasClient::setState(RasState state, const std::string& reason)
{
    std::function<void(RasState)> observer;
    {
        std::lock_guard lock(mutex_);
        const bool change = state != state_ || reason != reason_;
        state_ = state;
        reason_ = reason;
        if (change)
            observer = observer_;
    }
    changed_.notify_all();
    VOIP_TRACE(2, "RAS\t" << toString(state) << (reason.empty() ? "" : ": ") << reason);
    if (observer)
        observer(state);
}

std::uint16_t RasClient::nextSequence()
{
    std::lock_guard lock(mutex_);
    sequence_ = sequence_ == 65535 ? 1 : sequence_ + 1; // 0 is not a sequence number
    return sequence_;
}

asn::Value RasClient::newMessage(std::string_view alternative, asn::Value*& body)
{
    asn::Value message(*h225::rasMessageType());
    message.choose(alternative);
    body = &message.chosen();
    return message;
}

void RasClient::fillAliases(asn::Value& sequence) const
{
    if (!config_.alias.empty())
        h225::setAlias(sequence.append(), config_.alias, h225::AliasKind::H323Id);
    if (!config_.e164.empty())
        h225::setAlias(sequence.append(), config_.e164, h225::AliasKind::DialledDigits);
}

void RasClient::authenticate(asn::Value& body)
{
    if (config_.password.empty())
        return;
    static thread_local std::mt19937 random{std::random_device{}()};
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    const std::string& alias = config_.alias.empty() ? config_.e164 : config_.alias;
    const auto added = h225::addPasswordTokens(
        body, alias, config_.password, std::uint32_t(now.count()), std::uint8_t(random() & 0xFF));
    if (!added.ok())
        VOIP_TRACE(1, "RAS\tcannot add the password tokens: " << added.error().toString());
}

void RasClient::fillCallIdentity(asn::Value& body, const RasCall& call) const
{
    body.field(f225::endpointIdentifier).setText(endpointIdentifier());
    h225::setGuid(body.field(f225::conferenceID), call.conferenceId);
    body.field(f225::callReferenceValue).setInteger(call.callReference);
    h225::setGuid(body.field(f225::callIdentifier).field(f225::guid), call.callId);
    const std::string gatekeeper = gatekeeperIdentifier();
    if (!gatekeeper.empty())
        body.field(f225::gatekeeperIdentifier).setText(gatekeeper);
}

bool RasClient::send(const asn::Value& message, const asio::ip::udp::endpoint& to)
{
    auto bytes = h225::encodeRasMessage(message);
    if (!bytes.ok()) {
        VOIP_TRACE(1, "RAS\tcannot encode " << message.choiceName() << ": "
                                            << bytes.error().toString());
        return false;
    }
    asio::error_code error;
    socket_.send_to(asio::buffer(*bytes), to, 0, error);
    return !error;
}

asio::ip::udp::endpoint RasClient::gatekeeperEndpoint() const
{
    std::lock_guard lock(mutex_);
    return gatekeeper_;
}

h225::IpAddressPort RasClient::rasAddress() const
{
    // Bound to every interface: the address our calls are signalled on.
    asio::error_code error;
    auto local = socket_.local_endpoint(error);
    if (local.address().is_unspecified())
        local.address(toEndpoint(signalAddress()).address());
    return toIpAddressPort(local);
}

bool RasClient::fromGatekeeper(const asio::ip::udp::endpoint& from) const
{
    std::lock_guard lock(mutex_);
    return from == gatekeeper_;
}

void RasClient::readLoop()
{
    std::vector<std::uint8_t> buffer(MaxDatagram);
    while (!stopping_) {
        // Woken this often to see whether to stop, and to send again what was not answered.
        retryLater(false);
        pollfd ready{socket_.native_handle(), POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        asio::ip::udp::endpoint from;
        asio::error_code error;
        const std::size_t length = socket_.receive_from(asio::buffer(buffer), from, 0, error);
        if (error)
            continue; // the wake-up time-out, or a datagram refused by the system
        auto decoded = h225::decodeRasMessage(std::span(buffer.data(), length));
        if (!decoded.ok() || length == buffer.size()) {
            ++ignored_;
            continue;
        }
        const asn::Value& message = *decoded;
        const bool fromOurs = fromGatekeeper(from);
        if (fromOurs && message.is(f225::unregistrationRequest)) {
            handleRequest(message, from);
            continue;
        }
        if (fromOurs && message.is(f225::infoRequest)) {
            handleInfoRequest(message, from);
            continue;
        }
        if (fromOurs && message.is(f225::bandwidthRequest)) {
            handleBandwidthRequest(message, from);
            continue;
        }
        if (fromOurs && message.is(f225::disengageRequest)) {
            handleDisengageRequest(message, from);
            continue;
        }
        const auto& body = message.chosen();
        if (!body.has(f225::requestSeqNum)) {
            ++ignored_;
            continue;
        }
        const auto sequence = std::uint16_t(body[f225::requestSeqNum].integer());
        std::shared_ptr<Waiter> answered; // a request nobody waits for, now answered
        {
            std::lock_guard lock(mutex_);
            const auto found = waiting_.find(sequence);
            if (found == waiting_.end() ||
                std::find(found->second->answers.begin(), found->second->answers.end(),
                          message.choiceName()) == found->second->answers.end() ||
                !(fromOurs || found->second->anySource)) {
                ++ignored_; // not our gatekeeper (a spoof, or a stray), or not awaited
                continue;
            }
            Waiter& waiter = *found->second;
            if (waiter.anySource && message.is(f225::gatekeeperReject)) {
                if (!waiter.rejection)
                    waiter.rejection = message;
                continue;
            }
            if (!waiter.done) {
                waiter.answer = message;
                changed_.notify_all();
                continue;
            }
            if (message.is(f225::requestInProgress)) {
                waiter.deadline = inProgressUntil(message);
                continue;
            }
            answered = found->second;
            waiting_.erase(found);
        }
        answered->done(message);
    }
    // Requests still unanswered end without an answer, and no more are taken.
    {
        std::lock_guard lock(mutex_);
        reading_ = false;
    }
    retryLater(true);
}

RasState RasClient::registerOnce(bool keepAlive)
{
    asn::Value* body = nullptr;
    const h225::IpAddressPort ras = rasAddress();
    asio::ip::udp::endpoint gatekeeper = gatekeeperEndpoint();

    if (!keepAlive) {
        auto grq = newMessage(f225::gatekeeperRequest, body);
        h225::setProtocolIdentifier(body->field(f225::protocolIdentifier));
        h225::setTransportAddress(body->field(f225::rasAddress), ras);
        h225::setEndpointType(body->field(f225::endpointType), config_.identity);
        fillAliases(body->field(f225::endpointAlias));
        if (!config_.password.empty()) {
            body->field(f225::authenticationCapability).append().choose(f225::pwdHash);
            body->field(f225::algorithmOIDs).append().setOid(h225::Md5Oid);
        }
        const bool multicast = discovering();
        if (multicast)
            gatekeeper = discovery_;
        auto answer = transact(std::move(grq), gatekeeper,
                               {f225::gatekeeperConfirm, f225::gatekeeperReject}, multicast);
        if (!answer) {
            setState(RasState::Unreachable, "the gatekeeper does not answer");
            return RasState::Unreachable;
        }
        if (answer->is(f225::gatekeeperReject)) {
            setState(RasState::Rejected,
                     std::string(answer->chosen()[f225::rejectReason].choiceName()));
            return RasState::Rejected;
        }
        const auto& confirm = answer->chosen();
        {
            std::lock_guard lock(mutex_);
            gatekeeperId_ = confirm.has(f225::gatekeeperIdentifier)
                                ? std::string(confirm[f225::gatekeeperIdentifier].text())
                                : std::string();
        }
        if (const auto address = h225::transportAddressOf(confirm[f225::rasAddress]))
            gatekeeper = toEndpoint(*address);
        else if (multicast) {
            setState(RasState::Unreachable, "the gatekeeper found gave no RAS address");
            return RasState::Unreachable;
        }
        useGatekeeper(gatekeeper);
    }

    auto rrq = newMessage(f225::registrationRequest, body);
    h225::setProtocolIdentifier(body->field(f225::protocolIdentifier));
    body->field(f225::discoveryComplete).setBoolean(true);
    h225::setTransportAddress(body->field(f225::callSignalAddress).append(), signalAddress());
    h225::setTransportAddress(body->field(f225::rasAddress).append(), ras);
    h225::setEndpointType(body->field(f225::terminalType), config_.identity);
    fillAliases(body->field(f225::terminalAlias));
    const std::string gatekeeperId = gatekeeperIdentifier();
    if (!gatekeeperId.empty())
        body->field(f225::gatekeeperIdentifier).setText(gatekeeperId);
    h225::setVendorIdentifier(body->field(f225::endpointVendor), config_.identity);
    body->field(f225::timeToLive).setInteger(std::max<std::int64_t>(1, config_.timeToLive.count()));
    body->field(f225::keepAlive).setBoolean(keepAlive);
    if (keepAlive)
        body->field(f225::endpointIdentifier).setText(endpointIdentifier());
    body->field(f225::willSupplyUUIEs).setBoolean(false);
    body->field(f225::maintainConnection).setBoolean(false);
    authenticate(*body);
    auto answer =
        transact(std::move(rrq), gatekeeper, {f225::registrationConfirm, f225::registrationReject});
    if (!answer) {
        setState(RasState::Unreachable, "the gatekeeper does not answer");
        return RasState::Unreachable;
    }
    if (answer->is(f225::registrationReject)) {
        const std::string reason(answer->chosen()[f225::rejectReason].choiceName());
        if (keepAlive &&
            (reason == f225::fullRegistrationRequired || reason == f225::discoveryRequired)) {
            // The gatekeeper forgot us (it restarted): register afresh at once.
            std::lock_guard lock(mutex_);
            reregister_ = true;
            return RasState::Registering;
        }
        setState(RasState::Rejected, reason);
        return RasState::Rejected;
    }
    const auto& confirm = answer->chosen();
    {
        std::lock_guard lock(mutex_);
        if (!keepAlive || confirm.has(f225::endpointIdentifier))
            endpointId_ = std::string(confirm[f225::endpointIdentifier].text());
        if (confirm.has(f225::gatekeeperIdentifier))
            gatekeeperId_ = std::string(confirm[f225::gatekeeperIdentifier].text());
        timeToLive_ = confirm.has(f225::timeToLive)
                          ? std::chrono::seconds(std::clamp<std::int64_t>(
                                confirm[f225::timeToLive].integer(), 1, 24 * 3600))
                          : std::chrono::seconds(0);
        // Renewed well before it runs out, allowing for lost datagrams.
        const auto ttl = timeToLive_.count() > 0 ? timeToLive_ : config_.timeToLive;
        keepAliveAt_ =
            Clock::now() + std::max<Clock::duration>(std::chrono::seconds(1), ttl * 3 / 4);
    }
    setState(RasState::Registered);
    return RasState::Registered;
}

void RasClient::keepLoop()
{
    auto pause = config_.retryPause;
    Clock::time_point retryAt{};
    // Under mutex_: whether the registration wants a request now.
    const auto registrationDue = [&] {
        if (reregister_)
            return true;
        if (state_ == RasState::Registered)
            return Clock::now() >= keepAliveAt_;
        return state_ == RasState::Unreachable && Clock::now() >= retryAt;
    };
    while (!stopping_ && !keeperStopping_) {
        bool full = false, keepAlive = false;
        std::vector<std::pair<RasCall, std::string>> disengages;
        {
            std::unique_lock lock(mutex_);
            auto until = state_ == RasState::Registered    ? keepAliveAt_
                         : state_ == RasState::Unreachable ? retryAt
                                                           : Clock::now() + std::chrono::hours(1);
            changed_.wait_until(lock, until, [&] {
                return stopping_ || keeperStopping_ || !disengages_.empty() || registrationDue();
            });
            if (stopping_ || keeperStopping_)
                return;
            disengages.swap(disengages_);
            if (disengages.empty()) {
                if (!registrationDue())
                    continue;
                full = reregister_ || state_ == RasState::Unreachable;
                keepAlive = !full;
                reregister_ = false;
            }
        }
        if (!disengages.empty()) {
            // Calls that ended go first; the registration has its turn on the next round.
            for (const auto& [call, reason] : disengages)
                disengage(call, reason);
            continue;
        }
        if (full && state() != RasState::Registering)
            setState(RasState::Registering);
        const RasState result = registerOnce(keepAlive);
        if (result == RasState::Registered) {
            pause = config_.retryPause;
        } else if (result == RasState::Unreachable) {
            retryAt = Clock::now() + pause;
            pause = std::min(pause * 2, config_.maxRetryPause);
        }
    }
}

bool RasClient::unregister()
{
    if (endpointIdentifier().empty())
        return false;
    asn::Value* body = nullptr;
    auto urq = newMessage(f225::unregistrationRequest, body);
    h225::setTransportAddress(body->field(f225::callSignalAddress).append(), signalAddress());
    fillAliases(body->field(f225::endpointAlias));
    body->field(f225::endpointIdentifier).setText(endpointIdentifier());
    const std::string gatekeeperId = gatekeeperIdentifier();
    if (!gatekeeperId.empty())
        body->field(f225::gatekeeperIdentifier).setText(gatekeeperId);
    authenticate(*body);
    asio::ip::udp::endpoint gatekeeper = gatekeeperEndpoint();
    auto answer = transact(std::move(urq), gatekeeper,
                           {f225::unregistrationConfirm, f225::unregistrationReject});
    {
        std::lock_guard lock(mutex_);
        endpointId_.clear();
        reregister_ = false;
    }
    setState(RasState::Unregistered, "unregistered");
    return answer && answer->is(f225::unregistrationConfirm);
}

} // namespace voip::h323
