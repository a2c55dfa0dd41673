#pragma once
// The colour of one pixel of an I420 picture, back in RGB (approximately: video range,
// BT.601), and whether two colours are near.

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace kxtest {

/// 0xRRGGBB of the pixel (x, y) of an I420 picture of width x height (both even).
inline std::uint32_t rgbOfI420(const std::uint8_t* picture, unsigned width, unsigned height,
                               unsigned x, unsigned y)
{
    const std::size_t luma = std::size_t(width) * height;
    const double Y = picture[std::size_t(y) * width + x] - 16.0;
    const double U = picture[luma + std::size_t(y / 2) * (width / 2) + x / 2] - 128.0;
    const double V = picture[luma + luma / 4 + std::size_t(y / 2) * (width / 2) + x / 2] - 128.0;
    auto clamp = [](double v) { return std::uint32_t(std::clamp(v, 0.0, 255.0) + 0.5); };
    return clamp(1.164 * Y + 1.596 * V) << 16 | clamp(1.164 * Y - 0.392 * U - 0.813 * V) << 8 |
           clamp(1.164 * Y + 2.017 * U);
}

/// Whether every channel of the two colours differs by at most `tolerance`.
inline bool nearColour(std::uint32_t a, std::uint32_t b, int tolerance)
{
    for (int shift : {0, 8, 16})
        if (std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) > tolerance)
            return false;
    return true;
}

} // namespace kxtest
