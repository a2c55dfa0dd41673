#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "voip/device/mediastatus.h"
#include "voip/media/mediastream.h"

namespace voip {

/// One unit of media a patch moves: an RTP payload of an encoded format, or 16-bit mono
/// samples of a PCM format ("PCM-16", "PCM-16-16kHz").
struct StreamFrame
{
    std::vector<uint8_t> payload; ///< encoded formats
    std::vector<int16_t> pcm;     ///< PCM formats
    uint32_t timestamp = 0;       ///< in the format's clock units (PCM: samples)
    bool marker = false;          ///< first frame of a talk spurt (RFC 3551 4.1)
    uint32_t lostBefore = 0;      ///< frames known lost right before this one
};

/// The MediaFormat of raw 16-bit mono PCM at 8000 or 16000 samples per second.
MediaFormat pcmMediaFormat(unsigned sampleRate);
/// True for the PCM formats pcmMediaFormat makes.
bool isPcmFormat(const MediaFormat& format);
/// The PCM sample rate a sound device must run at for a format: the codec's rate for an
/// encoded audio format (16000 for G.722, whose RTP clock says 8000), the format's own
/// for PCM, 0 for anything else.
unsigned pcmSampleRateFor(const MediaFormat& format);

/// A media stream that a patch reads frames from (source) or writes frames to (sink).
///
/// readFrame() and writeFrame() are called by the patch's thread only; close() may come
/// from any thread and makes a waiting readFrame() return MediaError::Closed.
class FrameStream : public MediaStream
{
public:
    using MediaStream::MediaStream;

    /// Source: waits for the next frame.  Closed after close(), EndOfStream when the media
    /// ended, DeviceFailure when the device or transport failed.
    virtual MediaStatus readFrame(StreamFrame& frame);
    /// Sink: takes one frame.
    virtual MediaStatus writeFrame(const StreamFrame& frame);

    /// The error that stopped this stream, empty while none did.
    std::string lastError() const;

protected:
    void setLastError(const std::string& error);

private:
    mutable std::mutex errorMutex_; // guards lastError_
    std::string lastError_;
};

/// The shared queue between the two ends of a stream pipe.
class FramePipe;

/// A sink and a source joined by a bounded queue: what is written to the sink is read
/// from the source, in order.  Joins two patches (for example a loopback or a test), or
/// hands frames between threads.  When the queue holds `capacity` frames the oldest is
/// dropped (counted in droppedFrames()).  Closing the sink ends the source once the queue
/// is empty (EndOfStream); closing the source makes writes fail.
std::pair<std::shared_ptr<FrameStream>, std::shared_ptr<FrameStream>>
makeStreamPipe(const MediaFormat& format, unsigned sessionId, size_t capacity = 50);

/// Frames dropped by a pipe because it was full (either end of the pipe).
uint64_t droppedFrames(const FrameStream& pipeEnd);

} // namespace voip
