#include "picturequality.h"

#include <cmath>

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

} // namespace voip::test
