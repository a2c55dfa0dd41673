#pragma once

#include <cstdint>
#include <optional>

#include "voip/device/videoframe.h"

namespace voip::test {

/// PSNR in dB between two pictures of one size, over all three planes (99 when equal).
double psnr(const VideoFrame& a, const VideoFrame& b);

/// The FakeVideo test pattern's number of a picture that is the pattern it claims to be
/// (its number readable and the picture within 30 dB of what was drawn); nothing for a
/// damaged picture.
std::optional<std::uint32_t> cleanPatternNumber(const VideoFrame& frame);

} // namespace voip::test
