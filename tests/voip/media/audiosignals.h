#pragma once
// Signals and measures shared by the media tests.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace voip::test {

/// A linear chirp from f0 to f1 Hz over `seconds`, at half of full scale.
inline std::vector<int16_t> chirp(unsigned rate, double f0, double f1, double seconds,
                                  double amplitude = 16000)
{
    std::vector<int16_t> out(size_t(rate * seconds));
    const double k = (f1 - f0) / seconds;
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = double(i) / rate;
        out[i] = int16_t(
            std::lround(amplitude * std::sin(2 * std::numbers::pi * (f0 * t + 0.5 * k * t * t))));
    }
    return out;
}

/// Normalised cross-correlation of a and b with b delayed by `lag` samples, over the
/// part of a that b covers.
inline double correlationAt(const std::vector<int16_t>& a, const std::vector<int16_t>& b,
                            size_t lag)
{
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < a.size() && i + lag < b.size(); ++i) {
        const double x = a[i], y = b[i + lag];
        ab += x * y;
        aa += x * x;
        bb += y * y;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

struct Alignment
{
    size_t lag = 0;
    double correlation = 0;
};

/// The delay of b against a (0..maxLag samples) where they correlate best.
inline Alignment align(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t maxLag)
{
    Alignment best;
    for (size_t lag = 0; lag <= maxLag; ++lag) {
        const double c = correlationAt(a, b, lag);
        if (c > best.correlation)
            best = {lag, c};
    }
    return best;
}

/// Signal-to-noise ratio in dB of b (delayed by lag) against the reference a, over the
/// samples both have, skipping `skip` samples at the start (codec start-up).
inline double snrDb(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t lag,
                    size_t skip = 0)
{
    double signal = 0, noise = 0;
    for (size_t i = skip; i < a.size() && i + lag < b.size(); ++i) {
        const double x = a[i], e = double(b[i + lag]) - x;
        signal += x * x;
        noise += e * e;
    }
    return noise > 0 ? 10 * std::log10(signal / noise) : 200;
}

} // namespace voip::test
