// Audio in H.323 calls on loopback: two engines, each with the PC sound endpoint on WAV
// files and an H.323 endpoint, carry a test signal both ways over the RTP of the logical
// channels the call negotiates (with fastStart and with H.245 procedures alone).

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/voip/h323/soundside.h"
#include "tests/voip/pcss/audiocheck.h"
#include "voip/device/wavfile.h"
#include "voip/h323/connection.h"
#include "voip/h323/endpoint.h"
#include "voip/media/codec.h"
#include "voip/media/stream_rtp.h"
#include "voip/rtp/rtpsession.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/pcss/pcssconnection.h"
#include "voip/pcss/pcssendpoint.h"

namespace voip::test {
namespace {

using namespace std::chrono_literals;

using h323::test::SoundSide;

struct Case
{
    std::string_view format;
    bool fastStart;
};

class H323Audio : public ::testing::TestWithParam<Case>
{};

TEST_P(H323Audio, SignalCrossesBothWaysOnTheNegotiatedChannels)
{
    const auto [formatName, fastStart] = GetParam();
    const auto* codec = findAudioCodec(formatName);
    ASSERT_TRUE(codec);
    const unsigned rate = codec->sampleRate;
    TempFolder folder;
    SoundSide alice("alice");
    SoundSide bob("bob");
    const auto aliceSignal = testSignal(rate, 2.0, 300, rate == 16000 ? 6500 : 3200);
    const auto bobSignal = testSignal(rate, 2.0, rate == 16000 ? 6000 : 3000, 250);
    ASSERT_TRUE(writeWavFile(folder.file("alice-in.wav"), {1, rate, aliceSignal}));
    ASSERT_TRUE(writeWavFile(folder.file("bob-in.wav"), {1, rate, bobSignal}));
    for (auto* side : {&alice, &bob}) {
        const std::string name = side == &alice ? "alice" : "bob";
        ASSERT_TRUE(side->pcss->setSoundDriver(kWavFileDriver));
        ASSERT_TRUE(side->pcss->setRecordDevice(folder.file(name + "-in.wav")));
        ASSERT_TRUE(side->pcss->setPlayDevice(folder.file(name + "-out.wav")));
        side->setMediaFormatOrder({std::string(formatName)});
        side->h323->setFastStart(fastStart);
    }
    bob.answerPolicy = [](Connection&, const std::string&) {
        return AnswerCallResponse::AnswerNow;
    };

    auto token = alice.setUpCall("pc:*", bob.address());
    ASSERT_TRUE(token);
    ASSERT_TRUE(alice.waitUntil([&] { return !alice.established.empty(); }));
    ASSERT_TRUE(alice.waitUntil([&] { return alice.openedStreams.size() >= 4; }))
        << "both channels and their local partners opened";
    std::this_thread::sleep_for(2600ms);

    auto call = alice.findCall(*token);
    ASSERT_TRUE(call);
    auto leg = std::dynamic_pointer_cast<h323::Connection>(call->networkConnection());
    ASSERT_TRUE(leg);
    const auto sends = leg->findLogicalChannel(AudioSessionId, false);
    ASSERT_TRUE(sends);
    EXPECT_EQ(sends->formatName, formatName);
    // Audio and camera control both ways, and the video the far end may send (neither
    // side has a camera, so no video goes out).
    EXPECT_EQ(alice.pcss->mediaJoiner().activeJoins(), 5u);
    auto network =
        std::dynamic_pointer_cast<RtpMediaStream>(leg->findMediaStream(AudioSessionId, true));
    ASSERT_TRUE(network) << "received audio runs on RTP";
    const auto stats = network->session()->statistics();
    EXPECT_GT(stats.transmit.packets, 80u);
    EXPECT_GT(stats.receive.packets, 80u);
    EXPECT_EQ(stats.receive.packetsLost, 0u);
    EXPECT_EQ(stats.drops.total(), 0u);
    leg.reset();
    network.reset();
    call.reset();

    ASSERT_TRUE(alice.clearCall(*token, EndReason::LocalUser, true));
    ASSERT_TRUE(bob.waitUntil([&] { return !bob.cleared.empty(); }));
    EXPECT_EQ(alice.pcss->mediaJoiner().activeJoins(), 0u);
    EXPECT_TRUE(bob.waitUntil([&] { return bob.pcss->mediaJoiner().activeJoins() == 0; }));

    for (const auto& [file, sent] : {std::pair{std::string("bob-out.wav"), &aliceSignal},
                                     std::pair{std::string("alice-out.wav"), &bobSignal}}) {
        auto audio = readWavFile(folder.file(file));
        ASSERT_TRUE(audio) << file;
        const auto& received = audio.value().samples;
        ASSERT_GT(received.size(), rate * 3 / 2) << file;
        const auto alignment = align(*sent, received, rate);
        EXPECT_GT(alignment.score, 0.9) << file << " offset " << alignment.offset;
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, H323Audio,
                         ::testing::Values(Case{format::G711ALaw, true},
                                           Case{format::G711uLaw, false}, Case{format::G722, true},
                                           Case{format::G722, false}),
                         [](const auto& info) {
                             std::string name(info.param.format);
                             std::erase_if(name, [](char c) { return !std::isalnum(c); });
                             return name + (info.param.fastStart ? "FastStart" : "H245");
                         });

} // namespace
} // namespace voip::test
