#include "voip/h323/rasclient.h"
#include "voip/h323/ipaddress.h"

#include <algorithm>
#include <future>
#include <random>

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
    , ownLoop_(std::make_unique<asio::io_context>())
    , io_(*ownLoop_)
    , datagram_(MaxDatagram)
    , pause_(config_.retryPause)
    , traversal_(config_.traversal)
{}

RasClient::RasClient(RasConfig config, asio::io_context& loop)
    : config_(std::move(config))
    , io_(loop)
    , datagram_(MaxDatagram)
    , pause_(config_.retryPause)
    , traversal_(config_.traversal)
{}

RasClient::~RasClient()
{
    if (!loop_.joinable())
        return; // never started, or on a loop that is not ours: nothing of it is held
    close();
    // The socket closed, nothing is left for the loop to do.
    loop_.join();
}

bool RasClient::onEventLoop() const
{
    return io_.get_executor().running_in_this_thread();
}

bool RasClient::post(std::function<void()> work)
{
    // Under the lock that the close takes: what is queued here runs before the close ends.
    std::lock_guard lock(mutex_);
    if (closed_)
        return false;
    asio::post(io_, std::move(work));
    return true;
}

bool RasClient::closed() const
{
    std::lock_guard lock(mutex_);
    return closed_;
}

void RasClient::closeLater(std::function<void()> done, bool now)
{
    {
        std::unique_lock lock(mutex_);
        if (!socket_)
            closed_ = true; // never started: there is nothing to take leave of
        if (closed_) {
            lock.unlock();
            if (done)
                done();
            return;
        }
        closers_.push_back(std::move(done));
        asio::post(io_, [this, now] {
            if (now)
                closeNow();
            else
                sayGoodbye();
        });
    }
}

void RasClient::close()
{
    std::promise<void> closed;
    closeLater([&closed] { closed.set_value(); });
    closed.get_future().wait();
}

void RasClient::closeNow()
{
    if (stopping_.exchange(true))
        return;
    keeperStopping_ = true;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all(); // the requests waited for give up
    endReading();          // and those nobody waits for end without an answer
    {
        std::lock_guard lock(sendMutex_);
        socket_.reset();
    }
    retryTimer_.reset();
    keepTimer_.reset();
    // What the close queued (the reading and the timers, aborted) runs first, and nothing
    // is queued after it: then the client is done with the loop.
    asio::post(io_, [this] {
        std::vector<std::function<void()>> closers;
        {
            std::lock_guard lock(mutex_);
            closers.swap(closers_);
        }
        for (auto& done : closers)
            if (done)
                done();
    });
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
    if (closed()) {
        setState(RasState::Rejected, "the client is closed");
        return false;
    }
    asio::error_code error;
    // Names are looked up, and routes asked, on a context of this call's own: the loop
    // may be an endpoint's that stops meanwhile.
    asio::io_context lookup;
    asio::ip::udp::resolver resolver(lookup);
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
    signalAddressGiven_ = !toAddress(config_.callSignalAddress).is_unspecified();
    {
        std::lock_guard lock(mutex_);
        signalAddress_ = config_.callSignalAddress;
    }
    useGatekeeper(target, lookup);

    const auto bind = asio::ip::make_address(config_.bindAddress, error);
    if (error) {
        setState(RasState::Rejected, "bad local address " + config_.bindAddress);
        return false;
    }
    {
        // Under the lock that a close takes first: the loop is not stopped while the
        // socket is made on it.
        std::unique_lock lock(mutex_);
        const char* refusal = closed_   ? "the client is closed"
                              : socket_ ? "the client is started already"
                                        : nullptr;
        asio::ip::udp::endpoint local;
        if (!refusal) {
            asio::ip::udp::socket socket(io_);
            socket.open(bind.is_v6() ? asio::ip::udp::v6() : asio::ip::udp::v4(), error);
            if (!error)
                socket.bind({bind, 0}, error);
            if (!error && discovering() && bind.is_v4() && !bind.is_unspecified())
                socket.set_option(asio::ip::multicast::outbound_interface(bind.to_v4()), error);
            if (!error)
                local = socket.local_endpoint(error);
            if (!error) {
                std::lock_guard sending(sendMutex_);
                socket_.emplace(std::move(socket));
            }
        }
        if (refusal && socket_ && !closed_) {
            // Started already: the registration under way is not disturbed.
            lock.unlock();
            VOIP_TRACE(1, "RAS\tThe client is started already");
            return false;
        }
        if (refusal || error) {
            lock.unlock();
            setState(RasState::Rejected,
                     refusal ? refusal : "cannot open the RAS socket: " + error.message());
            return false;
        }
        retryTimer_.emplace(io_);
        keepTimer_.emplace(io_);
        local_ = local;
        reregister_ = true;
        state_ = RasState::Registering;
        reading_ = true;
    }
    if (ownLoop_) {
        receive();
        asio::post(io_, [this] { keep(); });
        loop_ = std::thread([this] { io_.run(); });
    } else {
        post([this] {
            receive();
            keep();
        });
    }
    return true;
}

void RasClient::useGatekeeper(const asio::ip::udp::endpoint& gatekeeper, asio::io_context& probe)
{
    std::optional<h225::IpAddressPort> local;
    if (!signalAddressGiven_) {
        // No address of our own given: the one this machine uses to reach the gatekeeper.
        asio::error_code error;
        asio::ip::udp::socket route(probe);
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

std::optional<std::chrono::steady_clock::time_point> RasClient::nextAttempt() const
{
    std::lock_guard lock(mutex_);
    return state_ == RasState::Unreachable ? nextAttempt_ : std::nullopt;
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
    std::lock_guard lock(mutex_);
    return local_.port();
}

void RasClient::setStateObserver(std::function<void(RasState)> observer)
{
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

TraversalState RasClient::traversal() const
{
    std::lock_guard lock(mutex_);
    return traversal_.state();
}

void RasClient::setIncomingCallHandler(
    std::function<void(const h225::IncomingCallIndication&)> handler)
{
    std::lock_guard lock(mutex_);
    incomingCall_ = std::move(handler);
}

void RasClient::handleServiceControl(const asn::Value& message, const asio::ip::udp::endpoint& from)
{
    const auto& indication = message.chosen();
    asn::Value* body = nullptr;
    auto response = newMessage(f225::serviceControlResponse, body);
    body->field(f225::requestSeqNum).setInteger(indication[f225::requestSeqNum].integer());
    std::optional<h225::IncomingCallIndication> call;
    std::function<void(const h225::IncomingCallIndication&)> handler;
    {
        std::lock_guard lock(mutex_);
        call = traversal_.indicated(indication, *body, Clock::now());
        handler = incomingCall_;
    }
    // Answered at once, before the connection is made: the gatekeeper waits for it.
    send(response, from);
    if (call) {
        VOIP_TRACE(2, "RAS	Incoming call " << h225::guidText(call->callId) << " announced: "
                                                << "connecting to "
                                                << call->callSignallingAddress.toString());
        if (handler)
            handler(*call);
    }
}

void RasClient::setState(RasState state, const std::string& reason)
{
    std::function<void(RasState)> observer;
    {
        std::lock_guard lock(mutex_);
        const bool change = state != state_ || reason != reason_;
        state_ = state;
        reason_ = reason;
        if (state != RasState::Registered)
            traversal_.lost();
        if (change)
            observer = observer_;
    }
    changed_.notify_all();
    wakeKeeper(); // an Unreachable client tries again
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
    std::lock_guard lock(sendMutex_);
    if (!socket_)
        return false;
    socket_->send_to(asio::buffer(*bytes), to, 0, error);
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
    asio::ip::udp::endpoint local;
    {
        std::lock_guard lock(mutex_);
        local = local_;
    }
    if (local.address().is_unspecified())
        local.address(toAddress(signalAddress()));
    return toIpAddressPort(local);
}

bool RasClient::fromGatekeeper(const asio::ip::udp::endpoint& from) const
{
    std::lock_guard lock(mutex_);
    return from == gatekeeper_;
}

void RasClient::receive()
{
    if (stopping_ || !socket_)
        return; // closed before the reading began
    socket_->async_receive_from(asio::buffer(datagram_), datagramFrom_,
                                [this](const asio::error_code& error, std::size_t length) {
                                    if (stopping_ || error == asio::error::operation_aborted ||
                                        !socket_ || !socket_->is_open())
                                        return endReading();
                                    // Anything else (a datagram refused by the system) is let be.
                                    if (!error)
                                        onDatagram(length, datagramFrom_);
                                    receive();
                                });
}

void RasClient::endReading()
{
    // Requests still unanswered end without an answer, and no more are taken.
    {
        std::lock_guard lock(mutex_);
        reading_ = false;
    }
    retryLater(true);
    if (retryTimer_)
        retryTimer_->cancel();
    if (keepTimer_)
        keepTimer_->cancel();
}

void RasClient::onDatagram(std::size_t length, const asio::ip::udp::endpoint& from)
{
    auto decoded = h225::decodeRasMessage(std::span(datagram_.data(), length));
    if (!decoded.ok() || length == datagram_.size()) {
        ++ignored_;
        return;
    }
    const asn::Value& message = *decoded;
    const bool fromOurs = fromGatekeeper(from);
    if (fromOurs && message.is(f225::unregistrationRequest))
        return handleRequest(message, from);
    if (fromOurs && message.is(f225::infoRequest))
        return handleInfoRequest(message, from);
    if (fromOurs && message.is(f225::bandwidthRequest))
        return handleBandwidthRequest(message, from);
    if (fromOurs && message.is(f225::disengageRequest))
        return handleDisengageRequest(message, from);
    if (fromOurs && message.is(f225::serviceControlIndication))
        return handleServiceControl(message, from);
    const auto& body = message.chosen();
    if (!body.has(f225::requestSeqNum)) {
        ++ignored_;
        return;
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
            return;
        }
        Waiter& waiter = *found->second;
        if (waiter.anySource && message.is(f225::gatekeeperReject)) {
            if (!waiter.rejection)
                waiter.rejection = message;
            return;
        }
        if (!waiter.done) {
            waiter.answer = message;
            changed_.notify_all();
            return;
        }
        if (!message.is(f225::requestInProgress)) {
            answered = found->second;
            waiting_.erase(found);
        } else {
            waiter.deadline = inProgressUntil(message);
        }
    }
    if (answered)
        answered->done(message);
    else
        armRetry();
}

} // namespace voip::h323
