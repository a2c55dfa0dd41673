// Calls between two H.323 engines on 127.0.0.1: set-up, answer, establishment and clearing
// in every fastStart and tunnelling combination, with the end reasons each side sees.

#include <gtest/gtest.h>

#include "tests/voip/h323/h323fixture.h"
#include "voip/h245/capabilities.h"
#include "voip/media/mediaformat.h"
#include "voip/media/mediaformatregistry.h"

namespace voip::h323::test {
namespace {

using voip::test::ClearedRecord;

struct Mode
{
    bool fastStart;
    bool tunnelling;
    bool callerClears;
};

std::string modeName(const testing::TestParamInfo<Mode>& info)
{
    return std::string(info.param.fastStart ? "FastStart" : "NoFastStart") +
           (info.param.tunnelling ? "Tunnelled" : "SeparateH245") +
           (info.param.callerClears ? "CallerClears" : "CalleeClears");
}

class H323CallModes : public testing::TestWithParam<Mode>
{};

TEST_P(H323CallModes, EstablishesNegotiatesAndClearsWithRightReasons)
{
    const Mode mode = GetParam();
    Side alice("alice");
    Side bob("bob");
    for (Side* side : {&alice, &bob}) {
        side->endpoint->setFastStart(mode.fastStart);
        side->endpoint->setH245Tunnelling(mode.tunnelling);
    }
    bob.manager.answerNow();
    ASSERT_TRUE(bob.endpoint->isListening());
    const std::string token = alice.call(bob.address());
    ASSERT_FALSE(token.empty());
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
    ASSERT_TRUE(bob.manager.waitUntil([&] { return bob.manager.established.size() == 1; }));

    auto caller = alice.h323(token);
    auto callee = bob.anyH323();
    ASSERT_TRUE(caller && callee);
    EXPECT_EQ(caller->isTunnelling(), mode.tunnelling);
    EXPECT_EQ(callee->isTunnelling(), mode.tunnelling);
    EXPECT_EQ(caller->isFastStartActive(), mode.fastStart);
    EXPECT_EQ(callee->isFastStartActive(), mode.fastStart);
    // Logical channels both ways in the audio session, negotiated for real: each side
    // knows where the other receives.
    ASSERT_TRUE(eventually([&] {
        return caller->findLogicalChannel(1, false) && caller->findLogicalChannel(1, true) &&
               callee->findLogicalChannel(1, false) && callee->findLogicalChannel(1, true);
    }));
    const auto callerSends = *caller->findLogicalChannel(1, false);
    const auto calleeReceives = *callee->findLogicalChannel(1, true);
    EXPECT_EQ(callerSends.remoteMedia, calleeReceives.localMedia);
    EXPECT_EQ(callerSends.formatName, calleeReceives.formatName);
    EXPECT_NE(calleeReceives.localMedia.port, 0);
    // Capability exchange and master/slave determination ran even after fastStart.
    ASSERT_TRUE(eventually([&] { return caller->isH245Complete() && callee->isH245Complete(); }));
    EXPECT_NE(caller->isMaster(), callee->isMaster());
    EXPECT_TRUE(caller->measureRoundTripDelay());
    EXPECT_TRUE(eventually([&] { return caller->roundTripDelay().has_value(); }));
    EXPECT_EQ(callee->remotePartyName(), "alice display");
    EXPECT_EQ(callee->remoteProduct(), "Kestrovia 1.0");

    if (mode.callerClears) {
        EXPECT_TRUE(alice.manager.clearCall(token, EndReason::LocalUser, true));
    } else {
        const auto tokens = bob.manager.callTokens();
        ASSERT_EQ(tokens.size(), 1u);
        EXPECT_TRUE(bob.manager.clearCall(tokens[0], EndReason::LocalUser, true));
    }
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.cleared.size() == 1; }));
    ASSERT_TRUE(bob.manager.waitUntil([&] { return bob.manager.cleared.size() == 1; }));
    const ClearedRecord aliceEnd = alice.manager.cleared[0];
    const ClearedRecord bobEnd = bob.manager.cleared[0];
    EXPECT_EQ(aliceEnd.reason, mode.callerClears ? EndReason::LocalUser : EndReason::RemoteUser);
    EXPECT_EQ(bobEnd.reason, mode.callerClears ? EndReason::RemoteUser : EndReason::LocalUser);
    EXPECT_TRUE(aliceEnd.established);
    EXPECT_FALSE(aliceEnd.networkOriginated);
    EXPECT_TRUE(bobEnd.networkOriginated);
    // Streams were opened for the channels and closed with the call.
    EXPECT_TRUE(alice.manager.waitUntil([&] {
        return !alice.manager.openedStreams.empty() &&
               alice.manager.closedStreams.size() == alice.manager.openedStreams.size();
    }));
    caller.reset();
    callee.reset();
    EXPECT_TRUE(eventually([&] {
        return alice.endpoint->connectionCount() == 0 && bob.endpoint->connectionCount() == 0;
    }));
    EXPECT_EQ(alice.manager.callCount(), 0u);
    EXPECT_EQ(bob.manager.callCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(AllCombinations, H323CallModes,
                         testing::Values(Mode{false, true, true}, Mode{false, true, false},
                                         Mode{false, false, true}, Mode{false, false, false},
                                         Mode{true, true, true}, Mode{true, true, false},
                                         Mode{true, false, true}, Mode{true, false, false}),
                         modeName);

TEST(H323CallMixed, TunnellingRefusedByTheCalleeFallsBackToTheH245Channel)
{
    Side alice("alice");
    Side bob("bob");
    bob.endpoint->setH245Tunnelling(false);
    alice.endpoint->setFastStart(true); // bob refuses fastStart: normal H.245 takes over
    bob.manager.answerNow();
    const std::string token = alice.call(bob.address());
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
    auto caller = alice.h323(token);
    ASSERT_TRUE(caller);
    EXPECT_FALSE(caller->isTunnelling());
    EXPECT_FALSE(caller->isFastStartActive());
    EXPECT_TRUE(eventually([&] {
        return caller->findLogicalChannel(1, false) && caller->findLogicalChannel(1, true);
    }));
    EXPECT_TRUE(alice.manager.clearCall(token, EndReason::LocalUser, true));
    ASSERT_TRUE(bob.manager.waitUntil([&] { return bob.manager.cleared.size() == 1; }));
    EXPECT_EQ(bob.manager.cleared[0].reason, EndReason::RemoteUser);
}

TEST(H323CallMixed, H245InSetupCarriesTheCapabilitiesEarly)
{
    Side alice("alice");
    Side bob("bob");
    alice.endpoint->setH245InSetup(true);
    bob.manager.answerNow();
    const std::string token = alice.call(bob.address());
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
    auto caller = alice.h323(token);
    ASSERT_TRUE(caller);
    EXPECT_TRUE(eventually([&] {
        return caller->findLogicalChannel(1, false) && caller->findLogicalChannel(1, true);
    }));
    alice.manager.clearCall(token, EndReason::LocalUser, true);
}

// A masked format is missing from the capability set the peer receives (so the peer cannot
// send it even though it prefers it), and the first allowed format of the order is the one
// the channels carry.
struct Negotiated
{
    std::string aliceSends;
    std::string bobSends;
};

/// A call from alice (with `aliceOrder` and `aliceMask`) to bob (default lists); the
/// formats of the audio channels of each direction.
Negotiated negotiate(const std::vector<std::string>& aliceOrder,
                     const std::vector<std::string>& aliceMask)
{
    Side alice("alice");
    Side bob("bob");
    const std::vector<std::string> preferred{
        std::string(format::G722), std::string(format::G711ALaw), std::string(format::G711uLaw)};
    bob.manager.setMediaFormatOrder(preferred);
    alice.manager.setMediaFormatOrder(aliceOrder);
    alice.manager.setMediaFormatMask(aliceMask);
    bob.manager.answerNow();
    const std::string token = alice.call(bob.address());
    EXPECT_FALSE(token.empty());
    Negotiated result;
    if (token.empty())
        return result;
    std::shared_ptr<Connection> caller;
    EXPECT_TRUE(eventually([&] {
        caller = alice.h323(token);
        return caller && caller->findLogicalChannel(AudioSessionId, false) &&
               caller->findLogicalChannel(AudioSessionId, true);
    }));
    if (caller) {
        if (auto sends = caller->findLogicalChannel(AudioSessionId, false))
            result.aliceSends = sends->formatName;
        if (auto receives = caller->findLogicalChannel(AudioSessionId, true))
            result.bobSends = receives->formatName;
    }
    caller.reset();
    alice.manager.clearCall(token, EndReason::LocalUser, true);
    return result;
}

TEST(H323Formats, MaskRemovesAFormatFromWhatThePeerSeesAndOrderPicksTheFirstAllowed)
{
    const std::vector<std::string> order{std::string(format::G722), std::string(format::G711ALaw),
                                         std::string(format::G711uLaw)};
    // Without a mask both sides use their first choice.
    const auto open = negotiate(order, {});
    EXPECT_EQ(open.aliceSends, format::G722);
    EXPECT_EQ(open.bobSends, format::G722);

    // Masked at alice: bob prefers G.722 but does not see it in alice's capabilities.
    const auto masked = negotiate(order, {std::string(format::G722)});
    EXPECT_EQ(masked.aliceSends, format::G711ALaw) << "the first allowed format of the order";
    EXPECT_EQ(masked.bobSends, format::G711ALaw);

    // Patterns with "*" mask every format they start; the order decides among the rest.
    const auto reordered =
        negotiate({std::string(format::G711uLaw), std::string(format::G722)}, {"G.711-A*"});
    EXPECT_EQ(reordered.aliceSends, format::G711uLaw);
    EXPECT_EQ(reordered.bobSends, format::G722);
}

} // namespace
} // namespace voip::h323::test

namespace voip::h323::test {
namespace {

TEST(H323Addresses, AliasIpv6AndHostNamesAreDialled)
{
    Side alice("alice");
    Side bob("bob", false);
    bob.manager.answerNow();
    // Every interface, IPv6 and IPv4.
    ASSERT_TRUE(bob.endpoint->startListener("", 0));
    const std::string port = std::to_string(bob.endpoint->listenerPort());

    // An alias travels as the destination address of the Setup.
    auto token = alice.call("h323:room7@127.0.0.1:" + port);
    ASSERT_TRUE(bob.manager.waitUntil([&] { return bob.manager.established.size() == 1; }));
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
    auto callee = bob.anyH323();
    ASSERT_TRUE(callee);
    EXPECT_EQ(callee->calledPartyAddress(), "room7");
    callee.reset();
    alice.manager.clearCall(token, EndReason::LocalUser, true);

    // An IPv6 literal (skipped where the host has no IPv6 loopback).
    asio::io_context io;
    asio::error_code error;
    asio::ip::tcp::acceptor probe(io);
    probe.open(asio::ip::tcp::v6(), error);
    if (!error)
        probe.bind({asio::ip::make_address("::1"), 0}, error);
    if (!error) {
        token = alice.call("h323:[::1]:" + port);
        ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 2; }))
            << "no IPv6 call";
        alice.manager.clearCall(token, EndReason::LocalUser, true);
    }

    // A host name, resolved.
    token = alice.call("h323:localhost:" + port);
    ASSERT_TRUE(alice.manager.waitUntil(
        [&] { return alice.manager.established.size() == (error ? 2u : 3u); }));
    alice.manager.clearCall(token, EndReason::LocalUser, true);

    // A name that does not resolve says so.
    alice.call("h323:no-such-host.invalid:" + port);
    ASSERT_TRUE(alice.manager.waitUntil(
        [&] {
            return !alice.manager.cleared.empty() &&
                   alice.manager.cleared.back().reason == EndReason::NameNotFound;
        },
        std::chrono::seconds(15)));
}

TEST(H323UserInput, SignalModeSendsEachCharacter)
{
    Side alice("alice");
    Side bob("bob");
    alice.endpoint->setUserInputMode(UserInputMode::Signal);
    bob.manager.answerNow();
    const auto token = alice.call(bob.address());
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
    auto caller = alice.h323(token);
    ASSERT_TRUE(caller);
    ASSERT_TRUE(eventually([&] { return caller->isH245Ready(); }));
    EXPECT_TRUE(caller->sendUserInputString("12#"));
    ASSERT_TRUE(bob.manager.waitUntil([&] { return bob.manager.userInput.size() == 3; }));
    EXPECT_EQ(bob.manager.userInput, (std::vector<std::string>{"1", "2", "#"}));
    caller.reset();
    alice.manager.clearCall(token, EndReason::LocalUser, true);
}

/// A capability set as a far end might send in the middle of a call: G.711 (unless not
/// `audio`: the empty set) and, when `h264Level` is given, Baseline H.264 up to that level.
h245::CapabilitySet farEndSet(std::uint8_t sequence, std::optional<std::uint8_t> h264Level,
                              bool audio = true)
{
    h245::CapabilitySet set;
    set.sequenceNumber = sequence;
    if (!audio)
        return set;
    h245::Capability g711;
    g711.type = h245::CapabilityType::G711Alaw;
    set.capabilities.push_back(g711);
    if (h264Level) {
        h245::Capability video;
        video.type = h245::CapabilityType::H264;
        video.h264.profile = 64;
        video.h264.level = *h264Level;
        video.maxBitRate = 3840;
        set.capabilities.push_back(video);
    }
    return set;
}

TEST(H323Call, OurChannelsFollowTheFarEndsCapabilitiesDuringTheCall)
{
    Side alice("alice");
    Side bob("bob");
    bob.manager.answerNow();
    const std::string token = alice.call(bob.address());
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
    auto caller = alice.h323(token);
    auto callee = bob.anyH323();
    ASSERT_TRUE(caller && callee);
    ASSERT_TRUE(eventually([&] { return caller->findMediaStream(VideoSessionId, false) != nullptr; }));
    const auto before = *caller->findLogicalChannel(VideoSessionId, false);
    auto frameTime = [&] {
        auto stream = caller->findMediaStream(VideoSessionId, false);
        return stream ? stream->mediaFormat().integerOption(option::FrameTime, 0) : 0;
    };
    const auto frameTimeBefore = frameTime();
    ASSERT_EQ(frameTimeBefore, 3600) << "25 pictures a second";

    // The far end's decoder becomes a level 1.1 one (3000 macroblocks a second): our video
    // is opened again at the rate it takes.
    ASSERT_TRUE(callee->sendH245(h245::buildTerminalCapabilitySet(farEndSet(50, 22))));
    ASSERT_TRUE(eventually([&] {
        auto now = caller->findLogicalChannel(VideoSessionId, false);
        return now && now->number != before.number && frameTime() != 0;
    }));
    EXPECT_GE(frameTime(), 11880) << "396 macroblocks 7.5 times a second at most";
    // An empty set pauses us: every channel of ours closes.  A full one brings them back.
    ASSERT_TRUE(callee->sendH245(h245::buildTerminalCapabilitySet(farEndSet(51, std::nullopt, false))));
    ASSERT_TRUE(eventually([&] {
        for (const auto& channel : caller->logicalChannels())
            if (!channel.fromRemote)
                return false;
        return true;
    }));
    ASSERT_TRUE(callee->sendH245(h245::buildTerminalCapabilitySet(farEndSet(52, 85))));
    EXPECT_TRUE(eventually([&] {
        return caller->findLogicalChannel(AudioSessionId, false) &&
               caller->findLogicalChannel(VideoSessionId, false) && frameTime() == frameTimeBefore;
    }));
    alice.manager.clearCall(token, EndReason::LocalUser, true);
}

} // namespace
} // namespace voip::h323::test
