#pragma once

#include "voip/device/videoframe.h"

namespace voip::test {

/// PSNR in dB between two pictures of one size, over all three planes (99 when equal).
double psnr(const VideoFrame& a, const VideoFrame& b);

} // namespace voip::test
