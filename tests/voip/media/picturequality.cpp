#include "picturequality.h"

#include <cmath>

#include "voip/device/video_fake.h"

namespace voip::test {

double psnr(const VideoFrame& a, const VideoFrame& b)
{
    double squared = 0;
    for (std::size_t i = 0; i < a.data.size(); ++i) {
        const double d = double(a.data[i]) - double(b.data[i]);
        squared += d * d;
    }
    const double mse = squared / double(a.data.size());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

std::optional<std::uint32_t> cleanPatternNumber(const VideoFrame& frame)
{
    const auto number = FakeVideoInput::readNumber(frame);
    if (!number || psnr(frame, FakeVideoInput::picture(frame.width, frame.height, *number)) <= 30)
        return std::nullopt;
    return number;
}

} // namespace voip::test
