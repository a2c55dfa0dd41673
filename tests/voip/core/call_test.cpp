// The call model end to end without a real protocol: two (or three) managers joined by
// loopback "test" endpoints, each with a local "pc" endpoint, routed as the client
// routes ("pc:.* = test:<da>", "test:.* = pc:").

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/voip/loopbackendpoints.h"
#include "voip/media/mediaformatregistry.h"

namespace voip::test {
namespace {

using namespace std::chrono_literals;

/// Waits until the manager holds `count` calls (the count changes without an event).
bool waitNoCalls(const Manager& manager, std::size_t count = 0)
{
    for (int i = 0; i < 500; ++i) {
        if (manager.callCount() == count) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

/// Threads of this process, from /proc (0 when it cannot be read).
int threadCount()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoi(line.substr(8));
        }
    }
    return 0;
}

struct Terminal
{
    Terminal(LinkNetwork& network, const std::string& name)
    {
        manager.setDefaultDisplayName(name + " display");
        local = static_cast<LocalEndpoint*>(
            manager.attachEndPoint(std::make_unique<LocalEndpoint>(manager)));
        link = static_cast<LinkEndpoint*>(
            manager.attachEndPoint(std::make_unique<LinkEndpoint>(manager, network, name)));
        EXPECT_TRUE(manager.addRoute("test:.* = pc:"));
        EXPECT_TRUE(manager.addRoute("pc:.*   = test:<da>"));
    }

    std::optional<ClearedRecord> clearedRecord(const std::string& token = {})
    {
        std::lock_guard lock(manager.mutex);
        for (const auto& record : manager.cleared) {
            if (token.empty() || record.token == token) {
                return record;
            }
        }
        return std::nullopt;
    }

    bool waitCleared(std::size_t count = 1)
    {
        return manager.waitUntil([&] { return manager.cleared.size() >= count; });
    }

    bool waitEstablished(std::size_t count = 1)
    {
        return manager.waitUntil([&] { return manager.established.size() >= count; });
    }

    std::string incomingToken()
    {
        manager.waitUntil([&] { return !manager.answerCallers.empty(); });
        auto tokens = manager.callTokens();
        return tokens.empty() ? std::string() : tokens.front();
    }

    RecordingManager manager;
    LocalEndpoint* local = nullptr;
    LinkEndpoint* link = nullptr;
};

class CallModel : public ::testing::Test
{
protected:
    void TearDown() override
    {
        for (auto* terminal : {&alice, &bob}) {
            std::lock_guard lock(terminal->manager.mutex);
            EXPECT_TRUE(terminal->manager.callbackThreadProblems.empty())
                << terminal->manager.callbackThreadProblems.front();
        }
    }

    /// Places a call from alice to bob and waits until both sides are established.
    std::pair<std::string, std::string> establish()
    {
        bob.manager.answerNow();
        auto token = alice.manager.setUpCall("pc:*", "bob");
        EXPECT_TRUE(token);
        EXPECT_TRUE(alice.waitEstablished());
        EXPECT_TRUE(bob.waitEstablished());
        std::lock_guard lock(bob.manager.mutex);
        return {token.value_or(""),
                bob.manager.established.empty() ? std::string() : bob.manager.established.front()};
    }

    LinkNetwork network;
    Terminal alice{network, "alice"};
    Terminal bob{network, "bob"};
};

TEST_F(CallModel, AnsweredCallClearedByCallerGivesLocalAndRemoteUser)
{
    auto [aliceToken, bobToken] = establish();
    ASSERT_FALSE(aliceToken.empty());
    ASSERT_FALSE(bobToken.empty());

    std::weak_ptr<Call> aliceCall = alice.manager.findCall(aliceToken);
    std::weak_ptr<Connection> aliceLeg;
    {
        auto locked = alice.manager.findCallWithLock(aliceToken);
        ASSERT_TRUE(locked);
        EXPECT_TRUE(locked->isEstablished());
        EXPECT_FALSE(locked->isNetworkOriginated());
        EXPECT_EQ(locked->partyB(), "bob display [bob]");
        ASSERT_TRUE(locked->localConnection());
        ASSERT_TRUE(locked->networkConnection());
        EXPECT_EQ(locked->networkConnection()->phase(), Connection::Phase::Established);
        EXPECT_EQ(locked->localConnection()->otherParty(), locked->networkConnection());
        EXPECT_LE(locked->startTime(), std::chrono::system_clock::now());
        aliceLeg = locked->networkConnection();
    }
    {
        auto locked = bob.manager.findCallWithLock(bobToken);
        ASSERT_TRUE(locked);
        EXPECT_TRUE(locked->isNetworkOriginated());
        EXPECT_EQ(locked->partyA(), "alice display [alice]");
    }
    {
        std::lock_guard lock(bob.manager.mutex);
        ASSERT_EQ(bob.manager.answerCallers.size(), 1u);
        EXPECT_EQ(bob.manager.answerCallers.front(), "alice display [alice]");
        EXPECT_EQ(bob.manager.incoming.size(), 1u);
    }
    {
        std::lock_guard lock(alice.manager.mutex);
        EXPECT_EQ(alice.manager.alerting.size(), 1u) << "the far end rang before answering";
    }

    ASSERT_TRUE(alice.manager.clearCall(aliceToken, EndReason::LocalUser, true));
    // clearCall with wait returns after OnClearedCall.
    auto aliceRecord = alice.clearedRecord();
    ASSERT_TRUE(aliceRecord);
    EXPECT_EQ(aliceRecord->reason, EndReason::LocalUser);
    EXPECT_TRUE(aliceRecord->established);
    EXPECT_FALSE(aliceRecord->networkOriginated);

    ASSERT_TRUE(bob.waitCleared());
    auto bobRecord = bob.clearedRecord();
    EXPECT_EQ(bobRecord->reason, EndReason::RemoteUser);
    EXPECT_TRUE(bobRecord->networkOriginated);
    EXPECT_EQ(bobRecord->partyA, "alice display [alice]");

    // Nothing is left behind once the call threads have been collected.
    EXPECT_TRUE(waitNoCalls(alice.manager));
    EXPECT_TRUE(waitNoCalls(bob.manager));
    for (int i = 0; i < 500 && (!aliceCall.expired() || !aliceLeg.expired()); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(aliceCall.expired());
    EXPECT_TRUE(aliceLeg.expired());
    EXPECT_FALSE(alice.manager.findCallWithLock(aliceToken));
    EXPECT_FALSE(alice.manager.clearCall(aliceToken, EndReason::LocalUser));
}

TEST_F(CallModel, AnsweredCallClearedByCalleeGivesRemoteUserToCaller)
{
    auto [aliceToken, bobToken] = establish();
    ASSERT_TRUE(bob.manager.clearCall(bobToken, EndReason::LocalUser));
    ASSERT_TRUE(alice.waitCleared());
    ASSERT_TRUE(bob.waitCleared());
    EXPECT_EQ(alice.clearedRecord()->reason, EndReason::RemoteUser);
    EXPECT_EQ(bob.clearedRecord()->reason, EndReason::LocalUser);
}

TEST_F(CallModel, DeniedCallIsAnswerDeniedHereAndRefusalThere)
{
    bob.manager.answerPolicy = [](Connection&, const std::string&) {
        return AnswerCallResponse::Deny;
    };
    ASSERT_TRUE(alice.manager.setUpCall("pc:*", "bob"));
    ASSERT_TRUE(alice.waitCleared());
    ASSERT_TRUE(bob.waitCleared());
    EXPECT_EQ(bob.clearedRecord()->reason, EndReason::AnswerDenied);
    EXPECT_EQ(alice.clearedRecord()->reason, EndReason::Refusal);
    EXPECT_FALSE(alice.clearedRecord()->established);
    std::lock_guard lock(alice.manager.mutex);
    EXPECT_TRUE(alice.manager.established.empty());
}

TEST_F(CallModel, PendingCallAcceptedLaterFromAnotherThread)
{
    // Default policy: the manager leaves the answer to the local side.
    auto aliceToken = alice.manager.setUpCall("pc:*", "bob");
    ASSERT_TRUE(aliceToken);
    const std::string bobToken = bob.incomingToken();
    ASSERT_FALSE(bobToken.empty());
    std::this_thread::sleep_for(50ms);
    {
        std::lock_guard lock(bob.manager.mutex);
        EXPECT_TRUE(bob.manager.established.empty()) << "nobody answered yet";
    }
    EXPECT_FALSE(alice.local->acceptIncomingCall(*aliceToken))
        << "an outgoing call waits for no answer";
    EXPECT_FALSE(bob.link->acceptIncomingCall(bobToken)) << "the caller's leg cannot answer";
    EXPECT_FALSE(bob.local->acceptIncomingCall("no-such-token"));

    std::thread gui([&] { EXPECT_TRUE(bob.local->acceptIncomingCall(bobToken)); });
    gui.join();
    ASSERT_TRUE(alice.waitEstablished());
    ASSERT_TRUE(bob.waitEstablished());
    EXPECT_FALSE(bob.local->acceptIncomingCall(bobToken)) << "answered once only";
    EXPECT_FALSE(bob.local->rejectIncomingCall(bobToken)) << "too late to refuse";

    ASSERT_TRUE(alice.manager.clearCall(*aliceToken, EndReason::LocalUser, true));
    ASSERT_TRUE(bob.waitCleared());
    EXPECT_EQ(bob.clearedRecord()->reason, EndReason::RemoteUser);
}

TEST_F(CallModel, AHangUpCrossingTheAnswerLeavesAnAnsweredCall)
{
    // The user hangs up just as the answer goes out: the Connect has left, the call is
    // cleared before it got as far as established, and it counts as answered.
    auto aliceToken = alice.manager.setUpCall("pc:*", "bob");
    ASSERT_TRUE(aliceToken);
    const std::string bobToken = bob.incomingToken();
    ASSERT_FALSE(bobToken.empty());
    bob.link->afterConnect = [&](LinkConnection&) {
        bob.manager.clearCall(bobToken, EndReason::LocalUser, false);
    };
    ASSERT_TRUE(bob.local->acceptIncomingCall(bobToken));
    ASSERT_TRUE(bob.waitCleared());
    const auto record = bob.clearedRecord();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->reason, EndReason::LocalUser);
    EXPECT_FALSE(record->established);
    EXPECT_TRUE(record->answered);
    ASSERT_TRUE(alice.waitCleared());
    bob.link->afterConnect = nullptr;
}

TEST_F(CallModel, CallbacksMayLockAnswerAndClearTheirOwnCall)
{
    // The client's auto-answer: inside OnAnswerCall it looks the call up with its lock,
    // then accepts through the local endpoint, still inside the callback.
    std::atomic<bool> foundInside{false};
    bob.manager.answerPolicy = [&](Connection& connection, const std::string&) {
        auto locked = bob.manager.findCallWithLock(connection.callToken());
        foundInside = static_cast<bool>(locked) && !locked->isEstablished();
        locked.reset();
        EXPECT_TRUE(bob.local->acceptIncomingCall(connection.callToken()));
        return AnswerCallResponse::Pending;
    };
    // Clearing from inside OnEstablishedCall, waiting: must not wait for itself.
    std::atomic<bool> clearedInside{false};
    alice.manager.onEstablished = [&](Call& call) {
        clearedInside = alice.manager.clearCall(call.token(), EndReason::DurationLimit, true);
    };
    ASSERT_TRUE(alice.manager.setUpCall("pc:*", "bob"));
    ASSERT_TRUE(alice.waitCleared());
    ASSERT_TRUE(bob.waitCleared());
    EXPECT_TRUE(foundInside);
    EXPECT_TRUE(clearedInside);
    EXPECT_TRUE(alice.clearedRecord()->established);
    EXPECT_EQ(alice.clearedRecord()->reason, EndReason::DurationLimit);
    EXPECT_EQ(bob.clearedRecord()->reason, EndReason::RemoteUser);
}

TEST_F(CallModel, PendingCallRejectedThroughTheLocalEndpoint)
{
    ASSERT_TRUE(alice.manager.setUpCall("pc:*", "bob"));
    const std::string bobToken = bob.incomingToken();
    ASSERT_TRUE(bob.local->rejectIncomingCall(bobToken, EndReason::AnswerDenied));
    ASSERT_TRUE(alice.waitCleared());
    ASSERT_TRUE(bob.waitCleared());
    EXPECT_EQ(bob.clearedRecord()->reason, EndReason::AnswerDenied);
    EXPECT_EQ(alice.clearedRecord()->reason, EndReason::Refusal);
}

TEST_F(CallModel, SecondCallWhileBusyIsRefusedAndFirstGoesOn)
{
    // The client's policy: one call at a time; a second one is refused from inside
    // OnAnswerCall through the local endpoint.
    std::atomic<int> current{0};
    bob.manager.answerPolicy = [&](Connection& connection, const std::string&) {
        if (current++ > 0) {
            bob.local->rejectIncomingCall(connection.callToken(), EndReason::LocalBusy);
            return AnswerCallResponse::Pending;
        }
        return AnswerCallResponse::AnswerNow;
    };
    auto first = alice.manager.setUpCall("pc:*", "bob");
    ASSERT_TRUE(alice.waitEstablished());
    auto second = alice.manager.setUpCall("pc:*", "bob");
    ASSERT_TRUE(second);
    ASSERT_TRUE(alice.waitCleared());
    auto record = alice.clearedRecord();
    EXPECT_EQ(record->token, *second);
    EXPECT_EQ(record->reason, EndReason::RemoteBusy);
    ASSERT_TRUE(bob.waitCleared());
    EXPECT_EQ(bob.clearedRecord()->reason, EndReason::LocalBusy);

    auto locked = alice.manager.findCallWithLock(*first);
    ASSERT_TRUE(locked);
    EXPECT_TRUE(locked->isEstablished());
    EXPECT_FALSE(locked->isClearing());
}

TEST_F(CallModel, CallerGivingUpBeforeTheAnswerIsCallerAbort)
{
    auto token = alice.manager.setUpCall("pc:*", "bob");
    ASSERT_FALSE(bob.incomingToken().empty());
    ASSERT_TRUE(alice.manager.clearCall(*token, EndReason::LocalUser));
    ASSERT_TRUE(bob.waitCleared());
    EXPECT_EQ(bob.clearedRecord()->reason, EndReason::CallerAbort);
    ASSERT_TRUE(alice.waitCleared());
    EXPECT_EQ(alice.clearedRecord()->reason, EndReason::LocalUser);
}

TEST_F(CallModel, AcceptAfterTheCallerGaveUpAnswersNothing)
{
    // The client waits before auto-answering, on the engine's thread; the caller hangs
    // up meanwhile.
    std::atomic<bool> accepted{false};
    std::atomic<bool> callerGone{false};
    bob.manager.answerPolicy = [&](Connection& connection, const std::string&) {
        bob.manager.waitUntil([&] { return callerGone.load(); });
        accepted = bob.local->acceptIncomingCall(connection.callToken());
        return AnswerCallResponse::Pending;
    };
    auto token = alice.manager.setUpCall("pc:*", "bob");
    ASSERT_TRUE(token);
    ASSERT_TRUE(bob.manager.waitUntil([&] { return !bob.manager.answerCallers.empty(); }));
    ASSERT_TRUE(alice.manager.clearCall(*token, EndReason::LocalUser, true));
    {
        std::lock_guard lock(bob.manager.mutex);
        callerGone = true;
    }
    bob.manager.changed.notify_all();
    ASSERT_TRUE(bob.waitCleared());
    EXPECT_EQ(bob.clearedRecord()->reason, EndReason::CallerAbort);
    EXPECT_FALSE(bob.clearedRecord()->established);
    EXPECT_FALSE(accepted) << "a clearing call cannot be accepted";
    std::lock_guard lock(bob.manager.mutex);
    EXPECT_TRUE(bob.manager.established.empty());
}

TEST_F(CallModel, BothSidesClearingAtOnceEndCleanly)
{
    bob.manager.answerNow();
    for (std::size_t round = 1; round <= 20; ++round) {
        auto aliceToken = alice.manager.setUpCall("pc:*", "bob");
        ASSERT_TRUE(aliceToken);
        ASSERT_TRUE(alice.waitEstablished(round));
        ASSERT_TRUE(bob.waitEstablished(round));
        std::string bobToken;
        {
            std::lock_guard lock(bob.manager.mutex);
            bobToken = bob.manager.established.back();
        }
        std::thread other([&] { bob.manager.clearCall(bobToken, EndReason::LocalUser, true); });
        alice.manager.clearCall(*aliceToken, EndReason::LocalUser, true);
        other.join();
        ASSERT_TRUE(alice.waitCleared(round));
        ASSERT_TRUE(bob.waitCleared(round));
        for (auto* side : {&alice, &bob}) {
            std::lock_guard lock(side->manager.mutex);
            const auto reason = side->manager.cleared.back().reason;
            EXPECT_TRUE(reason == EndReason::LocalUser || reason == EndReason::RemoteUser)
                << endReasonText(reason);
        }
    }
    EXPECT_TRUE(waitNoCalls(alice.manager));
    EXPECT_TRUE(waitNoCalls(bob.manager));
}

TEST_F(CallModel, RefusedIncomingConnectionIsNoAccept)
{
    bob.manager.incomingPolicy = [](Connection&) { return false; };
    ASSERT_TRUE(alice.manager.setUpCall("pc:*", "bob"));
    ASSERT_TRUE(bob.waitCleared());
    EXPECT_EQ(bob.clearedRecord()->reason, EndReason::NoAccept);
    ASSERT_TRUE(alice.waitCleared());
    EXPECT_EQ(alice.clearedRecord()->reason, EndReason::Refusal);
    std::lock_guard lock(bob.manager.mutex);
    EXPECT_TRUE(bob.manager.answerCallers.empty()) << "a refused connection is not answered";
}

TEST_F(CallModel, UnknownPartiesAndAddressesFailCleanly)
{
    EXPECT_FALSE(alice.manager.setUpCall("sip:*", "bob")) << "no such originating endpoint";
    EXPECT_FALSE(alice.manager.setUpCall("pc:*", "")) << "empty destination";
    EXPECT_FALSE(alice.manager.setUpCall("pc:*", "   ")) << "blank destination";
    EXPECT_FALSE(alice.manager.setUpCall("pc:*", std::string(Manager::MaxAddressLength + 1, 'x')));
    EXPECT_EQ(alice.manager.callCount(), 0u);

    // Nobody called "nobody" on the network: the leg cannot be set up.
    auto token = alice.manager.setUpCall("pc:*", "nobody");
    ASSERT_TRUE(token);
    ASSERT_TRUE(alice.waitCleared());
    EXPECT_EQ(alice.clearedRecord(*token)->reason, EndReason::ConnectFail);

    // An address no route takes.
    alice.manager.routes().clear();
    token = alice.manager.setUpCall("pc:*", "bob");
    ASSERT_TRUE(token);
    ASSERT_TRUE(alice.waitCleared(2));
    EXPECT_EQ(alice.clearedRecord(*token)->reason, EndReason::NoEndPoint);

    // A prefixed destination goes straight to its endpoint, without routes.
    bob.manager.answerNow();
    token = alice.manager.setUpCall("pc:*", "test:bob");
    ASSERT_TRUE(token);
    EXPECT_TRUE(alice.waitEstablished());
    EXPECT_TRUE(waitNoCalls(alice.manager, 1)) << "only the established call is left";
}

TEST_F(CallModel, FindWithLockWhileTheCallClears)
{
    auto [aliceToken, bobToken] = establish();
    std::atomic<bool> stop{false};
    std::atomic<int> seen{0};
    std::atomic<int> gone{0};
    std::thread reader([&] {
        while (!stop) {
            if (auto locked = alice.manager.findCallWithLock(aliceToken)) {
                // Everything stays readable while held.
                EXPECT_EQ(locked->token(), aliceToken);
                auto text = locked->partyB();
                auto legs = locked->connections();
                EXPECT_EQ(legs.size(), 2u);
                (void)text;
                ++seen;
            } else {
                ++gone;
            }
        }
    });
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(alice.manager.clearCall(aliceToken, EndReason::LocalUser, true));
    EXPECT_TRUE(waitNoCalls(alice.manager));
    std::this_thread::sleep_for(20ms);
    stop = true;
    reader.join();
    EXPECT_GT(seen.load(), 0);
    EXPECT_GT(gone.load(), 0) << "after clearing the call is no longer found";
    EXPECT_EQ(alice.clearedRecord()->reason, EndReason::LocalUser);
}

TEST_F(CallModel, HolderOfTheLockCanClearWithoutDeadlock)
{
    auto [aliceToken, bobToken] = establish();
    auto locked = alice.manager.findCallWithLock(aliceToken);
    ASSERT_TRUE(locked);
    // Waiting while holding the lock would deadlock: the manager does not wait then.
    EXPECT_TRUE(alice.manager.clearCall(aliceToken, EndReason::LocalUser, true));
    auto call = locked.share();
    locked.reset();
    EXPECT_TRUE(call->waitForCleared(5s));
    EXPECT_EQ(call->endReason(), EndReason::LocalUser);
    EXPECT_TRUE(call->isCleared());
}

TEST_F(CallModel, MediaStreamsOpenCloseAndCloseWithTheCall)
{
    auto [aliceToken, bobToken] = establish();
    auto call = alice.manager.findCall(aliceToken);
    ASSERT_TRUE(call);
    auto local = std::dynamic_pointer_cast<LocalConnection>(call->localConnection());
    ASSERT_TRUE(local);
    auto g711 = MediaFormatRegistry::global().find(format::G711ALaw);
    auto h264 = MediaFormatRegistry::global().find(format::H264High);
    ASSERT_TRUE(g711 && h264);

    auto microphone = local->openMediaStream(*g711, AudioSessionId, true);
    auto speaker = local->openMediaStream(*g711, AudioSessionId, false);
    auto camera = local->openMediaStream(*h264, VideoSessionId, true);
    ASSERT_TRUE(microphone && speaker && camera);
    EXPECT_EQ(local->findMediaStream(AudioSessionId, true), microphone);
    EXPECT_EQ(local->findMediaStream(AudioSessionId, false), speaker);
    EXPECT_EQ(local->findMediaStream(MediaType::Video, true), camera);
    EXPECT_EQ(local->findMediaStream(MediaType::Video, false), nullptr);
    EXPECT_EQ(local->mediaStreams().size(), 3u);

    // The network leg of the test endpoint makes no streams.
    EXPECT_EQ(call->networkConnection()->openMediaStream(*g711, AudioSessionId, true), nullptr);

    // A stream the manager refuses is closed again and not kept.
    alice.manager.openPolicy = [](Connection&, MediaStream& stream) {
        return stream.mediaFormat().mediaType() != MediaType::H224;
    };
    auto fecc = MediaFormatRegistry::global().find(format::Fecc);
    auto refused = local->openMediaStream(*fecc, DataSessionId, true);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(local->mediaStreams().size(), 3u);

    // A stream whose device fails to open is not offered to the manager.
    local->failStreamOpen = true;
    EXPECT_EQ(local->openMediaStream(*h264, VideoSessionId, false), nullptr);
    local->failStreamOpen = false;

    EXPECT_TRUE(local->closeMediaStream(camera));
    EXPECT_FALSE(local->closeMediaStream(camera)) << "closed once";
    EXPECT_FALSE(camera->isOpen());
    {
        std::lock_guard lock(alice.manager.mutex);
        EXPECT_EQ(alice.manager.openedStreams.size(), 3u);
        EXPECT_EQ(alice.manager.closedStreams.size(), 1u);
    }

    ASSERT_TRUE(alice.manager.clearCall(aliceToken, EndReason::LocalUser, true));
    EXPECT_FALSE(microphone->isOpen());
    EXPECT_FALSE(speaker->isOpen());
    EXPECT_EQ(static_cast<CountingStream&>(*microphone).closed.load(), 1);
    EXPECT_TRUE(local->mediaStreams().empty());
    EXPECT_EQ(local->releases.load(), 1);
    {
        std::lock_guard lock(alice.manager.mutex);
        EXPECT_EQ(alice.manager.closedStreams.size(), 3u);
    }
    // A released connection opens nothing more.
    EXPECT_EQ(local->openMediaStream(*g711, AudioSessionId, true), nullptr);
}

TEST_F(CallModel, UserInputCrossesIntact)
{
    auto [aliceToken, bobToken] = establish();
    auto call = alice.manager.findCall(aliceToken);
    ASSERT_TRUE(call);
    EXPECT_FALSE(call->localConnection()->sendUserInputString("1")) << "local legs send nothing";
    ASSERT_TRUE(call->networkConnection()->sendUserInputString("123#*.@"));
    ASSERT_TRUE(bob.manager.waitUntil([&] { return !bob.manager.userInput.empty(); }));
    std::lock_guard lock(bob.manager.mutex);
    EXPECT_EQ(bob.manager.userInput, std::vector<std::string>{"123#*.@"});
}

TEST(CallForwarding, LegIsReplacedAndTheFirstFarEndReleased)
{
    LinkNetwork network;
    Terminal alice(network, "alice");
    Terminal bob(network, "bob");
    Terminal carol(network, "carol");
    carol.manager.answerNow();

    auto token = alice.manager.setUpCall("pc:*", "bob");
    ASSERT_TRUE(token);
    ASSERT_FALSE(bob.incomingToken().empty());
    auto call = alice.manager.findCall(*token);
    ASSERT_TRUE(call);
    auto toBob = call->networkConnection();
    toBob->forwardCall("test:carol");

    ASSERT_TRUE(carol.waitEstablished());
    ASSERT_TRUE(alice.waitEstablished());
    ASSERT_TRUE(bob.waitCleared());
    EXPECT_EQ(bob.clearedRecord()->reason, EndReason::CallerAbort);
    EXPECT_EQ(call->partyB(), "carol display [carol]");
    EXPECT_NE(call->networkConnection(), toBob);
    EXPECT_TRUE(toBob->isReleased());
    EXPECT_EQ(toBob->endReason(), EndReason::CallForwarded);
    {
        std::lock_guard lock(alice.manager.mutex);
        ASSERT_EQ(alice.manager.forwarded.size(), 1u);
        EXPECT_EQ(alice.manager.forwarded.front(), *token + " test:carol");
    }

    ASSERT_TRUE(carol.manager.clearCall(carol.manager.callTokens().at(0), EndReason::LocalUser));
    ASSERT_TRUE(alice.waitCleared());
    EXPECT_EQ(alice.clearedRecord()->reason, EndReason::RemoteUser);
}

TEST(CallShutDown, DestroyingAManagerClearsItsCalls)
{
    LinkNetwork network;
    Terminal alice(network, "alice");
    std::weak_ptr<Call> watched;
    {
        Terminal bob(network, "bob");
        bob.manager.answerNow();
        auto token = alice.manager.setUpCall("pc:*", "bob");
        ASSERT_TRUE(token);
        ASSERT_TRUE(alice.waitEstablished());
        watched = alice.manager.findCall(*token);
        bob.manager.shutDown();
        EXPECT_EQ(bob.manager.callCount(), 0u);
        ASSERT_EQ(bob.manager.cleared.size(), 1u);
        EXPECT_EQ(bob.manager.cleared.front().reason, EndReason::LocalUser);
        EXPECT_FALSE(bob.manager.setUpCall("pc:*", "alice")) << "no calls after shut-down";
        EXPECT_EQ(bob.manager.findEndPoint("pc"), nullptr);
    }
    ASSERT_TRUE(alice.waitCleared());
    EXPECT_EQ(alice.clearedRecord()->reason, EndReason::RemoteUser);
    EXPECT_TRUE(waitNoCalls(alice.manager));
    for (int i = 0; i < 500 && !watched.expired(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(watched.expired());
}

TEST(CallLoad, ManySequentialAndParallelCallsLeaveNothingBehind)
{
    LinkNetwork network;
    Terminal alice(network, "alice");
    Terminal bob(network, "bob");
    bob.manager.answerNow();
    std::vector<std::weak_ptr<Call>> watched;
    const int threadsBefore = threadCount();
    constexpr int Calls = 40;
    for (int i = 0; i < Calls; ++i) {
        auto token = alice.manager.setUpCall("pc:*", "bob");
        ASSERT_TRUE(token);
        watched.push_back(alice.manager.findCall(*token));
        if (i % 2 == 0) {
            ASSERT_TRUE(alice.waitEstablished(static_cast<std::size_t>(i / 2 + 1)));
        }
        alice.manager.clearCall(*token, EndReason::LocalUser, i % 4 == 0);
    }
    ASSERT_TRUE(alice.waitCleared(Calls));
    // A call cleared before its set-up ran never reached bob, and one cleared before bob
    // handled it never reached bob's OnIncomingConnection; every one that reached bob clears.
    EXPECT_TRUE(waitNoCalls(bob.manager));
    {
        std::lock_guard lock(bob.manager.mutex);
        EXPECT_GE(bob.manager.cleared.size(), bob.manager.incoming.size());
    }
    {
        std::lock_guard lock(alice.manager.mutex);
        EXPECT_GE(alice.manager.established.size(), static_cast<std::size_t>(Calls / 2));
    }
    EXPECT_TRUE(waitNoCalls(alice.manager));
    EXPECT_TRUE(waitNoCalls(bob.manager));
    for (int i = 0; i < 500; ++i) {
        if (std::all_of(watched.begin(), watched.end(), [](auto& w) { return w.expired(); })) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(std::all_of(watched.begin(), watched.end(), [](auto& w) { return w.expired(); }));
    // A call's thread may still be on its way out just after the call is gone.
    for (int i = 0; i < 500 && threadCount() != threadsBefore; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(threadCount(), threadsBefore) << "every call thread has ended";
    std::lock_guard lock(bob.manager.mutex);
    for (const auto& record : bob.manager.cleared) {
        EXPECT_TRUE(record.reason == EndReason::RemoteUser ||
                    record.reason == EndReason::CallerAbort)
            << endReasonText(record.reason);
    }
}

} // namespace
} // namespace voip::test
