// The H.245 transport of an H.323 connection: where its messages go (tunnelled in the
// call signalling or on a TCP connection of its own), that connection, the requests held
// until capability exchange is over, and user input by Q.931 for a call that gets no
// H.245.

#include "voip/h323/h245transport.h"

#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"

#include "voip/base/trace.h"
#include "voip/core/call.h"
#include "voip/h225/message.h"
#include "voip/h323/capabilitymap.h"
#include "voip/h323/tpktchannel.h"
#include "voip/core/manager.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

using namespace detail;

namespace {

constexpr std::size_t MaxHeldRequests = 256;

/// How long after Connect the far end has to open the H.245 connection itself before we
/// ask it to (Facility startH245).
constexpr std::chrono::milliseconds H245StartGrace{500};

} // namespace

// --- where the messages go ---

bool H245Transport::decide(bool remoteTunnels)
{
    decided_ = true;
    tunnelling_ = wanted_ && remoteTunnels;
    return tunnelling_;
}

void H245Transport::leaveTunnelling()
{
    decided_ = true;
    tunnelling_ = false;
    for (auto& message : std::exchange(tunnelled_, {}))
        if (waiting_.size() < MaxQueuedH245)
            waiting_.push_back(std::move(message));
}

bool H245Transport::send(const asn::Value& message)
{
    auto encoded = h245::encodeMessage(message);
    if (!encoded) {
        VOIP_TRACE(1, "H323\tCannot encode H.245 message: " << encoded.error().toString());
        return false;
    }
    if (tunnels()) {
        if (tunnelled_.size() < MaxQueuedH245)
            tunnelled_.push_back(std::move(encoded.value()));
    } else if (writer_) {
        writer_(*encoded);
    } else if (waiting_.size() < MaxQueuedH245) {
        waiting_.push_back(std::move(encoded.value()));
    }
    return true;
}

std::vector<H245Transport::Encoded> H245Transport::takeTunnelled()
{
    return std::exchange(tunnelled_, {});
}

void H245Transport::attach(Writer writer)
{
    writer_ = std::move(writer);
    for (const auto& message : std::exchange(waiting_, {}))
        writer_(message);
}

// --- the connection's H.245 transport ---

void Connection::startH245()
{
    if (h245Started_ || released_)
        return;
    h245Started_ = true;
    if (h245_->tunnels())
        h245Ready_ = true;
    sendCapabilitySet();
    masterSlave_->start();
    roundTrip_->startKeepAlive();
}

void Connection::resetH245()
{
    h245Started_ = false;
    h245Ready_ = false;
    h245_->reset();
    capabilities_->reset();
    masterSlave_->reset();
    roundTrip_->stopKeepAlive();
}

void Connection::queueH245(const asn::Value& message)
{
    h245_->send(message);
}

void Connection::flushTunnelled()
{
    if (!h245_->tunnelledWaiting() || !h245_->tunnelling() || released_ || remoteReleased_)
        return;
    // Nothing else is about to go out: carry the H.245 messages in a Facility with an
    // empty body (H.323 8.2.1).
    asn::Value facility = h225::newUserInformation(f225::empty);
    sendSignal(q931::MessageType::Facility, facility);
}

bool Connection::sendH245(const asn::Value& message)
{
    if (!message.present())
        return false;
    return holdUntilH245Complete([this, message] { queueH245(message); });
}

bool Connection::holdUntilH245Complete(std::function<void()> request,
                                       std::optional<std::string> userInput)
{
    if (isReleased() || heldCount_.load() >= MaxHeldRequests)
        return false;
    ++heldCount_;
    onNetwork([this, request = std::move(request), userInput = std::move(userInput)]() mutable {
        if (released_ || remoteReleased_) {
            --heldCount_;
            return;
        }
        if (!h245Complete_ && userInput && keypadInput_) {
            --heldCount_;
            sendKeypad(*userInput);
            return;
        }
        if (!h245Complete_) {
            heldRequests_.push_back({std::move(request), std::move(userInput)});
            return;
        }
        --heldCount_;
        request();
        flushTunnelled();
    });
    return true;
}

void Connection::sendHeldRequests()
{
    // A peer may take anything but capability exchange and master/slave determination as
    // invalid before both are over (its user input capabilities are not even known yet):
    // what the application asked for meanwhile goes out now, in the order it was asked.
    auto held = std::move(heldRequests_);
    heldRequests_.clear();
    for (auto& request : held) {
        --heldCount_;
        if (!released_)
            request.run();
    }
    sendWantedMuteIndication();
}

void Connection::ensureH245Transport()
{
    if (h245_->tunnelling() || h245Channel_ || h245Connecting_ || released_ || startH245Sent_)
        return;
    if (remoteH245Address_) {
        h245Listener_.reset();
        connectH245(*remoteH245Address_);
        return;
    }
    // The far end may still connect to the address we announced; if it has not after a
    // moment, it is asked to.
    runAfter(h245TransportTimer_, H245StartGrace,
             [](Connection& connection) { connection.sendStartH245(); });
}

void Connection::sendStartH245()
{
    if (h245_->tunnelling() || h245Channel_ || h245Connecting_ || released_ || remoteReleased_ ||
        startH245Sent_)
        return;
    asn::Value facility = newBody(f225::facility);
    asn::Value& body = h225::messageBody(facility);
    body.field(f225::reason).choose(f225::startH245);
    h225::setGuid(body.field(f225::conferenceID), conferenceId_);
    offerH245Address(body);
    if (!body.has(f225::h245Address))
        return;
    startH245Sent_ = true;
    VOIP_TRACE(2, "H323\tNo H.245 connection yet: asking the far end to connect on "
                      << describe());
    sendSignal(q931::MessageType::Facility, facility);
    runAfter(h245TransportTimer_, timers_.capabilityExchange,
             [](Connection& connection) { connection.h245TransportMissing(); });
}

void Connection::h245TransportMissing()
{
    if (h245Channel_ || released_ || remoteReleased_)
        return;
    const auto& channels = channels_->list();
    const bool media = std::any_of(channels.begin(), channels.end(), [](const auto& channel) {
        return channel->open && !channel->proposal;
    });
    if (!media) {
        VOIP_TRACE(1, "H323\tNo H.245 connection and no media on " << describe());
        failCall(EndReason::CapabilityExchange);
        return;
    }
    // The fastStart media goes on.  User input is the one thing the call still needs from
    // H.245, and Q.931 carries it too.
    VOIP_TRACE(1, "H323\tNo H.245 connection on " << describe()
                                                << ": user input goes in Q.931 Information");
    keypadInput_ = true;
    std::erase_if(heldRequests_, [this](HeldRequest& request) {
        if (!request.userInput)
            return false;
        --heldCount_;
        sendKeypad(*request.userInput);
        return true;
    });
}

void Connection::sendKeypad(const std::string& value)
{
    auto keypad = q931::encodeIa5Text(value);
    if (!keypad) {
        VOIP_TRACE(2, "H323\tUser input not sendable as Q.931 keypad: "
                          << keypad.error().message << " on " << describe());
        return;
    }
    asn::Value information = newBody(f225::information);
    sendSignal(q931::MessageType::Information, information, {{q931::ie::Keypad, *keypad}});
}

void Connection::openH245Listener()
{
    if (h245Listener_ || !signal_)
        return;
    const auto local = signal_->localEndpoint().address();
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor;
    manager().tcpPorts().allocate([&](std::uint16_t port) {
        auto candidate = std::make_unique<asio::ip::tcp::acceptor>(io_);
        asio::error_code error;
        candidate->open(local.is_v4() ? asio::ip::tcp::v4() : asio::ip::tcp::v6(), error);
        if (!error)
            candidate->bind(asio::ip::tcp::endpoint(local, port), error);
        if (!error)
            candidate->listen(1, error);
        if (error)
            return false;
        acceptor = std::move(candidate);
        return true;
    });
    if (!acceptor) {
        VOIP_TRACE(1, "H323\tNo port for the H.245 channel on " << describe());
        return;
    }
    h245Listener_ = std::move(acceptor);
    h245Listener_->async_accept([this, keep = self(), listener = h245Listener_.get()](
                                    const asio::error_code& error, asio::ip::tcp::socket socket) {
        if (released_ || h245Listener_.get() != listener || error)
            return;
        h245Listener_.reset();
        if (!h245Channel_)
            attachH245(std::move(socket));
    });
}

void Connection::connectH245(const asio::ip::tcp::endpoint& target)
{
    if (h245Channel_ || h245Connecting_ || released_)
        return;
    h245Connecting_ = std::make_unique<asio::ip::tcp::socket>(io_);
    h245Connecting_->async_connect(target, [this, keep = self()](const asio::error_code& error) {
        if (released_ || !h245Connecting_)
            return;
        if (h245Channel_) {
            // The far end connected to us meanwhile: that connection is the one.
            h245Connecting_.reset();
            return;
        }
        if (error) {
            VOIP_TRACE(1,
                       "H323\tH.245 connect failed on " << describe() << ": " << error.message());
            h245Connecting_.reset();
            failCall(EndReason::TransportFail);
            return;
        }
        auto socket = std::move(*h245Connecting_);
        h245Connecting_.reset();
        attachH245(std::move(socket));
    });
}

void Connection::attachH245(asio::ip::tcp::socket socket)
{
    h245Channel_ = std::make_shared<TpktChannel>(std::move(socket));
    std::weak_ptr<Connection> weak = self();
    h245Channel_->start(
        [weak](std::vector<std::uint8_t> pdu) {
            if (auto connection = weak.lock())
                connection->handleH245Pdu(pdu);
        },
        [weak](TpktChannel::Failure failure, const std::string& detail) {
            auto connection = weak.lock();
            if (!connection || connection->released_ || connection->remoteReleased_)
                return;
            if (failure == TpktChannel::Failure::Malformed)
                connection->protocolFailure(CauseInvalidMessage,
                                            "bad TPKT on the H.245 channel: " + detail);
            else
                connection->transportFailure("H.245 channel: " + detail);
        });
    h245Ready_ = true;
    h245TransportTimer_.cancel();
    h245_->attach([channel = h245Channel_](std::span<const std::uint8_t> message) {
        if (channel->isOpen())
            channel->send(message);
    });
    restartH245Timers();
}

} // namespace voip::h323
