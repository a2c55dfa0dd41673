#include "voip/media/silence.h"

#include <algorithm>
#include <cstdlib>

namespace voip {

namespace {

/// Frames quieter than this are never signal: the threshold does not fall below it, so
/// that digital silence does not make the faintest hiss count as speech.
constexpr unsigned kMinimumThreshold = 16;

unsigned noiseFloorThreshold(unsigned noiseLevel)
{
    return std::max(kMinimumThreshold, noiseLevel * 2 + kMinimumThreshold);
}

} // namespace

SilenceDetector::SilenceDetector(const SilenceParams& params)
{
    setParams(params);
}

void SilenceDetector::setParams(const SilenceParams& params)
{
    params_ = params;
    threshold_ = params.threshold;
    learned_ = params.mode != SilenceMode::Adaptive || params.threshold != 0;
    sending_ = true;
    signalMs_ = silenceMs_ = periodMs_ = 0;
    periodMinLevel_ = UINT32_MAX;
}

unsigned SilenceDetector::level(std::span<const int16_t> frame)
{
    if (frame.empty())
        return 0;
    uint64_t sum = 0;
    for (const auto sample : frame)
        sum += unsigned(std::abs(int(sample)));
    return unsigned(sum / frame.size());
}

void SilenceDetector::adapt(unsigned frameLevel, unsigned frameMs)
{
    if (!learned_) {
        threshold_ = noiseFloorThreshold(frameLevel);
        learned_ = true;
    }
    periodMinLevel_ = std::min(periodMinLevel_, frameLevel);
    periodMs_ += frameMs;
    if (periodMs_ < std::max(1u, params_.adaptivePeriod))
        return;
    const unsigned target = noiseFloorThreshold(periodMinLevel_);
    if (target < threshold_)
        threshold_ = target;
    else
        threshold_ += (target - threshold_) / 4;
    periodMs_ = 0;
    periodMinLevel_ = UINT32_MAX;
}

bool SilenceDetector::isSilent(std::span<const int16_t> frame, unsigned sampleRate)
{
    if (params_.mode == SilenceMode::None || frame.empty() || sampleRate == 0)
        return false;
    const unsigned frameMs = std::max(1u, unsigned(frame.size() * 1000 / sampleRate));
    const unsigned frameLevel = level(frame);
    if (params_.mode == SilenceMode::Adaptive)
        adapt(frameLevel, frameMs);

    if (frameLevel >= threshold_) {
        signalMs_ += frameMs;
        silenceMs_ = 0;
        if (!sending_ && signalMs_ >= params_.signalDeadband)
            sending_ = true;
    } else {
        silenceMs_ += frameMs;
        signalMs_ = 0;
        if (sending_ && silenceMs_ >= params_.silenceDeadband)
            sending_ = false;
    }
    return !sending_;
}

} // namespace voip
