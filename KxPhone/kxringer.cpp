#include "KxPhone/kxringer.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <numbers>
#include <vector>

namespace {

/// One burst of a cadence: from `start` to `end` seconds into it, the sum of two tones.
struct Burst
{
    double start;
    double end;
    double low;
    double high;
};

struct Cadence
{
    double period; ///< seconds
    std::initializer_list<Burst> bursts;
};

// Ring: two short bursts of 440 and 480 Hz, then two seconds of quiet.  Ringback: 425 Hz
// for a second in five, the tone most networks send a caller.
constexpr Burst ringBursts[] = {{0.0, 0.4, 440.0, 480.0}, {0.6, 1.0, 440.0, 480.0}};
constexpr Burst ringbackBursts[] = {{0.0, 1.0, 425.0, 425.0}};

std::span<const Burst> burstsOf(KxRinger::Tone tone, double& period)
{
    switch (tone) {
    case KxRinger::Tone::Ring:
        period = 3.0;
        return ringBursts;
    case KxRinger::Tone::Ringback:
        period = 5.0;
        return ringbackBursts;
    case KxRinger::Tone::None:
        break;
    }
    period = 1.0;
    return {};
}

constexpr double Level = 0.25 * 32767; ///< each of the two tones; about -6 dBFS together
constexpr double Ramp = 0.005;         ///< seconds of fade at each end of a burst: no click

} // namespace

KxRinger::~KxRinger()
{
    stop();
}

void KxRinger::fill(Tone tone, std::uint64_t first, std::span<std::int16_t> samples)
{
    double period = 1.0;
    const auto bursts = burstsOf(tone, period);
    const auto periodSamples = std::uint64_t(period * SampleRate);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = double((first + i) % periodSamples) / SampleRate;
        double value = 0.0;
        for (const Burst& burst : bursts) {
            if (t < burst.start || t >= burst.end)
                continue;
            const double envelope =
                std::min({1.0, (t - burst.start) / Ramp, (burst.end - t) / Ramp});
            const double since = t - burst.start;
            value = envelope * Level *
                    (std::sin(2 * std::numbers::pi * burst.low * since) +
                     std::sin(2 * std::numbers::pi * burst.high * since));
            if (burst.low == burst.high)
                value /= 2; // one tone, at the level of one
        }
        samples[i] = std::int16_t(std::lround(std::clamp(value, -32767.0, 32767.0)));
    }
}

void KxRinger::play(Tone tone, const voip::SoundParams& loudspeaker)
{
    {
        std::lock_guard lock(mutex_);
        if (tone == tone_ && thread_.joinable())
            return;
    }
    stop();
    if (tone == Tone::None)
        return;
    std::lock_guard lock(mutex_);
    tone_ = tone;
    thread_ = std::jthread(
        [this, tone, loudspeaker](std::stop_token stop) { run(stop, tone, loudspeaker); });
}

void KxRinger::stop()
{
    std::jthread previous;
    {
        std::lock_guard lock(mutex_);
        tone_ = Tone::None;
        previous = std::move(thread_);
    }
    if (previous.joinable()) {
        previous.request_stop();
        previous.join();
    }
}

KxRinger::Tone KxRinger::playing() const
{
    std::lock_guard lock(mutex_);
    return tone_;
}

void KxRinger::run(std::stop_token stop, Tone tone, voip::SoundParams params)
{
    params.direction = voip::SoundDirection::Player;
    params.channels = 1;
    params.sampleRate = SampleRate;
    params.bitsPerSample = 16;
    params.bufferSize = 320; // 20 ms: a stop is heard at once
    params.bufferCount = 2;
    auto opened = voip::createOpenedSoundChannel(params);
    if (!opened) {
        // No loudspeaker: the prompt or the calling view still says what happens.
        std::cerr << "No ring tone: the loudspeaker cannot be opened" << std::endl;
        return;
    }
    const std::unique_ptr<voip::SoundChannel> channel = opened.take();
    std::vector<std::int16_t> frame(SampleRate / 50);
    for (std::uint64_t at = 0; !stop.stop_requested(); at += frame.size()) {
        fill(tone, at, frame);
        if (!channel->write(frame))
            break;
    }
    channel->close();
}
