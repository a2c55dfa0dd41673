// The addresses a peer is given in the call signalling: with a NAT method active, a peer
// outside the local network sees the public address (with our real ports) as the call
// signalling and H.245 addresses; a local peer sees the real local address.  The call
// signalling address we give is where we listen.  Also the party text of a caller, which
// must stay "name [address]" with an address that dials the caller back.

#include <gtest/gtest.h>

#include "tests/voip/h323/h323fixture.h"
#include "tests/voip/h323/rawpeer.h"
#include "voip/h225/address.h"
#include "voip/h225/message.h"
#include "voip/nat/fixedmethod.h"
#include "voip/q931/elements.h"

namespace voip::h323::test {
namespace {

constexpr const char* PublicAddress = "203.0.113.7";

/// The fixed method, taking every peer as outside the local network (on loopback none is).
class FixedForEveryPeer : public nat::FixedMethod
{
public:
    std::string name() const override { return "FixedForEveryPeer"; }
    bool isOutside(const asio::ip::address&) const override { return true; }
};

/// The H.225.0 body of a received message.
asn::Value bodyOf(const q931::Message& message)
{
    auto pdu = q931::userUserPdu(message);
    if (!pdu)
        return {};
    auto decoded = h225::decodeUserInformation(*pdu);
    if (!decoded)
        return {};
    return h225::messageBody(*decoded);
}

std::optional<h225::IpAddressPort> addressIn(const asn::Value& body, const char* field)
{
    if (!body.has(field))
        return std::nullopt;
    return h225::transportAddressOf(body[field]);
}

/// True when something accepts TCP on 127.0.0.1 at `port`.
bool acceptsOnLoopback(std::uint16_t port)
{
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    asio::error_code error;
    socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
    return !error;
}

/// A Setup from a caller that wants a separate H.245 channel and offers no address.
std::vector<std::uint8_t> setupWithoutTunnelling(std::uint16_t callReference)
{
    auto message = q931::decodeMessage(sampleSetup(callReference));
    if (!message)
        return {};
    auto pdu = q931::userUserPdu(*message);
    if (!pdu)
        return {};
    auto information = h225::decodeUserInformation(*pdu);
    if (!information)
        return {};
    h225::uuPdu(*information).field("h245Tunnelling").setBoolean(false);
    auto encoded = h225::encodeUserInformation(*information);
    if (!encoded || !q931::setUserUserPdu(*message, *encoded))
        return {};
    auto bytes = q931::encodeMessage(*message);
    return bytes ? *bytes : std::vector<std::uint8_t>{};
}

/// A sample Setup that gives `source` as sourceCallSignalAddress.
std::vector<std::uint8_t> setupAnnouncing(std::uint16_t callReference, const std::string& source)
{
    auto message = q931::decodeMessage(sampleSetup(callReference));
    auto address = h225::IpAddressPort::parse(source);
    if (!message || !address)
        return {};
    auto pdu = q931::userUserPdu(*message);
    if (!pdu)
        return {};
    auto information = h225::decodeUserInformation(*pdu);
    if (!information)
        return {};
    h225::setTransportAddress(h225::messageBody(*information).field("sourceCallSignalAddress"),
                              *address);
    auto encoded = h225::encodeUserInformation(*information);
    if (!encoded || !q931::setUserUserPdu(*message, *encoded))
        return {};
    auto bytes = q931::encodeMessage(*message);
    return bytes ? *bytes : std::vector<std::uint8_t>{};
}

/// A caller whose Setup a raw peer reads, with tunnelling off so that an H.245 address
/// is offered.  `listen`: the caller listens for calls on 127.0.0.1 too.
struct OutgoingSetup
{
    explicit OutgoingSetup(std::unique_ptr<nat::NatMethod> method, bool listen = false)
        : alice("alice", listen)
    {
        const std::string name = method->name();
        EXPECT_TRUE(alice.manager.addNatMethod(std::move(method)));
        EXPECT_TRUE(alice.manager.setNatServer(name, PublicAddress, true));
        alice.endpoint->setFastStart(false);
        alice.endpoint->setH245Tunnelling(false);
        alice.call(peer.address());
        if (peer.accept())
            setup = peer.readUntil(q931::MessageType::Setup);
        if (setup)
            body = bodyOf(*setup);
    }

    Side alice;
    RawPeer peer;
    std::optional<q931::Message> setup;
    asn::Value body;
};

TEST(H323NatAnnouncements, AnOutsidePeerIsGivenThePublicAddressWithTheRealPorts)
{
    OutgoingSetup call(std::make_unique<FixedForEveryPeer>());
    ASSERT_TRUE(call.setup);
    const auto publicAddress = h225::IpAddressPort::parse(PublicAddress);
    ASSERT_TRUE(publicAddress);

    // The call signalling address: public, with the port our TCP connection comes from.
    auto source = addressIn(call.body, "sourceCallSignalAddress");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->addressText(), PublicAddress);
    EXPECT_FALSE(source->ipv6);
    EXPECT_EQ(source->port, call.peer.remoteEndpoint().port());
    // Where we called stays the peer's own address.
    auto destination = addressIn(call.body, "destCallSignalAddress");
    ASSERT_TRUE(destination);
    EXPECT_EQ(destination->toString(), "127.0.0.1:" + std::to_string(call.peer.port()));

    // The H.245 address: public, with the port of the listener really open.
    auto h245 = addressIn(call.body, "h245Address");
    ASSERT_TRUE(h245);
    EXPECT_EQ(h245->addressText(), PublicAddress);
    EXPECT_NE(h245->port, 0);
    EXPECT_TRUE(acceptsOnLoopback(h245->port));
}

TEST(H323NatAnnouncements, ALocalPeerStillSeesTheLocalAddress)
{
    // The plain fixed method takes loopback peers as local.
    OutgoingSetup call(std::make_unique<nat::FixedMethod>());
    ASSERT_TRUE(call.setup);
    auto source = addressIn(call.body, "sourceCallSignalAddress");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->toString(), "127.0.0.1:" + std::to_string(call.peer.remoteEndpoint().port()));
    auto h245 = addressIn(call.body, "h245Address");
    ASSERT_TRUE(h245);
    EXPECT_EQ(h245->addressText(), "127.0.0.1");
    EXPECT_TRUE(acceptsOnLoopback(h245->port));
}

TEST(H323NatAnnouncements, AListeningCallerGivesItsListenerAsCallSignalAddress)
{
    OutgoingSetup local(std::make_unique<nat::FixedMethod>(), true);
    ASSERT_TRUE(local.setup);
    const std::uint16_t listener = local.alice.endpoint->listenerPort();
    ASSERT_NE(listener, 0);
    ASSERT_NE(listener, local.peer.remoteEndpoint().port());
    auto source = addressIn(local.body, "sourceCallSignalAddress");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->toString(), "127.0.0.1:" + std::to_string(listener));

    // Behind a NAT: the public address, still with the listener's port.
    OutgoingSetup outside(std::make_unique<FixedForEveryPeer>(), true);
    ASSERT_TRUE(outside.setup);
    auto announced = addressIn(outside.body, "sourceCallSignalAddress");
    ASSERT_TRUE(announced);
    EXPECT_EQ(announced->addressText(), PublicAddress);
    EXPECT_EQ(announced->port, outside.alice.endpoint->listenerPort());
    EXPECT_NE(announced->port, outside.peer.remoteEndpoint().port());
}

TEST(H323NatAnnouncements, TheAnswerOffersThePublicH245Address)
{
    Side bob("bob");
    ASSERT_TRUE(bob.manager.addNatMethod(std::make_unique<FixedForEveryPeer>()));
    ASSERT_TRUE(bob.manager.setNatServer("FixedForEveryPeer", PublicAddress, true));
    bob.endpoint->setH245Tunnelling(false);
    bob.manager.answerNow();
    RawPeer peer;
    ASSERT_TRUE(peer.connect(bob.endpoint->listenerPort()));
    const auto setup = setupWithoutTunnelling(0x1234);
    ASSERT_FALSE(setup.empty());
    ASSERT_TRUE(peer.sendPdu(setup));
    auto connect = peer.readUntil(q931::MessageType::Connect);
    ASSERT_TRUE(connect);
    auto h245 = addressIn(bodyOf(*connect), "h245Address");
    ASSERT_TRUE(h245);
    EXPECT_EQ(h245->addressText(), PublicAddress);
    EXPECT_TRUE(acceptsOnLoopback(h245->port));
}

/// The address between the first "[" and the next "]" of a party text, as the client
/// takes it.
std::string bracketedAddress(const std::string& partyText)
{
    const auto open = partyText.find('[');
    const auto close = partyText.find(']', open);
    if (open == std::string::npos || close == std::string::npos)
        return {};
    return partyText.substr(open + 1, close - open - 1);
}

TEST(H323PartyText, AnIpv6PartyAddressHasNoNestedBracketsAndDialsBack)
{
    Side alice("alice");
    Side bob("bob", false);
    if (!bob.endpoint->startListener("::1", 0).ok())
        GTEST_SKIP() << "no IPv6 loopback";
    bob.manager.answerNow();
    const std::uint16_t bobPort = bob.endpoint->listenerPort();
    const std::string token = alice.call("h323:[::1]:" + std::to_string(bobPort));
    ASSERT_FALSE(token.empty());
    std::shared_ptr<Connection> caller, callee;
    ASSERT_TRUE(eventually([&] {
        caller = alice.h323(token);
        callee = bob.anyH323();
        return caller && callee && callee->remotePartyName() == "alice display";
    }));

    // The called side: "ip$::1:<port>", the far end's IPv6 address and port.
    const std::string calledText = caller->remotePartyText();
    EXPECT_EQ(calledText.find("[["), std::string::npos) << calledText;
    const std::string called = bracketedAddress(calledText);
    EXPECT_EQ(called, "ip$::1:" + std::to_string(bobPort)) << calledText;
    auto dialBack = parseDialAddress(called);
    ASSERT_TRUE(dialBack) << called;
    EXPECT_EQ(dialBack->host, "::1");
    EXPECT_EQ(dialBack->port, bobPort);

    // The caller as the answering side shows it: its name, then its address.
    const std::string callerText = callee->remotePartyText();
    EXPECT_EQ(callerText.rfind("alice display [", 0), 0u) << callerText;
    EXPECT_EQ(callerText.find("[["), std::string::npos) << callerText;
    auto caller6 = parseDialAddress(bracketedAddress(callerText));
    ASSERT_TRUE(caller6) << callerText;
    EXPECT_EQ(caller6->host, "::1");
    EXPECT_TRUE(caller6->ipv6Literal);
    caller.reset();
    callee.reset();
    alice.manager.clearCall(token, EndReason::LocalUser, true);
}

TEST(H323PartyText, AnIncomingCallerIsShownAtItsListenerAndDialsBackThere)
{
    Side alice("alice");
    Side bob("bob");
    alice.manager.answerNow();
    bob.manager.answerNow();
    const std::uint16_t alicePort = alice.endpoint->listenerPort();
    const std::uint16_t bobPort = bob.endpoint->listenerPort();
    const std::string token = alice.call(bob.address());
    ASSERT_FALSE(token.empty());
    ASSERT_TRUE(bob.manager.waitUntil([&] { return bob.manager.established.size() == 1; }));
    std::string callerText;
    {
        std::lock_guard lock(bob.manager.mutex);
        ASSERT_EQ(bob.manager.answerCallers.size(), 1u);
        callerText = bob.manager.answerCallers[0];
    }
    EXPECT_EQ(callerText, "alice display [127.0.0.1:" + std::to_string(alicePort) + "]");
    const std::string callerAddress = bracketedAddress(callerText);
    auto parsed = parseDialAddress(callerAddress);
    ASSERT_TRUE(parsed) << callerAddress;
    EXPECT_EQ(parsed->host, "127.0.0.1");
    EXPECT_EQ(parsed->port, alicePort);
    ASSERT_TRUE(alice.manager.clearCall(token, EndReason::LocalUser, true));
    ASSERT_TRUE(bob.manager.waitUntil([&] { return bob.manager.cleared.size() == 1; }));

    // Bob calls back the address the history keeps; alice's listener takes the call.
    const std::string back = bob.call("h323:" + callerAddress);
    ASSERT_FALSE(back.empty());
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.answerCallers.size() == 1; }));
    {
        std::lock_guard lock(alice.manager.mutex);
        EXPECT_EQ(alice.manager.answerCallers[0],
                  "bob display [127.0.0.1:" + std::to_string(bobPort) + "]");
    }
    EXPECT_TRUE(bob.manager.waitUntil([&] { return bob.manager.established.size() == 2; }));
    EXPECT_TRUE(bob.manager.clearCall(back, EndReason::LocalUser, true));
}

/// The text a listening engine shows for a raw caller that sends `setup`.
std::string partyTextOfRawCaller(const std::vector<std::uint8_t>& setup)
{
    Side bob("bob");
    RawPeer peer;
    if (setup.empty() || !peer.connect(bob.endpoint->listenerPort()) || !peer.sendPdu(setup))
        return {};
    std::string text;
    eventually([&] {
        std::lock_guard lock(bob.manager.mutex);
        if (!bob.manager.answerCallers.empty())
            text = bob.manager.answerCallers[0];
        return !text.empty();
    });
    return text;
}

TEST(H323PartyText, ACallerWithoutAListenerAddressIsShownByItsIpAlone)
{
    // No sourceCallSignalAddress: the IP the call comes from, on the default port.
    const std::string none = partyTextOfRawCaller(sampleSetup(0x0101));
    EXPECT_EQ(none, "Fuzzer [127.0.0.1]");
    auto parsed = parseDialAddress(bracketedAddress(none));
    ASSERT_TRUE(parsed) << none;
    EXPECT_EQ(parsed->host, "127.0.0.1");
    EXPECT_EQ(parsed->port, DefaultSignallingPort);

    // An announced listener on the caller's own IP is taken.
    EXPECT_EQ(partyTextOfRawCaller(setupAnnouncing(0x0102, "127.0.0.1:30123")),
              "Fuzzer [127.0.0.1:30123]");
    // One on another address of the local network is not: its port may belong to anyone.
    EXPECT_EQ(partyTextOfRawCaller(setupAnnouncing(0x0103, "127.0.0.2:30123")),
              "Fuzzer [127.0.0.1]");
}

// With the fixed NAT address active, it is the media address we announce.
TEST(H323Announcements, TheFixedNatAddressIsTheMediaAddressThePeerIsGiven)
{
    Side alice("alice");
    Side bob("bob");
    ASSERT_TRUE(alice.manager.addNatMethod(std::make_unique<FixedForEveryPeer>()));
    ASSERT_TRUE(alice.manager.setNatServer("FixedForEveryPeer", PublicAddress, true));
    for (Side* side : {&alice, &bob})
        side->endpoint->setFastStart(false);
    bob.manager.answerNow();
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
