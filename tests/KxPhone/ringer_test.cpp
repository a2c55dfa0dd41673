// The ring of a waiting call and the ringback of a placed one: their tones and cadences,
// and what a real loudspeaker plays while a call waits, gone when it is answered or ended.

#include <atomic>
#include <cmath>
#include <deque>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <QTest>

#include "KxPhone/kxmanager.h"
#include "KxPhone/kxringer.h"
#include "tests/KxPhone/clientkit.h"
#include "tests/resources/soundserver.h"
#include "tests/support/toolskip.h"
#include "voip/device/sound_pulse.h"

namespace {

using kx::testutil::Client;
using kx::testutil::Kxcall;
using kx::testutil::pumpUntil;
using kx::testutil::SoundServer;
using Tone = KxRinger::Tone;

/// The amplitude of `frequency` in `samples` (Goertzel).
double amplitude(const std::vector<std::int16_t>& samples, double frequency)
{
    const double w = 2 * std::numbers::pi * frequency / KxRinger::SampleRate;
    double previous = 0, before = 0;
    for (const std::int16_t sample : samples) {
        const double next = sample + 2 * std::cos(w) * previous - before;
        before = previous;
        previous = next;
    }
    const double power =
        previous * previous + before * before - 2 * std::cos(w) * previous * before;
    return 2 * std::sqrt(std::max(power, 0.0)) / double(samples.size());
}

std::vector<std::int16_t> tone(Tone which, double from, double to)
{
    std::vector<std::int16_t> samples(std::size_t((to - from) * KxRinger::SampleRate));
    KxRinger::fill(which, std::uint64_t(from * KxRinger::SampleRate), samples);
    return samples;
}

TEST(Ringer, TheRingIsTwoBurstsOfTwoTonesThenQuietAndTheRingbackASecondInFive)
{
    // Ring: 440 and 480 Hz in 0-0.4 s and 0.6-1.0 s of every 3 s.
    for (const double start : {0.0, 0.6, 3.0, 3.6, 300.6}) {
        const auto burst = tone(Tone::Ring, start + 0.05, start + 0.35);
        EXPECT_GT(amplitude(burst, 440), 6000) << start;
        EXPECT_GT(amplitude(burst, 480), 6000) << start;
        EXPECT_LT(amplitude(burst, 425), 2000) << start;
    }
    for (const auto& [from, to] : {std::pair{0.41, 0.59}, {1.01, 2.99}, {301.01, 302.99}})
        for (const std::int16_t sample : tone(Tone::Ring, from, to))
            ASSERT_EQ(sample, 0) << "quiet from " << from;
    // Ringback: 425 Hz for the first second of every five, at the level of one ring tone.
    const auto ringback = tone(Tone::Ringback, 5.05, 5.95);
    EXPECT_GT(amplitude(ringback, 425), 6000);
    EXPECT_LT(amplitude(ringback, 440), 2000);
    for (const std::int16_t sample : tone(Tone::Ringback, 1.01, 4.99))
        ASSERT_EQ(sample, 0);
    // The bursts fade in: no click at their start.
    const auto start = tone(Tone::Ring, 0, 0.001);
    for (const std::int16_t sample : start)
        EXPECT_LT(std::abs(sample), 3000);
}

/// What the loudspeaker plays, from its monitor, the last two seconds of it.
class Listener
{
public:
    explicit Listener(const std::string& monitor)
    {
        auto opened = voip::createOpenedSoundChannel({voip::kPulseAudioDriver, monitor,
                                                      voip::SoundDirection::Recorder, 1,
                                                      KxRinger::SampleRate, 16, 320, 4});
        if (!opened)
            return;
        channel_ = opened.take();
        thread_ = std::jthread([this](std::stop_token stop) {
            std::vector<std::int16_t> frame(160);
            while (!stop.stop_requested() && channel_->read(frame)) {
                std::lock_guard lock(mutex_);
                heard_.insert(heard_.end(), frame.begin(), frame.end());
                while (heard_.size() > 2 * KxRinger::SampleRate)
                    heard_.pop_front();
            }
        });
    }
    ~Listener()
    {
        if (channel_) {
            thread_.request_stop();
            channel_->close();
        }
    }
    bool listening() const { return channel_ != nullptr; }
    /// The last `seconds` heard.
    std::vector<std::int16_t> last(double seconds)
    {
        std::lock_guard lock(mutex_);
        const auto count = std::min(heard_.size(), std::size_t(seconds * KxRinger::SampleRate));
        return {heard_.end() - std::ptrdiff_t(count), heard_.end()};
    }
    /// Whether `frequency` sounded loudly in the last fifth of a second.
    bool hears(double frequency) { return amplitude(last(0.2), frequency) > 2000; }
    /// Waits `seconds`, and says whether all of it was silent.
    bool silentFor(double seconds)
    {
        QTest::qWait(int(seconds * 1000) + 100);
        int loudest = 0;
        for (const std::int16_t sample : last(seconds))
            loudest = std::max(loudest, std::abs(int(sample)));
        return loudest < 300;
    }

private:
    std::unique_ptr<voip::SoundChannel> channel_;
    std::mutex mutex_;
    std::deque<std::int16_t> heard_;
    std::jthread thread_;
};

TEST(Ringer, AWaitingCallRingsOnTheLoudspeakerAndAPlacedOneRingsBackUntilAnswered)
{
    SoundServer server({"module-null-sink sink_name=kx_speaker rate=8000 channels=1 "
                        "sink_properties=device.description=Test_Speaker"});
    if (!server.start())
        KX_SKIP_WITHOUT_TOOL() << "pulseaudio is not installed or did not start";
    Client client(
        false, [](QSettings& settings) { settings.setValue("audio/output", "Test_Speaker"); },
        voip::kPulseAudioDriver);
    Listener loudspeaker("kx_speaker.monitor");
    ASSERT_TRUE(loudspeaker.listening());

    // A caller waits for the user: the ring, until the call is answered.
    {
        Kxcall caller({"--call", client.address(), "--calls", "1"});
        ASSERT_TRUE(
            pumpUntil([&] { return loudspeaker.hears(440) && loudspeaker.hears(480); }, 5000))
            << "no ring";
        client.manager->acceptCall();
        ASSERT_TRUE(caller.waitFor("established"));
        EXPECT_TRUE(loudspeaker.silentFor(3)) << "the ring went on after the answer";
        client.manager->hangUp();
        ASSERT_TRUE(client.idle());
    }
    // A caller who gives up (the caller's program ends): the ring stops with the call.
    {
        Kxcall caller({"--call", client.address(), "--calls", "1"});
        ASSERT_TRUE(pumpUntil([&] { return loudspeaker.hears(440); }, 5000)) << "no ring";
    }
    ASSERT_TRUE(client.idle());
    EXPECT_TRUE(loudspeaker.silentFor(3)) << "the ring went on after the caller gave up";
    // A call we place rings back while the far end is alerted, until we give up.
    Kxcall silent({"--listen", "0", "--calls", "0", "--answer", "never"});
    ASSERT_EQ(client.manager->placeCall(silent.address(), true), "");
    ASSERT_TRUE(pumpUntil([&] { return loudspeaker.hears(425); }, 5000)) << "no ringback";
    EXPECT_FALSE(loudspeaker.hears(440));
    client.manager->hangUp();
    ASSERT_TRUE(client.idle());
    EXPECT_TRUE(loudspeaker.silentFor(2)) << "the ringback went on after the call";
}

} // namespace
