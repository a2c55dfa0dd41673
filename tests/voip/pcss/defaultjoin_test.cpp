// A manager without a line of its own: the engine's default stream callbacks join each
// network stream with the PC sound leg, so a call carries audio both ways and the joins
// end with the call.

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "tests/voip/pcss/audiocheck.h"
#include "tests/voip/pcss/rtplink.h"
#include "voip/core/call.h"
#include "voip/device/wavfile.h"
#include "voip/core/manager.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/pcss/pcssconnection.h"
#include "voip/pcss/pcssendpoint.h"
#include "voip/pcss/soundstream.h"
#include "tests/support/eventually.h"

namespace voip::test {
namespace {

using namespace std::chrono_literals;

/// One terminal: the engine's own Manager (not a subclass), a PC sound endpoint that
/// plays and records WAV files, and an RTP link to the other terminal.
struct PlainTerminal
{
    PlainTerminal(RtpLinkNetwork& network, const std::string& name)
    {
        pcss = static_cast<pcss::PcssEndPoint*>(
            manager.attachEndPoint(std::make_unique<pcss::PcssEndPoint>(manager)));
        manager.attachEndPoint(std::make_unique<RtpLinkEndpoint>(manager, network, name));
        EXPECT_TRUE(manager.addRoute("net:.* = pc:"));
        EXPECT_TRUE(manager.addRoute("pc:.*  = net:<da>"));
        EXPECT_TRUE(pcss->setSoundDriver(kWavFileDriver));
    }
    ~PlainTerminal() { manager.shutDown(); }

    Manager manager;
    pcss::PcssEndPoint* pcss = nullptr;
};

/// Polls `done` until it holds, for at most ten seconds.
using kxtest::eventually;

/// The sound legs of `call`: one stream per direction, each a sound stream.
void expectSoundBothWays(const Call& call, const char* who)
{
    auto local = call.localConnection();
    ASSERT_TRUE(local) << who;
    const auto streams = local->mediaStreams();
    EXPECT_EQ(streams.size(), 2u) << who;
    bool source = false;
    bool sink = false;
    for (const auto& stream : streams) {
        EXPECT_TRUE(std::dynamic_pointer_cast<pcss::SoundStream>(stream)) << who;
        (stream->isSource() ? source : sink) = true;
    }
    EXPECT_TRUE(source && sink) << who;
}

TEST(DefaultJoin, ManagerWithoutOverridesCarriesAudioBothWays)
{
    TempFolder folder;
    RtpLinkNetwork network;
    PlainTerminal alice{network, "alice"};
    PlainTerminal bob{network, "bob"};
    const unsigned rate = 8000;
    const auto aliceSignal = testSignal(rate, 2.0, 300, 3200);
    const auto bobSignal = testSignal(rate, 2.0, 3000, 250);
    ASSERT_TRUE(writeWavFile(folder.file("alice-in.wav"), {1, rate, aliceSignal}));
    ASSERT_TRUE(writeWavFile(folder.file("bob-in.wav"), {1, rate, bobSignal}));
    ASSERT_TRUE(alice.pcss->setRecordDevice(folder.file("alice-in.wav")));
    ASSERT_TRUE(alice.pcss->setPlayDevice(folder.file("alice-out.wav")));
    ASSERT_TRUE(bob.pcss->setRecordDevice(folder.file("bob-in.wav")));
    ASSERT_TRUE(bob.pcss->setPlayDevice(folder.file("bob-out.wav")));

    const auto token = alice.manager.setUpCall("pc:*", "bob");
    ASSERT_TRUE(token);
    auto aliceCall = alice.manager.findCall(*token);
    ASSERT_TRUE(aliceCall);
    // The default answer leaves the call to bob's user, who accepts it.
    std::shared_ptr<Call> bobCall;
    ASSERT_TRUE(eventually([&] {
        const auto tokens = bob.manager.callTokens();
        bobCall = tokens.empty() ? nullptr : bob.manager.findCall(tokens.front());
        return bobCall && bobCall->localConnection();
    }));
    ASSERT_TRUE(bobCall->localConnection()->acceptIncoming());
    ASSERT_TRUE(eventually([&] { return aliceCall->isEstablished() && bobCall->isEstablished(); }));

    auto leg = std::dynamic_pointer_cast<RtpLinkConnection>(aliceCall->networkConnection());
    ASSERT_TRUE(leg);
    const auto format = MediaFormatRegistry::global().find(format::G711ALaw);
    ASSERT_TRUE(format);
    ASSERT_TRUE(startMedia(*leg, *format));
    ASSERT_TRUE(eventually([&] {
        return alice.pcss->mediaJoiner().activeJoins() == 2 &&
               bob.pcss->mediaJoiner().activeJoins() == 2;
    })) << "alice "
        << alice.pcss->mediaJoiner().activeJoins() << ", bob "
        << bob.pcss->mediaJoiner().activeJoins();
    expectSoundBothWays(*aliceCall, "alice");
    expectSoundBothWays(*bobCall, "bob");

    std::this_thread::sleep_for(2600ms); // the two seconds of each file play out
    leg.reset();
    ASSERT_TRUE(alice.manager.clearCall(*token, EndReason::LocalUser, true));
    ASSERT_TRUE(eventually([&] { return bobCall->isCleared(); }));
    EXPECT_EQ(alice.pcss->mediaJoiner().activeJoins(), 0u) << "the joins end with the call";
    EXPECT_TRUE(eventually([&] { return bob.pcss->mediaJoiner().activeJoins() == 0; }));
    EXPECT_TRUE(aliceCall->localConnection()->mediaStreams().empty()) << "partners closed";
    EXPECT_TRUE(bobCall->localConnection()->mediaStreams().empty());
    aliceCall.reset();
    bobCall.reset();

    const auto atBob = readWavFile(folder.file("bob-out.wav"));
    const auto atAlice = readWavFile(folder.file("alice-out.wav"));
    ASSERT_TRUE(atBob && atAlice);
    ASSERT_GT(atBob.value().samples.size(), rate * 3 / 2) << "at least 1.5 s arrived";
    ASSERT_GT(atAlice.value().samples.size(), rate * 3 / 2);
    const auto toBob = align(aliceSignal, atBob.value().samples, rate);
    const auto toAlice = align(bobSignal, atAlice.value().samples, rate);
    EXPECT_GT(toBob.score, 0.9) << "alice to bob, offset " << toBob.offset;
    EXPECT_GT(toAlice.score, 0.9) << "bob to alice, offset " << toAlice.offset;
}

} // namespace
} // namespace voip::test
