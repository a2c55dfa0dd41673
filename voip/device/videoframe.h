#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace voip {

/// One picture in I420 (planar 4:2:0): the Y plane, then U, then V, each without padding
/// (U and V are (width+1)/2 x (height+1)/2).
struct VideoFrame
{
    unsigned width = 0;
    unsigned height = 0;
    std::vector<uint8_t> data;
    /// Which picture this is, for a source that numbers its pictures: a picture with the
    /// number of the one before it is that same picture again. 0: not numbered.
    std::uint64_t serial = 0;

    static std::size_t sizeFor(unsigned width, unsigned height);
    /// A black picture of that size.
    static VideoFrame black(unsigned width, unsigned height);
    /// This picture scaled (box filter) into `out`, which becomes width x height; a copy
    /// when the sizes are equal.  False (and `out` unchanged) for an empty or inconsistent
    /// picture or a size of 0.
    bool scaleInto(VideoFrame& out, unsigned outWidth, unsigned outHeight) const;
    uint8_t* plane(int index);
    const uint8_t* plane(int index) const;
    unsigned stride(int index) const { return index == 0 ? width : (width + 1) / 2; }
    unsigned planeHeight(int index) const { return index == 0 ? height : (height + 1) / 2; }
};

} // namespace voip
