#include "voip/pcss/pcssconnection.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>

#include "voip/base/trace.h"
#include "voip/h224/h224handler.h"
#include "voip/media/stream.h"
#include "voip/media/videostream.h"
#include "voip/pcss/pcssendpoint.h"

namespace voip::pcss {

PcssConnection::PcssConnection(const std::shared_ptr<Call>& call, PcssEndPoint& endpoint,
                               std::string address, std::string playDevice,
                               std::string recordDevice, StringOptions options)
    : Connection(call, endpoint, std::move(address), std::move(options))
    , pcss_(endpoint)
    , playDevice_(std::move(playDevice))
    , recordDevice_(std::move(recordDevice))
    , bufferCount_(endpoint.soundChannelBufferCount())
    , bufferTimeMs_(endpoint.soundChannelBufferTime())
{
    // The camera control of the call exists from the start, so that the application can
    // hold it before its channel opens.
    h224_ = h224::H224Handler::create(endpoint.localCameraCapabilities(),
                                      endpoint.createFeccObserver(*this));
    fecc_ = h224_->fecc();
}

PcssConnection::~PcssConnection() = default;

bool PcssConnection::joinMediaStream(Connection& network, MediaStream& stream)
{
    return pcss_.mediaJoiner().onOpened(network, stream);
}

void PcssConnection::unjoinMediaStream(Connection& owner, MediaStream& stream)
{
    pcss_.mediaJoiner().onClosed(owner, stream);
}

std::shared_ptr<MediaStream> PcssConnection::createMediaStream(const MediaFormat& format,
                                                               unsigned sessionId, bool isSource)
{
    VOIP_TRACE(3, "PCSS\tCreate media stream " << format.name() << (isSource ? " source" : " sink")
                                               << " session " << sessionId << " on " << describe());
    if (pcss_.takesMediaThroughCallbacks(format, isSource))
        return std::make_shared<MediaStream>(format, sessionId, isSource);
    switch (format.mediaType()) {
    case MediaType::Audio: {
        const auto& device = isSource ? recordDevice_ : playDevice_;
        auto channel = pcss_.createSoundChannel(*this, format, device, isSource);
        if (!channel)
            return nullptr;
        auto params = channel->params();
        return std::make_shared<SoundStream>(std::move(channel), params, sessionId, isSource,
                                             bufferTimeMs_);
    }
    case MediaType::Video:
        return createVideoStream(format, sessionId, isSource);
    case MediaType::H224:
        return createH224Stream(format, sessionId, isSource);
    }
    return nullptr;
}

std::shared_ptr<MediaStream> PcssConnection::createVideoStream(const MediaFormat& format,
                                                               unsigned sessionId, bool isSource)
{
    // Presentation content has its own source and output.
    const VideoRole role =
        format.hasOption(option::ContentRole) ? VideoRole::Content : VideoRole::Main;
    if (isSource) {
        if (!pcss_.hasVideoInput(*this, role))
            return nullptr;
        // Profile, level and bit rate as the format (and so the far end) has them.
        H264EncoderOptions encoding;
        std::string profile = format.stringOption(option::Profile, "High");
        std::transform(profile.begin(), profile.end(), profile.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        encoding.profile = profile;
        encoding.level = format.stringOption(option::Level, encoding.level);
        encoding.bitRate = unsigned(format.integerOption(option::TargetBitRate, encoding.bitRate));
        std::weak_ptr<Connection> self = shared_from_this();
        auto factory = [this, self, role]() -> MediaResult<std::unique_ptr<VideoInputDevice>> {
            auto leg = self.lock();
            if (!leg)
                return MediaFailure{MediaError::Closed, "the call has ended"};
            return pcss_.createVideoInputDevice(*this, role);
        };
        return std::make_shared<VideoSourceStream>(format, sessionId, std::move(factory),
                                                   pcss_.videoInputParams(role), encoding);
    }
    // A lost picture asks the far end, through the network leg, for a new one.
    std::weak_ptr<Connection> self = shared_from_this();
    std::function<void()> ask;
    if (pcss_.asksForPictures())
        ask = [self, sessionId] {
            if (auto leg = self.lock())
                if (auto network = leg->otherParty())
                    network->requestVideoUpdate(sessionId);
        };
    return std::make_shared<VideoSinkStream>(format, sessionId,
                                             pcss_.createVideoOutput(*this, role), ask);
}

void PcssConnection::OnVideoUpdateRequested(unsigned sessionId)
{
    if (auto video = std::dynamic_pointer_cast<VideoSourceStream>(findMediaStream(sessionId, true)))
        video->requestKeyFrame();
}

void PcssConnection::OnMediaFlowControl(unsigned sessionId, std::uint64_t bitsPerSecond)
{
    if (auto video = std::dynamic_pointer_cast<VideoSourceStream>(findMediaStream(sessionId, true)))
        video->setBitRate(unsigned(std::min<std::uint64_t>(bitsPerSecond, UINT32_MAX)));
}

void PcssConnection::OnMediaPathRate(unsigned sessionId, std::uint64_t bitsPerSecond)
{
    if (auto video = std::dynamic_pointer_cast<VideoSourceStream>(findMediaStream(sessionId, true)))
        video->setPathRate(unsigned(std::min<std::uint64_t>(bitsPerSecond, UINT32_MAX)));
}

std::shared_ptr<MediaStream> PcssConnection::createH224Stream(const MediaFormat& format,
                                                              unsigned sessionId, bool isSource)
{
    if (!h224_)
        return nullptr;
    return isSource ? h224_->openTransmit(format, sessionId) : h224_->openReceive(format, sessionId);
}

std::shared_ptr<SoundStream> PcssConnection::soundStream(bool isSource, unsigned sessionId) const
{
    for (const auto& stream : mediaStreams()) {
        if (stream->isSource() != isSource || stream->mediaFormat().mediaType() != MediaType::Audio)
            continue;
        if (sessionId != 0 && stream->sessionId() != sessionId)
            continue;
        if (auto sound = std::dynamic_pointer_cast<SoundStream>(stream))
            return sound;
    }
    return nullptr;
}

bool PcssConnection::setAudioDevice(bool isSource, const std::string& device, unsigned sessionId)
{
    auto stream = soundStream(isSource, sessionId);
    if (!stream || !stream->isOpen())
        return false;
    const auto direction = isSource ? SoundDirection::Recorder : SoundDirection::Player;
    SoundParams params = stream->params();
    params.driver = pcss_.soundDriver();
    params.device = device;
    params.direction = direction;
    auto current = stream->channel();
    if (current)
        params.driver = current->driverName();
    auto channel = createOpenedSoundChannel(params);
    if (!channel) {
        VOIP_TRACE(2, "PCSS\tCannot change to device \"" << device
                                                         << "\": " << channel.error().message);
        return false;
    }
    std::shared_ptr<SoundChannel> opened(channel.take());
    if (!stream->replaceChannel(opened)) {
        opened->close();
        return false;
    }
    VOIP_TRACE(3, "PCSS\tNow using device \"" << device << "\" on " << describe());
    return true;
}

} // namespace voip::pcss
