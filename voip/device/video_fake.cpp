#include "voip/device/video_fake.h"

#include <algorithm>
#include <thread>

namespace voip {

namespace {

constexpr int NumberBits = 24;

/// Side of one block of the number: the row of 26 blocks fills most of the width.
unsigned blockSide(unsigned width)
{
    return std::max(4u, width / 32);
}

void fillLuma(VideoFrame& frame, unsigned x, unsigned y, unsigned side, uint8_t value)
{
    uint8_t* luma = frame.plane(0);
    for (unsigned row = y; row < std::min(y + side, frame.height); ++row)
        std::fill(luma + std::size_t(row) * frame.width + x,
                  luma + std::size_t(row) * frame.width + std::min(x + side, frame.width), value);
}

/// The mean luma of the middle half of a block.
unsigned blockMean(const VideoFrame& frame, unsigned x, unsigned y, unsigned side)
{
    const uint8_t* luma = frame.plane(0);
    unsigned sum = 0, count = 0;
    for (unsigned row = y + side / 4; row < y + 3 * side / 4 && row < frame.height; ++row)
        for (unsigned column = x + side / 4; column < x + 3 * side / 4 && column < frame.width;
             ++column) {
            sum += luma[std::size_t(row) * frame.width + column];
            ++count;
        }
    return count ? sum / count : 0;
}

} // namespace

MediaStatus FakeVideoInput::open(const VideoInputParams& params)
{
    if (params.width < 64 || params.height < 48 || params.width > 4096 || params.height > 2304 ||
        params.frameRate < 1 || params.frameRate > 60)
        return MediaFailure{MediaError::InvalidArgument,
                            "FakeVideo: " + std::to_string(params.width) + "x" +
                                std::to_string(params.height) + " at " +
                                std::to_string(params.frameRate) + " fps"};
    params_ = params;
    next_ = 0;
    unplugAfter_.reset();
    if (params.device.rfind("unplug-after=", 0) == 0) {
        try {
            unplugAfter_ = uint32_t(std::stoul(params.device.substr(13)));
        } catch (...) {
            return MediaFailure{MediaError::InvalidArgument,
                                "FakeVideo: bad device " + params.device};
        }
    }
    start_ = std::chrono::steady_clock::now();
    open_ = true;
    return MediaStatus();
}

MediaStatus FakeVideoInput::readFrame(VideoFrame& frame)
{
    if (!open_)
        return MediaFailure{MediaError::NotOpen, "FakeVideo is not open"};
    if (unplugAfter_ && next_ >= *unplugAfter_)
        return MediaFailure{MediaError::DeviceFailure, "FakeVideo: the camera is gone"};
    const auto due =
        start_ + std::chrono::microseconds(int64_t(next_) * 1'000'000 / params_.frameRate);
    std::this_thread::sleep_until(due);
    frame = picture(params_.width, params_.height, next_++);
    return MediaStatus();
}

VideoFrame FakeVideoInput::picture(unsigned width, unsigned height, uint32_t number)
{
    VideoFrame frame = VideoFrame::black(width, height);
    // Eight bars of luma and colour that move a little each picture.
    static constexpr uint8_t Y[] = {235, 210, 170, 145, 106, 81, 41, 16};
    static constexpr uint8_t U[] = {128, 16, 166, 54, 202, 90, 240, 128};
    static constexpr uint8_t V[] = {128, 146, 16, 34, 222, 240, 110, 128};
    const unsigned shift = (number * 4) % width;
    for (int p = 0; p < 3; ++p) {
        uint8_t* plane = frame.plane(p);
        const unsigned w = frame.stride(p);
        const unsigned h = frame.planeHeight(p);
        const unsigned s = p == 0 ? shift : shift / 2;
        for (unsigned row = 0; row < h; ++row)
            for (unsigned column = 0; column < w; ++column) {
                const unsigned bar = ((column + s) % w) * 8 / w;
                plane[std::size_t(row) * w + column] = p == 0 ? Y[bar] : p == 1 ? U[bar] : V[bar];
            }
    }
    // The number on a grey strip, so that the blocks stand out from the bars.
    const unsigned side = blockSide(width);
    const unsigned y = side;
    for (unsigned row = y - side / 2; row < y + side + side / 2 && row < height; ++row)
        std::fill(frame.plane(0) + std::size_t(row) * width,
                  frame.plane(0) + std::size_t(row + 1) * width, 128);
    unsigned x = side / 2;
    fillLuma(frame, x, y, side, 235);
    for (int bit = NumberBits - 1; bit >= 0; --bit) {
        x += side;
        fillLuma(frame, x, y, side, (number >> bit) & 1 ? 235 : 16);
    }
    fillLuma(frame, x + side, y, side, 16);
    return frame;
}

std::optional<uint32_t> FakeVideoInput::readNumber(const VideoFrame& frame)
{
    if (frame.width < 64 || frame.height < 48 ||
        frame.data.size() != VideoFrame::sizeFor(frame.width, frame.height))
        return std::nullopt;
    const unsigned side = blockSide(frame.width);
    unsigned x = side / 2;
    const unsigned y = side;
    if (blockMean(frame, x, y, side) < 180 ||
        blockMean(frame, x + side * (NumberBits + 1), y, side) > 70)
        return std::nullopt;
    uint32_t number = 0;
    for (int bit = 0; bit < NumberBits; ++bit) {
        x += side;
        number = number << 1 | (blockMean(frame, x, y, side) > 125 ? 1 : 0);
    }
    return number;
}

} // namespace voip
