#include "voip/device/videooutput.h"

namespace voip {

void MemoryVideoOutput::showFrame(const VideoFrame& frame)
{
    std::lock_guard lock(mutex_);
    ++frames_;
    last_ = frame;
}

uint64_t MemoryVideoOutput::frames() const
{
    std::lock_guard lock(mutex_);
    return frames_;
}

VideoFrame MemoryVideoOutput::lastFrame() const
{
    std::lock_guard lock(mutex_);
    return last_;
}

} // namespace voip
