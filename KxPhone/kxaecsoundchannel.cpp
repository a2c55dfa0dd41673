#include "KxPhone/kxaecsoundchannel.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "voip/device/sound_pulse.h"

namespace {

/// Monitor frames kept while the microphone side is behind: half a second.  Older ones
/// are dropped; the canceller finds the delay again.
constexpr std::size_t MaxFarFrames = 50;
/// Monitor frames kept when reading starts: what is older than this is no longer echo.
constexpr std::size_t StartFarFrames = 10;

voip::SoundParams recorderParams(const std::string& device, unsigned rate)
{
    voip::SoundParams params;
    params.driver = voip::kPulseAudioDriver;
    params.device = device;
    params.direction = voip::SoundDirection::Recorder;
    params.channels = 1;
    params.sampleRate = rate;
    params.bitsPerSample = 16;
    params.bufferSize = rate / 100 * 2; // 10 ms fragments: a monitor otherwise lags by seconds
    params.bufferCount = 4;
    return params;
}

voip::MediaFailure notOpen()
{
    return voip::MediaFailure{voip::MediaError::NotOpen, "Windows AEC is not open"};
}

} // namespace

KxAecSoundChannel::KxAecSoundChannel() = default;

KxAecSoundChannel::~KxAecSoundChannel()
{
    close();
}

bool KxAecSoundChannel::open(unsigned rate, const std::string& captureName,
                             const std::string& renderName, unsigned echoDuration)
{
    close();
    std::lock_guard lock(readMutex_);
    const unsigned echoLength = KxEchoCanceller::echoLengthFor(echoDuration);
    auto canceller = std::make_unique<KxEchoCanceller>(rate, echoLength);
    if (!canceller->ready()) {
        // Once more at the rate every canceller takes.
        canceller = std::make_unique<KxEchoCanceller>(16000, echoLength);
        if (!canceller->ready()) {
            std::cerr << "Windows AEC: echo canceller failed to start" << std::endl;
            return false;
        }
    }
    const unsigned used = canceller->rate();

    const bool named = !captureName.empty() && captureName != voip::kDefaultSoundDevice &&
                       !renderName.empty() && renderName != voip::kDefaultSoundDevice;
    auto monitor = voip::PulseSoundChannel::monitorSourceOf(
        renderName.empty() ? std::string(voip::kDefaultSoundDevice) : renderName);
    if (!monitor) {
        std::cerr << "Windows AEC: no monitor of \"" << renderName
                  << "\": " << monitor.error().message << std::endl;
        return false;
    }
    auto nearChannel = std::make_unique<voip::PulseSoundChannel>();
    if (auto status = nearChannel->open(
            recorderParams(captureName.empty() ? voip::kDefaultSoundDevice : captureName, used));
        !status) {
        std::cerr << "Windows AEC: microphone \"" << captureName
                  << "\" failed: " << status.error().message << std::endl;
        return false;
    }
    auto farChannel = std::make_unique<voip::PulseSoundChannel>();
    if (auto status = farChannel->open(recorderParams(monitor.value(), used)); !status) {
        std::cerr << "Windows AEC: monitor \"" << monitor.value()
                  << "\" failed: " << status.error().message << std::endl;
        return false;
    }
    if (named)
        std::cout << "Windows AEC devices capture=" << nearChannel->serverDeviceName()
                  << " render=" << monitor.value() << std::endl;
    else
        std::cout << "Windows AEC using default capture/render devices" << std::endl;

    {
        std::lock_guard channels(channelMutex_);
        near_ = std::move(nearChannel);
        far_ = std::move(farChannel);
    }
    canceller_ = std::move(canceller);
    farSource_ = monitor.value();
    rate_ = used;
    params_ = recorderParams(captureName, used);
    pending_.clear();
    readPos_ = 0;
    {
        std::lock_guard farLock(farMutex_);
        farFrames_.clear();
    }
    open_ = true;
    farThread_ = std::thread([this] { drainFar(); });
    std::cout << "Windows AEC capture at " << used << " Hz" << std::endl;
    return true;
}

voip::MediaStatus KxAecSoundChannel::open(const voip::SoundParams&)
{
    return voip::MediaFailure{voip::MediaError::Unsupported,
                              "Windows AEC opens with a capture and a render device"};
}

void KxAecSoundChannel::close()
{
    open_ = false;
    std::shared_ptr<voip::SoundChannel> nearChannel, farChannel;
    {
        std::lock_guard channels(channelMutex_);
        nearChannel = near_;
        farChannel = far_;
    }
    // Wakes a read() waiting on the microphone and the monitor thread.
    if (nearChannel)
        nearChannel->close();
    if (farChannel)
        farChannel->close();
    if (farThread_.joinable())
        farThread_.join();
    std::lock_guard lock(readMutex_);
    {
        std::lock_guard channels(channelMutex_);
        near_.reset();
        far_.reset();
    }
    canceller_.reset();
    rate_ = 0;
    pending_.clear();
    readPos_ = 0;
}

bool KxAecSoundChannel::isOpen() const
{
    return open_;
}

void KxAecSoundChannel::drainFar()
{
    const std::size_t samples = rate_ / 100;
    while (open_) {
        std::vector<std::int16_t> frame(samples);
        if (!far_->read(frame))
            break;
        std::lock_guard lock(farMutex_);
        farFrames_.push_back(std::move(frame));
        while (farFrames_.size() > MaxFarFrames)
            farFrames_.pop_front();
    }
}

bool KxAecSoundChannel::processOne()
{
    const std::size_t samples = rate_ / 100;
    std::vector<std::int16_t> frame(samples);
    if (!near_->read(frame))
        return false;
    std::deque<std::vector<std::int16_t>> far;
    {
        std::lock_guard lock(farMutex_);
        far.swap(farFrames_);
    }
    if (pending_.empty() && readPos_ == 0 && far.size() > StartFarFrames)
        far.erase(far.begin(), far.end() - StartFarFrames);
    for (const auto& played : far)
        if (!canceller_->far(played))
            ++failedFrames_;
    if (!canceller_->near(frame))
        ++failedFrames_; // the microphone's own samples go on
    pending_.insert(pending_.end(), frame.begin(), frame.end());
    return true;
}

voip::MediaStatus KxAecSoundChannel::read(std::span<std::int16_t> samples)
{
    std::lock_guard lock(readMutex_);
    if (!open_ || !near_ || !canceller_)
        return notOpen();
    std::size_t copied = 0;
    while (copied < samples.size()) {
        if (readPos_ >= pending_.size()) {
            pending_.clear();
            readPos_ = 0;
            if (!processOne()) {
                return open_ ? voip::MediaFailure{voip::MediaError::DeviceFailure,
                                                  "Windows AEC: the microphone failed"}
                             : voip::MediaFailure{voip::MediaError::Closed, "Windows AEC closed"};
            }
        }
        const std::size_t take = std::min(samples.size() - copied, pending_.size() - readPos_);
        std::memcpy(samples.data() + copied, pending_.data() + readPos_,
                    take * sizeof(std::int16_t));
        readPos_ += take;
        copied += take;
    }
    return voip::MediaStatus();
}

voip::MediaStatus KxAecSoundChannel::write(std::span<const std::int16_t>)
{
    return voip::MediaStatus();
}

std::shared_ptr<voip::SoundChannel> KxAecSoundChannel::microphone() const
{
    std::lock_guard channels(channelMutex_);
    return open_ ? near_ : nullptr;
}

voip::MediaStatus KxAecSoundChannel::setVolume(unsigned percent)
{
    const auto channel = microphone();
    return channel ? channel->setVolume(percent) : notOpen();
}

voip::MediaResult<unsigned> KxAecSoundChannel::volume() const
{
    const auto channel = microphone();
    if (!channel)
        return notOpen();
    return channel->volume();
}

voip::MediaStatus KxAecSoundChannel::setMute(bool muted)
{
    const auto channel = microphone();
    return channel ? channel->setMute(muted) : notOpen();
}

voip::MediaResult<bool> KxAecSoundChannel::mute() const
{
    const auto channel = microphone();
    if (!channel)
        return notOpen();
    return channel->mute();
}
