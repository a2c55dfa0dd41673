#include "voip/device/sound_paced.h"

#include <algorithm>
#include <vector>

namespace voip {

namespace {

/// A reader that falls this far behind the device clock lost that audio, as a real
/// device would have overrun: the clock restarts instead of bursting to catch up.
constexpr auto kMaxLag = std::chrono::seconds(1);

} // namespace

PacedSoundChannel::~PacedSoundChannel() = default;

MediaStatus PacedSoundChannel::open(const SoundParams& params)
{
    if (auto status = validateSoundParams(params); !status)
        return status;
    std::lock_guard lock(mutex_);
    if (open_) {
        closeDevice();
        open_ = false;
    }
    if (auto status = openDevice(params); !status)
        return status;
    params_ = params;
    open_ = true;
    start_ = Clock::now();
    position_ = 0;
    return MediaStatus();
}

void PacedSoundChannel::close()
{
    std::lock_guard lock(mutex_);
    if (open_) {
        open_ = false;
        closeDevice();
    }
    wake_.notify_all();
}

void PacedSoundChannel::closeFromDestructor()
{
    close();
}

bool PacedSoundChannel::isOpen() const
{
    std::lock_guard lock(mutex_);
    return open_;
}

PacedSoundChannel::Clock::duration PacedSoundChannel::durationOf(uint64_t frames) const
{
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(frames) / params_.sampleRate));
}

bool PacedSoundChannel::waitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point due)
{
    wake_.wait_until(lock, due, [this] { return !open_; });
    return open_;
}

void PacedSoundChannel::applyGain(std::span<int16_t> samples) const
{
    if (muted_) {
        std::fill(samples.begin(), samples.end(), int16_t(0));
        return;
    }
    if (volume_ >= 100)
        return;
    for (auto& sample : samples)
        sample = int16_t(int32_t(sample) * int32_t(volume_) / 100);
}

MediaStatus PacedSoundChannel::read(std::span<int16_t> samples)
{
    std::unique_lock lock(mutex_);
    if (!open_)
        return MediaFailure{MediaError::NotOpen, "sound channel is not open"};
    if (params_.direction != SoundDirection::Recorder)
        return MediaFailure{MediaError::InvalidArgument, "read from a player channel"};
    if (samples.size() % params_.channels != 0)
        return MediaFailure{MediaError::InvalidArgument, "read of a partial sample frame"};
    const uint64_t frames = samples.size() / params_.channels;
    auto due = start_ + durationOf(position_ + frames);
    if (Clock::now() - due > kMaxLag) {
        start_ = Clock::now() - durationOf(position_ + frames);
        due = start_ + durationOf(position_ + frames);
    }
    if (!waitUntil(lock, due))
        return MediaFailure{MediaError::Closed, "sound channel closed"};
    if (auto status = readSamples(samples); !status)
        return status;
    applyGain(samples);
    position_ += frames;
    return MediaStatus();
}

MediaStatus PacedSoundChannel::write(std::span<const int16_t> samples)
{
    std::unique_lock lock(mutex_);
    if (!open_)
        return MediaFailure{MediaError::NotOpen, "sound channel is not open"};
    if (params_.direction != SoundDirection::Player)
        return MediaFailure{MediaError::InvalidArgument, "write to a recorder channel"};
    if (samples.size() % params_.channels != 0)
        return MediaFailure{MediaError::InvalidArgument, "write of a partial sample frame"};
    const uint64_t frames = samples.size() / params_.channels;
    const uint64_t bufferedFrames =
        uint64_t(params_.bufferSize) * params_.bufferCount / (2 * params_.channels);
    const auto now = Clock::now();
    if (start_ + durationOf(position_) < now) {
        // The player ran dry (underrun): it starts again from now.
        start_ = now - durationOf(position_);
    }
    const uint64_t target = position_ + frames;
    if (target > bufferedFrames && !waitUntil(lock, start_ + durationOf(target - bufferedFrames)))
        return MediaFailure{MediaError::Closed, "sound channel closed"};
    MediaStatus status;
    if (muted_ || volume_ < 100) {
        std::vector<int16_t> copy(samples.begin(), samples.end());
        applyGain(copy);
        status = writeSamples(copy);
    } else {
        status = writeSamples(samples);
    }
    if (!status)
        return status;
    position_ += frames;
    return MediaStatus();
}

MediaStatus PacedSoundChannel::setVolume(unsigned percent)
{
    if (percent > 100)
        return MediaFailure{MediaError::InvalidArgument, "volume above 100"};
    std::lock_guard lock(mutex_);
    if (!open_)
        return MediaFailure{MediaError::NotOpen, "sound channel is not open"};
    volume_ = percent;
    return MediaStatus();
}

MediaResult<unsigned> PacedSoundChannel::volume() const
{
    std::lock_guard lock(mutex_);
    if (!open_)
        return MediaFailure{MediaError::NotOpen, "sound channel is not open"};
    return volume_;
}

MediaStatus PacedSoundChannel::setMute(bool muted)
{
    std::lock_guard lock(mutex_);
    if (!open_)
        return MediaFailure{MediaError::NotOpen, "sound channel is not open"};
    muted_ = muted;
    return MediaStatus();
}

MediaResult<bool> PacedSoundChannel::mute() const
{
    std::lock_guard lock(mutex_);
    if (!open_)
        return MediaFailure{MediaError::NotOpen, "sound channel is not open"};
    return muted_;
}

} // namespace voip
