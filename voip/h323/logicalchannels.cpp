// The logical channels of a call: opening ours as the far end's capabilities allow,
// answering the far end's, closing either, and the media sessions they run on.

#include "voip/h323/logicalchannels.h"

#include <algorithm>
#include <tuple>

#include <asio.hpp>

#include "voip/base/trace.h"
#include "voip/h323/capabilitymap.h"
#include "voip/h323/fields.h"
#include "voip/media/mediastream.h"
#include "voip/rtp/rtpsession.h"

namespace voip::h323 {

std::uint64_t bitRateOf(const MediaFormat& format)
{
    if (format.mediaType() == MediaType::Audio)
        return 64000;
    if (auto capability = capabilityOfFormat(format))
        return std::uint64_t{capability->maxBitRate} * 100;
    return 0;
}

namespace {

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

void MediaSessionPorts::updateRemote(const std::optional<h245::MediaAddress>& rtpAddress,
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

LogicalChannels::LogicalChannels(ControlLink& link, ChannelMedia& media,
                                 std::chrono::milliseconds answerTime)
    : link_(link)
    , media_(media)
    , answerTime_(answerTime)
{}

LogicalChannels::~LogicalChannels() = default;

MediaSessionPorts* LogicalChannels::session(unsigned sessionId)
{
    if (auto found = sessions_.find(sessionId); found != sessions_.end())
        return found->second.get();
    auto bound = media_.bindSession(sessionId);
    if (!bound)
        return nullptr;
    return (sessions_[sessionId] = std::move(bound)).get();
}

void LogicalChannels::reserveAbove(std::int64_t number)
{
    if (number >= next_ && number < 65535)
        next_ = static_cast<std::uint16_t>(number + 1);
}

void LogicalChannels::start()
{
    started_ = true;
    openChannels();
}

void LogicalChannels::openChannels(std::optional<unsigned> onlySession)
{
    const auto offered = media_.formatsToOffer();
    static constexpr std::pair<MediaType, unsigned> kinds[] = {
        {MediaType::Audio, AudioSessionId},
        {MediaType::Video, VideoSessionId},
        {MediaType::H224, DataSessionId},
    };
    for (const auto& kind : kinds) {
        const MediaType type = kind.first;
        const unsigned sessionId = kind.second; // a lambda below uses it: not a binding
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
    media_.channelsChanged();
}

void LogicalChannels::followNewCapabilities()
{
    // The far end's decoding changed during the call (or it paused us with an empty set):
    // a channel of ours it no longer takes as it is closes, and is opened again as the new
    // set allows.  Content follows its own presentation.
    const auto offered = media_.formatsToOffer();
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
                                       << link_.describe());
        link_.send(h245::buildCloseLogicalChannel(channel->number));
        closeChannel(*channel);
        return true;
    });
    openChannels();
}

const h245::Capability* LogicalChannels::remoteReceiveCapability(const MediaFormat& format) const
{
    const MediaFormatList single{format};
    const auto ours = capabilityOfFormat(format);
    const bool h264 = ours && (ours->type == h245::CapabilityType::H264 ||
                               ours->type == h245::CapabilityType::H239Content);
    // H.264 goes to the far end's best entry: its own profile first, then the most it
    // decodes (servers list a level per entry, the smallest not always last).
    const auto rank = [&](const h245::Capability& capability) {
        const H264Limits limits = h264ReceiverLimits(capability.h264);
        return std::make_tuple((capability.h264.profile & ours->h264.profile) != 0,
                               limits.maxFs * limits.maxMbps, capability.maxBitRate);
    };
    const h245::Capability* best = nullptr;
    for (const auto& capability : media_.remoteCapabilities().capabilities) {
        if (capability.direction == h245::CapabilityDirection::Transmit ||
            formatOfCapability(single, capability) == nullptr)
            continue;
        if (!h264)
            return &capability;
        if (!best || rank(capability) > rank(*best))
            best = &capability;
    }
    return best;
}

std::uint8_t LogicalChannels::remotePacketizationMode() const
{
    // H.241: a receiver that lists no mode takes single NAL units only.
    const auto& modes = media_.remoteCapabilities().h264PacketizationModes;
    return std::find(modes.begin(), modes.end(), 1) != modes.end() ? 1 : 0;
}

ChannelState* LogicalChannels::openTransmitChannel(const MediaFormat& ours,
                                                   const h245::Capability& theirs,
                                                   std::uint16_t number)
{
    const MediaFormat format = formatToTransmit(ours, theirs, remotePacketizationMode());
    const unsigned sessionId = sessionOfFormat(format);
    MediaSessionPorts* ports = session(sessionId);
    auto capability = capabilityOfFormat(format);
    if (!ports || !capability)
        return nullptr;
    auto channel = std::make_unique<ChannelState>();
    channel->number = number != 0 ? number : next_++;
    channel->sessionId = sessionId;
    channel->format = format;
    h245::LogicalChannel parameters;
    parameters.number = channel->number;
    parameters.dataType = *capability;
    // H.245: sessions beyond audio, video and data are numbered by the master; a slave
    // asks with 0 and the acknowledgement tells.
    parameters.sessionId =
        static_cast<std::uint8_t>(sessionId > DataSessionId && !media_.master() ? 0 : sessionId);
    parameters.mediaControlChannel = ports->rtcpAddress;
    parameters.traversal = media_.traversalToOffer();
    if (format.payloadType() >= FirstDynamicPayloadType)
        parameters.dynamicRtpPayloadType = static_cast<std::uint8_t>(format.payloadType());
    if (isH264(*capability))
        parameters.h264PacketizationMode =
            static_cast<std::uint8_t>(format.integerOption(option::PacketizationMode, 0));
    switch (media_.sealTransmit(parameters, theirs)) {
    case ChannelSeal::Refused:
        return nullptr;
    case ChannelSeal::Encrypted:
        channel->encrypted = true;
        channel->format.setPayloadType(*parameters.dynamicRtpPayloadType);
        break;
    case ChannelSeal::Clear:
        break;
    }
    auto message = h245::buildOpenLogicalChannel(parameters);
    if (!message.present())
        return nullptr;
    link_.send(message);
    const auto opened = channel->number;
    if (isContentFormat(format)) {
        // Content unanswered ends the presentation, not the call.
        channel->timer = link_.timer([this, opened] {
            VOIP_TRACE(1, "H323\tNo OpenLogicalChannelAck for content on " << link_.describe());
            media_.channelRefused(opened);
        });
    } else {
        channel->timer = link_.timer([this] {
            VOIP_TRACE(1, "H323\tNo OpenLogicalChannelAck in time on " << link_.describe());
            link_.fail(EndReason::MediaFailed);
        });
    }
    channel->timer->start(answerTime_);
    channels_.push_back(std::move(channel));
    return channels_.back().get();
}

void LogicalChannels::onOpenAck(const asn::Value& message)
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
        auto found = sessions_.find(channel->sessionId);
        if (found != sessions_.end())
            found->second->updateRemote(ack->mediaChannel, ack->mediaControlChannel);
        if (found == sessions_.end() ||
            !media_.transmitKeyed(*channel, ack->encryptionSync, *found->second)) {
            // Never sent clear in a channel the far end expects encrypted.
            const auto session = channel->sessionId;
            closeTransmitChannel(channel->number);
            if (started_)
                openChannels(session);
            return;
        }
        channel->stream = media_.openStream(channel->format, channel->sessionId, false);
        link_.send(h245::buildOpenLogicalChannelConfirm(ack->number));
        media_.channelOpened(*channel);
        break;
    }
    media_.channelsChanged();
}

void LogicalChannels::onOpen(const asn::Value& message)
{
    const auto number = static_cast<std::uint16_t>(
        h245::messageBody(message)[f245::forwardLogicalChannelNumber].integer());
    auto request = h245::readOpenLogicalChannel(message);
    if (!request) {
        link_.send(h245::buildOpenLogicalChannelReject(number, f245::unspecified));
        return;
    }
    const auto offered = media_.formatsToOffer();
    const MediaFormat* format = formatOfCapability(offered, request->dataType);
    if (!format) {
        link_.send(h245::buildOpenLogicalChannelReject(number, f245::dataTypeNotSupported));
        return;
    }
    // A number still open is refused; the number of a fastStart channel may come again
    // through H.245 (the far end reopens it).
    for (const auto& channel : channels_) {
        if (channel->fromRemote && channel->number == number && !channel->fastStart) {
            link_.send(h245::buildOpenLogicalChannelReject(number, f245::unspecified));
            return;
        }
    }
    const unsigned sessionId =
        request->sessionId != 0 ? request->sessionId : sessionOfFormat(*format);
    MediaSessionPorts* ports = session(sessionId);
    if (!ports) {
        link_.send(h245::buildOpenLogicalChannelReject(number, f245::insufficientBandwidth));
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
                               << link_.describe());
        closeChannel(*old);
        reopenOurs = reopenOurs || !theirs;
        return true;
    });
    if (leftFastStart)
        media_.fastStartLeft();
    h245::LogicalChannelAck ack;
    ack.number = number;
    ack.sessionId = static_cast<std::uint8_t>(sessionId);
    ack.mediaChannel = ports->rtpAddress;
    ack.mediaControlChannel = ports->rtcpAddress;
    // The far end sends with the payload type it names; ours may differ.
    MediaFormat received = *format;
    if (request->dynamicRtpPayloadType)
        received.setPayloadType(*request->dynamicRtpPayloadType);
    if (const auto refused = media_.sealReceive(*request, std::uint8_t(received.payloadType()),
                                                *ports, ack);
        !refused.empty()) {
        link_.send(h245::buildOpenLogicalChannelReject(number, refused));
        return;
    }
    // A relay's keep-alives start before the Ack: its media then finds the way in.
    ack.traversal = media_.traversalAccepted(sessionId, *ports, request->traversal);
    link_.send(h245::buildOpenLogicalChannelAck(ack));
    ports->updateRemote(std::nullopt, request->mediaControlChannel);
    auto channel = std::make_unique<ChannelState>();
    channel->number = number;
    channel->sessionId = sessionId;
    channel->fromRemote = true;
    channel->open = true;
    channel->format = received;
    channel->encrypted = request->encrypted;
    channel->stream = media_.openStream(channel->format, sessionId, true);
    const ChannelState& theirs = *channel;
    channels_.push_back(std::move(channel));
    if (reopenOurs && started_)
        openChannels(sessionId);
    media_.channelsChanged();
    media_.channelOpened(theirs);
}

void LogicalChannels::onOpenReject(const asn::Value& message)
{
    auto reject = h245::readOpenLogicalChannelReject(message);
    if (!reject)
        return;
    for (auto it = channels_.begin(); it != channels_.end(); ++it) {
        if (!(*it)->fromRemote && (*it)->number == reject->number) {
            VOIP_TRACE(2, "H323\tChannel " << reject->number << " rejected (" << reject->cause
                                           << ") on " << link_.describe());
            closeChannel(**it);
            channels_.erase(it);
            break;
        }
    }
    media_.channelRefused(reject->number);
    media_.channelsChanged();
}

void LogicalChannels::onClose(const asn::Value& message)
{
    auto close = h245::readCloseLogicalChannel(message);
    if (!close)
        return;
    for (auto it = channels_.begin(); it != channels_.end(); ++it) {
        if ((*it)->fromRemote && (*it)->number == close->number) {
            media_.remoteChannelClosing(**it);
            closeChannel(**it);
            channels_.erase(it);
            break;
        }
    }
    link_.send(h245::buildCloseLogicalChannelAck(close->number));
    media_.channelsChanged();
}

void LogicalChannels::onRequestClose(const asn::Value& message)
{
    auto request = h245::readRequestChannelClose(message);
    if (!request)
        return;
    link_.send(h245::buildRequestChannelCloseAck(request->number));
    if (media_.closeRequested(request->number))
        return;
    closeTransmitChannel(request->number);
}

bool LogicalChannels::closeTransmitChannel(std::uint16_t number, bool tell)
{
    bool found = false;
    for (auto it = channels_.begin(); it != channels_.end(); ++it) {
        if (!(*it)->fromRemote && (*it)->number == number) {
            if (tell)
                link_.send(h245::buildCloseLogicalChannel(number));
            closeChannel(**it);
            channels_.erase(it);
            found = true;
            break;
        }
    }
    media_.channelsChanged();
    return found;
}

void LogicalChannels::closeChannel(ChannelState& channel)
{
    if (channel.timer)
        channel.timer->cancel();
    channel.open = false;
    if (!channel.fastStart)
        media_.channelGone(channel.number, channel.fromRemote);
    if (channel.stream) {
        media_.closeStream(channel.stream);
        channel.stream.reset();
    }
}

void LogicalChannels::release()
{
    for (auto& channel : channels_) {
        if (channel->timer)
            channel->timer->cancel();
        channel->open = false;
    }
    // Streams still open keep their session until they close; this stops the sockets now.
    for (auto& [id, ports] : sessions_)
        if (ports->media)
            ports->media->stop();
    sessions_.clear();
    media_.channelsChanged();
}

std::vector<LogicalChannelInfo> LogicalChannels::view(bool released) const
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
        info.open = channel->open && !released;
        info.encrypted = channel->encrypted;
        view.push_back(std::move(info));
    }
    return view;
}

} // namespace voip::h323
