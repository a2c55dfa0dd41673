// The PulseAudio driver against a real daemon: the test command starts one with the null
// sinks ci_speaker and ci_mic_feed and the source ci_mic (fed by ci_mic_feed).  Skipped
// when no daemon answers.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <thread>

#include <gtest/gtest.h>

#include "voip/device/sound_pulse.h"
#include "voip/device/soundchannel.h"
#include "tests/support/pactl.h"
#include "tests/support/toolskip.h"

namespace voip {
namespace {

/// Power of one frequency relative to the whole signal's power (Goertzel).
double toneShare(const std::vector<int16_t>& samples, unsigned rate, double hz)
{
    const double w = 2 * std::numbers::pi * hz / rate;
    const double coeff = 2 * std::cos(w);
    double s1 = 0, s2 = 0, total = 0;
    for (const auto sample : samples) {
        const double s = sample + coeff * s1 - s2;
        s2 = s1;
        s1 = s;
        total += double(sample) * sample;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return total > 0 ? 2 * power / (double(samples.size()) * total) : 0;
}

using kxtest::ModuleGuard;
using kxtest::run;

class PulseAudio : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!PulseSoundChannel::serverReachable())
            KX_SKIP_WITHOUT_TOOL() << "no PulseAudio server reachable";
        const auto sinks = soundDeviceNames(kPulseAudioDriver, SoundDirection::Player);
        if (std::find(sinks.begin(), sinks.end(), "CI_Speaker") == sinks.end())
            KX_SKIP_WITHOUT_TOOL() << "the test sinks are not loaded (scripts/test-services.sh)";
    }

    static SoundParams params(const std::string& device, SoundDirection direction,
                              unsigned rate = 16000)
    {
        SoundParams p;
        p.driver = kPulseAudioDriver;
        p.device = device;
        p.direction = direction;
        p.sampleRate = rate;
        p.bufferSize = rate / 50 * 2; // 20 ms
        p.bufferCount = 2;
        return p;
    }
};

TEST_F(PulseAudio, ListsTheTestDevicesWithTheDefaultFirst)
{
    auto players = listSoundDevices(kPulseAudioDriver, SoundDirection::Player);
    ASSERT_TRUE(players) << players.error().message;
    ASSERT_GE(players.value().size(), 3u);
    EXPECT_EQ(players.value().front().name, kDefaultSoundDevice);
    auto speaker = std::find_if(players.value().begin(), players.value().end(),
                                [](const auto& d) { return d.name == "CI_Speaker"; });
    ASSERT_NE(speaker, players.value().end());
    EXPECT_EQ(speaker->description, "ci_speaker");

    const auto recorders = soundDeviceNames(kPulseAudioDriver, SoundDirection::Recorder);
    EXPECT_EQ(recorders.front(), kDefaultSoundDevice);
    EXPECT_NE(std::find(recorders.begin(), recorders.end(), "CI_Microphone"), recorders.end());
    // Monitors of sinks are not offered as microphones.
    for (const auto& name : recorders)
        EXPECT_EQ(name.find("Monitor of"), std::string::npos) << name;

    EXPECT_EQ(createOpenedSoundChannel(params("No Such Card", SoundDirection::Player)).error().kind,
              MediaError::NotFound);
}

TEST_F(PulseAudio, FindsTheMonitorOfAnOutputDevice)
{
    auto monitor = PulseSoundChannel::monitorSourceOf("CI_Speaker");
    ASSERT_TRUE(monitor) << monitor.error().message;
    EXPECT_EQ(monitor.value(), "ci_speaker.monitor");
    EXPECT_EQ(PulseSoundChannel::monitorSourceOf("ci_mic_feed").value(), "ci_mic_feed.monitor");
    auto byDefault = createOpenedSoundChannel(params(kDefaultSoundDevice, SoundDirection::Player));
    ASSERT_TRUE(byDefault);
    const auto* pulse = dynamic_cast<PulseSoundChannel*>(byDefault.value().get());
    EXPECT_EQ(PulseSoundChannel::monitorSourceOf(kDefaultSoundDevice).value(),
              pulse->serverDeviceName() + ".monitor");
    EXPECT_EQ(PulseSoundChannel::monitorSourceOf("No Such Card").error().kind,
              MediaError::NotFound);
}

TEST_F(PulseAudio, VolumeAndMuteReadBackExactly)
{
    for (const auto& [device, direction] : {std::pair{"CI_Speaker", SoundDirection::Player},
                                            std::pair{"CI_Microphone", SoundDirection::Recorder}}) {
        auto channel = createOpenedSoundChannel(params(device, direction));
        ASSERT_TRUE(channel) << channel.error().message;
        auto& c = *channel.value();
        const auto before = c.volume();
        ASSERT_TRUE(before);
        for (unsigned v : {0u, 1u, 37u, 63u, 99u, 100u}) {
            ASSERT_TRUE(c.setVolume(v)) << device;
            EXPECT_EQ(c.volume().value(), v) << device;
        }
        EXPECT_FALSE(c.setVolume(150));
        ASSERT_TRUE(c.setMute(true));
        EXPECT_TRUE(c.mute().value());
        ASSERT_TRUE(c.setMute(false));
        EXPECT_FALSE(c.mute().value());
        ASSERT_TRUE(c.setVolume(before.value()));
    }
    // The default device maps to the server's default: the same volume as the named one.
    auto named = createOpenedSoundChannel(params("CI_Speaker", SoundDirection::Player));
    auto byDefault = createOpenedSoundChannel(params(kDefaultSoundDevice, SoundDirection::Player));
    ASSERT_TRUE(named && byDefault);
    const auto* pulse = dynamic_cast<PulseSoundChannel*>(byDefault.value().get());
    ASSERT_NE(pulse, nullptr);
    if (pulse->serverDeviceName() == "ci_speaker") {
        ASSERT_TRUE(named.value()->setVolume(81));
        EXPECT_EQ(byDefault.value()->volume().value(), 81u);
        ASSERT_TRUE(named.value()->setVolume(100));
    }
}

TEST_F(PulseAudio, ToneIntoTheMicFeedIsRecordedFromTheMicrophone)
{
    constexpr unsigned rate = 16000;
    constexpr double hz = 1000;
    auto mic = createOpenedSoundChannel(params("CI_Microphone", SoundDirection::Recorder, rate));
    ASSERT_TRUE(mic) << mic.error().message;
    ASSERT_TRUE(mic.value()->setMute(false));
    ASSERT_TRUE(mic.value()->setVolume(100));
    auto feed = createOpenedSoundChannel(params("CI_Mic_Feed", SoundDirection::Player, rate));
    ASSERT_TRUE(feed) << feed.error().message;

    std::atomic<bool> playing = true;
    std::thread player([&] {
        std::vector<int16_t> frame(rate / 50);
        size_t n = 0;
        while (playing) {
            for (auto& s : frame)
                s = int16_t(10000 * std::sin(2 * std::numbers::pi * hz * double(n++) / rate));
            if (!feed.value()->write(frame))
                break;
        }
    });
    // Blocks of 250 ms until one holds the tone: the path through the null sink takes a
    // while to start (up to its 2 s block when it was suspended).
    double best = 0, otherInBest = 1;
    MediaStatus status;
    for (int block = 0; block < 32 && best <= 0.5; ++block) {
        std::vector<int16_t> recorded(rate / 4);
        if (status = mic.value()->read(recorded); !status)
            break;
        const double share = toneShare(recorded, rate, hz);
        if (share > best) {
            best = share;
            otherInBest = toneShare(recorded, rate, 1500);
        }
    }
    playing = false;
    player.join();
    ASSERT_TRUE(status) << status.error().message;
    EXPECT_GT(best, 0.5);
    EXPECT_LT(otherInBest, 0.05);
}

TEST_F(PulseAudio, CloseFromAnotherThreadWakesABlockedRead)
{
    auto mic = createOpenedSoundChannel(params("CI_Microphone", SoundDirection::Recorder));
    ASSERT_TRUE(mic) << mic.error().message;
    std::vector<int16_t> tenSeconds(160000);
    MediaStatus status;
    std::thread reader([&] { status = mic.value()->read(tenSeconds); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    mic.value()->close();
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(status.error().kind, MediaError::Closed);
    EXPECT_FALSE(mic.value()->isOpen());
    EXPECT_EQ(mic.value()->volume().error().kind, MediaError::NotOpen);
    EXPECT_EQ(mic.value()->read(tenSeconds).error().kind, MediaError::Closed);
    // The same object opens again.
    ASSERT_TRUE(mic.value()->open(params("CI_Microphone", SoundDirection::Recorder)));
    EXPECT_TRUE(mic.value()->volume());
}

TEST_F(PulseAudio, ADeviceThatDisappearsFailsReadsAndWrites)
{
    const std::string sink = "kx_gone_" + std::to_string(::getpid());
    auto module = kxtest::loadNullSink(sink);
    if (module.empty())
        KX_SKIP_WITHOUT_TOOL() << "pactl cannot load a null sink";
    // Unloaded on every way out, also when an assertion ends the test early.
    const ModuleGuard unloadAtEnd{module};
    auto player = createOpenedSoundChannel(params(sink, SoundDirection::Player));
    auto recorder = createOpenedSoundChannel(params(sink + ".monitor", SoundDirection::Recorder));
    ASSERT_TRUE(player) << player.error().message;
    ASSERT_TRUE(recorder) << recorder.error().message;
    std::vector<int16_t> frame(320);
    ASSERT_TRUE(player.value()->write(frame));

    MediaStatus readStatus;
    std::thread reader([&] {
        std::vector<int16_t> buffer(320);
        for (int i = 0; i < 500; ++i) // at most 10 s
            if (readStatus = recorder.value()->read(buffer); !readStatus)
                break;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    run("pactl unload-module " + module);
    module.clear();
    reader.join();
    EXPECT_EQ(readStatus.error().kind, MediaError::DeviceFailure) << readStatus.error().message;
    MediaStatus writeStatus;
    for (int i = 0; i < 100 && writeStatus; ++i)
        writeStatus = player.value()->write(frame);
    EXPECT_EQ(writeStatus.error().kind, MediaError::DeviceFailure);
    player.value()->close();
    recorder.value()->close();
}

} // namespace
} // namespace voip
