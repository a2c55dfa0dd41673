// What a far end sees of our configuration in an H.323 call on loopback: a masked format
// is missing from the capability set the peer receives (so the peer cannot send it even
// though it prefers it), the first allowed format of the order is the one the channels
// carry, and an active fixed NAT address is the media address we announce.

#include <gtest/gtest.h>

#include "tests/voip/h323/h323fixture.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/nat/fixedmethod.h"

namespace voip::h323::test {
namespace {

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
    bob.manager.answerPolicy = [](voip::Connection&, const std::string&) {
        return AnswerCallResponse::AnswerNow;
    };
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

/// The fixed method, taking every peer as outside the local network (on loopback none is).
class FixedForEveryPeer : public nat::FixedMethod
{
public:
    std::string name() const override { return "FixedForEveryPeer"; }
    bool isOutside(const asio::ip::address&) const override { return true; }
};

TEST(H323Announcements, TheFixedNatAddressIsTheMediaAddressThePeerIsGiven)
{
    Side alice("alice");
    Side bob("bob");
    ASSERT_TRUE(alice.manager.addNatMethod(std::make_unique<FixedForEveryPeer>()));
    ASSERT_TRUE(alice.manager.setNatServer("FixedForEveryPeer", "203.0.113.7", true));
    for (Side* side : {&alice, &bob})
        side->endpoint->setFastStart(false);
    bob.manager.answerPolicy = [](voip::Connection&, const std::string&) {
        return AnswerCallResponse::AnswerNow;
    };
    const std::string token = alice.call(bob.address());
    ASSERT_FALSE(token.empty());
    std::shared_ptr<Connection> caller, callee;
    ASSERT_TRUE(eventually([&] {
        caller = alice.h323(token);
        callee = bob.anyH323();
        // Both transmit channels acknowledged: each side knows where to send.
        return caller && callee && caller->findLogicalChannel(AudioSessionId, true) &&
               callee->findLogicalChannel(AudioSessionId, false) &&
               callee->findLogicalChannel(AudioSessionId, false)->remoteMedia.port != 0 &&
               caller->findLogicalChannel(AudioSessionId, false) &&
               caller->findLogicalChannel(AudioSessionId, false)->remoteMedia.port != 0;
    }));
    // bob's channel to alice: the OpenLogicalChannelAck alice sent names the public address.
    const auto bobSends = *callee->findLogicalChannel(AudioSessionId, false);
    const std::array<std::uint8_t, 16> expected{203, 0, 113, 7};
    EXPECT_EQ(bobSends.remoteMedia.ip, expected);
    EXPECT_FALSE(bobSends.remoteMedia.ipv6);
    EXPECT_EQ(caller->findLogicalChannel(AudioSessionId, true)->localMedia.ip, expected);
    // bob has no NAT method: what alice is told is bob's own loopback address.
    const auto aliceSends = *caller->findLogicalChannel(AudioSessionId, false);
    const std::array<std::uint8_t, 16> loopback{127, 0, 0, 1};
    EXPECT_EQ(aliceSends.remoteMedia.ip, loopback);
    caller.reset();
    callee.reset();
    alice.manager.clearCall(token, EndReason::LocalUser, true);
}

} // namespace
} // namespace voip::h323::test
