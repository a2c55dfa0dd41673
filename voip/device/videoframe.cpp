#include "voip/device/videoframe.h"

#include <algorithm>
#include <utility>

#include <libyuv/scale.h>

namespace voip {

std::size_t VideoFrame::sizeFor(unsigned width, unsigned height)
{
    const std::size_t chroma = std::size_t((width + 1) / 2) * ((height + 1) / 2);
    return std::size_t(width) * height + 2 * chroma;
}

VideoFrame VideoFrame::black(unsigned width, unsigned height)
{
    VideoFrame frame;
    frame.width = width;
    frame.height = height;
    frame.data.assign(sizeFor(width, height), 128);
    std::fill(frame.data.begin(), frame.data.begin() + std::ptrdiff_t(width * height), 16);
    return frame;
}

uint8_t* VideoFrame::plane(int index)
{
    return const_cast<uint8_t*>(std::as_const(*this).plane(index));
}

const uint8_t* VideoFrame::plane(int index) const
{
    const std::size_t luma = std::size_t(width) * height;
    const std::size_t chroma = std::size_t(stride(1)) * planeHeight(1);
    return data.data() + (index == 0 ? 0 : index == 1 ? luma : luma + chroma);
}

bool VideoFrame::scaleInto(VideoFrame& out, unsigned outWidth, unsigned outHeight) const
{
    if (width == 0 || height == 0 || outWidth == 0 || outHeight == 0 ||
        data.size() != sizeFor(width, height) || outWidth > 16384 || outHeight > 16384)
        return false;
    if (&out == this)
        return outWidth == width && outHeight == height;
    out.width = outWidth;
    out.height = outHeight;
    out.data.resize(sizeFor(outWidth, outHeight));
    if (outWidth == width && outHeight == height) {
        std::copy(data.begin(), data.end(), out.data.begin());
        return true;
    }
    return libyuv::I420Scale(plane(0), int(stride(0)), plane(1), int(stride(1)), plane(2),
                             int(stride(2)), int(width), int(height), out.plane(0),
                             int(out.stride(0)), out.plane(1), int(out.stride(1)), out.plane(2),
                             int(out.stride(2)), int(outWidth), int(outHeight),
                             libyuv::kFilterBox) == 0;
}

} // namespace voip
