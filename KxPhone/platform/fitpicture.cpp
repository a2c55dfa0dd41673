#include "KxPhone/platform/fitpicture.h"

#include <algorithm>

#include <libyuv/scale_argb.h>

void fitIntoI420(const std::uint8_t* pixels, unsigned pixelsWidth, unsigned pixelsHeight,
                 int stride, ToI420 convert, std::vector<std::uint8_t>& scratch,
                 std::vector<std::uint8_t>& picture, unsigned width, unsigned height)
{
    const std::uint8_t* source = pixels;
    int sourceStride = stride;
    // A picture of the size asked for is converted where it is, with no copy between.
    if (pixelsWidth != width || pixelsHeight != height) {
        unsigned fitWidth = width;
        unsigned fitHeight = height;
        if (std::uint64_t(pixelsWidth) * height > std::uint64_t(pixelsHeight) * width)
            fitHeight =
                std::max(2u, unsigned(std::uint64_t(width) * pixelsHeight / pixelsWidth) & ~1u);
        else
            fitWidth =
                std::max(2u, unsigned(std::uint64_t(height) * pixelsWidth / pixelsHeight) & ~1u);
        const std::size_t left = ((width - fitWidth) / 2) & ~1u;
        const std::size_t top = ((height - fitHeight) / 2) & ~1u;
        scratch.assign(std::size_t(width) * height * 4, 0); // black
        libyuv::ARGBScale(pixels, stride, int(pixelsWidth), int(pixelsHeight),
                          scratch.data() + (top * width + left) * 4, int(width * 4), int(fitWidth),
                          int(fitHeight), libyuv::kFilterBox);
        source = scratch.data();
        sourceStride = int(width * 4);
    }
    const std::size_t luma = std::size_t(width) * height;
    picture.resize(luma + luma / 2);
    convert(source, sourceStride, picture.data(), int(width), picture.data() + luma, int(width / 2),
            picture.data() + luma + luma / 4, int(width / 2), int(width), int(height));
}
