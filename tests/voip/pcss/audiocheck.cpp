#include "tests/voip/pcss/audiocheck.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>
#include <system_error>

#include <unistd.h>

namespace voip::test {

/// A speech-like test signal: `silence` seconds of quiet, then a chirp between two
/// frequencies under a syllable-rate envelope.
std::vector<int16_t> testSignal(unsigned rate, double seconds, double from, double to,
                                double silence)
{
    std::vector<int16_t> samples(static_cast<size_t>(rate * (silence + seconds)), 0);
    const size_t start = static_cast<size_t>(rate * silence);
    double phase = 0;
    for (size_t i = start; i < samples.size(); ++i) {
        const double t = static_cast<double>(i - start) / rate;
        const double frequency = from + (to - from) * t / seconds;
        phase += 2 * std::numbers::pi * frequency / rate;
        const double envelope = 0.55 + 0.45 * std::sin(2 * std::numbers::pi * 4.0 * t);
        samples[i] = static_cast<int16_t>(9000 * envelope * std::sin(phase));
    }
    return samples;
}

/// Normalised cross-correlation of a[offset + i] with b[i] over their overlap.
double correlation(const std::vector<int16_t>& a, const std::vector<int16_t>& b, long offset,
                   size_t from, size_t count)
{
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = from; i < from + count; ++i) {
        const long j = offset + static_cast<long>(i);
        if (i >= b.size() || j < 0 || j >= static_cast<long>(a.size()))
            continue;
        const double x = a[static_cast<size_t>(j)], y = b[i];
        ab += x * y;
        aa += x * x;
        bb += y * y;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

/// The offset at which `received` best matches `sent`, searched on a window of the
/// received signal where the sent one is loud, then scored over the whole overlap.
Alignment align(const std::vector<int16_t>& sent, const std::vector<int16_t>& received,
                unsigned rate)
{
    Alignment best;
    const size_t window = rate / 4;
    const size_t from = rate / 2;
    if (received.size() < from + window)
        return best;
    double bestWindow = -1;
    for (long offset = -static_cast<long>(rate / 2); offset <= static_cast<long>(rate / 2);
         ++offset) {
        const double score = correlation(sent, received, offset, from, window);
        if (score > bestWindow) {
            bestWindow = score;
            best.offset = offset;
        }
    }
    // The whole overlap, leaving out the ends where the patch started or stopped.
    const size_t skip = rate / 10;
    const size_t end = std::min(received.size(), sent.size() - std::max<long>(0, best.offset));
    best.score =
        end > 2 * skip ? correlation(sent, received, best.offset, skip, end - 2 * skip) : 0;
    return best;
}

TempFolder::TempFolder()
{
    static std::atomic<int> counter{0};
    path = std::filesystem::temp_directory_path() /
           ("kx-audio-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path);
}

TempFolder::~TempFolder()
{
    std::error_code error;
    std::filesystem::remove_all(path, error);
}

} // namespace voip::test
