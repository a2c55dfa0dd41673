#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "voip/device/mediastatus.h"

namespace voip {

/// Which way a sound channel moves audio.
enum class SoundDirection
{
    Recorder, ///< microphone: the channel is read
    Player,   ///< loudspeaker: the channel is written
};

/// The device name that stands for the system's default device of a driver.
inline constexpr const char* kDefaultSoundDevice = "Default audio";

inline constexpr const char* kPulseAudioDriver = "PulseAudio";
inline constexpr const char* kNullDriver = "Null";
inline constexpr const char* kWavFileDriver = "WAVFile";

/// Everything needed to open a sound channel.  Samples are signed 16-bit, native byte
/// order, interleaved when there is more than one channel.
struct SoundParams
{
    std::string driver = kPulseAudioDriver;
    std::string device = kDefaultSoundDevice;
    SoundDirection direction = SoundDirection::Recorder;
    unsigned channels = 1;
    unsigned sampleRate = 8000;
    unsigned bitsPerSample = 16;
    unsigned bufferSize = 320; ///< bytes per device buffer
    unsigned bufferCount = 2;
    /// WAVFile recorder: start again at the beginning at the end of the file, instead of
    /// ending the channel with MediaError::EndOfStream.
    bool loop = false;
};

/// Checks the parts of the parameters every driver needs; a message names the bad field.
MediaStatus validateSoundParams(const SoundParams& params);

/// A sound device as a driver lists it.
struct SoundDeviceInfo
{
    std::string name;        ///< what the user picks and what open() accepts
    std::string description; ///< the driver's longer text (may equal name)
    bool isDefault = false;  ///< the system default of its direction
};

/// One open sound device in one direction.
///
/// read() and write() are called by one media thread; close() may be called from any
/// thread and wakes a read() or write() that waits, which then returns MediaError::Closed.
/// Volume and mute act on the device's system volume, 0 to 100.
class SoundChannel
{
public:
    virtual ~SoundChannel() = default;

    virtual MediaStatus open(const SoundParams& params) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    /// Recorder: fills all of samples, waiting for the device as long as needed.
    virtual MediaStatus read(std::span<int16_t> samples) = 0;
    /// Player: queues all of samples, waiting while the device buffers are full.
    virtual MediaStatus write(std::span<const int16_t> samples) = 0;

    virtual MediaStatus setVolume(unsigned percent);
    virtual MediaResult<unsigned> volume() const;
    virtual MediaStatus setMute(bool muted);
    virtual MediaResult<bool> mute() const;

    /// The device name given to open().
    virtual std::string name() const = 0;
    virtual std::string driverName() const = 0;

    const SoundParams& params() const { return params_; }

protected:
    SoundParams params_;
};

/// The drivers this build offers, PulseAudio first.
std::vector<std::string> soundDriverNames();

/// The devices of a driver for a direction, in the driver's order (the default device
/// entry first where the driver has one).
MediaResult<std::vector<SoundDeviceInfo>> listSoundDevices(const std::string& driver,
                                                           SoundDirection direction);

/// The names of listSoundDevices, each with its white space simplified.
std::vector<std::string> soundDeviceNames(const std::string& driver, SoundDirection direction);

/// A closed channel of the driver, or NotFound for an unknown driver.
MediaResult<std::unique_ptr<SoundChannel>> createSoundChannel(const std::string& driver);

/// A channel of params.driver, opened with params.
MediaResult<std::unique_ptr<SoundChannel>> createOpenedSoundChannel(const SoundParams& params);

/// Runs of white space become one blank; blanks at both ends go.
std::string simplifyWhiteSpace(const std::string& text);

} // namespace voip
