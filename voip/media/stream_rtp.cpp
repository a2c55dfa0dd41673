#include "voip/media/stream_rtp.h"

#include <random>

#include "voip/media/codec.h"
#include "voip/rtp/jitterbuffer.h"
#include "voip/rtp/rtpsession.h"

namespace voip {

RtpMediaStream::RtpMediaStream(std::shared_ptr<rtp::RtpSession> session, const MediaFormat& format,
                               unsigned sessionId, bool isSource,
                               std::chrono::milliseconds pollInterval)
    : FrameStream(format, sessionId, isSource)
    , session_(std::move(session))
    , pollInterval_(std::max(std::chrono::milliseconds(1), pollInterval))
{}

RtpMediaStream::~RtpMediaStream()
{
    close();
}

bool RtpMediaStream::onOpen()
{
    if (!session_) {
        setLastError("no RTP session");
        return false;
    }
    session_->setMediaFormat(mediaFormat().displayName());
    if (isSource()) {
        // Constant-rate payloads let the jitter buffer find a peer's real timestamp clock.
        if (const auto* codec = findAudioCodec(mediaFormat().name()))
            session_->setPayloadBytesPerMs(codec->bytesPerSecond / 1000.0);
        if (!session_->usesJitterBuffer()) {
            auto inbox = std::make_shared<Inbox>();
            inbox_ = inbox;
            session_->setPacketHandler(
                [this, inbox](const rtp::MediaFrame& packet) { receiveDirect(*inbox, packet); });
        }
    } else {
        timestampOffset_ = std::random_device{}();
    }
    std::lock_guard lock(mutex_);
    closed_ = false;
    return true;
}

void RtpMediaStream::onClose()
{
    if (inbox_) {
        session_->setPacketHandler(nullptr);
        std::lock_guard lock(inbox_->mutex);
        inbox_->closed = true;
        inbox_->wake.notify_all();
    }
    std::lock_guard lock(mutex_);
    closed_ = true;
    wake_.notify_all();
}

void RtpMediaStream::receiveDirect(Inbox& inbox, const rtp::MediaFrame& packet) const
{
    if (int(packet.payloadType) != mediaFormat().payloadType())
        return;
    std::lock_guard lock(inbox.mutex);
    if (inbox.closed)
        return;
    StreamFrame frame;
    frame.payload = packet.payload;
    frame.timestamp = packet.timestamp;
    frame.marker = packet.marker;
    const bool wasEmpty = inbox.frames.empty();
    const bool wasHolding = inbox.reorderer.held() > 0;
    inbox.reorderer.setMaxWait(session_->repairWait());
    inbox.reorderer.add(packet.sequence, std::move(frame), std::chrono::steady_clock::now(),
                        inbox.frames);
    while (inbox.frames.size() > Inbox::MaxPackets) {
        // The oldest goes, and the next one carries its loss as well as its own.
        const uint32_t dropped = 1 + inbox.frames.front().lostBefore;
        inbox.frames.pop_front();
        inbox.frames.front().lostBefore += dropped;
    }
    // The reader waits for frames, or for the time to give up a gap.
    if ((wasEmpty && !inbox.frames.empty()) || (!wasHolding && inbox.reorderer.held() > 0))
        inbox.wake.notify_one();
}

MediaStatus RtpMediaStream::readDirect(StreamFrame& frame)
{
    std::unique_lock lock(inbox_->mutex);
    for (;;) {
        if (!inbox_->frames.empty()) {
            frame = std::move(inbox_->frames.front());
            inbox_->frames.pop_front();
            return MediaStatus();
        }
        if (inbox_->closed)
            return MediaFailure{MediaError::Closed, describe() + " closed"};
        if (const auto deadline = inbox_->reorderer.deadline()) {
            if (inbox_->wake.wait_until(lock, *deadline) == std::cv_status::timeout)
                inbox_->reorderer.expire(std::chrono::steady_clock::now(), inbox_->frames);
        } else {
            inbox_->wake.wait(lock);
        }
    }
}

uint64_t RtpMediaStream::otherPayloadFrames() const
{
    std::lock_guard lock(mutex_);
    return otherPayload_;
}

MediaStatus RtpMediaStream::readFrame(StreamFrame& frame)
{
    if (!isSource())
        return FrameStream::readFrame(frame);
    if (inbox_)
        return readDirect(frame);
    const int payloadType = mediaFormat().payloadType();
    std::unique_lock lock(mutex_);
    while (!closed_) {
        lock.unlock();
        auto received = session_->readFrame();
        lock.lock();
        if (received) {
            if (int(received->payloadType) != payloadType) {
                ++otherPayload_;
                continue;
            }
            frame = StreamFrame{};
            frame.payload = std::move(received->payload);
            frame.timestamp = received->timestamp;
            frame.marker = received->marker;
            // What was said lost while waiting is not lost twice.
            frame.lostBefore = received->lostBefore - std::min(received->lostBefore, reportedLost_);
            const uint32_t step = received->timestamp - lastTimestamp_;
            if (lastFrame_ && step > 0 && step <= mediaFormat().clockRate() / 5 &&
                received->lostBefore == 0)
                frameTicks_ = step;
            lastTimestamp_ = received->timestamp;
            lastFrame_ = std::chrono::steady_clock::now();
            reportedLost_ = 0;
            return MediaStatus();
        }
        if (overdue(frame))
            return MediaStatus();
        wake_.wait_for(lock, pollInterval_, [this] { return closed_; });
    }
    return MediaFailure{MediaError::Closed, describe() + " closed"};
}

bool RtpMediaStream::overdue(StreamFrame& frame)
{
    if (!session_->usesJitterBuffer() || !lastFrame_ || frameTicks_ == 0)
        return false;
    const auto frameTime = std::chrono::microseconds(
        std::uint64_t(frameTicks_) * 1000000 / std::max(1u, mediaFormat().clockRate()));
    const auto now = std::chrono::steady_clock::now();
    if (now - *lastFrame_ < frameTime * OverdueFrames ||
        frameTime * (reportedLost_ + 1) > MaxLateLoss)
        return false;
    *lastFrame_ += frameTime;
    ++reportedLost_;
    frame = StreamFrame{};
    frame.timestamp = lastTimestamp_ + frameTicks_ * reportedLost_;
    frame.lostBefore = 1;
    return true;
}

MediaStatus RtpMediaStream::writeFrame(const StreamFrame& frame)
{
    if (isSource())
        return FrameStream::writeFrame(frame);
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return MediaFailure{MediaError::Closed, describe() + " closed"};
    }
    if (session_->send(frame.payload, frame.timestamp + timestampOffset_, frame.marker,
                       uint8_t(mediaFormat().payloadType()))) {
        failedSends_ = 0;
        return MediaStatus();
    }
    // One lost datagram is not the end of the stream; a second of them is.
    if (++failedSends_ < kMaxFailedSends)
        return MediaStatus();
    const std::string message = describe() + ": RTP sends keep failing";
    setLastError(message);
    return MediaFailure{MediaError::DeviceFailure, message};
}

bool RtpMediaStream::encrypted() const
{
    return isSource() ? session_->receivesEncrypted() : session_->sendsEncrypted();
}

} // namespace voip
