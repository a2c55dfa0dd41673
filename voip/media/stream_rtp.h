#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <optional>
#include <mutex>

#include "voip/media/reorder.h"
#include "voip/media/stream.h"

namespace voip {

namespace rtp {
class RtpSession;
struct MediaFrame;
} // namespace rtp

/// A media stream on an RTP session: a sink sends each frame as one RTP packet with the
/// format's payload type; a source hands out the frames the session's jitter buffer
/// plays, in order, with the count of frames lost before each.
///
/// The session is shared by the two directions of a media session and stays running
/// when a stream closes: its owner stops it.  Received packets of another payload type
/// (comfort noise, telephone events) are skipped and counted, never decoded as audio.
///
/// Threads: readFrame() polls the jitter buffer every pollInterval and is woken at once
/// by close() from another thread; writeFrame() is the patch thread's.
class RtpMediaStream : public FrameStream
{
public:
    RtpMediaStream(std::shared_ptr<rtp::RtpSession> session, const MediaFormat& format,
                   unsigned sessionId, bool isSource,
                   std::chrono::milliseconds pollInterval = std::chrono::milliseconds(5));
    ~RtpMediaStream() override;

    const std::shared_ptr<rtp::RtpSession>& session() const { return session_; }
    bool encrypted() const override;
    /// Received frames skipped because their payload type was not the stream's.
    uint64_t otherPayloadFrames() const;

    MediaStatus readFrame(StreamFrame& frame) override;
    MediaStatus writeFrame(const StreamFrame& frame) override;

protected:
    bool onOpen() override;
    void onClose() override;

private:
    /// Packets of a session without a jitter buffer (video, data), put back in sequence
    /// order; shared with the session's packet handler, which may still run while the
    /// stream closes.
    struct Inbox
    {
        /// More than this many waiting packets: the oldest are dropped (and counted lost).
        static constexpr std::size_t MaxPackets = 2048;
        std::mutex mutex; // guards the members below
        std::condition_variable wake;
        /// Room for what arrives while a repair is waited for, at a few Mbit/s.
        PacketReorderer reorderer{std::chrono::milliseconds(40), 256};
        std::deque<StreamFrame> frames; ///< in order, for the reader
        bool closed = false;
    };
    void receiveDirect(Inbox& inbox, const rtp::MediaFrame& packet) const;
    MediaStatus readDirect(StreamFrame& frame);
    /// An audio frame overdue: `frame` becomes an empty one that says so.
    bool overdue(StreamFrame& frame);

    std::shared_ptr<rtp::RtpSession> session_;
    std::shared_ptr<Inbox> inbox_; // set while a direct source is open
    const std::chrono::milliseconds pollInterval_;
    uint32_t timestampOffset_ = 0; ///< random start of our timestamps (RFC 3550 5.1)
    static constexpr unsigned kMaxFailedSends = 50;
    unsigned failedSends_ = 0; ///< consecutive; patch thread only

    /// Audio: a frame overdue by this many frame times is said lost as it happens, so that
    /// the gap is filled while it lasts; at most MaxLateLoss of them in a row (a sender
    /// that stopped is not filled for ever).
    static constexpr unsigned OverdueFrames = 2;
    static constexpr std::chrono::milliseconds MaxLateLoss{3000};
    std::optional<std::chrono::steady_clock::time_point> lastFrame_; // reader only
    uint32_t lastTimestamp_ = 0;
    uint32_t frameTicks_ = 0;   ///< timestamp step of the last two frames
    uint32_t reportedLost_ = 0; ///< frames said lost since the last one that came

    mutable std::mutex mutex_; // guards closed_ and otherPayload_
    std::condition_variable wake_;
    bool closed_ = true;
    uint64_t otherPayload_ = 0;
};

} // namespace voip
