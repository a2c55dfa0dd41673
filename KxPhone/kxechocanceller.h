#pragma once

#include <cstdint>
#include <memory>
#include <span>

/// The echo canceller on its own, without devices: 10 ms frames of 16-bit mono, the far
/// end's (what the loudspeaker plays) given before the near end's (the microphone) of the
/// same moment.  The delay between them is found by the canceller itself.  Not thread
/// safe: one thread feeds both directions.
class KxEchoCanceller
{
public:
    /// Rates the canceller works at.
    static bool rateSupported(unsigned rate);
    /// The echo tail for the stored `audio/echoDuration`: 128, 256, 512 or 1024 as they
    /// are, anything else 256.
    static unsigned echoLengthFor(unsigned stored);

    /// A canceller at `rate` (see rateSupported) for an echo tail of `echoLengthMs`; check
    /// ready() before use.  Noise suppression (mild) is on as well.
    KxEchoCanceller(unsigned rate, unsigned echoLengthMs);
    ~KxEchoCanceller();
    KxEchoCanceller(const KxEchoCanceller&) = delete;
    KxEchoCanceller& operator=(const KxEchoCanceller&) = delete;

    bool ready() const { return processing_ != nullptr; }
    unsigned rate() const { return rate_; }
    /// Samples in one frame (10 ms).
    std::size_t frameSamples() const { return rate_ / 100; }

    /// What the loudspeaker plays: one frame.  False when the canceller refuses it.
    bool far(std::span<const std::int16_t> frame);
    /// The microphone: one frame, cancelled in place.  `delayHintMs` is the best guess of
    /// the time from a far frame being given to its echo reaching the microphone.
    bool near(std::span<std::int16_t> frame, int delayHintMs = 40);

private:
    struct Processing;
    std::unique_ptr<Processing> processing_;
    unsigned rate_;
};
