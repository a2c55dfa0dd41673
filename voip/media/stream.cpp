#include "voip/media/stream.h"

#include <span>

#include "voip/device/medialog.h"
#include "voip/device/soundchannel.h"
#include "voip/media/codec.h"

namespace voip {

MediaFormat pcmMediaFormat(unsigned sampleRate)
{
    // No RTP payload type: PCM never leaves the machine.  127 keeps the value in range.
    return MediaFormat(std::string(sampleRate == 16000 ? "PCM-16-16kHz" : "PCM-16"),
                       MediaType::Audio, sampleRate == 16000 ? 16000 : 8000, 127, "L16");
}

bool isPcmFormat(const MediaFormat& format)
{
    const auto name = format.name();
    return name == "PCM-16" || name == "PCM-16-16kHz";
}

unsigned pcmSampleRateFor(const MediaFormat& format)
{
    if (isPcmFormat(format))
        return format.clockRate();
    const auto* codec = findAudioCodec(format.name());
    return codec ? codec->sampleRate : 0;
}

MediaStatus FrameStream::readFrame(StreamFrame&)
{
    return MediaStatus::failure(MediaError::Unsupported, describe() + " cannot be read");
}

MediaStatus FrameStream::writeFrame(const StreamFrame&)
{
    return MediaStatus::failure(MediaError::Unsupported, describe() + " cannot be written");
}

std::string FrameStream::lastError() const
{
    std::lock_guard lock(errorMutex_);
    return lastError_;
}

void FrameStream::setLastError(const std::string& error)
{
    std::lock_guard lock(errorMutex_);
    lastError_ = error;
}

// --- SoundMediaStream

SoundMediaStream::SoundMediaStream(std::shared_ptr<SoundChannel> channel, const SoundParams& params,
                                   unsigned sessionId, bool isSource, unsigned frameMs)
    : FrameStream(pcmMediaFormat(params.sampleRate), sessionId, isSource)
    , channel_(std::move(channel))
    , params_(params)
    , frameMs_(frameMs == 0 ? 20 : frameMs)
{}

SoundMediaStream::~SoundMediaStream()
{
    close();
}

bool SoundMediaStream::onOpen()
{
    if (!channel_)
        return false;
    if (channel_->isOpen())
        return true;
    SoundParams params = params_;
    params.direction = isSource() ? SoundDirection::Recorder : SoundDirection::Player;
    if (auto status = channel_->open(params); !status) {
        setLastError(status.message());
        logMediaError(describe() + ": cannot open sound device \"" + params.device +
                      "\": " + status.message());
        return false;
    }
    position_ = 0;
    logMediaInfo(describe() + " opened on " + channel_->driverName() + " device \"" +
                 channel_->name() + "\"");
    return true;
}

void SoundMediaStream::onClose()
{
    if (channel_)
        channel_->close();
}

MediaStatus SoundMediaStream::deviceFailed(const MediaStatus& status)
{
    // A close from the owner is not a fault; anything else is, and is logged once.
    if (status.error() == MediaError::Closed || !isOpen())
        return MediaStatus::failure(MediaError::Closed, describe() + " closed");
    const std::string message =
        describe() + ": sound device \"" + channel_->name() + "\" failed: " + status.message();
    setLastError(message);
    logMediaError(message);
    return MediaStatus::failure(status.error(), message);
}

MediaStatus SoundMediaStream::readFrame(StreamFrame& frame)
{
    if (!isSource())
        return FrameStream::readFrame(frame);
    if (!isOpen())
        return MediaStatus::failure(MediaError::Closed, describe() + " is closed");
    // The channel's own parameters: it may have been opened before the stream.
    const auto& actual = channel_->params();
    const unsigned samples = actual.sampleRate * frameMs_ / 1000 * actual.channels;
    frame = StreamFrame{};
    frame.pcm.resize(samples);
    if (auto status = channel_->read(frame.pcm); !status) {
        if (status.error() == MediaError::EndOfStream)
            return status;
        return deviceFailed(status);
    }
    frame.timestamp = position_;
    position_ += samples / actual.channels;
    return MediaStatus::success();
}

MediaStatus SoundMediaStream::writeFrame(const StreamFrame& frame)
{
    if (isSource())
        return FrameStream::writeFrame(frame);
    if (!isOpen())
        return MediaStatus::failure(MediaError::Closed, describe() + " is closed");
    if (frame.pcm.empty())
        return MediaStatus::success();
    if (auto status = channel_->write(frame.pcm); !status)
        return deviceFailed(status);
    return MediaStatus::success();
}

MediaResult<std::shared_ptr<SoundMediaStream>>
createSoundMediaStream(const MediaFormat& format, SoundParams params, unsigned sessionId,
                       bool isSource, unsigned frameMs)
{
    const unsigned rate = pcmSampleRateFor(format);
    if (rate == 0)
        return MediaStatus::failure(MediaError::Unsupported,
                                    "no sound stream for format \"" + format.name() + "\"");
    if (frameMs == 0 || frameMs > 240)
        return MediaStatus::failure(MediaError::InvalidArgument,
                                    "sound frames of " + std::to_string(frameMs) + " ms");
    params.sampleRate = rate;
    params.channels = 1;
    params.bitsPerSample = 16;
    params.bufferSize = rate * frameMs / 1000 * 2;
    params.direction = isSource ? SoundDirection::Recorder : SoundDirection::Player;
    auto channel = createOpenedSoundChannel(params);
    if (!channel)
        return channel.status();
    auto stream = std::make_shared<SoundMediaStream>(std::shared_ptr<SoundChannel>(channel.take()),
                                                     params, sessionId, isSource, frameMs);
    if (!stream->open())
        return MediaStatus::failure(MediaError::DeviceFailure, "cannot open " + stream->describe() +
                                                                   ": " + stream->lastError());
    return stream;
}

// --- Stream pipe

class FramePipe
{
public:
    explicit FramePipe(size_t capacity)
        : capacity_(std::max<size_t>(1, capacity))
    {}

    MediaStatus push(const StreamFrame& frame)
    {
        std::lock_guard lock(mutex_);
        if (readerClosed_)
            return MediaStatus::failure(MediaError::Closed, "the pipe's source is closed");
        if (queue_.size() >= capacity_) {
            queue_.pop_front();
            ++dropped_;
        }
        queue_.push_back(frame);
        ready_.notify_one();
        return MediaStatus::success();
    }

    MediaStatus pop(StreamFrame& frame)
    {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !queue_.empty() || writerClosed_ || readerClosed_; });
        if (readerClosed_)
            return MediaStatus::failure(MediaError::Closed, "pipe closed");
        if (queue_.empty())
            return MediaStatus::failure(MediaError::EndOfStream, "the pipe's sink closed");
        frame = std::move(queue_.front());
        queue_.pop_front();
        return MediaStatus::success();
    }

    void closeWriter()
    {
        std::lock_guard lock(mutex_);
        writerClosed_ = true;
        ready_.notify_all();
    }

    void closeReader()
    {
        std::lock_guard lock(mutex_);
        readerClosed_ = true;
        queue_.clear();
        ready_.notify_all();
    }

    void reopen(bool reader)
    {
        std::lock_guard lock(mutex_);
        (reader ? readerClosed_ : writerClosed_) = false;
    }

    uint64_t dropped() const
    {
        std::lock_guard lock(mutex_);
        return dropped_;
    }

private:
    const size_t capacity_;
    mutable std::mutex mutex_; // guards everything below
    std::condition_variable ready_;
    std::deque<StreamFrame> queue_;
    bool writerClosed_ = false;
    bool readerClosed_ = false;
    uint64_t dropped_ = 0;
};

namespace {

class PipeEnd final : public FrameStream
{
public:
    PipeEnd(std::shared_ptr<FramePipe> pipe, const MediaFormat& format, unsigned sessionId,
            bool isSource)
        : FrameStream(format, sessionId, isSource)
        , pipe_(std::move(pipe))
    {}
    ~PipeEnd() override { close(); }

    MediaStatus readFrame(StreamFrame& frame) override
    {
        if (!isSource())
            return FrameStream::readFrame(frame);
        if (!isOpen())
            return MediaStatus::failure(MediaError::Closed, describe() + " is closed");
        return pipe_->pop(frame);
    }

    MediaStatus writeFrame(const StreamFrame& frame) override
    {
        if (isSource())
            return FrameStream::writeFrame(frame);
        if (!isOpen())
            return MediaStatus::failure(MediaError::Closed, describe() + " is closed");
        return pipe_->push(frame);
    }

    const FramePipe& pipe() const { return *pipe_; }

protected:
    bool onOpen() override
    {
        pipe_->reopen(isSource());
        return true;
    }
    void onClose() override
    {
        if (isSource())
            pipe_->closeReader();
        else
            pipe_->closeWriter();
    }

private:
    std::shared_ptr<FramePipe> pipe_;
};

} // namespace

std::pair<std::shared_ptr<FrameStream>, std::shared_ptr<FrameStream>>
makeStreamPipe(const MediaFormat& format, unsigned sessionId, size_t capacity)
{
    auto pipe = std::make_shared<FramePipe>(capacity);
    return {std::make_shared<PipeEnd>(pipe, format, sessionId, false),
            std::make_shared<PipeEnd>(pipe, format, sessionId, true)};
}

uint64_t droppedFrames(const FrameStream& pipeEnd)
{
    const auto* end = dynamic_cast<const PipeEnd*>(&pipeEnd);
    return end ? end->pipe().dropped() : 0;
}

} // namespace voip
