// The manager's default stream callbacks: a network leg's stream is offered to the other
// leg to join, the other leg's answer decides whether the stream stays, and every leg
// hears when a stream closes.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/voip/loopbackendpoints.h"
#include "voip/media/mediaformatregistry.h"

namespace voip::test {
namespace {

/// What a leg was asked to join or unjoin: the stream's owner and the stream.
struct JoinEvent
{
    const Connection* owner;
    const MediaStream* stream;
    bool operator==(const JoinEvent&) const = default;
};

/// The legs' shared log of join requests.
struct JoinLog
{
    std::mutex mutex;
    std::vector<std::pair<const Connection*, JoinEvent>> joins;   // (asked leg, event)
    std::vector<std::pair<const Connection*, JoinEvent>> unjoins; // (asked leg, event)
    bool refuse = false;

    std::vector<std::pair<const Connection*, JoinEvent>> joinsNow()
    {
        std::lock_guard lock(mutex);
        return joins;
    }
    std::vector<std::pair<const Connection*, JoinEvent>> unjoinsNow()
    {
        std::lock_guard lock(mutex);
        return unjoins;
    }
};

/// A leg that makes counting streams and notes what it is asked to join.
template <bool Network> class JoinConnection : public Connection
{
public:
    JoinConnection(const std::shared_ptr<Call>& call, EndPoint& endpoint, std::string address,
                   JoinLog& log)
        : Connection(call, endpoint, std::move(address))
        , log_(log)
    {}
    bool isNetworkConnection() const override { return Network; }
    bool setUpConnection() override { return true; }
    void onRelease(EndReason) override {}
    bool joinMediaStream(Connection& network, MediaStream& stream) override
    {
        std::lock_guard lock(log_.mutex);
        log_.joins.push_back({this, {&network, &stream}});
        return !log_.refuse;
    }
    void unjoinMediaStream(Connection& owner, MediaStream& stream) override
    {
        std::lock_guard lock(log_.mutex);
        log_.unjoins.push_back({this, {&owner, &stream}});
    }

protected:
    std::shared_ptr<MediaStream> createMediaStream(const MediaFormat& format, unsigned sessionId,
                                                   bool isSource) override
    {
        return std::make_shared<CountingStream>(format, sessionId, isSource);
    }

private:
    JoinLog& log_;
};

template <bool Network> class JoinEndpoint : public EndPoint
{
public:
    JoinEndpoint(Manager& manager, std::string prefix, JoinLog& log)
        : EndPoint(manager, std::move(prefix))
        , log_(log)
    {}
    std::shared_ptr<Connection> makeConnection(const std::shared_ptr<Call>& call,
                                               const std::string& address,
                                               const StringOptions&) override
    {
        return std::make_shared<JoinConnection<Network>>(call, *this, address, log_);
    }

private:
    JoinLog& log_;
};

/// A manager whose only override refuses video before the default handling runs.
class RefusingVideoManager : public Manager
{
public:
    bool OnOpenMediaStream(Connection& connection, MediaStream& stream) override
    {
        if (stream.mediaFormat().mediaType() == MediaType::Video)
            return false;
        return Manager::OnOpenMediaStream(connection, stream);
    }
};

class DefaultMediaJoin : public ::testing::Test
{
protected:
    void SetUp() override
    {
        manager.attachEndPoint(std::make_unique<JoinEndpoint<false>>(manager, "pc", log));
        manager.attachEndPoint(std::make_unique<JoinEndpoint<true>>(manager, "net", log));
        ASSERT_TRUE(manager.addRoute("pc:.* = net:<da>"));
        token = manager.setUpCall("pc:*", "far").value_or("");
        ASSERT_FALSE(token.empty());
        call = manager.findCall(token);
        ASSERT_TRUE(call);
        // The network leg is made on the call's thread.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!call->networkConnection() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        local = call->localConnection();
        network = call->networkConnection();
        ASSERT_TRUE(local && network);
        ASSERT_NE(local, network);
    }
    void TearDown() override
    {
        local.reset();
        network.reset();
        call.reset();
        manager.shutDown();
    }

    MediaFormat format(std::string_view name)
    {
        auto found = MediaFormatRegistry::global().find(name);
        EXPECT_TRUE(found) << name;
        return found ? *found : MediaFormat();
    }

    JoinLog log;
    RefusingVideoManager manager;
    std::string token;
    std::shared_ptr<Call> call;
    std::shared_ptr<Connection> local;
    std::shared_ptr<Connection> network;
};

TEST_F(DefaultMediaJoin, NetworkStreamsAreOfferedToTheOtherLegOnly)
{
    auto received = network->openMediaStream(format(format::G711ALaw), AudioSessionId, true);
    ASSERT_TRUE(received);
    auto joins = log.joinsNow();
    ASSERT_EQ(joins.size(), 1u);
    EXPECT_EQ(joins[0].first, local.get()) << "the other leg joins";
    EXPECT_EQ(joins[0].second, (JoinEvent{network.get(), received.get()}));

    // The local leg's own streams (the partners a join opens) are not joined again.
    ASSERT_TRUE(local->openMediaStream(format(format::G711ALaw), AudioSessionId, false));
    EXPECT_EQ(log.joinsNow().size(), 1u);

    // A stream the application's override refuses never reaches the join.
    EXPECT_EQ(network->openMediaStream(format(format::H264High), VideoSessionId, true), nullptr);
    EXPECT_EQ(log.joinsNow().size(), 1u);
}

TEST_F(DefaultMediaJoin, AStreamTheOtherLegCannotJoinIsRefused)
{
    log.refuse = true;
    EXPECT_EQ(network->openMediaStream(format(format::G711ALaw), AudioSessionId, false), nullptr);
    EXPECT_EQ(log.joinsNow().size(), 1u);
    EXPECT_TRUE(network->mediaStreams().empty()) << "refused streams are not kept";
    log.refuse = false;
    EXPECT_TRUE(network->openMediaStream(format(format::G711ALaw), AudioSessionId, false));
    EXPECT_EQ(network->mediaStreams().size(), 1u);
}

TEST_F(DefaultMediaJoin, EveryLegHearsOfAClosedStreamOnceAndTheCallClosesTheRest)
{
    auto sent = network->openMediaStream(format(format::G711ALaw), AudioSessionId, false);
    auto speaker = local->openMediaStream(format(format::G711ALaw), AudioSessionId, false);
    ASSERT_TRUE(sent && speaker);
    EXPECT_TRUE(log.unjoinsNow().empty());

    ASSERT_TRUE(network->closeMediaStream(sent));
    auto unjoins = log.unjoinsNow();
    ASSERT_EQ(unjoins.size(), 2u);
    for (const auto& [asked, event] : unjoins)
        EXPECT_EQ(event, (JoinEvent{network.get(), sent.get()}));
    EXPECT_NE(unjoins[0].first, unjoins[1].first) << "each leg once";

    // Clearing the call closes the local stream: both legs hear of it too.
    ASSERT_TRUE(manager.clearCall(token, EndReason::LocalUser, true));
    unjoins = log.unjoinsNow();
    ASSERT_EQ(unjoins.size(), 4u);
    EXPECT_EQ(unjoins[2].second, (JoinEvent{local.get(), speaker.get()}));
    EXPECT_EQ(unjoins[3].second, (JoinEvent{local.get(), speaker.get()}));
    EXPECT_EQ(static_cast<CountingStream&>(*speaker).closed.load(), 1);
}

} // namespace
} // namespace voip::test
