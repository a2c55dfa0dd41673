#pragma once

#include "voip/device/sound_paced.h"

namespace voip {

/// The one device of the Null driver.
inline constexpr const char* kNullSoundDevice = "Null Audio";

/// Driver "Null": reads give silence and writes are discarded, both paced in real time.
/// It opens kNullSoundDevice or kDefaultSoundDevice.
class NullSoundChannel final : public PacedSoundChannel
{
public:
    ~NullSoundChannel() override;
    std::string name() const override;
    std::string driverName() const override { return kNullDriver; }

    static std::vector<SoundDeviceInfo> devices();

protected:
    MediaStatus openDevice(const SoundParams& params) override;
    void closeDevice() override {}
    MediaStatus readSamples(std::span<int16_t> samples) override;
    MediaStatus writeSamples(std::span<const int16_t>) override { return MediaStatus(); }

private:
    std::string device_;
};

} // namespace voip
