#pragma once

#include <cstdint>
#include <mutex>
#include <span>

#include "voip/device/videoframe.h"

namespace voip {

/// Where a video sink shows its pictures.  Called on the patch's thread.
class VideoOutput
{
public:
    virtual ~VideoOutput() = default;
    virtual void showFrame(const VideoFrame& frame) = 0;
    /// Each coded picture as it arrives (H.264 access unit in Annex B), before decoding;
    /// an output that keeps the stream itself (diagnostics) overrides this.
    virtual void takeCodedPicture(std::span<const uint8_t>) {}
};

/// Keeps the last picture it was shown and counts them (tests, headless use).  Any thread.
class MemoryVideoOutput : public VideoOutput
{
public:
    void showFrame(const VideoFrame& frame) override;
    uint64_t frames() const;
    VideoFrame lastFrame() const;

private:
    mutable std::mutex mutex_; // guards the members below
    uint64_t frames_ = 0;
    VideoFrame last_;
};

} // namespace voip
