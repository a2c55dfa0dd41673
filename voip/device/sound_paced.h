#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "voip/device/soundchannel.h"

namespace voip {

/// Base of the drivers that have no hardware clock (Null, WAVFile): reads and writes are
/// paced by the steady clock as a real device would pace them.  A recorder hands out
/// samples no earlier than they would have been captured; a player accepts samples as
/// long as no more than bufferSize × bufferCount bytes are waiting to be "played".
/// Volume and mute are kept by the channel and applied to the samples.
///
/// Concurrency: mutex_ guards every member; the derived class's device hooks run with
/// mutex_ held.  close() may be called from any thread and wakes a waiting read/write.
class PacedSoundChannel : public SoundChannel
{
public:
    ~PacedSoundChannel() override;

    MediaStatus open(const SoundParams& params) final;
    void close() final;
    bool isOpen() const final;
    MediaStatus read(std::span<int16_t> samples) final;
    MediaStatus write(std::span<const int16_t> samples) final;

    MediaStatus setVolume(unsigned percent) override;
    MediaResult<unsigned> volume() const override;
    MediaStatus setMute(bool muted) override;
    MediaResult<bool> mute() const override;

protected:
    /// Called by open() with mutex_ held, after the common checks.
    virtual MediaStatus openDevice(const SoundParams& params) = 0;
    /// Called by close() (and the destructor of the derived class) with mutex_ held.
    virtual void closeDevice() = 0;
    virtual MediaStatus readSamples(std::span<int16_t> samples) = 0;
    virtual MediaStatus writeSamples(std::span<const int16_t> samples) = 0;

    /// Derived destructors call this so that closeDevice() runs while they still exist.
    void closeFromDestructor();

private:
    using Clock = std::chrono::steady_clock;
    /// Waits until `due`; false when the channel was closed meanwhile.
    bool waitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point due);
    Clock::duration durationOf(uint64_t frames) const;
    void applyGain(std::span<int16_t> samples) const;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool open_ = false;
    Clock::time_point start_;
    uint64_t position_ = 0; ///< sample frames moved since start_
    unsigned volume_ = 100;
    bool muted_ = false;
};

} // namespace voip
