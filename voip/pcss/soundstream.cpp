#include "voip/pcss/soundstream.h"

#include <utility>

#include "voip/device/medialog.h"

namespace voip::pcss {

SoundStream::SoundStream(std::shared_ptr<SoundChannel> channel, const SoundParams& params,
                         unsigned sessionId, bool isSource, unsigned frameMs)
    : FrameStream(pcmMediaFormat(params.sampleRate), sessionId, isSource)
    , params_(params)
    , frameMs_(frameMs == 0 ? 20 : frameMs)
    , channel_(std::move(channel))
{}

SoundStream::~SoundStream()
{
    close();
}

std::shared_ptr<SoundChannel> SoundStream::channel() const
{
    std::lock_guard lock(mutex_);
    return channel_;
}

bool SoundStream::replaceChannel(std::shared_ptr<SoundChannel> channel)
{
    if (!channel || !channel->isOpen() || channel->params().sampleRate != params_.sampleRate ||
        channel->params().channels != 1)
        return false;
    std::shared_ptr<SoundChannel> old;
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return false;
        old = std::exchange(channel_, std::move(channel));
    }
    // Wakes a read or write waiting on the old device; it retries on the new one.
    if (old)
        old->close();
    return true;
}

bool SoundStream::onOpen()
{
    std::lock_guard lock(mutex_);
    if (!channel_ || closed_)
        return false;
    if (!channel_->isOpen()) {
        if (auto status = channel_->open(params_); !status) {
            setLastError(status.error().message);
            return false;
        }
    }
    position_ = 0;
    return true;
}

void SoundStream::onClose()
{
    std::shared_ptr<SoundChannel> channel;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        channel = channel_;
    }
    // The channel object stays reachable (volume and mute of a finished call are
    // harmless on a closed channel) until the stream goes.
    if (channel)
        channel->close();
}

MediaStatus SoundStream::failed(const std::shared_ptr<SoundChannel>& channel,
                                const MediaStatus& status)
{
    const std::string message =
        describe() + ": sound device \"" + channel->name() + "\" failed: " + status.error().message;
    setLastError(message);
    logMediaError(message);
    return MediaFailure{status.error().kind, message};
}

MediaStatus SoundStream::readFrame(StreamFrame& frame)
{
    if (!isSource())
        return FrameStream::readFrame(frame);
    const unsigned samples = params_.sampleRate * frameMs_ / 1000;
    frame = StreamFrame{};
    frame.pcm.resize(samples);
    // A replacement during the read closes the old channel; the read is then done again
    // on the new one.  Bounded: each pass needs another replacement.
    for (;;) {
        auto channel = this->channel();
        if (!isOpen() || !channel)
            return MediaFailure{MediaError::Closed, describe() + " is closed"};
        auto status = channel->read(frame.pcm);
        if (status) {
            std::lock_guard lock(mutex_);
            frame.timestamp = position_;
            position_ += samples;
            return status;
        }
        if (status.error().kind == MediaError::EndOfStream)
            return status;
        if (status.error().kind == MediaError::Closed) {
            if (this->channel() != channel && isOpen())
                continue;
            return MediaFailure{MediaError::Closed, describe() + " closed"};
        }
        if (this->channel() != channel && isOpen())
            continue;
        return failed(channel, status);
    }
}

MediaStatus SoundStream::writeFrame(const StreamFrame& frame)
{
    if (isSource())
        return FrameStream::writeFrame(frame);
    if (frame.pcm.empty())
        return isOpen() ? MediaStatus()
                        : MediaFailure{MediaError::Closed, describe() + " is closed"};
    for (;;) {
        auto channel = this->channel();
        if (!isOpen() || !channel)
            return MediaFailure{MediaError::Closed, describe() + " is closed"};
        auto status = channel->write(frame.pcm);
        if (status)
            return status;
        if (this->channel() != channel && isOpen())
            continue;
        if (status.error().kind == MediaError::Closed)
            return MediaFailure{MediaError::Closed, describe() + " closed"};
        return failed(channel, status);
    }
}

} // namespace voip::pcss
