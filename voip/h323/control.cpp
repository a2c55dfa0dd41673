// H.245 control of an H.323 connection: capability exchange, master/slave determination
// (H.245 C.2), logical channels (H.245 8.4 and 8.5), fastStart (H.323 8.1.7), user input,
// indications and the time limits of each procedure.

#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"

#include <random>
#include <thread>

#include "voip/asn/codec.h"
#include "voip/base/trace.h"
#include "voip/call.h"
#include "voip/h225/message.h"
#include "voip/h245/h239.h"
#include "voip/h245/schema.h"
#include "voip/h323/capabilitymap.h"
#include "voip/h323/tpktchannel.h"
#include "voip/manager.h"
#include "voip/media/stream_rtp.h"

namespace voip::h323 {

namespace {

constexpr unsigned CauseInvalidMessage = 95;
constexpr std::size_t MaxUserInputLength = 256;
constexpr std::size_t MaxQueuedH245 = 256;
constexpr std::size_t MaxHeldRequests = 256;
constexpr std::chrono::milliseconds EndSessionGrace{1000};
/// How long after Connect the far end has to open the H.245 connection itself before we
/// ask it to (Facility startH245).
constexpr std::chrono::milliseconds H245StartGrace{500};

h245::MediaAddress toMediaAddress(const asio::ip::udp::endpoint& endpoint)
{
    h245::MediaAddress result;
    auto address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    if (address.is_v4()) {
        const auto bytes = address.to_v4().to_bytes();
        std::copy(bytes.begin(), bytes.end(), result.ip.begin());
    } else {
        const auto bytes = address.to_v6().to_bytes();
        std::copy(bytes.begin(), bytes.end(), result.ip.begin());
        result.ipv6 = true;
    }
    result.port = endpoint.port();
    return result;
}

asio::ip::address toAddress(const h245::MediaAddress& media)
{
    if (media.ipv6) {
        asio::ip::address_v6::bytes_type bytes;
        std::copy(media.ip.begin(), media.ip.begin() + bytes.size(), bytes.begin());
        return asio::ip::address_v6(bytes);
    }
    asio::ip::address_v4::bytes_type bytes;
    std::copy(media.ip.begin(), media.ip.begin() + bytes.size(), bytes.begin());
    return asio::ip::address_v4(bytes);
}

std::uint64_t bitRateOf(const MediaFormat& format)
{
    if (format.mediaType() == MediaType::Audio)
        return 64000;
    if (auto capability = capabilityOfFormat(format))
        return std::uint64_t{capability->maxBitRate} * 100;
    return 0;
}

/// The data type of a fastStart proposal and whether the proposer receives on it
/// (reverse parameters with a null forward data type).
struct Proposal
{
    std::uint16_t number = 0;
    bool proposerReceives = false;
    h245::Capability capability;
    unsigned sessionId = 0;
    std::optional<h245::MediaAddress> mediaChannel;
    std::optional<h245::MediaAddress> mediaControlChannel;
    std::optional<int> dynamicPayloadType;
    std::optional<std::uint8_t> packetizationMode; ///< H.264 mediaPacketization
    bool valid = false;
};

Proposal readProposal(const asn::Value& olc)
{
    Proposal proposal;
    proposal.number = static_cast<std::uint16_t>(olc["forwardLogicalChannelNumber"].integer());
    const asn::Value& forward = olc["forwardLogicalChannelParameters"];
    const asn::Value* dataType = &forward["dataType"];
    const asn::Value* multiplex = &forward["multiplexParameters"];
    if (dataType->is("nullData") && olc.has("reverseLogicalChannelParameters")) {
        proposal.proposerReceives = true;
        dataType = &olc["reverseLogicalChannelParameters"]["dataType"];
        multiplex = &olc["reverseLogicalChannelParameters"]["multiplexParameters"];
    }
    if (!dataType->is("audioData") && !dataType->is("videoData") && !dataType->is("data"))
        return proposal;
    proposal.capability = h245::readMediaCapability(dataType->chosen());
    if (!multiplex->is("h2250LogicalChannelParameters"))
        return proposal;
    const asn::Value& h2250 = multiplex->chosen();
    proposal.sessionId = static_cast<unsigned>(h2250["sessionID"].integer());
    if (h2250.has("mediaChannel"))
        proposal.mediaChannel = h245::readTransportAddress(h2250["mediaChannel"]);
    if (h2250.has("mediaControlChannel"))
        proposal.mediaControlChannel = h245::readTransportAddress(h2250["mediaControlChannel"]);
    if (h2250.has("dynamicRTPPayloadType"))
        proposal.dynamicPayloadType = static_cast<int>(h2250["dynamicRTPPayloadType"].integer());
    if (h2250.has("mediaPacketization") && h2250["mediaPacketization"].is("rtpPayloadType")) {
        const asn::Value& descriptor = h2250["mediaPacketization"].chosen()["payloadDescriptor"];
        if (descriptor.is("oid"))
            proposal.packetizationMode = h245::h264PacketizationModeOf(descriptor.chosen().oid());
    }
    proposal.valid = true;
    return proposal;
}

bool isH264(const h245::Capability& capability)
{
    return capability.type == h245::CapabilityType::H264 ||
           capability.type == h245::CapabilityType::H239Content;
}

asn::Value& h2250Of(asn::Value& olc, bool reverse)
{
    if (reverse)
        return olc.field("reverseLogicalChannelParameters")
            .field("multiplexParameters")
            .choose("h2250LogicalChannelParameters");
    return olc.field("forwardLogicalChannelParameters")
        .field("multiplexParameters")
        .choose("h2250LogicalChannelParameters");
}

} // namespace

void Connection::Session::updateRemote(const std::optional<h245::MediaAddress>& rtpAddress,
                                       const std::optional<h245::MediaAddress>& rtcpAddress)
{
    if (rtpAddress && rtpAddress->port != 0)
        remoteRtp = rtpAddress;
    if (rtcpAddress && rtcpAddress->port != 0)
        remoteRtcp = rtcpAddress;
    if (!media || (!remoteRtp && !remoteRtcp))
        return;
    // RFC 3550 11: without an RTCP address the next port up is RTCP, and the other way round.
    const auto& known = remoteRtp ? *remoteRtp : *remoteRtcp;
    const std::uint16_t rtpPort =
        remoteRtp ? remoteRtp->port : static_cast<std::uint16_t>(remoteRtcp->port - 1);
    const std::uint16_t rtcpPort =
        remoteRtcp ? remoteRtcp->port : static_cast<std::uint16_t>(remoteRtp->port + 1);
    media->setRemote(toAddress(known), rtpPort, rtcpPort);
}

std::shared_ptr<MediaStream> Connection::createMediaStream(const MediaFormat& format,
                                                           unsigned sessionId, bool isSource)
{
    // Every media type the engine opens channels for runs on the session's RTP.
    if (auto found = sessions_.find(sessionId); found != sessions_.end() && found->second->media) {
        found->second->media->setMediaFormat(format.name());
        found->second->media->setClockRate(format.clockRate());
        return std::make_shared<RtpMediaStream>(found->second->media, format, sessionId, isSource);
    }
    return std::make_shared<MediaStream>(format, sessionId, isSource);
}

void Connection::startTimer(asio::steady_timer& timer, std::chrono::milliseconds after,
                            EndReason reason, const char* what)
{
    if (after.count() <= 0)
        return;
    timer.expires_after(after);
    std::weak_ptr<Connection> weak = self();
    timer.async_wait([weak, reason, what](const asio::error_code& error) {
        auto connection = weak.lock();
        if (error || !connection || connection->released_)
            return;
        VOIP_TRACE(1, "H323\tNo " << what << " in time on " << connection->describe());
        connection->failCall(reason);
    });
}

// --- H.245 transport ---

void Connection::startH245()
{
    if (h245Started_ || released_)
        return;
    h245Started_ = true;
    const bool tunnel = tunnellingDecided_ ? tunnelling_ : tunnellingWanted_;
    if (tunnel)
        h245Ready_ = true;
    sendCapabilitySet();
    masterSlave_->start();
    roundTrip_->startKeepAlive();
}

void Connection::resetH245()
{
    h245Started_ = false;
    h245Ready_ = false;
    pendingTunnelled_.clear();
    capabilities_->reset();
    masterSlave_->reset();
    roundTrip_->stopKeepAlive();
}

void Connection::queueH245(const asn::Value& message)
{
    auto encoded = h245::encodeMessage(message);
    if (!encoded) {
        VOIP_TRACE(1, "H323\tCannot encode H.245 message: " << encoded.error().toString());
        return;
    }
    const bool tunnel = tunnellingDecided_ ? tunnelling_ : tunnellingWanted_;
    if (tunnel) {
        if (pendingTunnelled_.size() < MaxQueuedH245)
            pendingTunnelled_.push_back(std::move(encoded.value()));
    } else if (h245Channel_ && h245Channel_->isOpen()) {
        h245Channel_->send(*encoded);
    } else if (pendingH245_.size() < MaxQueuedH245) {
        pendingH245_.push_back(std::move(encoded.value()));
    }
}

void Connection::flushTunnelled()
{
    if (pendingTunnelled_.empty() || !tunnellingDecided_ || !tunnelling_ || released_ ||
        remoteReleased_)
        return;
    // Nothing else is about to go out: carry the H.245 messages in a Facility with an
    // empty body (H.323 8.2.1).
    asn::Value facility = h225::newUserInformation("empty");
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
    if (tunnelling_ || h245Channel_ || h245Connecting_ || released_ || startH245Sent_)
        return;
    if (remoteH245Address_) {
        h245Listener_.reset();
        connectH245(*remoteH245Address_);
        return;
    }
    // The far end may still connect to the address we announced; if it has not after a
    // moment, it is asked to.
    h245TransportTimer_.expires_after(H245StartGrace);
    std::weak_ptr<Connection> weak = self();
    h245TransportTimer_.async_wait([weak](const asio::error_code& error) {
        if (auto connection = weak.lock(); connection && !error)
            connection->sendStartH245();
    });
}

void Connection::sendStartH245()
{
    if (tunnelling_ || h245Channel_ || h245Connecting_ || released_ || remoteReleased_ ||
        startH245Sent_)
        return;
    asn::Value facility = newBody("facility");
    asn::Value& body = h225::messageBody(facility);
    body.field("reason").choose("startH245");
    h225::setGuid(body.field("conferenceID"), conferenceId_);
    offerH245Address(body);
    if (!body.has("h245Address"))
        return;
    startH245Sent_ = true;
    VOIP_TRACE(2, "H323\tNo H.245 connection yet: asking the far end to connect on "
                      << describe());
    sendSignal(q931::MessageType::Facility, facility);
    h245TransportTimer_.expires_after(timers_.capabilityExchange);
    std::weak_ptr<Connection> weak = self();
    h245TransportTimer_.async_wait([weak](const asio::error_code& error) {
        if (auto connection = weak.lock(); connection && !error)
            connection->h245TransportMissing();
    });
}

void Connection::h245TransportMissing()
{
    if (h245Channel_ || released_ || remoteReleased_)
        return;
    const bool media = std::any_of(channels_.begin(), channels_.end(), [](const auto& channel) {
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
    asn::Value information = newBody("information");
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
    for (const auto& pending : pendingH245_)
        h245Channel_->send(pending);
    pendingH245_.clear();
    restartH245Timers();
}

// --- received H.245 ---

void Connection::handleH245Pdu(std::span<const std::uint8_t> pdu)
{
    if (released_ || remoteReleased_)
        return;
    auto message = h245::decodeMessage(pdu);
    if (!message) {
        protocolFailure(CauseInvalidMessage, "bad H.245 message: " + message.error().toString());
        return;
    }
    handleH245(*message);
    if (!tunnelling_)
        return;
    // Answers to a tunnelled message go out at once unless a signalling message is
    // being handled (it flushes at its end).
}

void Connection::handleH245(const asn::Value& message)
{
    auto kind = h245::kindOf(message);
    if (!kind) {
        VOIP_TRACE(3, "H323\tIgnoring an H.245 message of a later version on " << describe());
        return;
    }
    VOIP_TRACE(3, "H323\tH.245 " << kind->name << " on " << describe());
    using h245::MessageId;
    switch (kind->id) {
    case MessageId::MasterSlaveDetermination:
        return masterSlave_->onRequest(message);
    case MessageId::MasterSlaveDeterminationAck:
        return masterSlave_->onAck(message);
    case MessageId::MasterSlaveDeterminationReject:
        return masterSlave_->onReject();
    case MessageId::TerminalCapabilitySet:
        return capabilities_->onSet(message);
    case MessageId::TerminalCapabilitySetAck:
        return capabilities_->onAck(message);
    case MessageId::TerminalCapabilitySetReject:
        return capabilities_->onReject();
    case MessageId::RoundTripDelayRequest:
        return roundTrip_->onRequest(message);
    case MessageId::RoundTripDelayResponse:
        return roundTrip_->onResponse(message);
    case MessageId::OpenLogicalChannel:
        return handleOpenLogicalChannel(message);
    case MessageId::OpenLogicalChannelAck:
        return handleOpenLogicalChannelAck(message);
    case MessageId::OpenLogicalChannelReject:
        return handleOpenLogicalChannelReject(message);
    case MessageId::CloseLogicalChannel:
        return handleCloseLogicalChannel(message);
    case MessageId::CloseLogicalChannelAck:
        return; // the channel left our list when we sent the close
    case MessageId::RequestChannelClose:
        return handleRequestChannelClose(message);
    case MessageId::GenericRequest:
    case MessageId::GenericResponse:
    case MessageId::GenericCommand:
    case MessageId::GenericIndication:
        if (h245::isH239Message(message))
            return handleH239(message);
        break;
    case MessageId::EndSessionCommand:
        return handleEndSession();
    case MessageId::MiscellaneousCommand:
        if (auto command = h245::readMiscellaneousCommand(message);
            command && command->type == "videoFastUpdatePicture")
            OnVideoFastUpdatePicture(command->logicalChannel);
        return;
    case MessageId::FlowControlCommand:
        if (auto flow = h245::readFlowControlCommand(message))
            handleFlowControl(*flow);
        return;
    case MessageId::UserInput:
        return handleUserInput(message);
    case MessageId::MiscellaneousIndication:
        if (auto indication = h245::readMiscellaneousIndication(message))
            OnMiscellaneousIndication(*indication);
        return;
    case MessageId::Other:
        break;
    }
    // A request we do not act on is answered as not understood; anything else is let be.
    if (kind->category == h245::MessageCategory::Request) {
        auto answer = h245::buildFunctionNotUnderstood(message);
        if (answer.present())
            queueH245(answer);
    }
}

void Connection::handleCloseLogicalChannel(const asn::Value& message)
{
    auto close = h245::readCloseLogicalChannel(message);
    if (!close)
        return;
    if (isRemoteContentChannel(close->number))
        setRemotePresenting(false);
    for (auto it = channels_.begin(); it != channels_.end(); ++it) {
        if ((*it)->fromRemote && (*it)->number == close->number) {
            closeChannel(**it);
            channels_.erase(it);
            break;
        }
    }
    queueH245(h245::buildCloseLogicalChannelAck(close->number));
    publishChannels();
}

void Connection::handleRequestChannelClose(const asn::Value& message)
{
    auto request = h245::readRequestChannelClose(message);
    if (!request)
        return;
    queueH245(h245::buildRequestChannelCloseAck(request->number));
    if (presentation_ != PresentationState::Idle && request->number == contentChannel_) {
        endPresentation(PresentationEvent::LocalStopped, false);
        return;
    }
    for (auto it = channels_.begin(); it != channels_.end(); ++it) {
        if (!(*it)->fromRemote && (*it)->number == request->number) {
            queueH245(h245::buildCloseLogicalChannel(request->number));
            closeChannel(**it);
            channels_.erase(it);
            break;
        }
    }
    publishChannels();
}

void Connection::handleOpenLogicalChannelReject(const asn::Value& message)
{
    auto reject = h245::readOpenLogicalChannelReject(message);
    if (!reject)
        return;
    for (auto it = channels_.begin(); it != channels_.end(); ++it) {
        if (!(*it)->fromRemote && (*it)->number == reject->number) {
            VOIP_TRACE(2, "H323\tChannel " << reject->number << " rejected (" << reject->cause
                                           << ") on " << describe());
            channels_.erase(it);
            break;
        }
    }
    if (presentation_ == PresentationState::Opening && reject->number == contentChannel_)
        contentChannelRefused();
    publishChannels();
}

void Connection::handleEndSession()
{
    endSessionReceived_ = true;
    // The ReleaseComplete normally follows at once and tells the cause; clear as a
    // normal end when it does not come.
    startTimer(signalTimer_, EndSessionGrace, EndReason::RemoteUser, "ReleaseComplete");
}

void Connection::handleUserInput(const asn::Value& message)
{
    auto input = h245::readUserInputIndication(message);
    if (input && !input->text.empty() &&
        (input->kind == h245::UserInputKind::Alphanumeric ||
         input->kind == h245::UserInputKind::ExtendedAlphanumeric ||
         input->kind == h245::UserInputKind::Signal))
        OnUserInputString(input->text);
}

// --- capability exchange and master/slave determination ---

Connection::LinkTimer::LinkTimer(Connection& connection, std::function<void()> job)
    : connection_(connection)
    , timer_(connection.io_)
    , job_(std::move(job))
{
    connection_.linkTimers_.push_back(this);
}

void Connection::LinkTimer::start(std::chrono::milliseconds after)
{
    if (after.count() <= 0)
        return;
    timer_.expires_after(after);
    std::weak_ptr<Connection> weak = connection_.self();
    timer_.async_wait([weak, this](const asio::error_code& error) {
        auto connection = weak.lock();
        if (error || !connection || connection->released_)
            return;
        job_();
        connection->flushTunnelled();
    });
}

std::unique_ptr<ControlTimer> Connection::Link::timer(std::function<void()> job)
{
    return std::make_unique<LinkTimer>(connection_, std::move(job));
}

void Connection::sendCapabilitySet()
{
    capabilities_->offer(
        capabilitySetOfFormats(mediaFormatsToOffer(), 0, endpoint_.h264Receive()));
}

void Connection::capabilitiesReceived(bool changed)
{
    if (changed && channelsOpened_)
        followNewCapabilities();
    checkReadyForChannels();
}

void Connection::restartH245Timers()
{
    if (!h245Started_)
        return;
    capabilities_->transportReady();
    masterSlave_->transportReady();
}

void Connection::checkReadyForChannels()
{
    if (channelsOpened_ || !capabilities_->acknowledged() || !capabilities_->received() ||
        !masterSlave_->decided())
        return;
    channelsOpened_ = true;
    h245Complete_ = true;
    openChannels();
    sendHeldRequests();
}

// --- logical channels ---

Connection::Session* Connection::session(unsigned sessionId)
{
    if (auto found = sessions_.find(sessionId); found != sessions_.end())
        return found->second.get();
    if (!signal_)
        return nullptr;
    auto local = signal_->localEndpoint().address();
    auto made = std::make_unique<Session>();
    auto bindPair = [&](std::uint16_t rtpPort, std::uint16_t rtcpPort) {
        rtp::SessionConfig config;
        config.localAddress = local;
        config.portBase = rtpPort;
        config.portMax = rtpPort == 0 ? 0 : rtcpPort;
        // Video and data take every packet at once; audio plays through the jitter buffer.
        config.useJitterBuffer = sessionId == AudioSessionId;
        const auto jitter = manager().audioJitterDelay();
        config.jitter.minDelay = std::chrono::milliseconds(jitter.minDelayMs);
        config.jitter.maxDelay = std::chrono::milliseconds(jitter.maxDelayMs);
        auto opened = rtp::RtpSession::open(config);
        if (!opened.session)
            return false;
        made->media = std::move(opened.session);
        return true;
    };
    bool bound = false;
    // With no range configured the system picks; a taken pair is tried again.
    for (int attempt = 0; attempt < 16 && !bound; ++attempt)
        bound = manager().rtpPorts().allocatePair(bindPair).has_value();
    if (!bound) {
        VOIP_TRACE(1, "H323\tNo RTP ports for session " << sessionId << " on " << describe());
        return nullptr;
    }
    const auto announced = addressToAnnounce(local);
    made->rtpAddress =
        toMediaAddress(asio::ip::udp::endpoint(announced, made->media->localRtpPort()));
    made->rtcpAddress =
        toMediaAddress(asio::ip::udp::endpoint(announced, made->media->localRtcpPort()));
    auto* result = made.get();
    sessions_[sessionId] = std::move(made);
    return result;
}

void Connection::openChannels(std::optional<unsigned> onlySession)
{
    const auto offered = mediaFormatsToOffer();
    static constexpr std::pair<MediaType, unsigned> kinds[] = {
        {MediaType::Audio, AudioSessionId},
        {MediaType::Video, VideoSessionId},
        {MediaType::H224, DataSessionId},
    };
    for (const auto& kind : kinds) {
        const MediaType type = kind.first;
        const unsigned sessionId = kind.second;
        if (onlySession && *onlySession != sessionId)
            continue;
        const bool haveOne = std::any_of(channels_.begin(), channels_.end(), [&](const auto& c) {
            return !c->fromRemote && !c->proposal && c->sessionId == sessionId;
        });
        if (haveOne)
            continue;
        for (const auto& format : offered) {
            if (format.mediaType() != type || sessionOfFormat(format) != sessionId)
                continue;
            if (const h245::Capability* theirs = remoteReceiveCapability(format)) {
                openTransmitChannel(format, *theirs);
                break;
            }
        }
    }
    publishChannels();
}

namespace {

/// True when a video channel opened for `before` carries what `after` asks for.
bool sameVideo(const MediaFormat& before, const MediaFormat& after)
{
    for (const auto name : {option::FrameWidth, option::FrameHeight, option::FrameTime,
                            option::MaxBitRate, option::PacketizationMode})
        if (before.integerOption(name, 0) != after.integerOption(name, 0))
            return false;
    return before.stringOption(option::Profile, "") == after.stringOption(option::Profile, "") &&
           before.stringOption(option::Level, "") == after.stringOption(option::Level, "");
}

} // namespace

void Connection::followNewCapabilities()
{
    // The far end's decoding changed during the call (or it paused us with an empty set):
    // a channel of ours it no longer takes as it is closes, and is opened again as the new
    // set allows.  Content follows its own presentation.
    const auto offered = mediaFormatsToOffer();
    std::erase_if(channels_, [&](const auto& channel) {
        if (channel->fromRemote || channel->proposal || !channel->open ||
            isContentFormat(channel->format))
            return false;
        const MediaFormat* ours = findFormat(offered, channel->format.name());
        const h245::Capability* theirs = ours ? remoteReceiveCapability(*ours) : nullptr;
        if (theirs && (ours->mediaType() != MediaType::Video ||
                       sameVideo(channel->format,
                                 formatToTransmit(*ours, *theirs, remotePacketizationMode()))))
            return false;
        VOIP_TRACE(2, "H323\tChannel " << channel->number << " closed: the far end's capabilities "
                                       << (theirs ? "changed" : "no longer take it") << " on "
                                       << describe());
        queueH245(h245::buildCloseLogicalChannel(channel->number));
        closeChannel(*channel);
        return true;
    });
    openChannels();
}

const h245::Capability* Connection::remoteReceiveCapability(const MediaFormat& format) const
{
    const MediaFormatList single{format};
    for (const auto& capability : capabilities_->remote().capabilities) {
        if (capability.direction != h245::CapabilityDirection::Transmit &&
            formatOfCapability(single, capability) != nullptr)
            return &capability;
    }
    return nullptr;
}

std::uint8_t Connection::remotePacketizationMode() const
{
    // H.241: a receiver that lists no mode takes single NAL units only.
    const auto& modes = capabilities_->remote().h264PacketizationModes;
    return std::find(modes.begin(), modes.end(), 1) != modes.end() ? 1 : 0;
}

Connection::Channel* Connection::openTransmitChannel(const MediaFormat& ours,
                                                     const h245::Capability& theirs,
                                                     std::uint16_t number)
{
    const MediaFormat format = formatToTransmit(ours, theirs, remotePacketizationMode());
    const unsigned sessionId = sessionOfFormat(format);
    Session* media = session(sessionId);
    auto capability = capabilityOfFormat(format);
    if (!media || !capability)
        return nullptr;
    auto channel = std::make_unique<Channel>();
    channel->number = number != 0 ? number : nextChannelNumber_++;
    channel->sessionId = sessionId;
    channel->format = format;
    h245::LogicalChannel parameters;
    parameters.number = channel->number;
    parameters.dataType = *capability;
    // H.245: sessions beyond audio, video and data are numbered by the master; a slave
    // asks with 0 and the acknowledgement tells.
    parameters.sessionId =
        static_cast<std::uint8_t>(sessionId > DataSessionId && !masterSlave_->master() ? 0 : sessionId);
    parameters.mediaControlChannel = media->rtcpAddress;
    if (format.payloadType() >= FirstDynamicPayloadType)
        parameters.dynamicRtpPayloadType = static_cast<std::uint8_t>(format.payloadType());
    if (isH264(*capability))
        parameters.h264PacketizationMode =
            static_cast<std::uint8_t>(format.integerOption(option::PacketizationMode, 0));
    auto message = h245::buildOpenLogicalChannel(parameters);
    if (!message.present())
        return nullptr;
    queueH245(message);
    channel->timer = std::make_unique<asio::steady_timer>(io_);
    if (isContentFormat(format)) {
        // Content unanswered ends the presentation, not the call.
        channel->timer->expires_after(timers_.logicalChannel);
        std::weak_ptr<Connection> weak = self();
        const auto number = channel->number;
        channel->timer->async_wait([weak, number](const asio::error_code& error) {
            auto connection = weak.lock();
            if (error || !connection || connection->released_ ||
                connection->presentation_ != PresentationState::Opening ||
                connection->contentChannel_ != number)
                return;
            VOIP_TRACE(1,
                       "H323\tNo OpenLogicalChannelAck for content on " << connection->describe());
            connection->contentChannelRefused();
            connection->flushTunnelled();
        });
    } else {
        startTimer(*channel->timer, timers_.logicalChannel, EndReason::MediaFailed,
                   "OpenLogicalChannelAck");
    }
    channels_.push_back(std::move(channel));
    return channels_.back().get();
}

void Connection::handleOpenLogicalChannelAck(const asn::Value& message)
{
    auto ack = h245::readOpenLogicalChannelAck(message);
    if (!ack)
        return;
    for (auto& channel : channels_) {
        if (channel->fromRemote || channel->number != ack->number || channel->open)
            continue;
        if (channel->timer)
            channel->timer->cancel();
        channel->open = true;
        if (ack->mediaChannel)
            channel->remoteMedia = *ack->mediaChannel;
        if (auto found = sessions_.find(channel->sessionId); found != sessions_.end())
            found->second->updateRemote(ack->mediaChannel, ack->mediaControlChannel);
        channel->stream = openMediaStream(channel->format, channel->sessionId, false);
        queueH245(h245::buildOpenLogicalChannelConfirm(ack->number));
        sendWantedMuteIndication();
        if (presentation_ == PresentationState::Opening && channel->number == contentChannel_)
            contentChannelOpened(*channel);
        break;
    }
    publishChannels();
}

void Connection::handleOpenLogicalChannel(const asn::Value& message)
{
    const auto number = static_cast<std::uint16_t>(
        h245::messageBody(message)["forwardLogicalChannelNumber"].integer());
    auto request = h245::readOpenLogicalChannel(message);
    if (!request) {
        queueH245(h245::buildOpenLogicalChannelReject(number, "unspecified"));
        return;
    }
    const auto offered = mediaFormatsToOffer();
    const MediaFormat* format = formatOfCapability(offered, request->dataType);
    if (!format) {
        queueH245(h245::buildOpenLogicalChannelReject(number, "dataTypeNotSupported"));
        return;
    }
    // A number still open is refused; the number of a fastStart channel may come again
    // through H.245 (the far end reopens it).
    for (const auto& channel : channels_) {
        if (channel->fromRemote && channel->number == number && !channel->fastStart) {
            queueH245(h245::buildOpenLogicalChannelReject(number, "unspecified"));
            return;
        }
    }
    const unsigned sessionId =
        request->sessionId != 0 ? request->sessionId : sessionOfFormat(*format);
    Session* media = session(sessionId);
    if (!media) {
        queueH245(h245::buildOpenLogicalChannelReject(number, "insufficientBandwidth"));
        return;
    }
    // One channel per session and direction: a new one from the far end replaces the old.
    // If the old one came by fastStart, the far end has let fastStart go for this session
    // (a caller may refuse the answer and start again through H.245): our fastStart
    // channel in it goes as well, and we open ours through H.245 like the far end does.
    const bool leftFastStart =
        std::any_of(channels_.begin(), channels_.end(), [&](const auto& old) {
            return old->fromRemote && old->fastStart && old->sessionId == sessionId;
        });
    bool reopenOurs = false;
    std::erase_if(channels_, [&](const auto& old) {
        const bool theirs = old->fromRemote && !old->proposal;
        if (old->sessionId != sessionId || !(theirs || (leftFastStart && old->fastStart)))
            return false;
        VOIP_TRACE(2, "H323\t" << (theirs ? "Far end's" : "Our") << " channel " << old->number
                                << " of session " << sessionId << " replaced through H.245 on "
                                << describe());
        closeChannel(*old);
        reopenOurs = reopenOurs || !theirs;
        return true;
    });
    if (leftFastStart)
        fastStartActive_ = std::any_of(channels_.begin(), channels_.end(),
                                       [](const auto& channel) { return channel->fastStart; });
    h245::LogicalChannelAck ack;
    ack.number = number;
    ack.sessionId = static_cast<std::uint8_t>(sessionId);
    ack.mediaChannel = media->rtpAddress;
    ack.mediaControlChannel = media->rtcpAddress;
    queueH245(h245::buildOpenLogicalChannelAck(ack));
    media->updateRemote(std::nullopt, request->mediaControlChannel);
    auto channel = std::make_unique<Channel>();
    channel->number = number;
    channel->sessionId = sessionId;
    channel->fromRemote = true;
    channel->open = true;
    channel->format = *format;
    // The far end sends with the payload type it names; ours may differ.
    if (request->dynamicRtpPayloadType)
        channel->format.setPayloadType(*request->dynamicRtpPayloadType);
    channel->stream = openMediaStream(channel->format, sessionId, true);
    const bool content = isContentFormat(channel->format);
    channels_.push_back(std::move(channel));
    if (reopenOurs && h245Complete_)
        openChannels(sessionId);
    publishChannels();
    // A content channel opened by the holder of the token carries its presentation.
    if (content && remoteHoldsToken_)
        setRemotePresenting(true);
}

void Connection::closeChannel(Channel& channel)
{
    if (channel.timer)
        channel.timer->cancel();
    channel.open = false;
    if (channel.stream) {
        closeMediaStream(channel.stream);
        channel.stream.reset();
    }
}

bool Connection::closeLogicalChannel(std::uint16_t number)
{
    if (!h245Ready_ || isReleased())
        return false;
    onNetwork([this, number] {
        for (auto it = channels_.begin(); it != channels_.end(); ++it) {
            if (!(*it)->fromRemote && (*it)->number == number) {
                queueH245(h245::buildCloseLogicalChannel(number));
                closeChannel(**it);
                channels_.erase(it);
                break;
            }
        }
        publishChannels();
        flushTunnelled();
    });
    return true;
}

void Connection::publishChannels()
{
    std::vector<LogicalChannelInfo> view;
    for (const auto& channel : channels_) {
        if (channel->proposal)
            continue;
        LogicalChannelInfo info;
        info.number = channel->number;
        info.sessionId = channel->sessionId;
        info.fromRemote = channel->fromRemote;
        info.formatName = channel->format.name();
        info.bitRate = bitRateOf(channel->format);
        info.remoteMedia = channel->remoteMedia;
        if (auto found = sessions_.find(channel->sessionId); found != sessions_.end())
            info.localMedia = found->second->rtpAddress;
        info.open = channel->open && !released_;
        view.push_back(std::move(info));
    }
    {
        std::lock_guard lock(channelMutex_);
        channelView_ = std::move(view);
    }
    reviewBandwidth();
}

std::optional<LogicalChannelInfo> Connection::findLogicalChannel(unsigned sessionId,
                                                                 bool fromRemote) const
{
    std::lock_guard lock(channelMutex_);
    for (const auto& channel : channelView_) {
        if (channel.sessionId == sessionId && channel.fromRemote == fromRemote && channel.open)
            return channel;
    }
    return std::nullopt;
}

std::vector<LogicalChannelInfo> Connection::logicalChannels() const
{
    std::lock_guard lock(channelMutex_);
    return channelView_;
}

std::uint64_t Connection::initialBandwidth(Direction direction) const
{
    return direction == Direction::Receive ? receiveBandwidth_ : transmitBandwidth_;
}

std::uint64_t Connection::bandwidthAvailable(Direction direction) const
{
    std::uint64_t used = 0;
    {
        std::lock_guard lock(channelMutex_);
        for (const auto& channel : channelView_) {
            if (channel.open && channel.fromRemote == (direction == Direction::Receive))
                used += channel.bitRate;
        }
    }
    const auto initial = initialBandwidth(direction);
    return used >= initial ? 0 : initial - used;
}

std::string Connection::remoteProduct() const
{
    std::lock_guard lock(channelMutex_);
    return remoteProduct_;
}

std::optional<q931::BearerCapability> Connection::incomingBearerCapability() const
{
    std::lock_guard lock(channelMutex_);
    return bearerView_;
}

// --- fastStart ---

std::vector<std::string> Connection::offerFastStart()
{
    std::vector<std::string> offers;
    for (const auto& format : mediaFormatsToOffer()) {
        const unsigned sessionId = sessionOfFormat(format);
        if (sessionId != AudioSessionId && sessionId != VideoSessionId)
            continue;
        auto capability = capabilityOfFormat(format);
        Session* media = session(sessionId);
        if (!capability || !media)
            continue;
        for (const bool weReceive : {false, true}) {
            h245::LogicalChannel parameters;
            parameters.number = nextChannelNumber_++;
            parameters.dataType = *capability;
            parameters.sessionId = static_cast<std::uint8_t>(sessionId);
            parameters.mediaControlChannel = media->rtcpAddress;
            if (weReceive)
                parameters.mediaChannel = media->rtpAddress;
            if (isH264(*capability))
                parameters.h264PacketizationMode = 1;
            auto message = h245::buildOpenLogicalChannel(parameters);
            if (!message.present())
                continue;
            asn::Value olc = h245::messageBody(message);
            if (weReceive) {
                asn::Value& forward = olc.field("forwardLogicalChannelParameters");
                asn::Value& reverse = olc.field("reverseLogicalChannelParameters");
                reverse.field("dataType") = forward["dataType"];
                h2250Of(olc, true) = forward["multiplexParameters"].chosen();
                forward.field("dataType").choose("nullData");
                forward.field("multiplexParameters").choose("none");
            }
            auto encoded = asn::encode(olc);
            if (!encoded)
                continue;
            offers.emplace_back(encoded->begin(), encoded->end());
            auto channel = std::make_unique<Channel>();
            channel->number = parameters.number;
            channel->sessionId = sessionId;
            channel->fromRemote = weReceive;
            channel->proposal = true;
            channel->format = format;
            channel->format.setIntegerOption(option::PacketizationMode, 1);
            channels_.push_back(std::move(channel));
        }
    }
    return offers;
}

void Connection::rememberFastStartOffer(const asn::Value& elements)
{
    const asn::Type* type = h245::findType("OpenLogicalChannel");
    if (!type)
        return;
    for (std::size_t i = 0; i < elements.size() && i < MaxQueuedH245; ++i) {
        auto olc = asn::decode(*type, elements.at(i).octets());
        if (olc)
            fastStartOffers_.push_back(std::move(olc.value()));
    }
}

std::vector<std::string> Connection::answerFastStart()
{
    fastStartAnswered_ = true;
    std::vector<std::string> answers;
    const auto offered = mediaFormatsToOffer();
    std::vector<std::pair<unsigned, bool>> taken; // (session, we receive)
    // Each answer keeps the number of the proposal it accepts: callers find their proposal
    // by it (some by nothing else) and take the channel we transmit on under that number.
    // Channels we open later through H.245 are numbered above every proposed number, so
    // that neither side can mistake one channel for another.
    for (const auto& offer : fastStartOffers_) {
        const auto proposed = offer["forwardLogicalChannelNumber"].integer();
        if (proposed >= nextChannelNumber_ && proposed < 65535)
            nextChannelNumber_ = static_cast<std::uint16_t>(proposed + 1);
    }
    // Of the caller's proposals for a direction, the one highest in our own order wins:
    // what we transmit is our choice among what the caller receives.
    auto rank = [&](const asn::Value& offer) {
        const Proposal proposal = readProposal(offer);
        const MediaFormat* format =
            proposal.valid ? formatOfCapability(offered, proposal.capability) : nullptr;
        for (std::size_t i = 0; format && i < offered.size(); ++i) {
            if (offered[i].name() == format->name())
                return i;
        }
        return offered.size();
    };
    std::stable_sort(fastStartOffers_.begin(), fastStartOffers_.end(),
                     [&](const asn::Value& a, const asn::Value& b) { return rank(a) < rank(b); });
    for (const auto& offer : fastStartOffers_) {
        const Proposal proposal = readProposal(offer);
        if (!proposal.valid)
            continue;
        const MediaFormat* format = formatOfCapability(offered, proposal.capability);
        if (!format)
            continue;
        const unsigned sessionId =
            proposal.sessionId != 0 ? proposal.sessionId : sessionOfFormat(*format);
        const bool weReceive = !proposal.proposerReceives;
        if (std::find(taken.begin(), taken.end(), std::pair{sessionId, weReceive}) != taken.end())
            continue;
        if (!weReceive && !proposal.mediaChannel)
            continue; // nowhere to send to
        Session* media = session(sessionId);
        if (!media)
            continue;
        asn::Value answer = offer;
        const std::uint16_t number =
            weReceive || fastStartNumbering_ == FastStartNumbering::Proposal ? proposal.number
                                                                            : nextChannelNumber_++;
        answer.field("forwardLogicalChannelNumber").setInteger(number);
        asn::Value& h2250 = h2250Of(answer, !weReceive);
        if (weReceive)
            h245::setTransportAddress(h2250.field("mediaChannel"), media->rtpAddress);
        h245::setTransportAddress(h2250.field("mediaControlChannel"), media->rtcpAddress);
        auto encoded = asn::encode(answer);
        if (!encoded)
            continue;
        answers.emplace_back(encoded->begin(), encoded->end());
        taken.emplace_back(sessionId, weReceive);
        auto channel = std::make_unique<Channel>();
        channel->number = number;
        channel->sessionId = sessionId;
        channel->fromRemote = weReceive;
        channel->open = true;
        channel->fastStart = true;
        // What we send is what the caller's proposal says it receives.
        channel->format = weReceive ? *format
                                    : formatToTransmit(*format, proposal.capability,
                                                       proposal.packetizationMode.value_or(0));
        // The payload type the proposal names for its direction is the one on the wire.
        if (proposal.dynamicPayloadType)
            channel->format.setPayloadType(*proposal.dynamicPayloadType);
        if (!weReceive)
            channel->remoteMedia = *proposal.mediaChannel;
        media->updateRemote(weReceive ? std::nullopt : proposal.mediaChannel,
                            proposal.mediaControlChannel);
        channel->stream = openMediaStream(channel->format, sessionId, weReceive);
        channels_.push_back(std::move(channel));
    }
    fastStartOffers_.clear();
    fastStartActive_ = !answers.empty();
    publishChannels();
    return answers;
}

void Connection::readFastStartAnswer(const asn::Value& elements)
{
    fastStartAnswered_ = true;
    const asn::Type* type = h245::findType("OpenLogicalChannel");
    bool accepted = false;
    for (std::size_t i = 0; type && i < elements.size() && i < MaxQueuedH245; ++i) {
        auto olc = asn::decode(*type, elements.at(i).octets());
        if (!olc)
            continue;
        const Proposal answer = readProposal(*olc);
        if (!answer.valid)
            continue;
        // The answer to our "we receive" proposal comes back in reverse form.
        const bool weReceive = answer.proposerReceives;
        Channel* chosen =
            findAnsweredProposal(answer.number, weReceive, answer.sessionId, answer.capability);
        if (!chosen)
            continue;
        const unsigned sessionId = chosen->sessionId;
        // One channel per session and direction: the first accepted proposal wins, the
        // rest of that session's proposals in that direction are withdrawn.
        for (auto& other : channels_) {
            if (other.get() != chosen && other->proposal && other->fromRemote == weReceive &&
                other->sessionId == sessionId)
                other->withdrawn = true;
        }
        chosen->proposal = false;
        chosen->open = true;
        chosen->fastStart = true;
        if (!weReceive)
            chosen->format = formatToTransmit(chosen->format, answer.capability,
                                              answer.packetizationMode.value_or(0));
        // The channel the far end transmits on carries the far end's own number
        // (H.323 8.1.7.1); it names the channel when the far end closes it.
        chosen->number = answer.number;
        if (!weReceive && answer.mediaChannel)
            chosen->remoteMedia = *answer.mediaChannel;
        if (auto found = sessions_.find(sessionId); found != sessions_.end())
            found->second->updateRemote(weReceive ? std::nullopt : answer.mediaChannel,
                                        answer.mediaControlChannel);
        chosen->stream = openMediaStream(chosen->format, sessionId, weReceive);
        accepted = true;
    }
    std::erase_if(channels_, [](const auto& channel) { return channel->proposal; });
    fastStartActive_ = accepted;
    publishChannels();
}

Connection::Channel* Connection::findAnsweredProposal(std::uint16_t number, bool weReceive,
                                                      unsigned sessionId,
                                                      const h245::Capability& capability)
{
    auto matches = [&](const Channel& channel) {
        if (!channel.proposal || channel.withdrawn || channel.fromRemote != weReceive)
            return false;
        if (sessionId != 0 && channel.sessionId != sessionId)
            return false;
        return formatOfCapability(MediaFormatList{channel.format}, capability) != nullptr;
    };
    // Our transmit proposals come back with our numbers.  A received channel is numbered
    // by the far end, so only its session and data type say which proposal it takes.
    if (!weReceive) {
        for (auto& channel : channels_) {
            if (channel->number == number && matches(*channel))
                return channel.get();
        }
    }
    for (auto& channel : channels_) {
        if (matches(*channel))
            return channel.get();
    }
    return nullptr;
}

// --- user input, indications, round trip ---

bool Connection::sendUserInputString(const std::string& value)
{
    if (value.empty() || value.size() > MaxUserInputLength)
        return false;
    return holdUntilH245Complete([this, value] { sendUserInputNow(value); }, value);
}

UserInputMode Connection::userInputModeForPeer() const
{
    bool alphanumeric = false;
    bool signal = false;
    for (const auto& capability : capabilities_->remote().capabilities) {
        if (capability.type != h245::CapabilityType::UserInput ||
            capability.direction == h245::CapabilityDirection::Transmit)
            continue;
        const auto& name = capability.userInputName;
        if (name == "basicString" || name == "iA5String" || name == "generalString" ||
            name == "extendedAlphanumeric")
            alphanumeric = true;
        else if (name == "dtmf")
            signal = true;
    }
    // Send only what the far end said it receives; a peer that says nothing gets the
    // endpoint's choice.
    if (userInputMode_ == UserInputMode::Alphanumeric && !alphanumeric && signal)
        return UserInputMode::Signal;
    if (userInputMode_ == UserInputMode::Signal && !signal && alphanumeric)
        return UserInputMode::Alphanumeric;
    return userInputMode_;
}

void Connection::sendUserInputNow(const std::string& value)
{
    if (released_)
        return;
    if (userInputModeForPeer() == UserInputMode::Alphanumeric) {
        h245::UserInput input;
        input.text = value;
        queueH245(h245::buildUserInputIndication(input));
    } else {
        for (const char c : value) {
            h245::UserInput input;
            input.kind = h245::UserInputKind::Signal;
            input.text = std::string(1, c);
            auto message = h245::buildUserInputIndication(input);
            if (message.present())
                queueH245(message);
        }
    }
    flushTunnelled();
}

bool Connection::sendMiscellaneousIndication(std::uint16_t channel, std::string_view type)
{
    return sendH245(h245::buildMiscellaneousIndication(channel, type));
}

bool Connection::indicateAudioMuted(bool muted)
{
    if (isReleased())
        return false;
    onNetwork([this, muted] {
        muteWanted_ = muted;
        if (h245Complete_)
            sendWantedMuteIndication();
        flushTunnelled();
    });
    return true;
}

void Connection::sendWantedMuteIndication()
{
    if (!muteWanted_ || released_ || !h245Complete_)
        return;
    for (const auto& channel : channels_) {
        if (channel->fromRemote || !channel->open || channel->proposal ||
            channel->sessionId != AudioSessionId)
            continue;
        queueH245(h245::buildMiscellaneousIndication(
            channel->number, *muteWanted_ ? "logicalChannelInactive" : "logicalChannelActive"));
        muteWanted_.reset();
        return;
    }
    // No audio transmit channel yet: the indication goes out once it opens.
}

bool Connection::sendVideoFastUpdatePicture(unsigned sessionId)
{
    auto channel = findLogicalChannel(sessionId, true);
    if (!channel)
        return false;
    return sendH245(h245::buildVideoFastUpdatePicture(channel->number));
}

void Connection::OnVideoFastUpdatePicture(std::uint16_t channel)
{
    VOIP_TRACE(3, "H323\tvideoFastUpdatePicture for channel " << channel);
    ++videoUpdates_;
    // The far end names the channel it receives on: one of ours that transmit.
    for (const auto& info : logicalChannels()) {
        if (info.number == channel && !info.fromRemote) {
            if (auto other = otherParty())
                other->OnVideoUpdateRequested(info.sessionId);
            return;
        }
    }
}

void Connection::handleFlowControl(const h245::FlowControl& flow)
{
    // A limit for the whole multiplex falls on video, the one medium that can follow it.
    for (const auto& channel : channels_) {
        if (channel->fromRemote || !channel->open || channel->proposal)
            continue;
        const bool named = flow.logicalChannel != 0 && channel->number == flow.logicalChannel;
        const bool whole = flow.logicalChannel == 0 && channel->sessionId == VideoSessionId;
        if (!named && !whole)
            continue;
        // Never above what the channel was opened with; no restriction gives that back.
        const auto opened = static_cast<std::uint64_t>(
            std::max<std::int64_t>(0, channel->format.integerOption(option::MaxBitRate, 0)));
        std::uint64_t allowed = opened;
        if (flow.maximumBitRate)
            allowed = std::min<std::uint64_t>(opened, std::uint64_t{*flow.maximumBitRate} * 100);
        VOIP_TRACE(2, "H323\tFlow control: channel " << channel->number << " to " << allowed
                                                     << " bit/s on " << describe());
        channel->flowLimit = allowed;
        channel->farEndLimit = flow.maximumBitRate ? allowed : 0;
        if (auto other = otherParty())
            other->OnMediaFlowControl(channel->sessionId, allowed);
    }
    reviewBandwidth();
}

std::uint64_t Connection::plannedRate() const
{
    // The best of each medium we offer, one channel each: what one direction will carry
    // (content comes only with a presentation, which asks for its own share).
    std::uint64_t rate = 0;
    for (const MediaType type : {MediaType::Audio, MediaType::Video, MediaType::H224}) {
        std::uint64_t best = 0;
        for (const auto& format : mediaFormatsToOffer())
            if (format.mediaType() == type && !isContentFormat(format))
                best = std::max(best, bitRateOf(format));
        rate += best;
    }
    return rate;
}

std::uint32_t Connection::callBandwidth() const
{
    std::uint64_t total = 0;
    for (const auto& channel : channels_) {
        if (!channel->open || channel->proposal)
            continue;
        total += channel->rate();
    }
    return std::uint32_t(std::min<std::uint64_t>((total + 99) / 100, 0xFFFFFFFFu));
}

void Connection::reviewBandwidth()
{
    if (!admittedBy_ || released_ || bandwidthAsked_)
        return;
    const std::uint32_t wanted = callBandwidth();
    if (wanted == 0 || wanted == grantedBandwidth_ || wanted == askedBandwidth_)
        return;
    // Channels open and close in bursts: one request for the burst.
    bandwidthTimer_.expires_after(std::chrono::milliseconds(300));
    std::weak_ptr<Connection> weak = self();
    bandwidthTimer_.async_wait([weak](const asio::error_code& error) {
        if (auto connection = weak.lock(); connection && !error)
            connection->askBandwidth();
    });
}

void Connection::askBandwidth()
{
    const std::uint32_t wanted = callBandwidth();
    if (!admittedBy_ || released_ || bandwidthAsked_ || wanted == 0 ||
        wanted == grantedBandwidth_ || wanted == askedBandwidth_)
        return;
    bandwidthAsked_ = true;
    askedBandwidth_ = wanted;
    std::thread([keep = self(), gatekeeper = admittedBy_, call = admittedAs_, wanted] {
        const auto answer = gatekeeper->changeBandwidth(call, wanted);
        keep->onNetwork([keep, wanted, answer] {
            keep->bandwidthAsked_ = false;
            if (keep->released_)
                return;
            if (answer.granted) {
                // A gatekeeper may confirm less than asked: that is the call's allowance.
                keep->grantedBandwidth_ = answer.bandwidth ? answer.bandwidth : wanted;
                if (keep->grantedBandwidth_ < wanted)
                    keep->keepWithin(keep->grantedBandwidth_);
            } else if (answer.answered) {
                // Refused.  The allowed figure may be what the gatekeeper's zone has left
                // rather than this call's allowance: never more than what the call was
                // granted before, the allowed figure where that is less.
                const std::uint32_t allowance =
                    std::min(keep->grantedBandwidth_, answer.bandwidth);
                if (allowance > 0 && keep->callBandwidth() > allowance)
                    keep->keepWithin(allowance);
            }
            // Otherwise (no answer) the call goes on as it is, and asks again when its rate
            // changes.
            keep->reviewBandwidth();
        });
    }).detach();
}

namespace {

/// Video below this is not worth sending.
constexpr std::uint64_t LeastVideoRate = 32000;

} // namespace

std::uint64_t Connection::Channel::rate() const
{
    const std::uint64_t opened = bitRateOf(format);
    return flowLimit ? std::min(opened, flowLimit) : opened;
}

void Connection::applyVideoLimit(Channel& channel)
{
    VOIP_TRACE(2, "H323\tGatekeeper bandwidth: " << (channel.fromRemote ? "far end's" : "our")
                                                 << " video at " << channel.rate() << " bit/s on "
                                                 << describe());
    if (channel.fromRemote) {
        // No limit left: the far end may send at the full rate again.
        h245::FlowControl flow{channel.number, {}};
        if (channel.flowLimit)
            flow.maximumBitRate = std::uint32_t(channel.flowLimit / 100);
        queueH245(h245::buildFlowControlCommand(flow));
        flushTunnelled();
    } else if (auto other = otherParty()) {
        other->OnMediaFlowControl(channel.sessionId, channel.rate());
    }
}

void Connection::cutVideo(bool incoming, std::uint64_t excess)
{
    for (const auto& channel : channels_) {
        if (channel->fromRemote != incoming || !channel->open || channel->proposal ||
            channel->sessionId != VideoSessionId)
            continue;
        const std::uint64_t rate = channel->rate();
        channel->flowLimit = rate > excess + LeastVideoRate ? rate - excess : LeastVideoRate;
        applyVideoLimit(*channel);
        return;
    }
}

void Connection::restoreVideo(std::uint64_t surplus)
{
    // The far end's video first, as it was cut last; then ours.
    for (const bool incoming : {true, false}) {
        for (const auto& channel : channels_) {
            if (surplus == 0)
                return;
            if (channel->fromRemote != incoming || !channel->open || channel->proposal ||
                channel->sessionId != VideoSessionId || channel->flowLimit == 0)
                continue;
            const std::uint64_t opened = bitRateOf(channel->format);
            const std::uint64_t ceiling =
                !incoming && channel->farEndLimit ? std::min(opened, channel->farEndLimit) : opened;
            if (channel->flowLimit >= ceiling)
                continue;
            const std::uint64_t raised = std::min(ceiling, channel->flowLimit + surplus);
            surplus -= raised - channel->flowLimit;
            // Back to the full rate: the limit goes (ours stays the far end's, if any).
            channel->flowLimit = raised == opened ? 0 : raised;
            applyVideoLimit(*channel);
        }
    }
}

std::uint32_t Connection::keepWithin(std::uint32_t allowed)
{
    if (const std::uint32_t now = callBandwidth(); now > allowed)
        cutVideo(false, std::uint64_t{now - allowed} * 100);
    if (const std::uint32_t now = callBandwidth(); now > allowed)
        cutVideo(true, std::uint64_t{now - allowed} * 100);
    if (const std::uint32_t now = callBandwidth(); now < allowed)
        restoreVideo(std::uint64_t{allowed - now} * 100);
    // What the call now uses is what the gatekeeper holds for it: no request follows.
    const std::uint32_t now = callBandwidth();
    grantedBandwidth_ = now;
    return now;
}

bool Connection::measureRoundTripDelay()
{
    if (!h245Ready_ || isReleased())
        return false;
    onNetwork([this] {
        if (released_)
            return;
        roundTrip_->measure();
        flushTunnelled();
    });
    return true;
}

std::optional<std::chrono::microseconds> Connection::roundTripDelay() const
{
    return roundTrip_->delay();
}

} // namespace voip::h323
