// The echo-cancelling microphone on a sound server of the test's own: a loudspeaker (null
// sink) whose monitor feeds, through a loopback, a room (another null sink) heard by a
// virtual microphone.  The far end is played on the loudspeaker, the near end's speech
// into the room; the echo must go and the speech stay.  Also the canceller on its own, and
// the fall-back when there is no sound server.  Skipped without pulseaudio.

#include "KxPhone/kxaecsoundchannel.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/resources/soundserver.h"
#include "voip/device/sound_pulse.h"
#include "tests/support/toolskip.h"

namespace {

using kx::testutil::SoundServer;
using namespace std::chrono_literals;

constexpr unsigned Rate = 16000;
constexpr std::size_t Frame = Rate / 100;

/// Speech-like test sound: a voiced tone of drifting pitch with its harmonics, in
/// syllables of 150-300 ms separated by short pauses.  Different seeds give different
/// talkers.
std::vector<std::int16_t> talker(double seconds, unsigned seed, double pitch, double level)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> uniform(0, 1);
    const std::size_t count = std::size_t(seconds * Rate);
    std::vector<std::int16_t> samples(count);
    double phase = 0;
    std::size_t at = 0;
    while (at < count) {
        const std::size_t syllable = std::size_t((0.15 + 0.15 * uniform(random)) * Rate);
        const std::size_t pause = std::size_t((0.03 + 0.07 * uniform(random)) * Rate);
        const double f0 = pitch * (0.8 + 0.4 * uniform(random));
        const double glide = (uniform(random) - 0.5) * 0.4 * f0;
        for (std::size_t i = 0; i < syllable && at < count; ++i, ++at) {
            const double t = double(i) / double(syllable);
            const double f = f0 + glide * t;
            phase += 2 * M_PI * f / Rate;
            double value = 0;
            for (int h = 1; h <= 12; ++h)
                value += std::sin(h * phase) / h;
            const double envelope = std::sin(M_PI * t);
            samples[at] =
                std::int16_t(std::clamp(level * envelope * value * 8000, -32000.0, 32000.0));
        }
        at += pause;
    }
    return samples;
}

double energy(const std::vector<std::int16_t>& samples, double from, double to)
{
    const std::size_t a = std::min(samples.size(), std::size_t(from * Rate));
    const std::size_t b = std::min(samples.size(), std::size_t(to * Rate));
    double sum = 0;
    for (std::size_t i = a; i < b; ++i)
        sum += double(samples[i]) * samples[i];
    return b > a ? sum / double(b - a) : 0;
}

/// The best normalised correlation of `b` against `a` in [from, to) seconds of `a`, over
/// lags of `b` up to `maxLag` samples either way; `lag` gets the best one.
double bestCorrelation(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b,
                       double from, double to, int maxLag, int& lag)
{
    const long begin = long(from * Rate), end = long(to * Rate);
    double best = -1;
    for (int shift = -maxLag; shift <= maxLag; shift += 1) {
        double ab = 0, aa = 0, bb = 0;
        for (long i = begin; i < end; ++i) {
            const long j = i + shift;
            if (i < 0 || j < 0 || i >= long(a.size()) || j >= long(b.size()))
                continue;
            ab += double(a[i]) * b[j];
            aa += double(a[i]) * a[i];
            bb += double(b[j]) * b[j];
        }
        const double c = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
        if (c > best) {
            best = c;
            lag = shift;
        }
    }
    return best;
}

/// A loudspeaker whose monitor feeds, through a loopback, a room heard by a microphone.
std::vector<std::string> roomModules()
{
    return {"module-null-sink sink_name=aec_speaker rate=16000 channels=1",
            "module-null-sink sink_name=aec_room rate=16000 channels=1",
            "module-loopback source=aec_speaker.monitor sink=aec_room latency_msec=30 "
            "source_dont_move=1 sink_dont_move=1",
            "module-remap-source source_name=aec_mic master=aec_room.monitor "
            "source_properties=device.description=AEC_Microphone"};
}

voip::SoundParams params(const std::string& device, voip::SoundDirection direction)
{
    voip::SoundParams p;
    p.device = device;
    p.direction = direction;
    p.sampleRate = Rate;
    p.bufferSize = Frame * 2;
    p.bufferCount = 4;
    return p;
}

TEST(EchoCanceller, TakesItsRatesAndEchoLengths)
{
    EXPECT_EQ(KxEchoCanceller::echoLengthFor(1024), 1024u);
    EXPECT_EQ(KxEchoCanceller::echoLengthFor(128), 128u);
    EXPECT_EQ(KxEchoCanceller::echoLengthFor(1000), 256u);
    EXPECT_EQ(KxEchoCanceller::echoLengthFor(0), 256u);
    EXPECT_TRUE(KxEchoCanceller(8000, 256).ready());
    EXPECT_TRUE(KxEchoCanceller(16000, 1024).ready());
    KxEchoCanceller odd(11025, 256);
    EXPECT_FALSE(odd.ready());
    std::vector<std::int16_t> frame(110);
    EXPECT_FALSE(odd.near(frame));
    // A frame that is not 10 ms is refused, not read past its end.
    KxEchoCanceller canceller(16000, 256);
    std::vector<std::int16_t> shortFrame(100), longFrame(4000);
    EXPECT_FALSE(canceller.far(shortFrame));
    EXPECT_FALSE(canceller.near(longFrame));
}

TEST(EchoCanceller, RemovesADelayedEchoAndKeepsTheNearEnd)
{
    // Without devices: the microphone hears the loudspeaker 60 ms late at half loudness,
    // then (with the loudspeaker silent) the near talker.
    const auto far = talker(10, 1, 180, 1.0);
    const auto nearTalk = talker(3, 2, 120, 1.0);
    const std::size_t delay = 60 * Rate / 1000;
    KxEchoCanceller canceller(Rate, 256);
    ASSERT_TRUE(canceller.ready());
    std::vector<std::int16_t> mic(13 * Rate), out(13 * Rate);
    for (std::size_t i = 0; i < mic.size(); ++i) {
        double value = i >= delay && i - delay < far.size() ? 0.5 * far[i - delay] : 0;
        if (i >= 10 * Rate && i - 10 * Rate < nearTalk.size())
            value += nearTalk[i - 10 * Rate];
        mic[i] = std::int16_t(value);
    }
    std::vector<std::int16_t> silence(Frame);
    for (std::size_t at = 0; at + Frame <= mic.size(); at += Frame) {
        if (at + Frame <= far.size())
            ASSERT_TRUE(canceller.far(std::span(far).subspan(at, Frame)));
        else
            ASSERT_TRUE(canceller.far(silence));
        std::copy_n(mic.begin() + long(at), Frame, out.begin() + long(at));
        ASSERT_TRUE(canceller.near(std::span(out).subspan(at, Frame)));
    }
    const double erle = 10 * std::log10(energy(mic, 6, 10) / std::max(1.0, energy(out, 6, 10)));
    EXPECT_GE(erle, 20) << "echo return loss enhancement in dB";
    int lag = 0;
    EXPECT_GT(bestCorrelation(mic, out, 10.5, 12.5, 480, lag), 0.9);
    std::cout << "added delay " << lag * 1000.0 / Rate << " ms" << std::endl;
    EXPECT_LE(std::abs(lag), 2 * int(Frame)) << "the near end is held back by at most 20 ms";
}

TEST(AecSoundChannel, CancelsTheLoudspeakersEchoThroughARealSoundServer)
{
    SoundServer server(roomModules());
    if (!server.start())
        KX_SKIP_WITHOUT_TOOL() << "pulseaudio is not installed or did not start";

    KxAecSoundChannel aec;
    ASSERT_TRUE(aec.open(Rate, "aec_mic", "aec_speaker", 256));
    EXPECT_EQ(aec.sampleRate(), Rate);
    EXPECT_EQ(aec.farSource(), "aec_speaker.monitor");
    EXPECT_EQ(aec.name(), "Windows AEC");
    // Mute and volume are the microphone's own.
    ASSERT_TRUE(aec.setMute(true));
    EXPECT_TRUE(aec.mute().value());
    ASSERT_TRUE(aec.setMute(false));
    ASSERT_TRUE(aec.setVolume(80));
    EXPECT_EQ(aec.volume().value(), 80u);
    ASSERT_TRUE(aec.setVolume(100));
    auto rawMic = voip::createOpenedSoundChannel(params("aec_mic", voip::SoundDirection::Recorder));
    ASSERT_TRUE(rawMic) << rawMic.error().message;
    auto speaker =
        voip::createOpenedSoundChannel(params("aec_speaker", voip::SoundDirection::Player));
    ASSERT_TRUE(speaker) << speaker.error().message;
    auto room = voip::createOpenedSoundChannel(params("aec_room", voip::SoundDirection::Player));
    ASSERT_TRUE(room) << room.error().message;

    // Far end for 9 s, then 4 s of the near end alone.
    constexpr double Seconds = 13.5, FarSeconds = 9, NearFrom = 9.3;
    const auto far = talker(FarSeconds, 3, 190, 1.0);
    const auto nearTalk = talker(3.5, 4, 115, 0.8);
    std::vector<std::int16_t> cancelled(std::size_t(Seconds * Rate)), raw(cancelled.size());

    std::thread recordAec([&] {
        for (std::size_t at = 0; at + 2 * Frame <= cancelled.size(); at += 2 * Frame)
            if (!aec.read(std::span(cancelled).subspan(at, 2 * Frame)))
                return;
    });
    std::thread recordRaw([&] {
        for (std::size_t at = 0; at + 2 * Frame <= raw.size(); at += 2 * Frame)
            if (!rawMic.value()->read(std::span(raw).subspan(at, 2 * Frame)))
                return;
    });
    std::thread playFar([&] {
        std::vector<std::int16_t> silence(Frame);
        for (std::size_t at = 0; at < std::size_t((Seconds + 0.5) * Rate); at += Frame) {
            auto part = at + Frame <= far.size() ? std::span(far).subspan(at, Frame)
                                                 : std::span<const std::int16_t>(silence);
            if (!speaker.value()->write(part))
                return;
        }
    });
    std::thread playNear([&] {
        std::vector<std::int16_t> silence(Frame);
        const std::size_t from = std::size_t(NearFrom * Rate);
        for (std::size_t at = 0; at < std::size_t((Seconds + 0.5) * Rate); at += Frame) {
            auto part = at >= from && at - from + Frame <= nearTalk.size()
                            ? std::span(nearTalk).subspan(at - from, Frame)
                            : std::span<const std::int16_t>(silence);
            if (!room.value()->write(part))
                return;
        }
    });
    recordAec.join();
    recordRaw.join();
    playFar.join();
    playNear.join();
    aec.close();
    EXPECT_FALSE(aec.isOpen());
    EXPECT_EQ(aec.failedFrames(), 0u);

    // The echo is there on the plain microphone, and gone once the canceller has learnt
    // the room (from the fourth second on).
    const double echo = energy(raw, 4, FarSeconds - 0.2);
    ASSERT_GT(echo, 1e5) << "the loopback did not bring the loudspeaker to the microphone";
    const double left = energy(cancelled, 4, FarSeconds - 0.2);
    const double erle = 10 * std::log10(echo / std::max(1.0, left));
    std::cout << "ERLE " << erle << " dB" << std::endl;
    EXPECT_GE(erle, 20) << "echo return loss enhancement in dB";

    // The near end's speech comes through as it was said.
    int lag = 0;
    const double likeness =
        bestCorrelation(raw, cancelled, NearFrom + 0.4, NearFrom + 3.2, 1600, lag);
    std::cout << "near-end correlation " << likeness << " at " << lag * 1000.0 / Rate << " ms"
              << std::endl;
    EXPECT_GT(likeness, 0.9);
    // Not silenced either: the noise suppressor takes some of this steady synthetic voice
    // (about 4 dB), the echo canceller nothing.
    EXPECT_GT(energy(cancelled, NearFrom + 0.4, NearFrom + 3.2),
              0.2 * energy(raw, NearFrom + 0.4, NearFrom + 3.2));
}

TEST(AecSoundChannel, FailsCleanlyWithoutASoundServerOrDevices)
{
    const char* old = std::getenv("PULSE_SERVER");
    const std::string saved = old ? old : "";
    ::setenv("PULSE_SERVER", "unix:/nonexistent/kx-no-server", 1);
    {
        KxAecSoundChannel aec;
        EXPECT_FALSE(aec.open(8000, "Default audio", "Default audio"));
        EXPECT_FALSE(aec.isOpen());
        std::vector<std::int16_t> samples(160);
        EXPECT_FALSE(aec.read(samples));
        EXPECT_FALSE(aec.setMute(true));
        EXPECT_TRUE(aec.write(samples)) << "what is written is dropped";
        EXPECT_FALSE(aec.open(voip::SoundParams{}));
    }
    if (saved.empty())
        ::unsetenv("PULSE_SERVER");
    else
        ::setenv("PULSE_SERVER", saved.c_str(), 1);

    SoundServer server(roomModules());
    if (!server.start())
        KX_SKIP_WITHOUT_TOOL() << "pulseaudio is not installed or did not start";
    KxAecSoundChannel aec;
    EXPECT_FALSE(aec.open(16000, "aec_mic", "no such loudspeaker"));
    EXPECT_FALSE(aec.open(16000, "no such microphone", "aec_speaker"));
    EXPECT_FALSE(aec.isOpen());
    // A close from another thread ends a read that waits.
    ASSERT_TRUE(aec.open(8000, "aec_mic", "aec_speaker"));
    std::thread reader([&] {
        std::vector<std::int16_t> samples(160);
        while (aec.read(samples)) {
        }
    });
    std::this_thread::sleep_for(200ms);
    aec.close();
    reader.join();
    EXPECT_FALSE(aec.isOpen());
}

} // namespace
