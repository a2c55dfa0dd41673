#include "voip/media/stream.h"

#include <span>

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
    return MediaFailure{MediaError::Unsupported, describe() + " cannot be read"};
}

MediaStatus FrameStream::writeFrame(const StreamFrame&)
{
    return MediaFailure{MediaError::Unsupported, describe() + " cannot be written"};
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
            return MediaFailure{MediaError::Closed, "the pipe's source is closed"};
        if (queue_.size() >= capacity_) {
            queue_.pop_front();
            ++dropped_;
        }
        queue_.push_back(frame);
        ready_.notify_one();
        return MediaStatus();
    }

    MediaStatus pop(StreamFrame& frame)
    {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !queue_.empty() || writerClosed_ || readerClosed_; });
        if (readerClosed_)
            return MediaFailure{MediaError::Closed, "pipe closed"};
        if (queue_.empty())
            return MediaFailure{MediaError::EndOfStream, "the pipe's sink closed"};
        frame = std::move(queue_.front());
        queue_.pop_front();
        return MediaStatus();
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
            return MediaFailure{MediaError::Closed, describe() + " is closed"};
        return pipe_->pop(frame);
    }

    MediaStatus writeFrame(const StreamFrame& frame) override
    {
        if (isSource())
            return FrameStream::writeFrame(frame);
        if (!isOpen())
            return MediaFailure{MediaError::Closed, describe() + " is closed"};
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
