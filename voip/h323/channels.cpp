// What the logical channels of an H.323 connection need of it (RTP ports, media streams,
// the presentation's part), and the view of the channels other threads read.

#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"

#include "voip/base/trace.h"
#include "voip/core/call.h"
#include "voip/h323/capabilitymap.h"
#include "voip/h323/tpktchannel.h"
#include "voip/core/manager.h"
#include "voip/media/stream_rtp.h"
#include "voip/rtp/rtpsession.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

using namespace detail;

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

} // namespace

std::shared_ptr<MediaStream> Connection::createMediaStream(const MediaFormat& format,
                                                           unsigned sessionId, bool isSource)
{
    // Every media type the engine opens channels for runs on the session's RTP.
    const auto& sessions = channels_->sessions();
    if (auto found = sessions.find(sessionId); found != sessions.end() && found->second->media) {
        found->second->media->setMediaFormat(format.displayName());
        found->second->media->setClockRate(format.clockRate());
        if (!isSource && format.mediaType() == MediaType::Video) {
            // Loss the far end reports of our video: a key frame, whether it asks or not
            // (many do not), so that its picture mends.
            std::weak_ptr<Connection> weak = self();
            found->second->media->setLossHandler([weak, sessionId](std::uint32_t) {
                if (auto connection = weak.lock())
                    if (auto other = connection->otherParty())
                        other->OnVideoUpdateRequested(sessionId);
            });
            // And its rate follows what the path carries, as the far end's reports tell.
            // (A channel that names no rate: what the engine encodes at most.)
            const std::uint64_t named = bitRateOf(format);
            const auto ceiling =
                std::uint32_t(std::min<std::uint64_t>(named ? named : 4'000'000, UINT32_MAX));
            found->second->media->adaptSendRate(ceiling, [weak, sessionId](std::uint32_t rate,
                                                                           rtp::RateReason reason) {
                VOIP_TRACE(3, "H323\tVideo session " << sessionId << " to " << rate << " bit/s ("
                                                     << rtp::rateReasonName(reason) << ")");
                if (auto connection = weak.lock())
                    if (auto other = connection->otherParty())
                        other->OnMediaPathRate(sessionId, rate);
            });
        }
        if (isSource && format.mediaType() == MediaType::Video) {
            // What arrives of the far end's video: a sender that sends more than the path
            // carries, and does not come down by itself, is told to.
            std::weak_ptr<Connection> weak = self();
            found->second->media->setArrivalHandler([weak, sessionId](double fractionLost,
                                                                      double arrivedBitRate) {
                if (auto connection = weak.lock())
                    connection->onNetwork([connection, sessionId, fractionLost, arrivedBitRate] {
                        if (!connection->isReleased())
                            connection->bandwidth_->onArrival(sessionId, fractionLost,
                                                              arrivedBitRate);
                    });
            });
        }
        return std::make_shared<RtpMediaStream>(found->second->media, format, sessionId, isSource);
    }
    return std::make_shared<MediaStream>(format, sessionId, isSource);
}

std::unique_ptr<MediaSessionPorts> Connection::bindSession(unsigned sessionId)
{
    if (!signal_)
        return nullptr;
    auto local = signal_->localEndpoint().address();
    auto made = std::make_unique<MediaSessionPorts>();
    auto bindPair = [&](std::uint16_t rtpPort, std::uint16_t rtcpPort) {
        rtp::SessionConfig config;
        config.localAddress = local;
        config.portBase = rtpPort;
        config.portMax = rtpPort == 0 ? 0 : rtcpPort;
        // Video and data take every packet at once; audio plays through the jitter buffer.
        config.useJitterBuffer = sessionId == AudioSessionId;
        // Video's rate follows the far end's reports: they come twice a second, not every
        // five.
        // A lost video packet is asked for again at once: on most paths it comes before
        // the picture is due, where a new key frame costs a round trip and a big picture.
        if (sessionId != AudioSessionId && sessionId != DataSessionId) {
            config.rtcpInterval = rtp::SessionConfig::SteeringRtcpInterval;
            config.repairLoss = true;
        }
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
    return made;
}

bool Connection::closeLogicalChannel(std::uint16_t number)
{
    if (!h245Ready_ || isReleased())
        return false;
    onNetwork([this, number] {
        channels_->closeTransmitChannel(number);
        flushTunnelled();
    });
    return true;
}

void Connection::publishChannels()
{
    auto view = channels_->view(released_);
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

// --- what the logical channels need of the call ---

void Connection::Streams::channelOpened(const ChannelState& channel)
{
    if (channel.fromRemote) {
        if (isContentFormat(channel.format))
            connection_.presentation_->remoteContentOpened();
        return;
    }
    connection_.sendWantedMuteIndication();
    connection_.presentation_->contentOpened(channel.number);
}

void Connection::Streams::channelRefused(std::uint16_t number)
{
    connection_.presentation_->contentRefused(number);
}

void Connection::Streams::remoteChannelClosing(const ChannelState& channel)
{
    if (isContentFormat(channel.format))
        connection_.presentation_->remoteContentClosed();
}

bool Connection::Streams::closeRequested(std::uint16_t number)
{
    return connection_.presentation_->closeRequested(number);
}

void Connection::Streams::fastStartLeft()
{
    const auto& channels = connection_.channels_->list();
    connection_.fastStartActive_ = std::any_of(
        channels.begin(), channels.end(), [](const auto& channel) { return channel->fastStart; });
}

} // namespace voip::h323
