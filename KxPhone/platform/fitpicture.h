#pragma once

#include <cstdint>
#include <vector>

/// Converts one row-major picture of 4 octets a pixel into I420 (libyuv's signature).
using ToI420 = int (*)(const std::uint8_t*, int, std::uint8_t*, int, std::uint8_t*, int,
                       std::uint8_t*, int, int, int);

/// A captured picture (`pixels`, `pixelsWidth` x `pixelsHeight`, `stride` octets a row, 4
/// octets a pixel) fitted into width x height (even) with its shape kept, black bars
/// where the shapes differ (a 2:1 window is not stretched to 16:9), and converted to
/// I420 into `picture` by `convert`.  `scratch` holds the fitted picture between the two.
void fitIntoI420(const std::uint8_t* pixels, unsigned pixelsWidth, unsigned pixelsHeight,
                 int stride, ToI420 convert, std::vector<std::uint8_t>& scratch,
                 std::vector<std::uint8_t>& picture, unsigned width, unsigned height);
