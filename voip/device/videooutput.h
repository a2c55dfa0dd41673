#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "voip/device/videoframe.h"

namespace voip {

/// One picture of a scene: the part of `picture` to show (in its pixels), stretched over
/// a rectangle of the canvas.
struct VideoLayer
{
    std::shared_ptr<const VideoFrame> picture;
    unsigned partX = 0, partY = 0, partWidth = 0, partHeight = 0;
    unsigned x = 0, y = 0, width = 0, height = 0;
};

/// Pictures an output puts together itself (on the GPU), drawn in order over a canvas of
/// `width` x `height` that the output stretches over its whole surface.  A picture that
/// is the same object as in the scene before is unchanged.
struct VideoScene
{
    unsigned width = 0;
    unsigned height = 0;
    std::vector<VideoLayer> layers;
};

/// Where a video sink shows its pictures.  Called on the patch's thread.
class VideoOutput
{
public:
    virtual ~VideoOutput() = default;
    virtual void showFrame(const VideoFrame& frame) = 0;
    /// An output that draws scenes: it is handed the pictures and where they go in place
    /// of one composed picture.
    virtual bool drawsScenes() const { return false; }
    virtual void showScene(const VideoScene&) {}
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
