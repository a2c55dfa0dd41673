#include "voip/h323/endpoint.h"

#include <future>

#include "voip/base/trace.h"
#include "voip/core/call.h"
#include "voip/h225/message.h"
#include "voip/h225/schema.h"
#include "voip/h245/schema.h"
#include "voip/h323/capabilitymap.h"
#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"
#include "voip/h323/dialaddress.h"
#include "voip/h323/tpktchannel.h"
#include "voip/core/manager.h"
#include "voip/q931/cause.h"
#include "voip/q931/elements.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

using namespace detail;

namespace {

// Q.850 causes used when a first message cannot start a call.
constexpr unsigned CauseInvalidCallReference = unsigned(q931::CauseValue::InvalidCallReference);
constexpr unsigned CauseResourceUnavailable = unsigned(q931::CauseValue::ResourceUnavailable);

} // namespace

EndPoint::EndPoint(Manager& manager, std::string prefix)
    : voip::EndPoint(manager, std::move(prefix))
    , work_(asio::make_work_guard(io_))
    , h264Receive_(decoderH264Parameters())
{
    thread_ = std::thread([this] { io_.run(); });
    // The message schemas are read once, on first use: here rather than while the first
    // call waits for its Setup (about 10 ms on each side).
    asio::post(io_, [] {
        h225::loadSchema();
        h245::loadSchema();
    });
}

EndPoint::~EndPoint()
{
    shutDown();
}

Status EndPoint::startListener(std::string_view address, std::uint16_t port)
{
    if (stopped_)
        return std::string("the endpoint has shut down");
    asio::ip::address bindAddress = asio::ip::address_v6::any();
    bool anyAddress = address.empty() || address == "*";
    if (!anyAddress) {
        std::string text(address);
        if (text.size() > 2 && text.front() == '[' && text.back() == ']')
            text = text.substr(1, text.size() - 2);
        asio::error_code error;
        bindAddress = asio::ip::make_address(text, error);
        if (error)
            return "not an IP address: " + std::string(address);
    }
    std::promise<Status> result;
    auto done = result.get_future();
    asio::post(io_, [&] {
        acceptor_.reset();
        listenerPort_ = 0;
        auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(io_);
        asio::error_code error;
        const asio::ip::tcp::endpoint where(bindAddress, port);
        acceptor->open(where.protocol(), error);
        if (!error && anyAddress)
            acceptor->set_option(asio::ip::v6_only(false), error);
        if (error && anyAddress) {
            // No IPv6 on this host: listen on every IPv4 interface instead.
            acceptor = std::make_unique<asio::ip::tcp::acceptor>(io_);
            error.clear();
            acceptor->open(asio::ip::tcp::v4(), error);
            bindAddress = asio::ip::address_v4::any();
        }
        if (!error)
            acceptor->set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
        if (!error)
            acceptor->bind(asio::ip::tcp::endpoint(bindAddress, port), error);
        if (!error)
            acceptor->listen(asio::socket_base::max_listen_connections, error);
        if (error) {
            result.set_value(
                Status("cannot listen on port " + std::to_string(port) + ": " + error.message()));
            return;
        }
        listenerPort_ = acceptor->local_endpoint(error).port();
        acceptor_ = std::move(acceptor);
        accept();
        VOIP_TRACE(2, "H323\tListening on port " << listenerPort_.load());
        result.set_value(Status());
    });
    return done.get();
}

void EndPoint::stopListener()
{
    if (stopped_)
        return;
    std::promise<void> result;
    auto done = result.get_future();
    asio::post(io_, [&] {
        acceptor_.reset();
        listenerPort_ = 0;
        result.set_value();
    });
    done.wait();
}

bool EndPoint::isListening() const
{
    return listenerPort_ != 0;
}

std::uint16_t EndPoint::listenerPort() const
{
    return listenerPort_;
}

void EndPoint::accept()
{
    if (!acceptor_)
        return;
    acceptor_->async_accept([this, acceptor = acceptor_.get()](const asio::error_code& error,
                                                               asio::ip::tcp::socket socket) {
        if (acceptor_.get() != acceptor || error == asio::error::operation_aborted)
            return; // stopped or replaced
        if (!error)
            handleAccepted(std::move(socket));
        accept();
    });
}

void EndPoint::setSetupWaitLimits(std::size_t perAddress, std::size_t total)
{
    waitPerAddress_ = std::max<std::size_t>(perAddress, 1);
    waitTotal_ = std::max<std::size_t>(total, 1);
}

void EndPoint::handleAccepted(asio::ip::tcp::socket socket)
{
    // Connections that have not sent their Setup yet are capped per source address and
    // in total, so that a flood of idle connections cannot use up the descriptors while a
    // real caller still gets through.
    asio::error_code peerError;
    auto peer = socket.remote_endpoint(peerError).address();
    if (peer.is_v6() && peer.to_v6().is_v4_mapped())
        peer = asio::ip::make_address_v4(asio::ip::v4_mapped, peer.to_v6());
    auto& fromPeer = waitingByAddress_[peer];
    if (peerError || fromPeer >= waitPerAddress_.load() || waitingTotal_ >= waitTotal_.load()) {
        if (fromPeer == 0)
            waitingByAddress_.erase(peer);
        ++refusedIdle_;
        VOIP_TRACE(2, "H323	Too many connections waiting for a Setup; closing one from "
                          << peer.to_string());
        asio::error_code ignored;
        socket.close(ignored);
        return;
    }
    ++fromPeer;
    ++waitingTotal_;
    // Counted down once, whichever ends the wait first: the Setup, a failure, the timer.
    auto waiting = std::make_shared<bool>(true);
    auto doneWaiting = [this, peer, waiting] {
        if (!*waiting)
            return;
        *waiting = false;
        --waitingTotal_;
        if (auto found = waitingByAddress_.find(peer);
            found != waitingByAddress_.end() && --found->second == 0)
            waitingByAddress_.erase(found);
    };
    awaitSetup(std::make_shared<TpktChannel>(std::move(socket)), doneWaiting, false);
}

void EndPoint::awaitSetup(const std::shared_ptr<TpktChannel>& channel,
                          std::function<void()> doneWaiting, bool throughGatekeeper)
{
    if (!doneWaiting)
        doneWaiting = [] {};
    // A connection that sends no Setup in time is dropped, so that idle or half-open
    // sockets cannot pile up.
    auto timer = std::make_shared<asio::steady_timer>(io_, timers().firstMessage);
    std::weak_ptr<TpktChannel> weak = channel;
    timer->async_wait([weak, doneWaiting](const asio::error_code& error) {
        if (error)
            return;
        doneWaiting();
        if (auto channel = weak.lock())
            channel->close();
    });
    channel->start(
        [this, weak, timer, doneWaiting, throughGatekeeper](std::vector<std::uint8_t> pdu) {
            timer->cancel();
            doneWaiting();
            if (auto channel = weak.lock())
                handleFirstPdu(channel, pdu, throughGatekeeper);
        },
        [this, weak, timer, doneWaiting](TpktChannel::Failure failure, const std::string& detail) {
            timer->cancel();
            doneWaiting();
            if (failure == TpktChannel::Failure::Malformed) {
                ++malformed_;
                VOIP_TRACE(2, "H323\tBad TPKT before Setup: " << detail);
            }
            if (auto channel = weak.lock())
                channel->close(); // no call reference yet: nothing to answer
        });
}

void EndPoint::refuse(const std::shared_ptr<TpktChannel>& channel, const q931::Message* received,
                      unsigned cause)
{
    if (received && received->callReferenceLength > 0 &&
        received->messageType() != q931::MessageType::ReleaseComplete) {
        q931::Message release;
        release.type = static_cast<std::uint8_t>(q931::MessageType::ReleaseComplete);
        release.callReference = received->callReference;
        release.callReferenceLength = received->callReferenceLength;
        release.fromDestination = !received->fromDestination;
        q931::Cause value;
        value.value = static_cast<std::uint8_t>(cause);
        release.set(q931::ie::Cause, q931::encodeCause(value));
        asn::Value information = h225::newUserInformation(f225::releaseComplete);
        if (information.present()) {
            auto& body = h225::messageBody(information);
            body.field(f225::reason).choose(f225::undefinedReason);
            if (auto pdu = h225::encodeUserInformation(information))
                q931::setUserUserPdu(release, *pdu);
        }
        if (auto bytes = q931::encodeMessage(release))
            channel->send(*bytes);
    }
    channel->closeAfterSending();
}

void EndPoint::handleFirstPdu(const std::shared_ptr<TpktChannel>& channel,
                              const std::vector<std::uint8_t>& pdu, bool throughGatekeeper)
{
    auto message = q931::decodeMessage(pdu);
    if (!message) {
        ++malformed_;
        VOIP_TRACE(2, "H323\tBad Q.931 message before Setup: " << message.error().toString());
        refuse(channel, nullptr, CauseInvalidMessage);
        return;
    }
    if (message->messageType() != q931::MessageType::Setup || message->fromDestination ||
        message->callReferenceLength != 2) {
        VOIP_TRACE(2,
                   "H323\tFirst message is not a Setup: " << q931::messageTypeName(message->type));
        refuse(channel, &*message, CauseInvalidCallReference);
        return;
    }
    auto pduBytes = q931::userUserPdu(*message);
    if (!pduBytes) {
        ++malformed_;
        refuse(channel, &*message, CauseInvalidMessage);
        return;
    }
    auto information = h225::decodeUserInformation(*pduBytes);
    if (!information || h225::bodyName(*information) != f225::setup) {
        ++malformed_;
        VOIP_TRACE(2, "H323\tBad Setup: " << (information ? "not a Setup body"
                                                          : information.error().toString()));
        refuse(channel, &*message, CauseInvalidMessage);
        return;
    }
    auto call = manager().createCall();
    if (!call) {
        refuse(channel, &*message, CauseResourceUnavailable);
        return;
    }
    const auto remote = channel->remoteEndpoint();
    std::string remoteText =
        remote.address().is_v6() && !remote.address().to_v6().is_v4_mapped()
            ? "[" + remote.address().to_string() + "]"
            : (remote.address().is_v6()
                   ? asio::ip::make_address_v4(asio::ip::v4_mapped, remote.address().to_v6())
                         .to_string()
                   : remote.address().to_string());
    remoteText += ":" + std::to_string(remote.port());
    auto connection = createConnection(call, remoteText, {}, &*message);
    if (!connection) {
        refuse(channel, &*message, CauseResourceUnavailable);
        call->clear(EndReason::LocalCongestion);
        return;
    }
    if (throughGatekeeper)
        connection->crossNatThroughGatekeeper();
    connection->acceptIncomingSetup(channel, *message, std::move(information.value()));
    if (connection->released_) {
        // Refused before it was offered, as its media could not be encrypted as required:
        // still an incoming call that failed, for the application's records.
        if (connection->encryption().refusesAgreement()) {
            call->startIncoming(connection);
            call->clear(EndReason::SecurityDenial);
        }
        return;
    }
    if (auto gatekeeper = registeredGatekeeper()) {
        // Offered to the application once the gatekeeper admits it.
        connection->admitIncoming(gatekeeper, call);
        return;
    }
    call->startIncoming(connection);
}

void EndPoint::setGatekeeper(std::shared_ptr<RasClient> gatekeeper)
{
    if (gatekeeper)
        gatekeeper->setIncomingCallHandler(
            [this](const h225::IncomingCallIndication& call) { answerIndicatedCall(call); });
    std::shared_ptr<RasClient> old;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(gatekeeper_, std::move(gatekeeper));
    }
    if (old && old != this->gatekeeper())
        old->setIncomingCallHandler(nullptr);
}

std::shared_ptr<RasClient> EndPoint::gatekeeper() const
{
    std::lock_guard lock(mutex_);
    return gatekeeper_;
}

std::shared_ptr<RasClient> EndPoint::registeredGatekeeper() const
{
    auto gatekeeper = this->gatekeeper();
    return gatekeeper && gatekeeper->state() == RasState::Registered ? gatekeeper : nullptr;
}

std::shared_ptr<RasClient> EndPoint::newGatekeeperClient(RasConfig config)
{
    auto client = std::make_shared<RasClient>(std::move(config), io_);
    std::lock_guard lock(mutex_);
    std::erase_if(rasClients_, [](const auto& old) { return old->closed(); });
    if (stopped_)
        client->closeLater({}); // never to start: the thread is stopping
    else
        rasClients_.push_back(client);
    return client;
}

void EndPoint::closeGatekeeperClients()
{
    std::vector<std::shared_ptr<RasClient>> clients;
    {
        std::lock_guard lock(mutex_);
        clients.swap(rasClients_);
    }
    // Each takes leave of its gatekeeper; one that does not answer in time is closed
    // without waiting any longer.
    for (const bool now : {false, true}) {
        auto left = std::make_shared<std::atomic<std::size_t>>(clients.size());
        auto done = std::make_shared<std::promise<void>>();
        auto closed = done->get_future();
        for (const auto& client : clients)
            client->closeLater(
                [left, done] {
                    if (--*left == 0)
                        done->set_value();
                },
                now);
        if (clients.empty() ||
            closed.wait_for(std::chrono::seconds(3)) == std::future_status::ready)
            return;
    }
}

void EndPoint::setTimers(const Timers& timers)
{
    std::lock_guard lock(mutex_);
    timers_ = timers;
}

Timers EndPoint::timers() const
{
    std::lock_guard lock(mutex_);
    return timers_;
}

void EndPoint::setProductIdentity(const h225::ProductIdentity& identity)
{
    std::lock_guard lock(mutex_);
    identity_ = identity;
}

h225::ProductIdentity EndPoint::productIdentity() const
{
    std::lock_guard lock(mutex_);
    return identity_;
}

void EndPoint::setH264Receive(const h245::H264Parameters& parameters)
{
    std::lock_guard lock(mutex_);
    h264Receive_ = parameters;
}

h245::H264Parameters EndPoint::h264Receive() const
{
    std::lock_guard lock(mutex_);
    return h264Receive_;
}

void EndPoint::setInitialBandwidth(Direction direction, std::uint64_t bitsPerSecond)
{
    std::lock_guard lock(mutex_);
    (direction == Direction::Receive ? receiveBandwidth_ : transmitBandwidth_) = bitsPerSecond;
}

std::uint64_t EndPoint::initialBandwidth(Direction direction) const
{
    std::lock_guard lock(mutex_);
    return direction == Direction::Receive ? receiveBandwidth_ : transmitBandwidth_;
}

std::shared_ptr<voip::Connection> EndPoint::makeConnection(const std::shared_ptr<Call>& call,
                                                           const std::string& address,
                                                           const StringOptions& options)
{
    if (stopped_)
        return nullptr;
    if (!parseDialAddress(address) && !(registeredGatekeeper() && isGatekeeperAlias(address)))
        return nullptr;
    return createConnection(call, address, options, nullptr);
}

std::shared_ptr<Connection> EndPoint::createConnection(const std::shared_ptr<Call>& call,
                                                       const std::string& address,
                                                       const StringOptions& options,
                                                       const q931::Message* setup)
{
    return std::make_shared<Connection>(call, *this, address, options, setup != nullptr);
}

bool EndPoint::OnConnectionForwarded(Connection&, const std::string& forwardParty,
                                     const q931::Message&)
{
    VOIP_TRACE(1, "H323\tOnConnectionForwarded \"" << forwardParty << "\"");
    return false;
}

void EndPoint::shutDown()
{
    if (stopped_.exchange(true))
        return;
    if (auto gatekeeper = this->gatekeeper())
        gatekeeper->setIncomingCallHandler(nullptr);
    if (thread_.joinable()) {
        std::promise<void> result;
        auto done = result.get_future();
        asio::post(io_, [&] {
            acceptor_.reset();
            listenerPort_ = 0;
            result.set_value();
        });
        done.wait();
        // Give released connections a moment to write their last messages.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (connections_ > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // Their disengages go before the clients unregister.
        closeGatekeeperClients();
        work_.reset();
        io_.stop();
        thread_.join();
    }
}

} // namespace voip::h323
