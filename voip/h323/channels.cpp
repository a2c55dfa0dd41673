// The logical channels of an H.323 connection: the media sessions, opening our
// channels as the far end's capabilities allow, and answering the far end's.

#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"

#include "voip/base/trace.h"
#include "voip/core/call.h"
#include "voip/h323/capabilitymap.h"
#include "voip/h323/tpktchannel.h"
#include "voip/core/manager.h"
#include "voip/media/stream_rtp.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

using namespace detail;

std::uint64_t detail::bitRateOf(const MediaFormat& format)
{
    if (format.mediaType() == MediaType::Audio)
        return 64000;
    if (auto capability = capabilityOfFormat(format))
        return std::uint64_t{capability->maxBitRate} * 100;
    return 0;
}

namespace {

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
        if (!opened)
            return false;
        made->media = opened.take();
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
                !connection->presentation_->opening(number))
                return;
            VOIP_TRACE(1,
                       "H323\tNo OpenLogicalChannelAck for content on " << connection->describe());
            connection->presentation_->contentRefused(number);
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
        presentation_->contentOpened(channel->number);
        break;
    }
    publishChannels();
}

void Connection::handleOpenLogicalChannel(const asn::Value& message)
{
    const auto number = static_cast<std::uint16_t>(
        h245::messageBody(message)[f245::forwardLogicalChannelNumber].integer());
    auto request = h245::readOpenLogicalChannel(message);
    if (!request) {
        queueH245(h245::buildOpenLogicalChannelReject(number, f245::unspecified));
        return;
    }
    const auto offered = mediaFormatsToOffer();
    const MediaFormat* format = formatOfCapability(offered, request->dataType);
    if (!format) {
        queueH245(h245::buildOpenLogicalChannelReject(number, f245::dataTypeNotSupported));
        return;
    }
    // A number still open is refused; the number of a fastStart channel may come again
    // through H.245 (the far end reopens it).
    for (const auto& channel : channels_) {
        if (channel->fromRemote && channel->number == number && !channel->fastStart) {
            queueH245(h245::buildOpenLogicalChannelReject(number, f245::unspecified));
            return;
        }
    }
    const unsigned sessionId =
        request->sessionId != 0 ? request->sessionId : sessionOfFormat(*format);
    Session* media = session(sessionId);
    if (!media) {
        queueH245(h245::buildOpenLogicalChannelReject(number, f245::insufficientBandwidth));
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
    if (content)
        presentation_->remoteContentOpened();
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
    bandwidth_->review();
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

} // namespace voip::h323
