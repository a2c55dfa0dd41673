#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "voip/device/soundchannel.h"
#include "voip/media/stream.h"

namespace voip::pcss {

/// The local side's audio stream: 16-bit mono PCM from the microphone (source) or to the
/// loudspeaker (sink) on a sound channel that can be replaced while the stream runs, so
/// that a call can move to another device without its patch noticing.
///
/// Threads: readFrame/writeFrame run on the patch's thread; replaceChannel, channel and
/// close may be called from any other thread.  `mutex_` guards channel_ and position_;
/// it is never held across a device read or write (a replacement closes the old channel,
/// which wakes a waiting read or write, and the frame is then taken from the new one).
class SoundStream : public FrameStream
{
public:
    /// `channel` must be open with params.sampleRate, mono, 16-bit; `frameMs` is the length
    /// of each frame a source hands out.
    SoundStream(std::shared_ptr<SoundChannel> channel, const SoundParams& params,
                unsigned sessionId, bool isSource, unsigned frameMs);
    ~SoundStream() override;

    /// The channel in use (null after close).
    std::shared_ptr<SoundChannel> channel() const;
    /// Puts `channel` (open, same rate) in place of the current one, which is closed.
    /// False, with nothing changed, when the stream is closed or the channel is null,
    /// not open or at another rate.
    bool replaceChannel(std::shared_ptr<SoundChannel> channel);

    const SoundParams& params() const { return params_; }
    unsigned frameMs() const { return frameMs_; }

    MediaStatus readFrame(StreamFrame& frame) override;
    MediaStatus writeFrame(const StreamFrame& frame) override;

protected:
    bool onOpen() override;
    void onClose() override;

private:
    MediaStatus failed(const std::shared_ptr<SoundChannel>& channel, const MediaStatus& status);

    const SoundParams params_;
    const unsigned frameMs_;
    mutable std::mutex mutex_; // guards the members below
    std::shared_ptr<SoundChannel> channel_;
    uint32_t position_ = 0; ///< samples handed out (source timestamps)
    bool closed_ = false;
};

} // namespace voip::pcss
