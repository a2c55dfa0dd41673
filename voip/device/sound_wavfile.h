#pragma once

#include "voip/device/sound_paced.h"
#include "voip/device/wavfile.h"

namespace voip {

/// Driver "WAVFile": the device name is a file path.  A recorder plays the file as the
/// microphone (converted to the channel's channel count and rate), paced in real time,
/// and at the end either starts again (SoundParams::loop) or ends with
/// MediaError::EndOfStream.  A player writes what it receives into a new WAV file whose
/// header is brought up to date as it grows and on close.
class WavFileSoundChannel final : public PacedSoundChannel
{
public:
    ~WavFileSoundChannel() override;
    std::string name() const override;
    std::string driverName() const override { return kWavFileDriver; }

protected:
    MediaStatus openDevice(const SoundParams& params) override;
    void closeDevice() override;
    MediaStatus readSamples(std::span<int16_t> samples) override;
    MediaStatus writeSamples(std::span<const int16_t> samples) override;

private:
    std::string path_;
    std::vector<int16_t> source_; ///< the whole file, converted
    size_t readPos_ = 0;
    bool loop_ = false;
    WavWriter writer_;
};

} // namespace voip
