#pragma once

#include <memory>

#include "voip/device/soundchannel.h"

struct pa_stream;

namespace voip {

class PulseContext;

/// Driver "PulseAudio" (also served by PipeWire's pulse server).  Devices are listed by
/// their descriptions, kDefaultSoundDevice first; open() also accepts a device's server
/// name, including monitor sources ("ci_speaker.monitor").  Volume and mute are the
/// system volume and mute of the device the channel is connected to.
///
/// A channel opened on a named device does not follow the server when that device goes
/// away: reads and writes then fail with MediaError::DeviceFailure, so that the stream on
/// top can stop with a logged error.  The default device follows the server's moves.
///
/// Concurrency: every member is guarded by the channel's threaded-mainloop lock; read()
/// and write() wait on the mainloop's condition; close() from another thread wakes them
/// and waits until they have left (busy_) before tearing the stream down.
class PulseSoundChannel final : public SoundChannel
{
public:
    PulseSoundChannel();
    ~PulseSoundChannel() override;

    MediaStatus open(const SoundParams& params) override;
    void close() override;
    bool isOpen() const override;
    MediaStatus read(std::span<int16_t> samples) override;
    MediaStatus write(std::span<const int16_t> samples) override;

    MediaStatus setVolume(unsigned percent) override;
    MediaResult<unsigned> volume() const override;
    MediaStatus setMute(bool muted) override;
    MediaResult<bool> mute() const override;

    std::string name() const override { return device_; }
    std::string driverName() const override { return kPulseAudioDriver; }
    /// The server's name of the device the channel uses ("ci_speaker").
    std::string serverDeviceName() const { return serverName_; }

    /// The devices of a direction; an error when no server is reachable.
    static MediaResult<std::vector<SoundDeviceInfo>> devices(SoundDirection direction);
    /// The server name of the monitor source of a player device (a description, a server
    /// name or kDefaultSoundDevice): what an echo canceller records as the far end.
    static MediaResult<std::string> monitorSourceOf(const std::string& playerDevice);
    /// True when a PulseAudio server answers.
    static bool serverReachable();

private:
    MediaFailure failedState(const char* what) const;

    std::unique_ptr<PulseContext> context_;
    pa_stream* stream_ = nullptr;
    std::string device_;
    std::string serverName_;
    bool closing_ = false;
    int busy_ = 0;
    const uint8_t* peekData_ = nullptr; ///< a fragment taken by pa_stream_peek, not yet dropped
    size_t peekLength_ = 0;
    size_t peekOffset_ = 0;
    bool peekPending_ = false;
};

} // namespace voip
