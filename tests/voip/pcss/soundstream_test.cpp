// The PC endpoint's sound streams: opened at the rate of the call's codec, and a real
// PulseAudio device that disappears in the middle of a call: that direction stops with a
// logged error, the other goes on.
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "voip/base/trace.h"
#include "voip/device/sound_pulse.h"
#include "voip/media/patch.h"
#include "voip/media/stream.h"
#include "voip/pcss/soundstream.h"
#include "tests/support/pactl.h"
#include "tests/support/toolskip.h"

namespace voip {
namespace {

using namespace std::chrono_literals;

MediaFormat formatOf(const char* name)
{
    const auto* info = findAudioCodec(name);
    return MediaFormat(info->formatName, MediaType::Audio, info->rtpClockRate, info->payloadType);
}

using kxtest::ModuleGuard;
using kxtest::run;

/// A stream of `params` at the rate `format`'s sound is coded at, in frames of 20 ms; not
/// yet open.
std::shared_ptr<pcss::SoundStream> soundStream(const MediaFormat& format, SoundParams params,
                                               bool isSource)
{
    params.sampleRate = pcmSampleRateFor(format);
    params.bufferSize = params.sampleRate / 50 * 2;
    params.direction = isSource ? SoundDirection::Recorder : SoundDirection::Player;
    auto channel = createSoundChannel(params.driver);
    EXPECT_TRUE(channel) << channel.error().message;
    return std::make_shared<pcss::SoundStream>(std::shared_ptr<SoundChannel>(channel.take()),
                                               params, AudioSessionId, isSource, 20);
}

TEST(SoundStream, OpensTheDeviceAtTheCodecsSampleRate)
{
    EXPECT_EQ(pcmSampleRateFor(formatOf("G.722-64k")), 16000u);
    EXPECT_EQ(pcmSampleRateFor(formatOf("G.711-uLaw-64k")), 8000u);
    EXPECT_EQ(pcmSampleRateFor(pcmMediaFormat(16000)), 16000u);
    EXPECT_EQ(pcmSampleRateFor(MediaFormat("H.264-High", MediaType::Video, 90000, 96)), 0u);

    SoundParams params;
    params.driver = kNullDriver;
    auto mic = soundStream(formatOf("G.722-64k"), params, true);
    ASSERT_TRUE(mic->open()) << mic->lastError();
    EXPECT_TRUE(mic->isSource());
    EXPECT_EQ(mic->mediaFormat().name(), "PCM-16-16kHz");
    EXPECT_EQ(mic->channel()->params().sampleRate, 16000u);
    StreamFrame frame;
    ASSERT_TRUE(mic->readFrame(frame));
    EXPECT_EQ(frame.pcm.size(), 320u);
    ASSERT_TRUE(mic->readFrame(frame));
    EXPECT_EQ(frame.timestamp, 320u);
    mic->close();
    EXPECT_FALSE(mic->channel()->isOpen()) << "the stream owns its channel";

    params.device = "Missing Card";
    auto missing = soundStream(formatOf("G.711-ALaw-64k"), params, false);
    EXPECT_FALSE(missing->open());
    EXPECT_NE(missing->lastError().find("Missing Card"), std::string::npos) << missing->lastError();
}

TEST(SoundStream, PulseDeviceThatDisappearsStopsOnlyItsDirection)
{
    if (!PulseSoundChannel::serverReachable())
        KX_SKIP_WITHOUT_TOOL() << "no PulseAudio server reachable";
    const std::string sink = "kx_unplug_" + std::to_string(::getpid());
    auto module = kxtest::loadNullSink(sink);
    if (module.empty())
        KX_SKIP_WITHOUT_TOOL() << "pactl cannot load a null sink";
    // Unloaded on every way out, also when an assertion ends the test early.
    const ModuleGuard unloadAtEnd{module};

    const auto tracePath = std::filesystem::temp_directory_path() /
                           ("kx-unplug-" + std::to_string(::getpid()) + ".log");
    ASSERT_TRUE(Trace::initialise(1, tracePath.string(), 0));

    // The microphone is the new device's monitor; the loudspeaker is the Null device.
    SoundParams micParams;
    micParams.driver = kPulseAudioDriver;
    micParams.device = sink + ".monitor";
    auto mic = soundStream(formatOf("G.711-ALaw-64k"), micParams, true);
    ASSERT_TRUE(mic->open()) << mic->lastError();
    auto [toNetwork, network] = makeStreamPipe(formatOf("G.711-ALaw-64k"), AudioSessionId, 500);
    MediaPatch sending(mic);
    ASSERT_TRUE(sending.addSink(toNetwork));
    std::promise<MediaStatus> sendingEnded;
    sending.setEndedCallback([&](const MediaStatus& why) { sendingEnded.set_value(why); });

    SoundParams speakerParams;
    speakerParams.driver = kNullDriver;
    auto speaker = soundStream(formatOf("G.711-ALaw-64k"), speakerParams, false);
    ASSERT_TRUE(speaker->open()) << speaker->lastError();
    auto [fromNetwork, received] = makeStreamPipe(formatOf("G.711-ALaw-64k"), AudioSessionId);
    MediaPatch receiving(received);
    ASSERT_TRUE(receiving.addSink(speaker));
    ASSERT_TRUE(fromNetwork->open());

    ASSERT_TRUE(receiving.start());
    ASSERT_TRUE(sending.start());
    std::this_thread::sleep_for(200ms);
    run("pactl unload-module " + module);
    module.clear();

    auto ended = sendingEnded.get_future();
    ASSERT_EQ(ended.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(ended.get().error().kind, MediaError::DeviceFailure);
    EXPECT_NE(mic->lastError().find(sink), std::string::npos) << mic->lastError();

    StreamFrame frame;
    frame.payload.assign(160, 0xD5);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(fromNetwork->writeFrame(frame));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (receiving.statistics().framesWritten < 5 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(receiving.statistics().framesWritten, 5u);
    EXPECT_TRUE(receiving.isRunning());
    sending.stop();
    receiving.stop();

    Trace::close();
    std::ifstream log(tracePath);
    std::stringstream text;
    text << log.rdbuf();
    std::filesystem::remove(tracePath);
    EXPECT_NE(text.str().find("sound device \"" + sink + ".monitor\" failed"), std::string::npos)
        << text.str();
}

} // namespace
} // namespace voip
