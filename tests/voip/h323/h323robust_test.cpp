// Failure cases, hooks and bad input: rejection, busy, unreachable port, a vanishing peer,
// Facility forwarding, indications, and mutated Setups.

#include <gtest/gtest.h>

#include <random>

#include "tests/voip/h323/h323fixture.h"
#include "tests/voip/h323/rawpeer.h"
#include "voip/core/call.h"
#include "voip/h225/address.h"
#include "voip/h225/message.h"
#include "voip/h245/h239.h"
#include "voip/h245/message.h"
#include "voip/q931/elements.h"
#include "voip/q931/tpkt.h"

namespace voip::h323::test {
namespace {

/// A connection that records the hooks it sees.
class HookConnection : public Connection
{
public:
    using Connection::Connection;
    bool OnMiscellaneousIndication(const h245::ChannelEvent& indication) override
    {
        std::lock_guard lock(mutex);
        indications.push_back(indication);
        return Connection::OnMiscellaneousIndication(indication);
    }
    bool OnH239PresentationRequest(unsigned channel, unsigned symmetry, unsigned label) override
    {
        presentationChannel = channel;
        return Connection::OnH239PresentationRequest(channel, symmetry, label);
    }
    std::mutex mutex;
    std::vector<h245::ChannelEvent> indications;
    std::atomic<unsigned> presentationChannel{0};
};

class HookEndPoint : public EndPoint
{
public:
    using EndPoint::EndPoint;
    std::shared_ptr<Connection> createConnection(const std::shared_ptr<Call>& call,
                                                 const std::string& address,
                                                 const StringOptions& options,
                                                 const q931::Message* setup) override
    {
        return std::make_shared<HookConnection>(call, *this, address, options, setup != nullptr);
    }
    bool OnConnectionForwarded(Connection& connection, const std::string& forwardParty,
                               const q931::Message& message) override
    {
        {
            std::lock_guard lock(mutex);
            forwards.push_back(forwardParty);
        }
        if (takeForwards)
            return true;
        return EndPoint::OnConnectionForwarded(connection, forwardParty, message);
    }
    std::mutex mutex;
    std::vector<std::string> forwards;
    bool takeForwards = true;
};

Side::EndPointFactory hookEndPoint()
{
    return [](Manager& manager) { return std::make_unique<HookEndPoint>(manager); };
}

EndReason clearedReason(Side& side, std::size_t index = 0)
{
    EXPECT_TRUE(side.manager.waitUntil([&] { return side.manager.cleared.size() > index; }));
    std::lock_guard lock(side.manager.mutex);
    return side.manager.cleared.size() > index ? side.manager.cleared[index].reason
                                               : EndReason::LocalUser;
}

TEST(H323Failures, RejectionBusyAndUnreachablePortEndWithTheRightReasonsAndLeaveNothing)
{
    Side alice("alice");
    Side bob("bob");
    const auto threads = threadCount();
    const auto descriptors = descriptorCount();

    // Answer denied.
    bob.manager.answerPolicy = [](voip::Connection&, const std::string&) {
        return AnswerCallResponse::Deny;
    };
    alice.call(bob.address());
    EXPECT_EQ(clearedReason(alice), EndReason::Refusal);
    EXPECT_EQ(clearedReason(bob), EndReason::AnswerDenied);

    // Busy: bob takes one call and refuses a second while it is up.
    bob.manager.answerNow();
    bob.manager.incomingPolicy = [&bob](voip::Connection& connection) {
        if (bob.manager.callCount() > 1) {
            connection.call()->clear(EndReason::LocalBusy);
            return false;
        }
        return true;
    };
    const auto first = alice.call(bob.address());
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
    Side carol("carol");
    carol.call(bob.address());
    EXPECT_EQ(clearedReason(carol), EndReason::RemoteBusy);
    EXPECT_EQ(clearedReason(bob, 1), EndReason::LocalBusy);
    alice.manager.clearCall(first, EndReason::LocalUser, true);
    EXPECT_EQ(clearedReason(alice, 1), EndReason::LocalUser);
    EXPECT_EQ(clearedReason(bob, 2), EndReason::RemoteUser);

    // Nothing listens on the port: connect fail.
    std::uint16_t closedPort = 0;
    {
        asio::io_context io;
        asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
        closedPort = probe.local_endpoint().port();
    }
    alice.call("h323:127.0.0.1:" + std::to_string(closedPort));
    EXPECT_EQ(clearedReason(alice, 2), EndReason::ConnectFail);

    // An address that cannot be dialled never starts.
    EXPECT_TRUE(alice.manager.waitUntil([&] { return alice.manager.callCount() == 0; }));
    EXPECT_TRUE(eventually([&] {
        return alice.endpoint->connectionCount() == 0 && bob.endpoint->connectionCount() == 0 &&
               bob.manager.callCount() == 0;
    }));
    carol.manager.shutDown();
    EXPECT_TRUE(eventually([&] { return threadCount() <= threads; }))
        << threadCount() << " threads, " << threads << " before";
    EXPECT_TRUE(eventually([&] { return descriptorCount() <= descriptors; }))
        << descriptorCount() << " descriptors, " << descriptors << " before";
}

TEST(H323Failures, ATcpResetMidCallIsATransportFailure)
{
    Side alice("alice", false);
    auto timers = quickTimers();
    timers.capabilityExchange = timers.masterSlave = std::chrono::milliseconds(5000);
    alice.endpoint->setTimers(timers);
    RawPeer peer;
    alice.call(peer.address());
    ASSERT_TRUE(peer.accept());
    auto setup = peer.readUntil(q931::MessageType::Setup);
    ASSERT_TRUE(setup);
    ASSERT_TRUE(peer.sendAnswer(*setup, q931::MessageType::Connect, connectFor(*setup, true)));
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
    peer.reset();
    EXPECT_EQ(clearedReason(alice), EndReason::TransportFail);
    EXPECT_TRUE(eventually([&] { return alice.endpoint->connectionCount() == 0; }));
}

asn::Value forwardingFacility(const q931::Message& setup, const std::string& alias,
                              const std::string& address)
{
    asn::Value information = h225::newUserInformation("facility");
    asn::Value& body = h225::messageBody(information);
    body.field("reason").choose("callForwarded");
    if (!alias.empty())
        h225::setAlias(body.field("alternativeAliasAddress").append(), alias);
    if (auto parsed = h225::IpAddressPort::parse(address))
        h225::setTransportAddress(body.field("alternativeAddress"), *parsed);
    auto received = q931::userUserPdu(setup);
    auto decoded = h225::decodeUserInformation(*received);
    h225::setGuid(body.field("callIdentifier").field("guid"),
                  h225::guidOf(h225::messageBody(*decoded)["callIdentifier"]["guid"]));
    body.field("multipleCalls").setBoolean(false);
    body.field("maintainConnection").setBoolean(false);
    return information;
}

TEST(H323Facility, CallForwardedReachesTheHookWithAliasAndAddress)
{
    Side alice("alice", false, hookEndPoint());
    auto& hooks = static_cast<HookEndPoint&>(*alice.endpoint);
    RawPeer peer;
    alice.call(peer.address());
    ASSERT_TRUE(peer.accept());
    auto setup = peer.readUntil(q931::MessageType::Setup);
    ASSERT_TRUE(setup);
    ASSERT_TRUE(peer.sendAnswer(*setup, q931::MessageType::Facility,
                                forwardingFacility(*setup, "room1", "10.0.0.5:1721")));
    // The hook took the forward: this leg ends as forwarded, nothing is dialled.
    EXPECT_EQ(clearedReason(alice), EndReason::CallForwarded);
    std::lock_guard lock(hooks.mutex);
    ASSERT_EQ(hooks.forwards.size(), 1u);
    EXPECT_EQ(hooks.forwards[0], "room1@10.0.0.5:1721");
    EXPECT_TRUE(alice.manager.forwarded.empty());
}

TEST(H323Facility, TheDefaultHandlingFollowsTheForward)
{
    Side alice("alice", false, hookEndPoint());
    static_cast<HookEndPoint&>(*alice.endpoint).takeForwards = false;
    Side bob("bob");
    bob.manager.answerNow();
    RawPeer peer;
    const auto token = alice.call(peer.address());
    ASSERT_TRUE(peer.accept());
    auto setup = peer.readUntil(q931::MessageType::Setup);
    ASSERT_TRUE(setup);
    const std::string bobAddress = "127.0.0.1:" + std::to_string(bob.endpoint->listenerPort());
    ASSERT_TRUE(peer.sendAnswer(*setup, q931::MessageType::Facility,
                                forwardingFacility(*setup, "", bobAddress)));
    // The old leg is released towards the peer, and the call goes on to bob.
    EXPECT_TRUE(peer.readUntil(q931::MessageType::ReleaseComplete));
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
    ASSERT_EQ(alice.manager.forwarded.size(), 1u);
    EXPECT_NE(alice.manager.forwarded[0].find(bobAddress), std::string::npos);
    EXPECT_EQ(bob.manager.incoming.size(), 1u);
    alice.manager.clearCall(token, EndReason::LocalUser, true);
}

class H323Control : public testing::Test
{
protected:
    void SetUp() override
    {
        bob.manager.answerNow();
        token = alice.call(bob.address());
        ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
        caller = alice.h323(token);
        ASSERT_TRUE(eventually([&] { return bob.anyH323() != nullptr; }));
        callee = std::dynamic_pointer_cast<HookConnection>(bob.anyH323());
        ASSERT_TRUE(caller && callee);
        ASSERT_TRUE(eventually([&] {
            return caller->isH245Complete() && callee->isH245Complete() &&
                   caller->findLogicalChannel(AudioSessionId, false) &&
                   callee->findLogicalChannel(AudioSessionId, true) &&
                   caller->findLogicalChannel(VideoSessionId, true);
        }));
    }
    void TearDown() override
    {
        caller.reset();
        callee.reset();
        if (!token.empty())
            alice.manager.clearCall(token, EndReason::LocalUser, true);
    }

    Side alice{"alice", true, hookEndPoint()};
    Side bob{"bob", true, hookEndPoint()};
    std::string token;
    std::shared_ptr<Connection> caller;
    std::shared_ptr<HookConnection> callee;
};

TEST_F(H323Control, MiscellaneousIndicationArrivesForTheRightChannel)
{
    const auto sending = caller->findLogicalChannel(AudioSessionId, false);
    ASSERT_TRUE(sending);
    EXPECT_TRUE(caller->sendMiscellaneousIndication(sending->number, "logicalChannelInactive"));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(callee->mutex);
        return !callee->indications.empty();
    }));
    std::lock_guard lock(callee->mutex);
    EXPECT_EQ(callee->indications[0].logicalChannel, sending->number);
    EXPECT_EQ(callee->indications[0].type, "logicalChannelInactive");
    const auto receiving = callee->findLogicalChannel(AudioSessionId, true);
    ASSERT_TRUE(receiving);
    EXPECT_EQ(receiving->number, sending->number);
}

TEST_F(H323Control, VideoUpdateTokenRequestAndChannelClose)
{
    EXPECT_TRUE(caller->sendVideoFastUpdatePicture(VideoSessionId));
    EXPECT_TRUE(eventually([&] { return callee->videoUpdateRequests() == 1; }));

    h245::H239Message request;
    request.type = h245::H239MessageType::PresentationTokenRequest;
    request.channelId = 7;
    request.symmetryBreaking = 9;
    request.terminalLabel = 1;
    EXPECT_TRUE(caller->sendH245(h245::buildH239Message(request)));
    EXPECT_TRUE(eventually([&] { return callee->presentationChannel == 7; }));

    const auto available = caller->bandwidthAvailable(Direction::Transmit);
    EXPECT_LT(available, caller->initialBandwidth(Direction::Transmit));
    const auto sending = caller->findLogicalChannel(AudioSessionId, false);
    ASSERT_TRUE(sending);
    EXPECT_TRUE(caller->closeLogicalChannel(sending->number));
    EXPECT_TRUE(eventually([&] { return !callee->findLogicalChannel(AudioSessionId, true); }));
    EXPECT_FALSE(caller->findLogicalChannel(AudioSessionId, false));
    EXPECT_GT(caller->bandwidthAvailable(Direction::Transmit), available);
}

TEST(H323BadInput, MutatedSetupsDoNotStopTheListener)
{
    Side bob("bob");
    bob.manager.answerPolicy = [](voip::Connection&, const std::string&) {
        return AnswerCallResponse::Deny;
    };
    const auto original = sampleSetup(0x1234);
    ASSERT_FALSE(original.empty());
    std::mt19937 random(20261206);
    constexpr int Rounds = 300;
    for (int round = 0; round < Rounds; ++round) {
        RawPeer peer;
        ASSERT_TRUE(peer.connect(bob.endpoint->listenerPort()));
        std::vector<std::uint8_t> bytes = original;
        const int flips = 1 + static_cast<int>(random() % 6);
        for (int i = 0; i < flips; ++i)
            bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
        if (round % 7 == 0)
            bytes.resize(random() % bytes.size());
        auto framed = q931::tpktFrame(bytes);
        ASSERT_TRUE(framed);
        if (round % 11 == 0)
            (*framed)[2] = 0xff; // a length far beyond what follows
        if (round % 13 == 0)
            (*framed)[0] = 9; // not TPKT at all
        peer.sendRaw(*framed);
        peer.waitClosed(std::chrono::milliseconds(20));
    }
    EXPECT_GT(bob.endpoint->malformedCount(), 0u);
    EXPECT_TRUE(bob.manager.waitUntil([&] { return bob.manager.callCount() == 0; }));

    bob.manager.answerNow();
    Side alice("alice");
    const auto token = alice.call(bob.address());
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
    alice.manager.clearCall(token, EndReason::LocalUser, true);
    EXPECT_EQ(clearedReason(alice), EndReason::LocalUser);
}

TEST(H323BadInput, GarbageOnTunnelledH245ReleasesTheCall)
{
    Side alice("alice", false);
    RawPeer peer;
    alice.call(peer.address());
    ASSERT_TRUE(peer.accept());
    auto setup = peer.readUntil(q931::MessageType::Setup);
    ASSERT_TRUE(setup);
    asn::Value connect = connectFor(*setup, true);
    // A capability set cut short: its lengths run past the end.  (Octets that start
    // with the extension bit would read as an unknown later message and be skipped.)
    h245::CapabilitySet set;
    set.capabilities.resize(3);
    set.capabilities[0].type = h245::CapabilityType::G711Alaw;
    set.capabilities[1].type = h245::CapabilityType::G722;
    set.capabilities[2].type = h245::CapabilityType::G711Ulaw;
    auto encoded = h245::encodeMessage(h245::buildTerminalCapabilitySet(set));
    ASSERT_TRUE(encoded);
    encoded->resize(6);
    h225::uuPdu(connect).field("h245Control").append().setOctets(*encoded);
    ASSERT_TRUE(peer.sendAnswer(*setup, q931::MessageType::Connect, connect));
    auto release = peer.readUntil(q931::MessageType::ReleaseComplete);
    ASSERT_TRUE(release);
    const auto* cause = release->find(q931::ie::Cause);
    ASSERT_TRUE(cause);
    EXPECT_EQ(q931::decodeCause(cause->contents)->value, 95);
    EXPECT_EQ(clearedReason(alice), EndReason::Q931Cause);
    EXPECT_GT(alice.endpoint->malformedCount(), 0u);
}

TEST(H323Signalling, StatusEnquiryIsAnsweredWithTheCallState)
{
    Side alice("alice", false);
    RawPeer peer;
    const auto token = alice.call(peer.address());
    ASSERT_TRUE(peer.accept());
    auto setup = peer.readUntil(q931::MessageType::Setup);
    ASSERT_TRUE(setup);
    q931::Message enquiry;
    enquiry.callReference = setup->callReference;
    enquiry.fromDestination = true;
    enquiry.type = static_cast<std::uint8_t>(q931::MessageType::StatusEnquiry);
    ASSERT_TRUE(peer.sendPdu(*q931::encodeMessage(enquiry)));
    auto status = peer.readUntil(q931::MessageType::Status);
    ASSERT_TRUE(status);
    const auto* cause = status->find(q931::ie::Cause);
    ASSERT_TRUE(cause);
    EXPECT_EQ(q931::decodeCause(cause->contents)->value, 30);
    const auto* state = status->find(q931::ie::CallState);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->contents, std::vector<std::uint8_t>{3}); // outgoing call proceeding
    EXPECT_EQ(status->callReference, setup->callReference);
    EXPECT_FALSE(status->fromDestination);
    alice.manager.clearCall(token, EndReason::LocalUser, true);
    EXPECT_TRUE(peer.readUntil(q931::MessageType::ReleaseComplete));
}

TEST(H323BadInput, GarbageOnTheCallReleasesItWithReleaseComplete)
{
    Side alice("alice", false);
    RawPeer peer;
    alice.call(peer.address());
    ASSERT_TRUE(peer.accept());
    auto setup = peer.readUntil(q931::MessageType::Setup);
    ASSERT_TRUE(setup);
    // A Q.931 message whose User-user element holds no valid H.225.0 PDU.
    q931::Message bad;
    bad.callReference = setup->callReference;
    bad.fromDestination = true;
    bad.type = static_cast<std::uint8_t>(q931::MessageType::Alerting);
    bad.set(q931::ie::UserUser, {0x05, 0xff, 0xff, 0xff, 0xff, 0xff});
    ASSERT_TRUE(peer.sendPdu(*q931::encodeMessage(bad)));
    auto release = peer.readUntil(q931::MessageType::ReleaseComplete);
    ASSERT_TRUE(release);
    const auto* cause = release->find(q931::ie::Cause);
    ASSERT_TRUE(cause);
    EXPECT_EQ(q931::decodeCause(cause->contents)->value, 95);
    EXPECT_EQ(clearedReason(alice), EndReason::Q931Cause);
    EXPECT_EQ(alice.manager.cleared[0].reason, EndReason::Q931Cause);
}

TEST(H323BadInput, IdleConnectionsBeyondTheCapAreClosedAndACallStillGetsThrough)
{
    Side alice("alice");
    Side bob("bob");
    bob.manager.answerNow();
    // More idle connections than one address may hold, from an address of their own.
    asio::io_context io;
    std::vector<asio::ip::tcp::socket> idle;
    for (int i = 0; i < 40; ++i) {
        asio::ip::tcp::socket socket(io);
        asio::error_code error;
        socket.open(asio::ip::tcp::v4(), error);
        socket.bind({asio::ip::make_address("127.0.0.3"), 0}, error);
        socket.connect({asio::ip::make_address("127.0.0.1"), bob.endpoint->listenerPort()}, error);
        ASSERT_FALSE(error) << error.message();
        idle.push_back(std::move(socket));
    }
    EXPECT_TRUE(eventually([&] { return bob.endpoint->refusedIdleCount() >= 32; }))
        << bob.endpoint->refusedIdleCount();
    const auto token = alice.call(bob.address());
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
    alice.manager.clearCall(token, EndReason::LocalUser, true);
    // The ones over the cap were closed by bob: reading gives end of file at once.
    std::size_t closed = 0;
    for (auto& socket : idle) {
        socket.non_blocking(true);
        std::array<char, 1> byte;
        asio::error_code error;
        socket.read_some(asio::buffer(byte), error);
        if (error == asio::error::eof || error == asio::error::connection_reset)
            ++closed;
    }
    EXPECT_GE(closed, 32u);
}

} // namespace
} // namespace voip::h323::test
