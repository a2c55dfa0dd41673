#pragma once

// Helpers of the audio tests: a speech-like test signal, alignment and normalised
// cross-correlation of what was sent with what arrived, and a temporary folder.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace voip::test {

/// `silence` seconds of quiet, then `seconds` of a chirp between two frequencies under a
/// syllable-rate envelope.
std::vector<int16_t> testSignal(unsigned rate, double seconds, double from, double to,
                                double silence = 0.3);

/// Normalised cross-correlation of a[offset + i] with b[i], i in [from, from + count).
double correlation(const std::vector<int16_t>& a, const std::vector<int16_t>& b, long offset,
                   size_t from, size_t count);

struct Alignment
{
    long offset = 0; ///< sent index = received index + offset
    double score = 0;
};

/// The offset at which `received` best matches `sent` (searched within half a second on a
/// window half a second in), scored over the whole overlap less its ends.
Alignment align(const std::vector<int16_t>& sent, const std::vector<int16_t>& received,
                unsigned rate);

/// A folder of its own for one test's files, removed afterwards.
struct TempFolder
{
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string file(const std::string& name) const { return (path / name).string(); }
    std::filesystem::path path;
};

} // namespace voip::test
