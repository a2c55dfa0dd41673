#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace voip::h264 {

/// What a sequence parameter set says of the pictures that follow it.
struct SequenceParameters
{
    uint8_t profileIdc = 0;
    uint8_t constraintFlags = 0;
    uint8_t levelIdc = 0;
    unsigned id = 0;
    unsigned chromaFormat = 1; ///< 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
    unsigned bitDepthLuma = 8;
    unsigned widthInMacroblocks = 0;
    unsigned heightInMacroblocks = 0; ///< of the frame (field pairs counted as one)
    unsigned width = 0;               ///< luma samples after cropping
    unsigned height = 0;
};

/// The most macroblocks a frame may have that this engine decodes: H.264 level 5.1's
/// MaxFS (4096x2304).
inline constexpr unsigned MaxFrameMacroblocks = 36864;

/// Reads a sequence parameter set NAL unit (with its one-octet header, emulation
/// prevention octets still in), or nothing with the reason in `error`: not an SPS, a
/// value out of its range (H.264 7.4.2.1.1), a frame larger than MaxFrameMacroblocks, a
/// cropping that leaves nothing, or fewer bits than the fields need.  The VUI is not read.
std::optional<SequenceParameters> parseSequenceParameterSet(std::span<const uint8_t> nal,
                                                            std::string* error = nullptr);

} // namespace voip::h264
