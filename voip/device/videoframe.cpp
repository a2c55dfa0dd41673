#include "voip/device/videoframe.h"

#include <algorithm>
#include <utility>

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

} // namespace voip
