// Calls through a traversal gatekeeper of the test's own on loopback (the NAT itself is in
// the kxcall test of the same name): a call announced to the endpoint is fetched from the
// gatekeeper in the shape other stacks use, its H.245 leaves the tunnel when the gatekeeper
// asks, and its signalling and media are kept open by keep-alives of the right form.
// Announcements that lead nowhere leave no call.

#include <future>

#include <gtest/gtest.h>

#include "tests/support/hex.h"
#include "tests/support/testgatekeeper.h"
#include "tests/voip/h323/h323fixture.h"

#include "voip/h225/message.h"
#include "voip/h225/schema.h"
#include "voip/h323/calltraversal.h"
#include "voip/rtp/rtpsession.h"

namespace voip::h323::test {
namespace {

using namespace std::chrono_literals;
using testutil::TestGatekeeper;
using testutil::TraversalOptions;

using kxtest::fromHex;

/// The reference endpoint's first message after an announcement (its Q.931 octets): the
/// H.225.0 version at octet 19, the call identifier at octets 25 to 40.
const auto ReferenceFacility = fromHex("08020000621c007e0027052680060008914a000762603011"
                                       "00ea543ced0af3f1119209ba1c0cfcde640100010002800180");

std::shared_ptr<RasClient> registerWith(Side& side, TestGatekeeper& gatekeeper,
                                        const std::string& alias, bool traversal)
{
    RasConfig config;
    config.gatekeeper = gatekeeper.address();
    config.alias = alias;
    config.bindAddress = "127.0.0.1";
    config.callSignalAddress =
        *h225::IpAddressPort::parse("127.0.0.1", side.endpoint->listenerPort());
    config.traversal = traversal;
    auto client = side.endpoint->newGatekeeperClient(config);
    side.endpoint->setGatekeeper(client);
    EXPECT_TRUE(client->start());
    EXPECT_EQ(client->waitForRegistration(3s), RasState::Registered);
    return client;
}

TEST(Traversal, AnAnnouncedCallIsFetchedItsH245OpenedOutwardsAndItsMediaKeptOpen)
{
    TestGatekeeper gatekeeper;
    gatekeeper.serveTraversal({.h245 = TraversalOptions::H245::StartH245});
    Side alice("alice"), bob("bob");
    auto timers = quickTimers();
    timers.signallingKeepAlive = 150ms;
    alice.endpoint->setTimers(timers);
    alice.manager.answerNow();
    // Encrypted as well: the relay passes the keys on and the keep-alives stay clear.
    for (Side* side : {&alice, &bob})
        side->endpoint->setMediaEncryption(MediaEncryption::WhenPeerCan);
    auto aliceGatekeeper = registerWith(alice, gatekeeper, "alice", true);
    registerWith(bob, gatekeeper, "bob", false);
    ASSERT_EQ(aliceGatekeeper->traversal(), TraversalState::On);

    ASSERT_FALSE(bob.call("h323:alice").empty());
    ASSERT_TRUE(eventually([&] {
        auto connection = alice.anyH323();
        return connection && connection->isH245Complete() && !connection->isTunnelling() &&
               connection->findLogicalChannel(1, true) && connection->findLogicalChannel(1, false);
    })) << "announced, fetched, H.245 on a connection of its own, audio both ways";
    for (const bool fromRemote : {true, false})
        EXPECT_TRUE(alice.anyH323()->findLogicalChannel(1, fromRemote)->encrypted);
    // Either side may ask for a new key of what it receives; the master makes it.
    for (Side* side : {&alice, &bob}) {
        auto connection = side->anyH323();
        ASSERT_TRUE(connection->renewMediaKey(connection->findLogicalChannel(1, true)->number));
    }
    EXPECT_TRUE(eventually([&] {
        return alice.anyH323()->encryption().renewals() == 2 &&
               bob.anyH323()->encryption().renewals() == 2;
    }));
    auto* server = gatekeeper.traversalServer();
    EXPECT_EQ(server->startH245Sent(), 1u);

    // The first message on the connection alice opened is the reference's Facility, apart
    // from the call it names and the H.225.0 version.
    ASSERT_EQ(server->announcementAnswers().size(), 1u);
    const auto facility = server->announcementAnswers()[0];
    ASSERT_EQ(facility.size(), ReferenceFacility.size()) << [&] {
        std::string hex;
        for (auto octet : facility) {
            char text[3];
            std::snprintf(text, sizeof text, "%02x", octet);
            hex += text;
        }
        return hex;
    }();
    auto expected = ReferenceFacility;
    expected[19] = h225::kProtocolVersion;
    std::copy(facility.begin() + 25, facility.begin() + 41, expected.begin() + 25);
    EXPECT_EQ(facility, expected);
    EXPECT_EQ(gatekeeper.count("serviceControlResponse"), 1u);

    // Keep-alives: each channel alice receives opens the relay's way in from its own ports,
    // three 100 ms apart (RTP: marker, type 127, sequence from 100, SSRC 0), the Ack says
    // their payload type, and the signalling connection gets an empty TPKT now and then.
    ASSERT_TRUE(eventually([&] {
        const auto all = server->rtpKeepAlives();
        return !all.empty() && all.begin()->second.size() >= 3;
    }));
    const auto keepAlives = server->rtpKeepAlives().begin()->second;
    EXPECT_EQ(keepAlives[0], fromHex("80ff006400000000"
                                     "00000000"));
    EXPECT_EQ(keepAlives[1][3], 101);
    const std::uint32_t stamp = (keepAlives[1][4] << 24) | (keepAlives[1][5] << 16) |
                                (keepAlives[1][6] << 8) | keepAlives[1][7];
    EXPECT_NEAR(double(stamp), 800, 400) << "8 kHz from the first";
    EXPECT_EQ(CallTraversal::rtcpKeepAlive()[3], 6);
    ASSERT_FALSE(server->ackParameters().empty());
    EXPECT_EQ(server->ackParameters()[0], fromHex("05fc"));
    EXPECT_TRUE(eventually([&] { return server->signallingKeepAlives() >= 2; }));
    EXPECT_GE(server->mediaKeepAlives(), 6u);

    bob.manager.clearAllCalls(EndReason::LocalUser, true, 3s);
    EXPECT_TRUE(alice.manager.waitUntil([&] { return alice.manager.cleared.size() == 1; }));
    EXPECT_TRUE(eventually([&] { return server->calls() == 0; }));
}

TEST(Traversal, AnnouncementsThatLeadNowhereLeaveNoCall)
{
    TestGatekeeper gatekeeper;
    gatekeeper.serveTraversal();
    Side alice("alice");
    registerWith(alice, gatekeeper, "alice", true);

    // Nothing listens there.
    asio::io_context io;
    std::uint16_t closed = 0;
    {
        asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
        closed = probe.local_endpoint().port();
    }
    ASSERT_TRUE(gatekeeper.indicateCall(
        "alice", {*h225::IpAddressPort::parse("127.0.0.1", closed), h225::newGuid()}));
    EXPECT_TRUE(eventually([&] { return alice.endpoint->unreachedIndications() == 1; }));

    // Something listens but never sends the Setup: the connection is let go in time.
    asio::ip::tcp::acceptor silent(io, {asio::ip::make_address("127.0.0.1"), 0});
    ASSERT_TRUE(gatekeeper.indicateCall(
        "alice", {*h225::IpAddressPort::parse("127.0.0.1", silent.local_endpoint().port()),
                  h225::newGuid()}));
    asio::ip::tcp::socket connection(io);
    silent.accept(connection);
    std::vector<std::uint8_t> facility(4096);
    asio::error_code error;
    const auto length = connection.read_some(asio::buffer(facility), error);
    ASSERT_FALSE(error);
    EXPECT_GT(length, 40u) << "the Facility that names the call";
    std::this_thread::sleep_for(quickTimers().firstMessage + 300ms);
    connection.read_some(asio::buffer(facility), error);
    EXPECT_EQ(error, asio::error::eof) << "closed once no Setup came in time";
    EXPECT_TRUE(alice.manager.callTokens().empty());
    EXPECT_EQ(alice.endpoint->connectionCount(), 0u);
}

TEST(Traversal, KeepAlivesFollowTheRelaysIntervalWithinBoundsAndNeedItsChannel)
{
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    std::thread loop([&] { io.run(); });
    asio::ip::udp::socket relay(io, {asio::ip::make_address("127.0.0.1"), 0});
    h245::MediaAddress where;
    where.ip = {127, 0, 0, 1};
    where.port = relay.local_endpoint().port();
    rtp::SessionConfig config;
    config.localAddress = asio::ip::make_address("127.0.0.1");
    std::shared_ptr<rtp::RtpSession> session = rtp::RtpSession::open(config).take();
    CallTraversal traversal(io, [] { return std::string("test"); });
    asn::Value features(*h225::schema()->find("h225", "FeatureSet"));
    features.field("replacementFeatureSet").setBoolean(false);
    auto& feature = features.field("supportedFeatures").append();
    feature.field("id").choose("standard").setInteger(19);
    feature.field("parameters").append().field("id").choose("standard").setInteger(2);
    auto accept = [&](unsigned sessionId, std::optional<h245::TraversalParameters> offered) {
        std::promise<std::optional<h245::MediaTraversal>> answer;
        asio::post(io, [&] {
            traversal.peerFeatures(features);
            answer.set_value(
                traversal.accept(sessionId, session, h245::MediaTraversal{offered, !offered}));
        });
        return answer.get_future().get();
    };
    auto received = [&](std::chrono::milliseconds during) {
        std::size_t count = 0;
        const auto until = std::chrono::steady_clock::now() + during;
        std::array<std::uint8_t, 64> datagram;
        while (std::chrono::steady_clock::now() < until) {
            if (relay.available() == 0) {
                std::this_thread::sleep_for(10ms);
                continue;
            }
            count += relay.receive(asio::buffer(datagram)) == 12;
        }
        return count;
    };

    // No keep-alive channel, or parameters that do not decode: the Ack says our payload
    // type all the same, and nothing is sent.
    const h245::MediaTraversal ours{h245::TraversalParameters{.keepAlivePayloadType = 127}, false};
    EXPECT_EQ(accept(1, h245::TraversalParameters{.keepAliveInterval = 19}), ours);
    EXPECT_EQ(accept(1, std::nullopt), ours);
    EXPECT_EQ(received(300ms), 0u);
    // An interval of 10^9 s is held to 30 s: three 100 ms apart, then none for a while.
    accept(2, h245::TraversalParameters{.keepAliveChannel = where,
                                        .keepAliveInterval = 1'000'000'000});
    EXPECT_EQ(received(1500ms), 3u);
    // One of 0 or 1 s: every second after the first three.
    accept(2, h245::TraversalParameters{.keepAliveChannel = where, .keepAliveInterval = 0});
    EXPECT_EQ(received(2600ms), 5u);
    std::promise<std::size_t> sent;
    asio::post(io, [&] {
        sent.set_value(traversal.mediaKeepAlivesSent());
        traversal.stop();
    });
    EXPECT_EQ(sent.get_future().get(), 16u) << "each with its RTCP twin";
    work.reset();
    loop.join();
}

} // namespace
} // namespace voip::h323::test
