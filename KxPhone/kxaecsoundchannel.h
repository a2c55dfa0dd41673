#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KxPhone/kxechocanceller.h"
#include "voip/device/soundchannel.h"

/// The echo-cancelling microphone: a recording-only sound channel whose samples are the
/// microphone's with the loudspeaker's echo taken out.  It records two PulseAudio sources:
/// the microphone (the near end) and the monitor of the loudspeaker device (the far end,
/// exactly what is played), and runs both through KxEchoCanceller.
///
/// read() fills the whole buffer as every recorder does, waiting for the microphone; the
/// monitor is drained by a thread of the channel's own.  Volume and mute are the
/// microphone's.  close() may come from any thread and ends a waiting read().
class KxAecSoundChannel final : public voip::SoundChannel
{
public:
    KxAecSoundChannel();
    ~KxAecSoundChannel() override;

    /// Opens the microphone `captureName` and the monitor of the loudspeaker `renderName`
    /// (PulseAudio device names, or "Default audio") at `rate`, falling back to 16000 Hz
    /// when the canceller cannot work at `rate`; `echoDuration` is the stored
    /// `audio/echoDuration`.  Writes what it uses to standard output and the failed step
    /// to standard error; false leaves the channel closed.
    bool open(unsigned rate, const std::string& captureName, const std::string& renderName,
              unsigned echoDuration = 256);

    /// The generic open is not offered: the channel needs two devices.
    voip::MediaStatus open(const voip::SoundParams& params) override;
    void close() override;
    bool isOpen() const override;
    voip::MediaStatus read(std::span<std::int16_t> samples) override;
    /// Nothing is played through this channel: the samples are dropped.
    voip::MediaStatus write(std::span<const std::int16_t> samples) override;

    voip::MediaStatus setVolume(unsigned percent) override;
    voip::MediaResult<unsigned> volume() const override;
    voip::MediaStatus setMute(bool muted) override;
    voip::MediaResult<bool> mute() const override;

    std::string name() const override { return "Windows AEC"; }
    std::string driverName() const override { return voip::kPulseAudioDriver; }
    unsigned sampleRate() const { return rate_; }
    /// The monitor source recorded as the far end ("ci_speaker.monitor").
    std::string farSource() const { return farSource_; }
    /// Frames of 10 ms the canceller refused (0 in normal use).
    std::uint64_t failedFrames() const { return failedFrames_.load(); }

private:
    void drainFar();
    bool processOne(); ///< one 10 ms microphone frame through the canceller into pending_

    /// The microphone while open, for the volume and mute calls of other threads.
    std::shared_ptr<voip::SoundChannel> microphone() const;

    mutable std::mutex channelMutex_; ///< guards the two pointers below
    std::shared_ptr<voip::SoundChannel> near_;
    std::shared_ptr<voip::SoundChannel> far_;
    std::unique_ptr<KxEchoCanceller> canceller_;
    std::thread farThread_;
    std::string farSource_;
    unsigned rate_ = 0;
    std::atomic<bool> open_{false};
    std::atomic<std::uint64_t> failedFrames_{0};

    std::mutex readMutex_; ///< held by read(): close() waits for it before tearing down
    std::vector<std::int16_t> pending_; ///< cancelled samples not yet read
    std::size_t readPos_ = 0;

    std::mutex farMutex_;
    std::deque<std::vector<std::int16_t>> farFrames_; ///< monitor frames not yet given
};
