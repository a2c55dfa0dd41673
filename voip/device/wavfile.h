#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "voip/device/mediastatus.h"

namespace voip {

/// The sound of a WAV file: 16-bit samples, interleaved by channel.
struct WavAudio
{
    unsigned channels = 1;
    unsigned sampleRate = 8000;
    std::vector<int16_t> samples;
};

/// Reads a RIFF/WAVE file of 16-bit (or 8-bit) PCM.  Headers that do not describe such a
/// file, chunk sizes beyond the file, or more than maxBytes of sample data are errors
/// (MediaError::BadData or Unsupported) with a message that names the fault.
MediaResult<WavAudio> readWavFile(const std::string& path, uint64_t maxBytes = 256u << 20);

/// The same from bytes in memory.
MediaResult<WavAudio> parseWav(std::span<const uint8_t> bytes);

/// Writes audio as a 16-bit PCM WAV file.
MediaStatus writeWavFile(const std::string& path, const WavAudio& audio);

/// Turns interleaved audio into `channels` channels at `sampleRate` (channel mixing by
/// averaging or copying, linear interpolation between sample rates).
std::vector<int16_t> convertAudio(const WavAudio& audio, unsigned channels, unsigned sampleRate);

/// Writes a WAV file as audio arrives.  The header's sizes are brought up to date about
/// once a second of audio and on close, so that the file is readable at any time.
class WavWriter
{
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    MediaStatus open(const std::string& path, unsigned channels, unsigned sampleRate);
    MediaStatus write(std::span<const int16_t> samples);
    MediaStatus close();
    bool isOpen() const { return file_ != nullptr; }
    uint64_t dataBytes() const { return dataBytes_; }

private:
    MediaStatus updateHeader();

    std::FILE* file_ = nullptr;
    unsigned channels_ = 1;
    unsigned sampleRate_ = 8000;
    uint64_t dataBytes_ = 0;
    uint64_t bytesSinceHeader_ = 0;
};

} // namespace voip
