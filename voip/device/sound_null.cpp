#include "voip/device/sound_null.h"

#include <algorithm>

namespace voip {

NullSoundChannel::~NullSoundChannel()
{
    closeFromDestructor();
}

std::string NullSoundChannel::name() const
{
    return device_;
}

std::vector<SoundDeviceInfo> NullSoundChannel::devices()
{
    return {{kNullSoundDevice, "Silence in, nothing out", true}};
}

MediaStatus NullSoundChannel::openDevice(const SoundParams& params)
{
    if (params.device != kNullSoundDevice && params.device != kDefaultSoundDevice &&
        !params.device.empty())
        return MediaFailure{MediaError::NotFound,
                            "no Null sound device named \"" + params.device + "\""};
    device_ = params.device.empty() ? kDefaultSoundDevice : params.device;
    return MediaStatus();
}

MediaStatus NullSoundChannel::readSamples(std::span<int16_t> samples)
{
    std::fill(samples.begin(), samples.end(), int16_t(0));
    return MediaStatus();
}

} // namespace voip
