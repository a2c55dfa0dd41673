// The PC sound endpoint on its own and in calls: device names, buffers, accept and reject
// of incoming calls, the local streams per direction, and device changes mid-call.

#include <chrono>
#include <cmath>
#include <numbers>
#include <filesystem>
#include <thread>

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/voip/pcss/rtplink.h"
#include "voip/device/sound_null.h"
#include "voip/device/sound_pulse.h"
#include "voip/device/wavfile.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/pcss/pcssconnection.h"
#include "tests/support/toolskip.h"

namespace voip::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

MediaFormat formatNamed(std::string_view name)
{
    auto found = MediaFormatRegistry::global().find(name);
    EXPECT_TRUE(found) << name;
    return found.value_or(MediaFormat());
}

/// A folder of its own for the WAV files of one test, removed afterwards.
struct TempFolder
{
    TempFolder()
    {
        path = fs::temp_directory_path() /
               ("kx-pcss-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(path);
    }
    ~TempFolder()
    {
        std::error_code error;
        fs::remove_all(path, error);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
    static inline int counter = 0;
    fs::path path;
};

std::string writeTone(const std::string& path, unsigned rate, double seconds)
{
    WavAudio audio;
    audio.sampleRate = rate;
    for (unsigned i = 0; i < rate * seconds; ++i)
        audio.samples.push_back(
            static_cast<int16_t>(6000 * std::sin(2 * std::numbers::pi * 440.0 * i / rate)));
    EXPECT_TRUE(writeWavFile(path, audio));
    return path;
}

TEST(PcssDevices, UnknownNamesFailAndKeepTheOldDevice)
{
    Manager manager;
    pcss::PcssEndPoint endpoint(manager);
    EXPECT_EQ(endpoint.prefix(), "pc");
    EXPECT_EQ(endpoint.soundDriver(), kPulseAudioDriver);

    EXPECT_FALSE(endpoint.setSoundDriver("NoSuchDriver"));
    EXPECT_EQ(endpoint.soundDriver(), kPulseAudioDriver);
    ASSERT_TRUE(endpoint.setSoundDriver(kNullDriver));
    EXPECT_EQ(endpoint.playDevice(), kDefaultSoundDevice);

    EXPECT_TRUE(endpoint.setPlayDevice(kNullSoundDevice));
    EXPECT_TRUE(endpoint.setRecordDevice(kNullSoundDevice));
    const auto refused = endpoint.setPlayDevice("Speakers (No Such Card)");
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find("Speakers (No Such Card)"), std::string::npos);
    EXPECT_FALSE(endpoint.setRecordDevice(""));
    EXPECT_EQ(endpoint.playDevice(), kNullSoundDevice);
    EXPECT_EQ(endpoint.recordDevice(), kNullSoundDevice);
    // Blanks are simplified the way the device lists show names.
    EXPECT_TRUE(endpoint.setPlayDevice(std::string("  Null   Audio ")));

    // Another driver starts from its defaults.
    ASSERT_TRUE(endpoint.setSoundDriver(kWavFileDriver));
    EXPECT_EQ(endpoint.recordDevice(), "");
}

TEST(PcssDevices, PulseAudioDevicesAreTheServersOwn)
{
    if (!PulseSoundChannel::serverReachable())
        KX_SKIP_WITHOUT_TOOL() << "no PulseAudio server reachable";
    Manager manager;
    pcss::PcssEndPoint endpoint(manager);
    ASSERT_EQ(endpoint.soundDriver(), kPulseAudioDriver);
    const auto sinks = soundDeviceNames(kPulseAudioDriver, SoundDirection::Player);
    const auto sources = soundDeviceNames(kPulseAudioDriver, SoundDirection::Recorder);
    ASSERT_FALSE(sinks.empty());
    ASSERT_FALSE(sources.empty());
    EXPECT_TRUE(endpoint.setPlayDevice(sinks.back()));
    EXPECT_TRUE(endpoint.setRecordDevice(sources.back()));
    EXPECT_FALSE(endpoint.setPlayDevice("Kestrovia No Such Sink"));
    EXPECT_FALSE(endpoint.setRecordDevice(kNullSoundDevice))
        << "a Null device is no PulseAudio one";
    EXPECT_EQ(endpoint.playDevice(), sinks.back());
    EXPECT_EQ(endpoint.recordDevice(), sources.back());
}

TEST(PcssDevices, WavFileDevicesMustBeReadableOrWritable)
{
    TempFolder folder;
    Manager manager;
    pcss::PcssEndPoint endpoint(manager);
    ASSERT_TRUE(endpoint.setSoundDriver(kWavFileDriver));
    const auto input = writeTone(folder.file("in.wav"), 8000, 0.1);

    EXPECT_FALSE(endpoint.setRecordDevice(folder.file("missing.wav")));
    EXPECT_FALSE(endpoint.setRecordDevice(folder.path.string())) << "a folder is no WAV file";
    EXPECT_TRUE(endpoint.setRecordDevice(input));
    EXPECT_EQ(endpoint.recordDevice(), input);

    EXPECT_FALSE(endpoint.setPlayDevice(folder.file("no/such/folder/out.wav")));
    EXPECT_FALSE(endpoint.setPlayDevice(folder.path.string()));
    EXPECT_TRUE(endpoint.setPlayDevice(folder.file("out.wav")));
    EXPECT_FALSE(endpoint.setPlayDevice(folder.file("gone/out.wav")));
    EXPECT_EQ(endpoint.playDevice(), folder.file("out.wav"));
}

TEST(PcssDevices, BufferSettingsAreCheckedAndReachNewConnections)
{
    Manager manager;
    pcss::PcssEndPoint endpoint(manager);
    EXPECT_EQ(endpoint.soundChannelBufferCount(), 2u);
    EXPECT_EQ(endpoint.soundChannelBufferTime(), 20u);
    EXPECT_FALSE(endpoint.setSoundChannelBuffers(0, 20));
    EXPECT_FALSE(endpoint.setSoundChannelBuffers(33, 20));
    EXPECT_FALSE(endpoint.setSoundChannelBuffers(4, 25));
    EXPECT_FALSE(endpoint.setSoundChannelBuffers(4, 0));
    EXPECT_FALSE(endpoint.setSoundChannelBuffers(4, 250));
    EXPECT_EQ(endpoint.soundChannelBufferCount(), 2u);
    ASSERT_TRUE(endpoint.setSoundChannelBuffers(4, 30));
    EXPECT_EQ(endpoint.soundChannelBufferCount(), 4u);
    EXPECT_EQ(endpoint.soundChannelBufferTime(), 30u);

    auto call = manager.createCall();
    ASSERT_TRUE(call);
    auto leg =
        std::dynamic_pointer_cast<pcss::PcssConnection>(endpoint.makeConnection(call, "*", {}));
    ASSERT_TRUE(leg);
    EXPECT_EQ(leg->soundChannelBufferCount(), 4u);
    EXPECT_EQ(leg->soundChannelBufferTime(), 30u);
    EXPECT_FALSE(leg->isNetworkConnection());
    // The camera control exists with the connection, before any channel.
    ASSERT_TRUE(leg->h224Handler());
    EXPECT_EQ(leg->feccHandler(), leg->h224Handler()->fecc());
    EXPECT_FALSE(leg->h224Handler()->transmitOpen());
    call->clear(EndReason::LocalUser);
}

/// Two terminals with PC sound endpoints on the Null driver.
class PcssCall : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (auto* manager : {&alice, &bob})
            ASSERT_TRUE(manager->pcss->setSoundDriver(kNullDriver));
    }

    std::string ringingTokenAtBob()
    {
        EXPECT_TRUE(bob.waitUntil([&] { return !bob.answerCallers.empty(); }));
        auto tokens = bob.callTokens();
        return tokens.empty() ? std::string() : tokens.front();
    }

    std::shared_ptr<pcss::PcssConnection> pcLeg(Manager& manager, const std::string& token)
    {
        auto call = manager.findCall(token);
        return call ? std::dynamic_pointer_cast<pcss::PcssConnection>(call->localConnection())
                    : nullptr;
    }

    std::string establish()
    {
        bob.answerNow();
        auto token = alice.setUpCall("pc:*", "bob");
        EXPECT_TRUE(token);
        EXPECT_TRUE(alice.waitUntil([&] { return !alice.established.empty(); }));
        EXPECT_TRUE(bob.waitUntil([&] { return !bob.established.empty(); }));
        return token.value_or("");
    }

    RtpLinkNetwork network;
    AudioManager alice{network, "alice"};
    AudioManager bob{network, "bob"};
};

TEST_F(PcssCall, IncomingCallRingsAndIsAcceptedByToken)
{
    auto token = alice.setUpCall("pc:*", "bob");
    ASSERT_TRUE(token);
    const auto bobToken = ringingTokenAtBob();
    ASSERT_FALSE(bobToken.empty());
    auto leg = pcLeg(bob, bobToken);
    ASSERT_TRUE(leg) << "the incoming call was routed to the PC sound endpoint";
    EXPECT_EQ(leg->phase(), Connection::Phase::Alerting);
    EXPECT_TRUE(alice.waitUntil([&] { return !alice.alerting.empty(); })) << "alice hears ringing";
    EXPECT_TRUE(bob.established.empty());

    EXPECT_FALSE(bob.pcss->acceptIncomingCall("no-such-token"));
    EXPECT_FALSE(alice.pcss->acceptIncomingCall(*token)) << "an outgoing call is not answered";
    ASSERT_TRUE(bob.pcss->acceptIncomingCall(bobToken));
    EXPECT_TRUE(bob.waitUntil([&] { return !bob.established.empty(); }));
    EXPECT_TRUE(alice.waitUntil([&] { return !alice.established.empty(); }));
    EXPECT_FALSE(bob.pcss->acceptIncomingCall(bobToken)) << "answered once";

    ASSERT_TRUE(alice.clearCall(*token, EndReason::LocalUser, true));
    EXPECT_TRUE(bob.waitUntil([&] { return !bob.cleared.empty(); }));
    std::lock_guard lock(bob.mutex);
    EXPECT_EQ(bob.cleared.front().reason, EndReason::RemoteUser);
}

TEST_F(PcssCall, IncomingCallRejectedWithTheGivenReason)
{
    auto token = alice.setUpCall("pc:*", "bob");
    ASSERT_TRUE(token);
    const auto bobToken = ringingTokenAtBob();
    ASSERT_FALSE(bobToken.empty());
    EXPECT_FALSE(bob.pcss->rejectIncomingCall("no-such-token", EndReason::LocalBusy));
    ASSERT_TRUE(bob.pcss->rejectIncomingCall(bobToken, EndReason::LocalBusy));
    ASSERT_TRUE(bob.waitUntil([&] { return !bob.cleared.empty(); }));
    ASSERT_TRUE(alice.waitUntil([&] { return !alice.cleared.empty(); }));
    std::lock_guard lock(bob.mutex);
    EXPECT_EQ(bob.cleared.front().reason, EndReason::LocalBusy);
    EXPECT_FALSE(bob.cleared.front().established);
}

TEST_F(PcssCall, SoundStreamsOpenTheRightDevicePerDirection)
{
    const auto token = establish();
    auto leg = pcLeg(alice, token);
    ASSERT_TRUE(leg);
    EXPECT_EQ(leg->recordDevice(), kDefaultSoundDevice);

    const auto g722 = formatNamed(format::G722);
    auto microphone = std::dynamic_pointer_cast<pcss::SoundStream>(
        leg->openMediaStream(g722, AudioSessionId, true));
    auto speaker = std::dynamic_pointer_cast<pcss::SoundStream>(
        leg->openMediaStream(g722, AudioSessionId, false));
    ASSERT_TRUE(microphone && speaker);
    ASSERT_TRUE(microphone->channel() && speaker->channel());
    EXPECT_EQ(microphone->channel()->params().direction, SoundDirection::Recorder);
    EXPECT_EQ(speaker->channel()->params().direction, SoundDirection::Player);
    EXPECT_EQ(microphone->channel()->params().sampleRate, 16000u) << "G.722 samples at 16 kHz";
    EXPECT_EQ(microphone->mediaFormat().name(), PcmFormat16k);
    EXPECT_EQ(leg->soundStream(true), microphone);
    EXPECT_EQ(leg->soundStream(false), speaker);

    // The recorder delivers frames of the buffer time, with running timestamps.
    StreamFrame first, second;
    ASSERT_TRUE(microphone->readFrame(first));
    ASSERT_TRUE(microphone->readFrame(second));
    EXPECT_EQ(first.pcm.size(), 320u);
    EXPECT_EQ(second.timestamp - first.timestamp, 320u);

    // No camera, so no local video; H.224 is the camera control's; G.711 opens at 8 kHz.
    EXPECT_EQ(leg->openMediaStream(formatNamed(format::H264High), VideoSessionId, true), nullptr);
    auto h224 = leg->openMediaStream(formatNamed(format::Fecc), DataSessionId, true);
    ASSERT_TRUE(h224);
    EXPECT_TRUE(leg->h224Handler()->transmitOpen());
    leg->closeMediaStream(h224);
    ASSERT_TRUE(leg->closeMediaStream(microphone));
    EXPECT_FALSE(microphone->channel()->isOpen()) << "the stream closes its channel";
    auto g711 = std::dynamic_pointer_cast<pcss::SoundStream>(
        leg->openMediaStream(formatNamed(format::G711ALaw), AudioSessionId, true));
    ASSERT_TRUE(g711);
    EXPECT_EQ(g711->channel()->params().sampleRate, 8000u);

    // Media through the application: no sound device at all.
    alice.pcss->setMediaThroughCallbacks(true);
    auto plain = leg->openMediaStream(g722, 4, true);
    ASSERT_TRUE(plain);
    EXPECT_EQ(std::dynamic_pointer_cast<pcss::SoundStream>(plain), nullptr);
    alice.pcss->setMediaThroughCallbacks(false);

    ASSERT_TRUE(alice.clearCall(token, EndReason::LocalUser, true));
    EXPECT_FALSE(speaker->isOpen());
    EXPECT_FALSE(g711->isOpen());
}

TEST_F(PcssCall, RecordDeviceThatDoesNotOpenGivesNoStream)
{
    TempFolder folder;
    const auto token = establish();
    auto leg = pcLeg(alice, token);
    ASSERT_TRUE(leg);
    ASSERT_TRUE(alice.pcss->setSoundDriver(kWavFileDriver));
    const auto input = writeTone(folder.file("in.wav"), 8000, 0.2);
    ASSERT_TRUE(alice.pcss->setRecordDevice(input));
    fs::remove(input); // vanishes before the channel opens
    auto stream = alice.pcss->createSoundChannel(*leg, formatNamed(format::G711uLaw), input, true);
    EXPECT_EQ(stream, nullptr);
    ASSERT_TRUE(alice.clearCall(token, EndReason::LocalUser, true));
}

TEST_F(PcssCall, DeviceChangeMidCallSwapsTheChannel)
{
    TempFolder folder;
    ASSERT_TRUE(alice.pcss->setSoundDriver(kWavFileDriver));
    const auto input = writeTone(folder.file("in.wav"), 8000, 2.0);
    const auto other = writeTone(folder.file("other.wav"), 8000, 2.0);
    ASSERT_TRUE(alice.pcss->setRecordDevice(input));
    ASSERT_TRUE(alice.pcss->setPlayDevice(folder.file("first.wav")));
    const auto token = establish();
    auto leg = pcLeg(alice, token);
    ASSERT_TRUE(leg);
    const auto g711 = formatNamed(format::G711ALaw);
    auto speaker = std::dynamic_pointer_cast<pcss::SoundStream>(
        leg->openMediaStream(g711, AudioSessionId, false));
    auto microphone = std::dynamic_pointer_cast<pcss::SoundStream>(
        leg->openMediaStream(g711, AudioSessionId, true));
    ASSERT_TRUE(speaker && microphone);

    StreamFrame frame;
    frame.pcm.assign(160, 1000);
    ASSERT_TRUE(speaker->writeFrame(frame));
    auto firstChannel = speaker->channel();
    ASSERT_TRUE(leg->setAudioDevice(false, folder.file("second.wav")));
    EXPECT_NE(speaker->channel(), firstChannel);
    EXPECT_EQ(speaker->channel()->name(), folder.file("second.wav"));
    EXPECT_FALSE(firstChannel->isOpen()) << "the old channel is closed";
    frame.pcm.assign(160, 2000);
    ASSERT_TRUE(speaker->writeFrame(frame));
    ASSERT_TRUE(speaker->writeFrame(frame));

    // A device that cannot be opened changes nothing.
    EXPECT_FALSE(leg->setAudioDevice(false, folder.file("missing/third.wav")));
    EXPECT_EQ(speaker->channel()->name(), folder.file("second.wav"));
    EXPECT_FALSE(leg->setAudioDevice(true, folder.file("missing.wav")));
    EXPECT_EQ(microphone->channel()->name(), input);
    EXPECT_FALSE(leg->setAudioDevice(true, other, 7)) << "no stream in session 7";

    // A read waiting on the old microphone carries on from the new one.
    std::thread reader([&] {
        for (int i = 0; i < 10; ++i) {
            StreamFrame read;
            EXPECT_TRUE(microphone->readFrame(read)) << i;
        }
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(leg->setAudioDevice(true, other));
    reader.join();
    EXPECT_EQ(microphone->channel()->name(), other);

    ASSERT_TRUE(alice.clearCall(token, EndReason::LocalUser, true));
    auto first = readWavFile(folder.file("first.wav"));
    auto second = readWavFile(folder.file("second.wav"));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first.value().samples.size(), 160u);
    EXPECT_EQ(first.value().samples.front(), 1000);
    EXPECT_EQ(second.value().samples.size(), 320u);
    EXPECT_EQ(second.value().samples.front(), 2000);
}

} // namespace
} // namespace voip::test
