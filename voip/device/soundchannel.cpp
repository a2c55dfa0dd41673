#include "voip/device/soundchannel.h"

#include <cctype>

#include "voip/device/sound_null.h"
#include "voip/device/sound_pulse.h"
#include "voip/device/sound_wavfile.h"

namespace voip {

namespace {

MediaFailure noDevice(const char* what)
{
    return MediaFailure{MediaError::Unsupported,
                        std::string("this sound device has no ") + what + " control"};
}

} // namespace

MediaStatus SoundChannel::setVolume(unsigned)
{
    return noDevice("volume");
}

MediaResult<unsigned> SoundChannel::volume() const
{
    return noDevice("volume");
}

MediaStatus SoundChannel::setMute(bool)
{
    return noDevice("mute");
}

MediaResult<bool> SoundChannel::mute() const
{
    return noDevice("mute");
}

MediaStatus validateSoundParams(const SoundParams& params)
{
    auto bad = [](std::string message) {
        return MediaFailure{MediaError::InvalidArgument, std::move(message)};
    };
    if (params.bitsPerSample != 16)
        return MediaFailure{MediaError::Unsupported, std::to_string(params.bitsPerSample) +
                                                         " bits per sample (only 16 is supported)"};
    if (params.channels < 1 || params.channels > 8)
        return bad(std::to_string(params.channels) + " channels");
    if (params.sampleRate < 1000 || params.sampleRate > 192000)
        return bad("sample rate " + std::to_string(params.sampleRate));
    if (params.bufferSize < 2 * params.channels || params.bufferSize > (1u << 20))
        return bad("buffer size " + std::to_string(params.bufferSize));
    if (params.bufferCount < 1 || params.bufferCount > 64)
        return bad("buffer count " + std::to_string(params.bufferCount));
    return MediaStatus();
}

std::vector<std::string> soundDriverNames()
{
    return {kPulseAudioDriver, kNullDriver, kWavFileDriver};
}

MediaResult<std::vector<SoundDeviceInfo>> listSoundDevices(const std::string& driver,
                                                           SoundDirection direction)
{
    if (driver == kPulseAudioDriver)
        return PulseSoundChannel::devices(direction);
    if (driver == kNullDriver)
        return NullSoundChannel::devices();
    if (driver == kWavFileDriver)
        return std::vector<SoundDeviceInfo>{}; // any file path is a device
    return MediaFailure{MediaError::NotFound, "no sound driver named \"" + driver + "\""};
}

std::vector<std::string> soundDeviceNames(const std::string& driver, SoundDirection direction)
{
    std::vector<std::string> names;
    auto devices = listSoundDevices(driver, direction);
    if (devices)
        for (const auto& device : devices.value())
            names.push_back(simplifyWhiteSpace(device.name));
    return names;
}

MediaResult<std::unique_ptr<SoundChannel>> createSoundChannel(const std::string& driver)
{
    std::unique_ptr<SoundChannel> channel;
    if (driver == kPulseAudioDriver)
        channel = std::make_unique<PulseSoundChannel>();
    else if (driver == kNullDriver)
        channel = std::make_unique<NullSoundChannel>();
    else if (driver == kWavFileDriver)
        channel = std::make_unique<WavFileSoundChannel>();
    else
        return MediaFailure{MediaError::NotFound, "no sound driver named \"" + driver + "\""};
    return channel;
}

MediaResult<std::unique_ptr<SoundChannel>> createOpenedSoundChannel(const SoundParams& params)
{
    auto channel = createSoundChannel(params.driver);
    if (!channel)
        return channel;
    if (auto status = channel.value()->open(params); !status)
        return status.error();
    return channel;
}

std::string simplifyWhiteSpace(const std::string& text)
{
    std::string out;
    bool pendingBlank = false;
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            pendingBlank = !out.empty();
            continue;
        }
        if (pendingBlank)
            out += ' ';
        pendingBlank = false;
        out += c;
    }
    return out;
}

} // namespace voip
