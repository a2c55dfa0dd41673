// Lost speech filled in: a voice goes on across one lost packet, fades over a long gap,
// keeps the timeline, and comes back without a click.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "voip/media/concealment.h"

namespace voip {
namespace {

/// A voiced sound: 200 Hz and its third harmonic (a 5 ms pitch period).
std::vector<int16_t> voice(unsigned rate, std::size_t from, std::size_t count)
{
    std::vector<int16_t> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = double(from + i) / rate;
        out[i] = int16_t(std::lround(6000 * std::sin(2 * std::numbers::pi * 200 * t) +
                                     2500 * std::sin(2 * std::numbers::pi * 600 * t + 0.3)));
    }
    return out;
}

double rms(const int16_t* samples, std::size_t count)
{
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += double(samples[i]) * samples[i];
    return count ? std::sqrt(sum / double(count)) : 0;
}

/// The largest step between neighbouring samples.
int largestStep(const std::vector<int16_t>& pcm)
{
    int step = 0;
    for (std::size_t i = 1; i < pcm.size(); ++i)
        step = std::max(step, std::abs(int(pcm[i]) - int(pcm[i - 1])));
    return step;
}

class Concealment : public testing::TestWithParam<unsigned>
{};

TEST_P(Concealment, AVoiceGoesOnAcrossOneLostPacketWithoutAClick)
{
    const unsigned rate = GetParam();
    const std::size_t frame = rate / 50;
    LossConcealer concealer(rate);
    std::vector<int16_t> played;
    for (std::size_t n = 0; n < 12; ++n) {
        if (n == 8) {
            concealer.conceal(frame, played);
            continue;
        }
        auto pcm = voice(rate, n * frame, frame);
        concealer.received(pcm);
        played.insert(played.end(), pcm.begin(), pcm.end());
    }
    ASSERT_EQ(played.size(), 12 * frame) << "the timeline is kept";
    EXPECT_EQ(concealer.pitchPeriod() % (rate / 200), 0u) << "a whole number of 5 ms periods";
    // The lost frame, as filled, against what was sent: close to it (20 ms at full
    // strength for the first 10, then fading 20 % in the next 10).
    const auto sent = voice(rate, 8 * frame, frame / 2);
    double error = 0, signal = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const double difference = double(played[8 * frame + i]) - sent[i];
        error += difference * difference;
        signal += double(sent[i]) * sent[i];
    }
    EXPECT_GT(10 * std::log10(signal / std::max(error, 1.0)), 20) << "dB over the first 10 ms";
    const auto whole = voice(rate, 0, 12 * frame);
    EXPECT_LE(largestStep(played), largestStep(whole) * 3 / 2) << "no click at either edge";
}

TEST_P(Concealment, ALongGapFadesToSilenceAndTheVoiceComesBackSmoothly)
{
    const unsigned rate = GetParam();
    const std::size_t frame = rate / 50;
    const std::size_t tenMs = rate / 100;
    LossConcealer concealer(rate);
    std::vector<int16_t> played;
    for (std::size_t n = 0; n < 5; ++n) {
        auto pcm = voice(rate, n * frame, frame);
        concealer.received(pcm);
        played.insert(played.end(), pcm.begin(), pcm.end());
    }
    const std::size_t gapStart = played.size();
    // A 200 ms outage, filled in pieces as it goes on.
    for (int piece = 0; piece < 10; ++piece)
        concealer.conceal(frame, played);
    ASSERT_EQ(played.size(), gapStart + 10 * frame);
    std::vector<double> levels;
    for (std::size_t at = gapStart; at < played.size(); at += tenMs)
        levels.push_back(rms(&played[at], tenMs));
    const double heard = rms(&played[gapStart - frame], frame);
    EXPECT_GT(levels[0], heard * 0.7);
    for (std::size_t i = 1; i < 6; ++i)
        EXPECT_LT(levels[i], levels[i - 1]) << "fading at " << i * 10 << " ms";
    for (std::size_t i = 6; i < levels.size(); ++i)
        EXPECT_EQ(levels[i], 0) << "silent from 60 ms";

    auto back = voice(rate, played.size(), frame);
    const auto original = back;
    concealer.received(back);
    EXPECT_LT(std::abs(back[0]), std::abs(original[0]) / 2 + 200) << "faded in, not cut in";
    EXPECT_EQ(back[frame - 1], original[frame - 1]) << "the blend ends within the frame";

    // Nothing heard yet: a gap is silence.
    LossConcealer fresh(rate);
    std::vector<int16_t> nothing;
    fresh.conceal(frame, nothing);
    EXPECT_EQ(rms(nothing.data(), nothing.size()), 0);
}

INSTANTIATE_TEST_SUITE_P(G711AndG722Rates, Concealment, testing::Values(8000u, 16000u));

} // namespace
} // namespace voip
