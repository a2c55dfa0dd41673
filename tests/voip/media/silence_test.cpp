// Silence detection: none, fixed and adaptive modes with the signal and silence deadbands.
#include <random>

#include <gtest/gtest.h>

#include "audiosignals.h"
#include "voip/media/silence.h"

namespace voip {
namespace {

constexpr unsigned kRate = 8000;
constexpr unsigned kFrameMs = 20;
constexpr size_t kFrame = kRate * kFrameMs / 1000;

/// Frames of noise at `level` (mean absolute value about level), then tone, then noise.
std::vector<std::vector<int16_t>> noiseToneNoise(unsigned noiseFrames, unsigned toneFrames,
                                                 unsigned tailFrames, int noise = 60)
{
    std::mt19937 random(3);
    std::uniform_int_distribution<int> spread(-2 * noise, 2 * noise);
    const auto tone = test::chirp(kRate, 400, 900, double(toneFrames) * kFrameMs / 1000, 8000);
    std::vector<std::vector<int16_t>> frames;
    auto noiseFrame = [&] {
        std::vector<int16_t> f(kFrame);
        for (auto& s : f)
            s = int16_t(spread(random));
        return f;
    };
    for (unsigned i = 0; i < noiseFrames; ++i)
        frames.push_back(noiseFrame());
    for (unsigned i = 0; i < toneFrames; ++i) {
        std::vector<int16_t> f(tone.begin() + long(i * kFrame),
                               tone.begin() + long((i + 1) * kFrame));
        auto n = noiseFrame();
        for (size_t k = 0; k < kFrame; ++k)
            f[k] = int16_t(f[k] + n[k]);
        frames.push_back(f);
    }
    for (unsigned i = 0; i < tailFrames; ++i)
        frames.push_back(noiseFrame());
    return frames;
}

std::vector<bool> judge(SilenceDetector& detector, const std::vector<std::vector<int16_t>>& frames)
{
    std::vector<bool> silent;
    for (const auto& f : frames)
        silent.push_back(detector.isSilent(f, kRate));
    return silent;
}

TEST(SilenceDetection, NoneSendsEverything)
{
    SilenceParams params;
    params.mode = SilenceMode::None;
    SilenceDetector detector(params);
    for (bool s : judge(detector, noiseToneNoise(40, 10, 40)))
        EXPECT_FALSE(s);
    std::vector<int16_t> zeros(kFrame);
    EXPECT_FALSE(detector.isSilent(zeros, kRate));
}

TEST(SilenceDetection, AdaptiveMarksSilenceAfterTheDeadbandAndSpeechAtOnce)
{
    // The engine's parameters: adaptive, threshold learned, 10 ms / 400 ms / 600 ms.
    SilenceParams params{SilenceMode::Adaptive, 0, 10, 400, 600};
    SilenceDetector detector(params);
    const unsigned noiseFrames = 60, toneFrames = 25, tailFrames = 60;
    const auto silent = judge(detector, noiseToneNoise(noiseFrames, toneFrames, tailFrames));
    const unsigned deadbandFrames = params.silenceDeadband / kFrameMs;

    // The first silence deadband of noise is still sent, then the noise is held back.
    for (unsigned i = 0; i + 1 < deadbandFrames; ++i)
        EXPECT_FALSE(silent[i]) << i;
    for (unsigned i = deadbandFrames; i < noiseFrames; ++i)
        EXPECT_TRUE(silent[i]) << i;
    // Speech is sent from its first frame (20 ms of signal passes the 10 ms deadband).
    for (unsigned i = noiseFrames; i < noiseFrames + toneFrames; ++i)
        EXPECT_FALSE(silent[i]) << i;
    // After speech: the deadband keeps sending, then silence again.
    const unsigned tail = noiseFrames + toneFrames;
    for (unsigned i = tail; i + 1 < tail + deadbandFrames; ++i)
        EXPECT_FALSE(silent[i]) << i;
    for (unsigned i = tail + deadbandFrames; i < silent.size(); ++i)
        EXPECT_TRUE(silent[i]) << i;
}

TEST(SilenceDetection, AdaptiveThresholdFollowsTheNoiseLevel)
{
    SilenceParams params{SilenceMode::Adaptive, 0, 10, 400, 600};
    SilenceDetector detector(params);
    judge(detector, noiseToneNoise(60, 0, 0, 60));
    const unsigned quiet = detector.threshold();
    // Threshold sits above the noise (about 60) and well below speech (about 5000).
    EXPECT_GT(quiet, 60u);
    EXPECT_LT(quiet, 400u);

    // The room gets louder: after some periods the threshold has risen above the new
    // noise, and the louder noise is again judged silence.
    const auto loud = noiseToneNoise(150, 0, 0, 600);
    const auto silent = judge(detector, loud);
    EXPECT_GT(detector.threshold(), 600u);
    EXPECT_TRUE(silent.back());

    // Quiet again: the threshold drops within one adaptive period.
    judge(detector, noiseToneNoise(params.adaptivePeriod / kFrameMs + 1, 0, 0, 60));
    EXPECT_LT(detector.threshold(), 400u);
}

TEST(SilenceDetection, SignalDeadbandIgnoresShortClicks)
{
    // 10 ms frames and a 30 ms signal deadband: a 20 ms click does not open the gate.
    SilenceParams params{SilenceMode::Fixed, 500, 30, 100, 600};
    SilenceDetector detector(params);
    const size_t frame10 = kRate / 100;
    std::vector<int16_t> quiet(frame10, 10), loud(frame10, 3000);
    for (int i = 0; i < 10; ++i)
        detector.isSilent(quiet, kRate);
    ASSERT_FALSE(detector.sending());
    EXPECT_TRUE(detector.isSilent(loud, kRate));
    EXPECT_TRUE(detector.isSilent(loud, kRate));
    EXPECT_TRUE(detector.isSilent(quiet, kRate));
    EXPECT_TRUE(detector.isSilent(loud, kRate));
    EXPECT_TRUE(detector.isSilent(loud, kRate));
    EXPECT_FALSE(detector.isSilent(loud, kRate)) << "30 ms of signal";
    EXPECT_EQ(SilenceDetector::level(loud), 3000u);
    EXPECT_EQ(SilenceDetector::level({}), 0u);
}

} // namespace
} // namespace voip
