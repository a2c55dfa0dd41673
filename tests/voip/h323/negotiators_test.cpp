// The H.245 procedures of a call driven through their link alone: master/slave
// determination, capability exchange, the round trip and user input, with no sockets and
// timers that expire when the test says; and the transport their messages take.

#include <deque>
#include <optional>

#include <gtest/gtest.h>

#include "voip/h245/capabilities.h"
#include "voip/h245/message.h"
#include "voip/h323/capabilityexchange.h"
#include "voip/h323/h245transport.h"
#include "voip/h323/masterslave.h"
#include "voip/h323/roundtrip.h"
#include "voip/h323/userinput.h"

#include "tests/voip/h323/fakelink.h"

namespace {

using namespace voip;
using namespace voip::h323;
using kxtest::FakeLink;
using std::chrono::milliseconds;

// --- master/slave determination ---

/// One side: its link, its numbers in turn, and what it decided.
struct MsdSide
{
    explicit MsdSide(std::vector<std::uint32_t> numbers)
        : numbers(std::move(numbers))
        , msd(link, milliseconds(30000), [this] { return this->numbers.at(drawn++); },
              [this](bool master) { decisions.push_back(master); })
    {}
    /// Hands one message of ours to `peer`'s procedure.
    void deliverTo(MsdSide& peer)
    {
        const asn::Value message = link.take();
        switch (FakeLink::idOf(message)) {
        case h245::MessageId::MasterSlaveDetermination:
            return peer.msd.onRequest(message);
        case h245::MessageId::MasterSlaveDeterminationAck:
            return peer.msd.onAck(message);
        case h245::MessageId::MasterSlaveDeterminationReject:
            return peer.msd.onReject();
        default:
            ADD_FAILURE() << "not a determination message";
        }
    }

    FakeLink link;
    std::vector<std::uint32_t> numbers;
    std::size_t drawn = 0;
    std::vector<bool> decisions;
    MasterSlave msd;
};

/// Carries messages both ways until neither side has any left.
void exchange(MsdSide& a, MsdSide& b)
{
    for (int guard = 0; guard < 100 && (!a.link.sent.empty() || !b.link.sent.empty()); ++guard) {
        if (!a.link.sent.empty())
            a.deliverTo(b);
        if (!b.link.sent.empty())
            b.deliverTo(a);
    }
}

TEST(MasterSlave, TwoSidesStartingTogetherAgreeOnOneMasterAndStopTheirTimers)
{
    // Master is the side whose number the other's exceeds by less than 2^23 (modulo 2^24).
    for (auto [ours, theirs, weWin] : {std::tuple{50u, 100u, true}, {100u, 50u, false},
                                       {0xFFFFF0u, 0x10u, true}, {0x10u, 0xFFFFF0u, false}}) {
        MsdSide a({ours});
        MsdSide b({theirs});
        a.msd.start();
        b.msd.start();
        exchange(a, b);
        ASSERT_TRUE(a.msd.decided() && b.msd.decided()) << ours << " vs " << theirs;
        EXPECT_EQ(a.msd.master(), weWin);
        EXPECT_NE(a.msd.master(), b.msd.master());
        EXPECT_EQ(a.decisions, std::vector<bool>{weWin});
        EXPECT_FALSE(a.link.anyTimerRunning() || b.link.anyTimerRunning());
        EXPECT_FALSE(a.link.failed || b.link.failed);
    }
}

TEST(MasterSlave, NumbersThatDecideNothingAreDrawnAfreshUntilTheyDo)
{
    // Equal, then 2^23 apart: both refused; the third numbers decide.
    MsdSide a({7, 0x10, 400});
    MsdSide b({7, 0x800010, 500});
    a.msd.start();
    b.msd.start();
    exchange(a, b);
    ASSERT_TRUE(a.msd.decided() && b.msd.decided());
    EXPECT_TRUE(a.msd.master());
    EXPECT_FALSE(b.msd.master());
    EXPECT_EQ(a.drawn, 3u);
    EXPECT_EQ(b.drawn, 3u);
}

TEST(MasterSlave, ThePeersTerminalTypeDecidesBeforeTheNumbers)
{
    for (auto [type, weAreMaster] : {std::pair{190, false}, {40, true}}) {
        MsdSide we({5});
        h245::MasterSlaveDetermination request;
        request.terminalType = static_cast<std::uint8_t>(type);
        request.statusDeterminationNumber = 5;
        we.msd.onRequest(h245::buildMasterSlaveDetermination(request));
        const asn::Value ack = we.link.take();
        ASSERT_EQ(FakeLink::idOf(ack), h245::MessageId::MasterSlaveDeterminationAck);
        // The ack tells the peer what it is.
        EXPECT_EQ(*h245::readMasterSlaveDeterminationAck(ack),
                  weAreMaster ? h245::MasterSlaveDecision::Slave : h245::MasterSlaveDecision::Master);
        EXPECT_FALSE(we.msd.decided()) << "decided when the peer acknowledges";
        EXPECT_TRUE(we.link.runningTimer().running);
        we.msd.onAck(h245::buildMasterSlaveDeterminationAck(
            weAreMaster ? h245::MasterSlaveDecision::Master : h245::MasterSlaveDecision::Slave));
        EXPECT_TRUE(we.msd.decided());
        EXPECT_EQ(we.msd.master(), weAreMaster);
        EXPECT_TRUE(we.link.sent.empty()) << "an answered request is not acknowledged twice";
    }
}

TEST(MasterSlave, RefusalsBeyondThreeRetriesOrSilenceEndTheCall)
{
    MsdSide we({1, 2, 3, 4, 5});
    we.msd.start();
    for (int refusal = 1; refusal <= 3; ++refusal) {
        we.link.sent.clear();
        we.msd.onReject();
        ASSERT_EQ(we.link.sent.size(), 1u);
        EXPECT_EQ(h245::readMasterSlaveDetermination(we.link.sent.front())->statusDeterminationNumber,
                  std::uint32_t(refusal + 1));
        EXPECT_FALSE(we.link.failed);
    }
    we.msd.onReject();
    EXPECT_EQ(we.link.failed, EndReason::TransportFail);

    MsdSide silent({9});
    silent.link.ready = false; // the time runs from when the request can go out
    silent.msd.start();
    EXPECT_FALSE(silent.link.anyTimerRunning());
    silent.link.ready = true;
    silent.msd.transportReady();
    auto& timer = silent.link.runningTimer();
    EXPECT_EQ(timer.running, milliseconds(30000));
    silent.link.expire(timer);
    EXPECT_EQ(silent.link.failed, EndReason::TransportFail);
}

// --- capability exchange ---

h245::CapabilitySet setOf(std::initializer_list<h245::CapabilityType> types)
{
    h245::CapabilitySet set;
    for (auto type : types) {
        h245::Capability capability;
        capability.type = type;
        set.capabilities.push_back(capability);
    }
    return set;
}

struct Exchange
{
    Exchange()
        : exchange(link, milliseconds(5000), [this] { ++acknowledged; },
                   [this](bool changed) { changes.push_back(changed); })
    {}
    FakeLink link;
    int acknowledged = 0;
    std::vector<bool> changes;
    CapabilityExchange exchange;
};

TEST(CapabilityExchange, OnlyTheAckOfTheLatestSetCounts)
{
    Exchange side;
    side.exchange.offer(setOf({h245::CapabilityType::G711Ulaw}));
    side.exchange.offer(setOf({h245::CapabilityType::G711Ulaw, h245::CapabilityType::G722}));
    ASSERT_EQ(side.link.sent.size(), 2u);
    const auto first = h245::readTerminalCapabilitySet(side.link.sent[0]);
    const auto second = h245::readTerminalCapabilitySet(side.link.sent[1]);
    EXPECT_EQ(second->sequenceNumber, std::uint8_t(first->sequenceNumber + 1));
    EXPECT_EQ(second->capabilities.size(), 2u);

    side.exchange.onAck(h245::buildTerminalCapabilitySetAck(first->sequenceNumber));
    EXPECT_FALSE(side.exchange.acknowledged());
    EXPECT_TRUE(side.link.runningTimer().running);
    side.exchange.onAck(h245::buildTerminalCapabilitySetAck(second->sequenceNumber));
    EXPECT_TRUE(side.exchange.acknowledged());
    EXPECT_EQ(side.acknowledged, 1);
    EXPECT_FALSE(side.link.anyTimerRunning());
}

TEST(CapabilityExchange, ThePeersSetsAreKeptAcknowledgedAndTheirChangesTold)
{
    Exchange side;
    auto theirs = setOf({h245::CapabilityType::G711Alaw});
    theirs.sequenceNumber = 9;
    side.exchange.onSet(h245::buildTerminalCapabilitySet(theirs));
    side.exchange.onSet(h245::buildTerminalCapabilitySet(theirs));
    auto changed = setOf({h245::CapabilityType::G711Alaw, h245::CapabilityType::H264});
    changed.sequenceNumber = 9;
    side.exchange.onSet(h245::buildTerminalCapabilitySet(changed));
    EXPECT_EQ(side.changes, (std::vector<bool>{false, false, true}));
    ASSERT_TRUE(side.exchange.received());
    EXPECT_EQ(side.exchange.remote().capabilities.size(), 2u);
    ASSERT_EQ(side.link.sent.size(), 3u);
    for (const auto& ack : side.link.sent)
        EXPECT_EQ(*h245::readTerminalCapabilitySetAck(ack), 9);

    side.exchange.reset();
    EXPECT_FALSE(side.exchange.received());
}

TEST(CapabilityExchange, ARefusedOrUnansweredSetEndsTheCallAsACapabilityFailure)
{
    Exchange refused;
    refused.exchange.offer(setOf({h245::CapabilityType::G711Ulaw}));
    refused.exchange.onReject();
    EXPECT_EQ(refused.link.failed, EndReason::CapabilityExchange);

    Exchange unanswered;
    unanswered.link.ready = false;
    unanswered.exchange.offer(setOf({h245::CapabilityType::G711Ulaw}));
    EXPECT_FALSE(unanswered.link.anyTimerRunning());
    unanswered.exchange.transportReady();
    auto& timer = unanswered.link.runningTimer();
    EXPECT_EQ(timer.running, milliseconds(5000));
    unanswered.link.expire(timer);
    EXPECT_EQ(unanswered.link.failed, EndReason::CapabilityExchange);

    Exchange idle; // nothing offered yet: no time runs
    idle.exchange.transportReady();
    EXPECT_FALSE(idle.link.anyTimerRunning());
}

// --- round trip ---

TEST(RoundTrip, OneRequestAtATimeAndOnlyItsOwnAnswerMeasures)
{
    FakeLink link;
    RoundTrip trip(link, milliseconds(10000), milliseconds(0));
    trip.measure();
    trip.measure();
    ASSERT_EQ(link.sent.size(), 1u) << "a second request waits for the first's answer";
    const auto sequence = *h245::readRoundTripDelaySequence(link.sent.front());
    EXPECT_EQ(FakeLink::idOf(link.sent.front()), h245::MessageId::RoundTripDelayRequest);
    trip.onResponse(h245::buildRoundTripDelayResponse(std::uint8_t(sequence + 1)));
    EXPECT_FALSE(trip.delay());
    trip.onResponse(h245::buildRoundTripDelayResponse(sequence));
    ASSERT_TRUE(trip.delay());
    EXPECT_GE(trip.delay()->count(), 0);
    EXPECT_FALSE(link.anyTimerRunning());
    trip.measure();
    EXPECT_EQ(*h245::readRoundTripDelaySequence(link.sent.back()), std::uint8_t(sequence + 1));

    // The peer's requests are answered with their own number.
    link.sent.clear();
    trip.onRequest(h245::buildRoundTripDelayRequest(77));
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(FakeLink::idOf(link.sent.front()), h245::MessageId::RoundTripDelayResponse);
    EXPECT_EQ(*h245::readRoundTripDelaySequence(link.sent.front()), 77);
}

TEST(RoundTrip, TheKeepAliveAsksAtItsIntervalAndASilentPeerEndsTheCall)
{
    FakeLink link;
    RoundTrip trip(link, milliseconds(10000), milliseconds(2000));
    trip.startKeepAlive();
    auto& interval = link.runningTimer();
    EXPECT_EQ(interval.running, milliseconds(2000));
    link.expire(interval);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_TRUE(interval.running) << "the next request is planned";
    FakeLink::Timer* answer = nullptr;
    for (auto* timer : link.timers)
        if (timer != &interval && timer->running)
            answer = timer;
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->running, milliseconds(10000));
    trip.stopKeepAlive();
    EXPECT_FALSE(interval.running);
    link.expire(*answer);
    EXPECT_EQ(link.failed, EndReason::TransportFail);

    FakeLink quiet;
    RoundTrip none(quiet, milliseconds(10000), milliseconds(0));
    none.startKeepAlive();
    EXPECT_FALSE(quiet.anyTimerRunning()) << "no interval, no keep-alive";
}

// --- user input ---

h245::CapabilitySet takesInput(std::initializer_list<const char*> names)
{
    h245::CapabilitySet set;
    for (const char* name : names) {
        h245::Capability capability;
        capability.type = h245::CapabilityType::UserInput;
        capability.userInputName = name;
        set.capabilities.push_back(capability);
    }
    return set;
}

TEST(UserInput, GoesInTheKindTheFarEndTakesAndSignalsOnlyWhatIsASignal)
{
    FakeLink link;
    UserInput text(link, UserInputMode::Alphanumeric, {});
    UserInput signals(link, UserInputMode::Signal, {});
    EXPECT_EQ(text.modeFor(takesInput({"dtmf"})), UserInputMode::Signal);
    EXPECT_EQ(text.modeFor(takesInput({"basicString", "dtmf"})), UserInputMode::Alphanumeric);
    EXPECT_EQ(text.modeFor({}), UserInputMode::Alphanumeric) << "a peer that says nothing";
    EXPECT_EQ(signals.modeFor(takesInput({"iA5String"})), UserInputMode::Alphanumeric);
    EXPECT_EQ(signals.modeFor(takesInput({"generalString", "dtmf"})), UserInputMode::Signal);

    text.send("12#x", {});
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(h245::readUserInputIndication(link.sent.front())->text, "12#x");
    link.sent.clear();
    text.send("12#x", takesInput({"dtmf"}));
    std::string sent;
    for (const auto& message : link.sent) {
        const auto input = h245::readUserInputIndication(message);
        EXPECT_EQ(input->kind, h245::UserInputKind::Signal);
        sent += input->text;
    }
    EXPECT_EQ(sent, "12#") << "x is no signal";
}

TEST(UserInput, TheFarEndsTextAndSignalsAreHandedOnAndNothingElse)
{
    FakeLink link;
    std::vector<std::string> heard;
    UserInput input(link, UserInputMode::Alphanumeric,
                    [&](const std::string& text) { heard.push_back(text); });
    auto indication = [](h245::UserInputKind kind, std::string text) {
        h245::UserInput in;
        in.kind = kind;
        in.text = std::move(text);
        in.duration = 100;
        return h245::buildUserInputIndication(in);
    };
    input.onIndication(indication(h245::UserInputKind::Alphanumeric, "hello"));
    input.onIndication(indication(h245::UserInputKind::Signal, "5"));
    input.onIndication(indication(h245::UserInputKind::Alphanumeric, ""));
    input.onIndication(indication(h245::UserInputKind::SignalUpdate, ""));
    input.onIndication(h245::buildRoundTripDelayRequest(1)); // not user input at all
    EXPECT_EQ(heard, (std::vector<std::string>{"hello", "5"}));
    EXPECT_TRUE(link.sent.empty());
}

// --- the H.245 transport ---

TEST(H245Transport, TunnelledMessagesWaitForASignallingMessageUntilTheFarEndRefusesTunnelling)
{
    H245Transport transport(true);
    EXPECT_TRUE(transport.tunnels()) << "wanted: messages go in the Setup";
    EXPECT_FALSE(transport.tunnelling());
    EXPECT_TRUE(transport.send(h245::buildRoundTripDelayRequest(1)));
    EXPECT_TRUE(transport.send(h245::buildRoundTripDelayRequest(2)));
    EXPECT_FALSE(transport.send(asn::Value{})) << "nothing to encode";
    auto taken = transport.takeTunnelled();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(*h245::readRoundTripDelaySequence(*h245::decodeMessage(taken[1])), 2)
        << "in the order sent";
    EXPECT_FALSE(transport.tunnelledWaiting());

    transport.send(h245::buildRoundTripDelayRequest(3));
    EXPECT_FALSE(transport.decide(false)) << "the far end does not tunnel";
    transport.reset();
    EXPECT_FALSE(transport.tunnelledWaiting());
    // Now messages wait for the H.245 connection, and go in order once it is there.
    transport.send(h245::buildRoundTripDelayRequest(4));
    transport.send(h245::buildRoundTripDelayRequest(5));
    EXPECT_FALSE(transport.tunnelledWaiting());
    std::vector<std::uint8_t> written;
    transport.attach([&](std::span<const std::uint8_t> message) {
        written.push_back(*h245::readRoundTripDelaySequence(*h245::decodeMessage(message)));
    });
    transport.send(h245::buildRoundTripDelayRequest(6));
    EXPECT_EQ(written, (std::vector<std::uint8_t>{4, 5, 6}));

    H245Transport both(true);
    EXPECT_TRUE(both.decide(true));
    EXPECT_TRUE(both.tunnelling());
    H245Transport notWanted(false);
    EXPECT_FALSE(notWanted.tunnels());
    EXPECT_FALSE(notWanted.decide(true)) << "tunnelling needs both sides";
}

TEST(H245Transport, AtMostSoManyMessagesWaitEitherWay)
{
    H245Transport tunnelled(true);
    H245Transport separate(false);
    for (int i = 0; i < 1000; ++i) {
        tunnelled.send(h245::buildRoundTripDelayRequest(std::uint8_t(i)));
        separate.send(h245::buildRoundTripDelayRequest(std::uint8_t(i)));
    }
    EXPECT_EQ(tunnelled.takeTunnelled().size(), 256u);
    std::size_t written = 0;
    separate.attach([&](std::span<const std::uint8_t>) { ++written; });
    EXPECT_EQ(written, 256u);
}

TEST(MessageIds, EveryMessageTheCallActsOnIsAnAlternativeOfTheSchema)
{
    EXPECT_TRUE(h245::unknownMessageIds().empty());
    EXPECT_EQ(h245::kindOf(h245::buildRoundTripDelayRequest(1))->id,
              h245::MessageId::RoundTripDelayRequest);
    EXPECT_EQ(h245::kindOf(h245::buildEndSessionCommand())->id, h245::MessageId::EndSessionCommand);
    EXPECT_EQ(h245::kindOf(h245::newMessage(h245::MessageCategory::Request, "maintenanceLoopRequest"))->id,
              h245::MessageId::Other);
}

} // namespace
