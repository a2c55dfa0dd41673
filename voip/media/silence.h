#pragma once

#include <cstdint>
#include <span>

namespace voip {

/// How frames are judged silent before they are sent.
enum class SilenceMode
{
    None,     ///< every frame is sent
    Fixed,    ///< silent below a fixed threshold
    Adaptive, ///< the threshold follows the background noise level
};

/// Silence-detection parameters.  Durations are in milliseconds; levels are mean absolute
/// sample values (0 to 32767) of a frame.
struct SilenceParams
{
    SilenceMode mode = SilenceMode::None;
    /// Fixed mode: the level below which a frame is silence.  Adaptive mode: the starting
    /// threshold; 0 means "learn it from the first frame".
    unsigned threshold = 0;
    /// Signal for this long ends a silence.
    unsigned signalDeadband = 10;
    /// Silence for this long stops sending; frames inside it are still sent, so that the
    /// ends of words are not cut.
    unsigned silenceDeadband = 400;
    /// Adaptive mode: how often the threshold is brought to the noise level seen.
    unsigned adaptivePeriod = 600;
};

/// Marks frames of 16-bit PCM as silent (not to be sent) or not.
///
/// The detector starts sending.  A frame whose level is at or above the threshold is
/// signal, below it silence.  While sending, silence that has lasted silenceDeadband ms
/// (counting the current frame) makes that frame and those after it silent; while silent,
/// signal that has lasted signalDeadband ms makes the current frame sent again.
///
/// In adaptive mode the detector keeps the quietest frame level of each adaptivePeriod:
/// at the end of the period the threshold drops at once to a noise floor above that level
/// (twice the level, plus a small margin) when that is lower than the threshold, and
/// rises a quarter of the way towards it when higher, so that continuous speech does not
/// raise the threshold over itself in one period.  One thread at a time.
class SilenceDetector
{
public:
    explicit SilenceDetector(const SilenceParams& params = {});

    void setParams(const SilenceParams& params);
    const SilenceParams& params() const { return params_; }

    /// Judges one frame at `sampleRate`; true when the frame is silent (not to be sent).
    bool isSilent(std::span<const int16_t> frame, unsigned sampleRate);

    /// The threshold in use (for tests and statistics).
    unsigned threshold() const { return threshold_; }
    /// True while frames are being sent.
    bool sending() const { return sending_; }

    /// Mean absolute sample value of a frame.
    static unsigned level(std::span<const int16_t> frame);

private:
    void adapt(unsigned frameLevel, unsigned frameMs);

    SilenceParams params_;
    unsigned threshold_ = 0;
    bool learned_ = false;
    bool sending_ = true;
    unsigned signalMs_ = 0;
    unsigned silenceMs_ = 0;
    unsigned periodMs_ = 0;
    unsigned periodMinLevel_ = UINT32_MAX;
};

} // namespace voip
