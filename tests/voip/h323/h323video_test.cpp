// Video in H.323 calls on loopback: two engines, each with the PC side sending FakeVideo
// and showing what arrives.  A fast update request crosses H.245 and brings a key frame;
// flow control commands of the far end set the encoder's bit rate and give it back.  With
// a gatekeeper, the call asks it for bandwidth as its rate changes, and a refusal brings
// the video down to what is allowed.

#include <chrono>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/testgatekeeper.h"
#include "tests/voip/h323/soundside.h"
#include "voip/device/video_fake.h"
#include "voip/h245/message.h"
#include "voip/h323/connection.h"
#include "voip/h323/endpoint.h"
#include "voip/h323/rasclient.h"
#include "voip/media/videostream.h"
#include "voip/pcss/pcssconnection.h"
#include "voip/pcss/pcssendpoint.h"
#include "tests/support/eventually.h"

namespace voip::test {
namespace {

using namespace std::chrono_literals;

/// One engine: the PC side on the Null sound driver sending FakeVideo, and an H.323
/// endpoint on 127.0.0.1.
struct H323VideoManager : h323::test::SoundSide
{
    explicit H323VideoManager(const std::string& name)
        : SoundSide(name)
    {
        pcss->setSoundDriver(kNullDriver);
        VideoInputParams input;
        input.width = 352;
        input.height = 288;
        pcss->setVideoInput(kFakeVideoDriver, input);
        pcss->setVideoOutputFactory(
            [this](const pcss::PcssConnection&, pcss::VideoRole) { return screen; });
    }
    /// Our camera's stream in the call.
    std::shared_ptr<VideoSourceStream> camera()
    {
        auto leg = network();
        auto local = leg ? leg->otherParty() : nullptr;
        return local ? std::dynamic_pointer_cast<VideoSourceStream>(
                           local->findMediaStream(VideoSessionId, true))
                     : nullptr;
    }

    std::shared_ptr<MemoryVideoOutput> screen = std::make_shared<MemoryVideoOutput>();
};

using kxtest::eventually;

class H323Video : public testing::Test
{
protected:
    void SetUp() override
    {
        bob.answerNow();
        auto token = alice.setUpCall("pc:*", bob.address());
        ASSERT_TRUE(token);
        ASSERT_TRUE(eventually([&] {
            return alice.camera() && bob.camera() && alice.screen->frames() > 10 &&
                   bob.screen->frames() > 10;
        })) << "video both ways";
    }

    H323VideoManager alice{"alice"};
    H323VideoManager bob{"bob"};
};

TEST_F(H323Video, AFastUpdateRequestCrossesH245AndBringsAKeyFrame)
{
    auto camera = alice.camera();
    const auto keyFrames = camera->keyFramesSent();
    std::this_thread::sleep_for(400ms); // beyond the key frame interval
    ASSERT_TRUE(bob.network()->requestVideoUpdate(VideoSessionId));
    EXPECT_TRUE(eventually([&] { return camera->keyFramesSent() > keyFrames; }, 1s));
    EXPECT_TRUE(eventually([&] { return alice.network()->videoUpdateRequests() == 1; }));
    // The picture shown at bob is alice's pattern, still advancing.
    const auto before = FakeVideoInput::readNumber(bob.screen->lastFrame());
    std::this_thread::sleep_for(300ms);
    const auto after = FakeVideoInput::readNumber(bob.screen->lastFrame());
    ASSERT_TRUE(before && after);
    EXPECT_GT(*after, *before);
}

TEST_F(H323Video, FlowControlOfTheFarEndSetsTheEncoderRateAndGivesItBack)
{
    auto camera = alice.camera();
    auto bobsLeg = bob.network();
    const auto receiving = bobsLeg->findLogicalChannel(VideoSessionId, true);
    ASSERT_TRUE(receiving);
    const auto opened = camera->bitRate();
    EXPECT_GT(opened, 256'000u);

    // 256 kbit/s on that channel (units of 100 bit/s).
    ASSERT_TRUE(bobsLeg->sendH245(h245::buildFlowControlCommand({receiving->number, 2560})));
    EXPECT_TRUE(eventually([&] { return camera->bitRate() == 256'000u; }));
    // A limit above what the channel was opened with is no licence to send more.
    ASSERT_TRUE(bobsLeg->sendH245(h245::buildFlowControlCommand({receiving->number, 1'000'000})));
    EXPECT_TRUE(eventually([&] { return camera->bitRate() == opened; }));
    // The whole multiplex at 100 kbit/s falls on video; no restriction gives it back.
    ASSERT_TRUE(bobsLeg->sendH245(h245::buildFlowControlCommand({0, 1000})));
    EXPECT_TRUE(eventually([&] { return camera->bitRate() == 100'000u; }));
    ASSERT_TRUE(bobsLeg->sendH245(h245::buildFlowControlCommand({receiving->number, {}})));
    EXPECT_TRUE(eventually([&] { return camera->bitRate() == opened; }));
    // The other direction was never touched.
    EXPECT_EQ(bob.camera()->bitRate(), opened);
}

/// The rate of a leg's open channels both ways, in units of 100 bit/s.
std::int64_t callRate(h323::Connection& leg)
{
    std::uint64_t total = 0;
    for (const auto& channel : leg.logicalChannels())
        if (channel.open)
            total += channel.bitRate;
    return std::int64_t((total + 99) / 100);
}

/// Both engines registered with a gatekeeper of the test's own, alice in a video call with
/// bob, admitted on both sides.
class H323VideoWithGatekeeper : public testing::Test
{
protected:
    /// What the gatekeeper does differently, before anyone registers.
    virtual void prepare() {}

    void SetUp() override
    {
        prepare();
        for (auto* manager : {&alice, &bob}) {
            h323::RasConfig config;
            config.gatekeeper = gatekeeper.address();
            config.alias = manager == &alice ? "alice" : "bob";
            config.bindAddress = "127.0.0.1";
            config.callSignalAddress =
                *h225::IpAddressPort::parse("127.0.0.1", manager->h323->listenerPort());
            // On the endpoint's own thread, as the application has it.
            clients.push_back(manager->h323->newGatekeeperClient(config));
            ASSERT_TRUE(clients.back()->start());
            ASSERT_EQ(clients.back()->waitForRegistration(3s), h323::RasState::Registered);
            manager->h323->setGatekeeper(clients.back());
        }
        bob.answerNow();
        ASSERT_TRUE(alice.setUpCall("pc:*", bob.address()));
        ASSERT_TRUE(eventually(
            [&] { return alice.camera() && bob.camera() && bob.screen->frames() > 10; }));
        EXPECT_GE(gatekeeper.count("admissionRequest"), 2u);
    }

    testutil::TestGatekeeper gatekeeper;
    H323VideoManager alice{"alice"};
    H323VideoManager bob{"bob"};
    std::vector<std::shared_ptr<h323::RasClient>> clients;
};

TEST_F(H323VideoWithGatekeeper, BandwidthIsAskedForAsTheRateChangesAndARefusalIsFollowed)
{
    // The admission asked for what the call's channels carry: once they are open, there
    // is nothing more to ask for.
    auto leg = alice.network();
    const std::int64_t used = callRate(*leg);
    EXPECT_GT(used, 2 * 640) << "video and audio both ways";
    EXPECT_EQ(gatekeeper.lastAdmissionBandwidth, used);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(gatekeeper.count("bandwidthRequest"), 0u);

    // The far end holds alice's video to 256 kbit/s: she asks for less.
    const auto opened = alice.camera()->bitRate();
    const auto receiving = bob.network()->findLogicalChannel(VideoSessionId, true);
    ASSERT_TRUE(receiving);
    const auto requests = gatekeeper.count("bandwidthRequest");
    ASSERT_TRUE(bob.network()->sendH245(h245::buildFlowControlCommand({receiving->number, 2560})));
    const std::int64_t lowered = used - std::int64_t((opened - 256'000) / 100);
    EXPECT_TRUE(eventually([&] {
        return gatekeeper.count("bandwidthRequest") > requests &&
               gatekeeper.lastBandwidth == lowered;
    })) << gatekeeper.lastBandwidth
        << " asked, " << lowered << " expected";

    // Given back, but the gatekeeper refuses, allowing 100 kbit/s more than the lowered
    // figure.  Some gatekeepers put there what their zone has left, not what the call may
    // use: alice keeps to what she was granted before, and her video to 256 kbit/s.
    gatekeeper.bandwidthLimit = lowered + 1000;
    ASSERT_TRUE(bob.network()->sendH245(h245::buildFlowControlCommand({receiving->number, {}})));
    EXPECT_TRUE(eventually([&] {
        return gatekeeper.lastBandwidth == used && alice.camera()->bitRate() == 256'000u;
    })) << alice.camera()->bitRate();
    const auto settled = gatekeeper.count("bandwidthRequest");
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(gatekeeper.count("bandwidthRequest"), settled) << "no more requests once it fits";

    alice.clearAllCalls(EndReason::LocalUser, true, 5s);
    EXPECT_TRUE(eventually([&] { return gatekeeper.count("disengageRequest") >= 2; }));
}

TEST_F(H323VideoWithGatekeeper, TheGatekeepersOwnRequestsForLessAndMoreAreFollowed)
{
    auto leg = alice.network();
    const std::int64_t nominal = callRate(*leg);
    const std::uint64_t aliceVideo = alice.camera()->bitRate();
    const std::uint64_t bobVideo = bob.camera()->bitRate();
    const auto answered = [&](const std::string& expected) {
        return eventually([&] { return gatekeeper.bandwidthAnswer() == expected; });
    };

    // 100 kbit/s less: alice's own video gives it up.
    ASSERT_TRUE(gatekeeper.askBandwidth("alice", std::uint32_t(nominal - 1000)));
    EXPECT_TRUE(answered("BCF " + std::to_string(nominal - 1000))) << gatekeeper.bandwidthAnswer();
    EXPECT_TRUE(eventually([&] { return alice.camera()->bitRate() == aliceVideo - 100'000; }))
        << alice.camera()->bitRate();
    EXPECT_EQ(bob.camera()->bitRate(), bobVideo);

    // More than her video can give: bob is asked to send his with 50 kbit/s more than
    // the least, and does.
    const std::int64_t least =
        nominal - std::int64_t(aliceVideo - 32'000) / 100 - std::int64_t(bobVideo - 32'000) / 100;
    ASSERT_TRUE(gatekeeper.askBandwidth("alice", std::uint32_t(least + 500)));
    EXPECT_TRUE(answered("BCF " + std::to_string(least + 500))) << gatekeeper.bandwidthAnswer();
    EXPECT_TRUE(eventually([&] { return alice.camera()->bitRate() == 32'000u; }))
        << alice.camera()->bitRate();
    EXPECT_TRUE(eventually([&] { return bob.camera()->bitRate() == 82'000u; }))
        << bob.camera()->bitRate();

    // Less than the call can live with: refused, with what it needs at least.
    ASSERT_TRUE(gatekeeper.askBandwidth("alice", 100));
    EXPECT_TRUE(answered("BRJ insufficientResources " + std::to_string(least)))
        << gatekeeper.bandwidthAnswer();
    EXPECT_TRUE(eventually([&] { return bob.camera()->bitRate() == 32'000u; }));
    EXPECT_GT(bob.screen->frames(), 10u) << "the call goes on";

    // Room again: bob's video is given back first, then alice's, each to where it was.
    ASSERT_TRUE(gatekeeper.askBandwidth("alice", std::uint32_t(least + 1000)));
    EXPECT_TRUE(answered("BCF " + std::to_string(least + 1000))) << gatekeeper.bandwidthAnswer();
    EXPECT_TRUE(eventually([&] { return bob.camera()->bitRate() == 132'000u; }))
        << bob.camera()->bitRate();
    EXPECT_EQ(alice.camera()->bitRate(), 32'000u);
    ASSERT_TRUE(gatekeeper.askBandwidth("alice", std::uint32_t(nominal)));
    EXPECT_TRUE(answered("BCF " + std::to_string(nominal))) << gatekeeper.bandwidthAnswer();
    EXPECT_TRUE(eventually([&] { return bob.camera()->bitRate() == bobVideo; }))
        << bob.camera()->bitRate();
    EXPECT_TRUE(eventually([&] { return alice.camera()->bitRate() == aliceVideo; }))
        << alice.camera()->bitRate();

    // Once the call is over, requests for it are refused.
    alice.clearAllCalls(EndReason::LocalUser, true, 5s);
    EXPECT_TRUE(eventually([&] { return gatekeeper.count("disengageRequest") >= 2; }));
    ASSERT_TRUE(gatekeeper.askBandwidth("alice", 5000));
    EXPECT_TRUE(answered("BRJ invalidConferenceID 0")) << gatekeeper.bandwidthAnswer();
}

/// A gatekeeper that limits each call to 200 kbit/s both ways (confirming less than asked,
/// and refusing with what its zone has left), wants an information response every second,
/// and may end a call itself: the shapes of a widely deployed one
/// (gatekeeper-bcf-less.pcapng, gatekeeper-irr-missing.pcapng, gatekeeper-drq-ignored.pcapng).
class H323VideoWithAStrictGatekeeper : public H323VideoWithGatekeeper
{
protected:
    void prepare() override
    {
        gatekeeper.grantLimit = 2000;
        gatekeeper.irrFrequency = 1;
    }
};

TEST_F(H323VideoWithAStrictGatekeeper, TheCallAsksForWhatItNeedsAndKeepsWithinWhatIsGranted)
{
    // The admission asks for what the call's channels will carry, not the endpoint's
    // whole bandwidth; the confirmations grant 200 kbit/s and the call keeps within it.
    EXPECT_LT(gatekeeper.lastAdmissionBandwidth, 80000);
    EXPECT_GE(gatekeeper.lastAdmissionBandwidth, 2 * (640 + 320)) << "audio and video both ways";
    EXPECT_TRUE(eventually([&] {
        return alice.camera()->bitRate() == 32'000u && bob.camera()->bitRate() == 32'000u;
    })) << alice.camera()->bitRate()
        << " " << bob.camera()->bitRate() << " asked " << gatekeeper.lastBandwidth << " BRQs "
        << gatekeeper.count("bandwidthRequest");
    EXPECT_GT(bob.screen->frames(), 10u) << "the video goes on";
}

TEST_F(H323VideoWithAStrictGatekeeper, InformationResponsesComeAtTheFrequencyAsked)
{
    std::this_thread::sleep_for(2500ms);
    std::map<std::string, int> unsolicited;
    for (const auto& response : gatekeeper.infoResponses()) {
        const auto& body = response.chosen();
        if (!body["unsolicited"].boolean())
            continue;
        ASSERT_EQ(body["perCallInfo"].size(), 1u);
        const auto& call = body["perCallInfo"].at(0);
        EXPECT_EQ(call["audio"].size(), 1u);
        EXPECT_GE(call["video"].size(), 1u);
        EXPECT_TRUE(call["audio"].at(0)["rtpAddress"].has("recvAddress"));
        EXPECT_TRUE(call["audio"].at(0)["rtpAddress"].has("sendAddress"));
        EXPECT_TRUE(call["callSignalling"].has("sendAddress"));
        EXPECT_GT(call["bandWidth"].integer(), 0);
        ++unsolicited[std::string(body["endpointIdentifier"].text())];
    }
    ASSERT_EQ(unsolicited.size(), 2u) << "from both ends";
    for (const auto& [endpoint, count] : unsolicited)
        EXPECT_GE(count, 2) << endpoint;
    // Asked, one answers at once with the call.
    const auto before = gatekeeper.infoResponses().size();
    ASSERT_TRUE(gatekeeper.question("alice"));
    ASSERT_TRUE(eventually([&] {
        for (const auto& response : gatekeeper.infoResponses())
            if (!response.chosen()["unsolicited"].boolean() &&
                response.chosen()["perCallInfo"].size() == 1)
                return true;
        return false;
    })) << gatekeeper.infoResponses().size() - before;
}

TEST_F(H323VideoWithAStrictGatekeeper, TheGatekeeperEndsTheCall)
{
    const auto disengagesBefore = gatekeeper.count("disengageRequest");
    ASSERT_TRUE(gatekeeper.dropCall("alice", "forcedDrop"));
    EXPECT_TRUE(eventually([&] { return gatekeeper.disengageAnswer() == "DCF"; }));
    ASSERT_TRUE(alice.waitUntil([&] { return alice.cleared.size() == 1; }));
    EXPECT_EQ(alice.cleared[0].reason, EndReason::Gatekeeper);
    ASSERT_TRUE(bob.waitUntil([&] { return bob.cleared.size() == 1; }));
    EXPECT_EQ(bob.cleared[0].reason, EndReason::RemoteUser);
    // bob disengages his side; alice's was ended by the gatekeeper and is not disengaged again.
    EXPECT_TRUE(
        eventually([&] { return gatekeeper.count("disengageRequest") == disengagesBefore + 1; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(gatekeeper.count("disengageRequest"), disengagesBefore + 1);
    // A call it never had is refused as H.225.0 says.
    ASSERT_TRUE(gatekeeper.dropCall("bob", "forcedDrop", true));
    EXPECT_TRUE(
        eventually([&] { return gatekeeper.disengageAnswer() == "DRJ requestToDropOther"; }));
}

} // namespace
} // namespace voip::test
