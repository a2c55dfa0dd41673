#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "voip/device/videoinput.h"

namespace voip {

/// Driver "FakeVideo": moving colour bars with the picture's number drawn in as a row of
/// blocks (24 bits, most significant first, between a white and a black guard block), so
/// that a receiver can tell pictures apart and count what it lost, even after lossy
/// coding.  Paced in real time at the frame rate.  The device "unplug-after=N" stands for a
/// camera pulled out after N pictures: reading fails from then on.
class FakeVideoInput final : public VideoInputDevice
{
public:
    std::string driverName() const override { return kFakeVideoDriver; }
    MediaStatus open(const VideoInputParams& params) override;
    MediaStatus readFrame(VideoFrame& frame) override;
    void close() override { open_ = false; }
    bool isOpen() const override { return open_; }

    /// Draws picture `number` of the pattern.
    static VideoFrame picture(unsigned width, unsigned height, uint32_t number);
    /// The number drawn into a picture, or nothing when the blocks are not there.
    static std::optional<uint32_t> readNumber(const VideoFrame& frame);

private:
    VideoInputParams params_;
    bool open_ = false;
    uint32_t next_ = 0;
    std::optional<uint32_t> unplugAfter_;
    std::chrono::steady_clock::time_point start_;
};

} // namespace voip
