// RAS with a gatekeeper on 127.0.0.1: registration and its keep-alive, a gatekeeper that
// restarts, goes silent or says no, admission by alias and by address, disengage and
// bandwidth, the gatekeeper's own requests, datagrams that are not from it, discovery by
// multicast and proof of a password.

#include "voip/h323/rasclient.h"

#include <thread>

#include <filesystem>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "tests/tools/tshark_util.h"
#include "tests/support/testgatekeeper.h"
#include "voip/h225/message.h"
#include "voip/h225/passwordtoken.h"
#include "voip/h225/schema.h"
#include "tests/support/toolskip.h"
#include "tests/support/eventually.h"

namespace voip::h323 {
namespace {

using namespace std::chrono_literals;
using testutil::TestGatekeeper;

using kxtest::eventually;

RasConfig configFor(const TestGatekeeper& gatekeeper, const std::string& alias,
                    const std::string& e164, std::uint16_t signalPort)
{
    RasConfig config;
    config.gatekeeper = gatekeeper.address();
    config.alias = alias;
    config.e164 = e164;
    config.bindAddress = "127.0.0.1";
    config.callSignalAddress = *h225::IpAddressPort::parse("127.0.0.1", signalPort);
    config.timeout = 500ms;
    config.retries = 1;
    config.retryPause = 200ms;
    config.maxRetryPause = 800ms;
    return config;
}

/// The threads of this process.
std::size_t threadCount()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                         std::filesystem::directory_iterator());
}

TEST(RasClient, RegistersKeepsAliveAndComesBackAfterTheGatekeeperRestarts)
{
    TestGatekeeper gatekeeper;
    gatekeeper.timeToLive = 2;
    std::vector<RasState> seen; // before the client: it tells of its leave too
    std::mutex seenMutex;
    RasClient client(configFor(gatekeeper, "alice", "1001", 1720));
    client.setStateObserver([&](RasState state) {
        std::lock_guard lock(seenMutex);
        seen.push_back(state);
    });
    const auto before = threadCount();
    ASSERT_TRUE(client.start());
    EXPECT_EQ(threadCount(), before + 1) << "one thread of its own, for its event loop";
    ASSERT_EQ(client.waitForRegistration(3s), RasState::Registered) << client.lastReason();
    EXPECT_EQ(client.gatekeeperIdentifier(), "KxTestGK");
    EXPECT_FALSE(client.endpointIdentifier().empty());
    // Discovery first, then registration (a request may come twice on a busy machine).
    const auto received = gatekeeper.received();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.front(), "gatekeeperRequest");
    EXPECT_EQ(received.back(), "registrationRequest");
    ASSERT_TRUE(gatekeeper.lookUp("alice"));
    EXPECT_EQ(gatekeeper.lookUp("1001")->port, 1720);

    // A time to live of 2 s: renewed by lightweight requests before it runs out.
    EXPECT_TRUE(eventually([&] { return gatekeeper.count("registrationRequest") >= 3; }, 4s));
    EXPECT_LE(gatekeeper.count("gatekeeperRequest"), 2u) << "renewals need no discovery";
    EXPECT_EQ(client.state(), RasState::Registered);

    // The gatekeeper restarts and forgets us: the next renewal is refused, and we
    // register afresh.
    const auto discoveries = gatekeeper.count("gatekeeperRequest");
    gatekeeper.forgetAll();
    EXPECT_TRUE(
        eventually([&] { return gatekeeper.count("gatekeeperRequest") > discoveries; }, 4s));
    EXPECT_TRUE(eventually([&] { return gatekeeper.lookUp("alice").has_value(); }));
    // The gatekeeper keeps us as soon as it reads the request; we are registered once
    // its confirmation has come back.
    EXPECT_TRUE(eventually([&] { return client.state() == RasState::Registered; }));

    // Unregistration at exit.
    EXPECT_TRUE(client.unregister());
    EXPECT_EQ(client.state(), RasState::Unregistered);
    EXPECT_FALSE(gatekeeper.lookUp("alice"));
    std::lock_guard lock(seenMutex);
    EXPECT_EQ(seen.front(), RasState::Registered);
    EXPECT_EQ(seen.back(), RasState::Unregistered);
}

TEST(RasClient, ASilentGatekeeperIsTriedAgainAndARefusalSaysWhy)
{
    TestGatekeeper gatekeeper;
    gatekeeper.silent = true;
    RasConfig config = configFor(gatekeeper, "bob", "", 1721);
    // Long enough that the next attempt cannot start before the requests are counted.
    config.retryPause = 1s;
    config.maxRetryPause = 2s;
    std::vector<RasState> seen; // before the client: it tells of its leave too
    std::mutex seenMutex;
    RasClient client(config);
    client.setStateObserver([&](RasState state) {
        std::lock_guard lock(seenMutex);
        seen.push_back(state);
    });
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.start());
    // Said at the first request's time-out (0.5 s), not after its retry's (1.5 s).
    EXPECT_EQ(client.waitForRegistration(3s), RasState::Unreachable);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1200ms);
    EXPECT_EQ(client.lastReason(), "the gatekeeper does not answer");
    // Tried again (one retry, then after a pause a new request) in one state, with when.
    EXPECT_TRUE(eventually([&] { return client.nextAttempt().has_value(); }, 3s));
    EXPECT_EQ(gatekeeper.count("gatekeeperRequest"), 2u) << "one request and one retry";
    EXPECT_TRUE(eventually([&] { return gatekeeper.count("gatekeeperRequest") >= 3; }, 3s));
    {
        std::lock_guard lock(seenMutex);
        EXPECT_EQ(seen, (std::vector<RasState>{RasState::Unreachable})) << "no flip at each try";
    }
    // Back-off: tried again, less and less often, until it answers.
    gatekeeper.silent = false;
    EXPECT_TRUE(eventually([&] { return client.state() == RasState::Registered; }, 5s));

    TestGatekeeper strict;
    strict.rejectRegistrations("securityDenial");
    RasClient refused(configFor(strict, "eve", "", 1722));
    ASSERT_TRUE(refused.start());
    EXPECT_EQ(refused.waitForRegistration(3s), RasState::Rejected);
    EXPECT_EQ(refused.lastReason(), "securityDenial");

    RasConfig nowhere = configFor(gatekeeper, "x", "", 1723);
    nowhere.gatekeeper = "no-such-gatekeeper.invalid";
    RasClient lost(nowhere);
    EXPECT_FALSE(lost.start());
    EXPECT_NE(lost.lastReason().find("does not resolve"), std::string::npos);
}

TEST(RasClient, AdmitsByAliasAndAddressRefusesWithTheReasonAndDisengages)
{
    TestGatekeeper gatekeeper;
    RasClient alice(configFor(gatekeeper, "alice", "1001", 1730));
    RasClient bob(configFor(gatekeeper, "bob", "1002", 1731));
    ASSERT_TRUE(alice.start());
    ASSERT_TRUE(bob.start());
    ASSERT_EQ(alice.waitForRegistration(3s), RasState::Registered);
    ASSERT_EQ(bob.waitForRegistration(3s), RasState::Registered);

    RasCall call;
    call.destinationAlias = "bob";
    call.callReference = 7;
    call.conferenceId = h225::newGuid();
    call.callId = h225::newGuid();
    Admission admission = alice.admit(call);
    ASSERT_TRUE(admission.admitted) << admission.rejectReason;
    ASSERT_TRUE(admission.destination);
    EXPECT_EQ(admission.destination->port, 1731);
    EXPECT_FALSE(admission.gatekeeperRouted);
    call.destinationAlias = "1002"; // by number
    EXPECT_EQ(alice.admit(call).destination->port, 1731);

    // The far end answers, with its own admission.
    RasCall incoming = call;
    incoming.answer = true;
    incoming.sourceAlias = "alice";
    EXPECT_TRUE(bob.admit(incoming).admitted);
    EXPECT_TRUE(alice.changeBandwidth(call, 10240).granted);
    EXPECT_TRUE(alice.disengage(call));
    EXPECT_TRUE(bob.disengage(incoming, "forcedDrop"));

    call.destinationAlias = "carol";
    admission = alice.admit(call);
    EXPECT_FALSE(admission.admitted);
    EXPECT_EQ(admission.rejectReason, "calledPartyNotRegistered");
    call.destinationAlias.clear();
    call.destinationAddress = h225::IpAddressPort::parse("127.0.0.1:1740");
    EXPECT_EQ(alice.admit(call).destination->port, 1740) << "by address, admitted as it is";
    gatekeeper.rejectAdmissions("requestDenied");
    EXPECT_EQ(alice.admit(call).rejectReason, "requestDenied");
    gatekeeper.rejectAdmissions(std::nullopt);
    gatekeeper.silent = true;
    EXPECT_EQ(alice.admit(call).rejectReason, "timeout");
    gatekeeper.silent = false;

    const auto names = gatekeeper.received();
    EXPECT_EQ(std::count(names.begin(), names.end(), "disengageRequest"), 2);
    EXPECT_EQ(std::count(names.begin(), names.end(), "bandwidthRequest"), 1);
}

TEST(RasClient, DelayedDisengagesNeedNoThreadOfTheirOwnAndAreAllSentBeforeTheClientGoes)
{
    TestGatekeeper gatekeeper;
    std::size_t sent = 0;
    {
        RasClient alice(configFor(gatekeeper, "alice", "1001", 1732));
        ASSERT_TRUE(alice.start());
        ASSERT_EQ(alice.waitForRegistration(3s), RasState::Registered);
        // A gatekeeper that does not answer keeps each request waiting for a second.
        gatekeeper.silent = true;
        const auto before = threadCount();
        for (int i = 0; i < 8; ++i) {
            RasCall call;
            call.callId = h225::newGuid();
            alice.disengageLater(call);
        }
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(threadCount(), before) << "no thread per request";
        gatekeeper.silent = false;
        EXPECT_TRUE(eventually([&] { return gatekeeper.count("disengageRequest") >= 8; }, 15s));
        sent = gatekeeper.count("disengageRequest");
        // Calls that end as the client goes are still disengaged, before it unregisters.
        for (int i = 0; i < 3; ++i) {
            RasCall call;
            call.callId = h225::newGuid();
            alice.disengageLater(call);
        }
    }
    EXPECT_GE(gatekeeper.count("disengageRequest"), sent + 3);
    const auto names = gatekeeper.received();
    const auto lastDrq = std::find(names.rbegin(), names.rend(), "disengageRequest");
    const auto urq = std::find(names.rbegin(), names.rend(), "unregistrationRequest");
    ASSERT_NE(urq, names.rend());
    EXPECT_LT(urq, lastDrq) << "the client unregistered after its last disengage";
}

TEST(RasClient, OnALoopGivenItAddsNoThreadAndTakesLeaveBeforeTheLoopStops)
{
    TestGatekeeper gatekeeper;
    auto loop = std::make_unique<asio::io_context>();
    auto work = asio::make_work_guard(*loop);
    std::thread thread([&] { loop->run(); });
    auto alice = std::make_shared<RasClient>(configFor(gatekeeper, "alice", "1001", 1734), *loop);
    const auto before = threadCount();
    ASSERT_TRUE(alice->start());
    EXPECT_FALSE(alice->start()) << "started once";
    EXPECT_EQ(threadCount(), before) << "the loop given is the only one";
    ASSERT_EQ(alice->waitForRegistration(3s), RasState::Registered) << alice->lastReason();

    // Asked from that loop, a request is answered there; asked from elsewhere, it waits.
    RasCall call;
    call.callId = h225::newGuid();
    call.destinationAlias = "alice";
    std::promise<std::pair<bool, bool>> answered; // admitted, on the loop
    asio::post(*loop, [&] {
        alice->admit(call, [&](const Admission& admission) {
            answered.set_value({admission.admitted, loop->get_executor().running_in_this_thread()});
        });
    });
    auto outcome = answered.get_future();
    ASSERT_EQ(outcome.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(outcome.get(), std::make_pair(true, true));
    EXPECT_TRUE(alice->admit(call).admitted);

    // Leave is taken without blocking the loop: the call that just ended is disengaged,
    // then the client unregisters, and only then is it closed.
    alice->disengageLater(call);
    std::promise<void> closed;
    asio::post(*loop, [&] { alice->closeLater([&] { closed.set_value(); }); });
    ASSERT_EQ(closed.get_future().wait_for(3s), std::future_status::ready);
    EXPECT_TRUE(alice->closed());
    const auto names = gatekeeper.received();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[names.size() - 2], "disengageRequest");
    EXPECT_EQ(names.back(), "unregistrationRequest");
    EXPECT_FALSE(gatekeeper.lookUp("alice"));
    EXPECT_EQ(alice->state(), RasState::Unregistered);

    // Closed, it holds nothing of the loop: the loop may go first.
    bool toldAtOnce = false;
    alice->closeLater([&] { toldAtOnce = true; });
    EXPECT_TRUE(toldAtOnce);
    EXPECT_FALSE(alice->admit(call).admitted);
    EXPECT_FALSE(alice->start());
    work.reset();
    thread.join();
    loop.reset();
    alice.reset();
}

TEST(RasClient, AdmissionsAndBandwidthRequestsWaitWithoutAThreadEach)
{
    TestGatekeeper gatekeeper;
    RasClient alice(configFor(gatekeeper, "alice", "1001", 1733));
    ASSERT_TRUE(alice.start());
    ASSERT_EQ(alice.waitForRegistration(3s), RasState::Registered);
    RasCall call;
    call.callId = h225::newGuid();
    call.destinationAlias = "alice";
    call.bandwidth = 1280;

    // Eight requests to a gatekeeper that does not answer: sent, tried once more, and
    // each told it had no answer, once, with no thread waiting for any of them.
    gatekeeper.silent = true;
    const auto before = threadCount();
    std::atomic<int> told{0}, unanswered{0};
    for (int i = 0; i < 6; ++i)
        alice.admit(call, [&](const Admission& admission) {
            ++told;
            unanswered += admission.rejectReason == "timeout";
        });
    for (int i = 0; i < 2; ++i)
        alice.changeBandwidth(call, 2560, [&](const RasClient::BandwidthAnswer& answer) {
            ++told;
            unanswered += !answer.answered;
        });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(threadCount(), before) << "no thread per request";
    EXPECT_TRUE(eventually([&] { return told == 8; }, 5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(told, 8);
    EXPECT_EQ(unanswered, 8);
    EXPECT_EQ(gatekeeper.count("admissionRequest"), 12u);
    EXPECT_EQ(gatekeeper.count("bandwidthRequest"), 4u);

    // Answered again: the answer is the gatekeeper's; the same call waits no longer than
    // the answer takes.
    gatekeeper.silent = false;
    ASSERT_TRUE(eventually([&] { return alice.state() == RasState::Registered; }, 5s));
    std::promise<Admission> admitted;
    alice.admit(call, [&](const Admission& admission) { admitted.set_value(admission); });
    auto answer = admitted.get_future();
    ASSERT_EQ(answer.wait_for(400ms), std::future_status::ready);
    EXPECT_TRUE(answer.get().admitted);
}

TEST(RasClient, AnswersTheGatekeepersRequestsAndIgnoresEveryoneElse)
{
    TestGatekeeper gatekeeper;
    RasClient client(configFor(gatekeeper, "alice", "", 1750));
    ASSERT_TRUE(client.start());
    ASSERT_EQ(client.waitForRegistration(3s), RasState::Registered);

    ASSERT_TRUE(gatekeeper.question("alice"));
    EXPECT_TRUE(eventually([&] { return gatekeeper.count("infoRequestResponse") == 1; }));
    // Unregistered by the gatekeeper: confirmed, then registered again.
    const auto before = gatekeeper.count("registrationRequest");
    ASSERT_TRUE(gatekeeper.unregister("alice"));
    EXPECT_TRUE(eventually([&] { return gatekeeper.count("unregistrationConfirm") == 1; }));
    EXPECT_TRUE(eventually([&] { return gatekeeper.count("registrationRequest") > before; }));
    EXPECT_TRUE(eventually([&] { return client.state() == RasState::Registered; }));

    // Another sender: a forged unregistration, a forged confirm, garbage, an oversized
    // datagram.  All dropped and counted; the registration stands.
    asio::io_context io;
    asio::ip::udp::socket spoofer(io,
                                  asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const asio::ip::udp::endpoint target(asio::ip::make_address("127.0.0.1"), client.localPort());
    asn::Value urq(*h225::rasMessageType());
    auto& body = urq.choose("unregistrationRequest");
    body.field("requestSeqNum").setInteger(1);
    h225::setTransportAddress(body.field("callSignalAddress").append(),
                              *h225::IpAddressPort::parse("127.0.0.1:1750"));
    auto bytes = h225::encodeRasMessage(urq);
    ASSERT_TRUE(bytes.ok());
    const auto ignoredBefore = client.ignored();
    spoofer.send_to(asio::buffer(*bytes), target);
    spoofer.send_to(asio::buffer(std::string("\xff\xff\xff garbage")), target);
    spoofer.send_to(asio::buffer(std::vector<std::uint8_t>(60000, 0x27)), target);
    EXPECT_TRUE(eventually([&] { return client.ignored() >= ignoredBefore + 3; }));
    EXPECT_EQ(client.state(), RasState::Registered);
    EXPECT_EQ(gatekeeper.count("unregistrationConfirm"), 1u);
}

/// Whether `datagram` holds `octets` somewhere.
bool holds(const std::vector<std::uint8_t>& datagram, const std::vector<std::uint8_t>& octets)
{
    return std::search(datagram.begin(), datagram.end(), octets.begin(), octets.end()) !=
           datagram.end();
}

/// The RAS messages the gatekeeper received (or sent) named `name`, decoded, in order.
std::vector<asn::Value> messages(const TestGatekeeper& gatekeeper, const std::string& name,
                                 bool sent = false)
{
    std::vector<asn::Value> found;
    for (const auto& datagram : gatekeeper.datagrams()) {
        auto decoded = h225::decodeRasMessage(datagram.bytes);
        if (datagram.sent == sent && decoded && decoded->is(name))
            found.push_back(*decoded);
    }
    return found;
}

TEST(RasClient, OffersTraversalAndTakesEachAnnouncedCallOnce)
{
    TestGatekeeper gatekeeper;
    gatekeeper.serveTraversal();
    gatekeeper.traversalTimeToLive = 6;
    RasClient client(configFor(gatekeeper, "alice", "", 1780));
    std::vector<h225::IncomingCallIndication> announced;
    std::mutex announcedMutex;
    client.setIncomingCallHandler([&](const h225::IncomingCallIndication& call) {
        std::lock_guard lock(announcedMutex);
        announced.push_back(call);
    });
    ASSERT_TRUE(client.start());
    ASSERT_EQ(client.waitForRegistration(3s), RasState::Registered);
    EXPECT_EQ(client.traversal(), TraversalState::On);
    // Feature 18, supported, no parameters, in discovery, registration and keep-alive alike;
    // a keep-alive asks for the time to live granted, 5 s before it runs out.
    const std::vector<std::uint8_t> feature18{0x10, 0x01, 0x00, 0x00, 0x12};
    EXPECT_TRUE(holds(gatekeeper.datagrams().front().bytes, feature18)) << "in the GRQ";
    ASSERT_TRUE(
        eventually([&] { return messages(gatekeeper, "registrationRequest").size() >= 3; }, 4s));
    for (const auto& rrq : messages(gatekeeper, "registrationRequest")) {
        EXPECT_TRUE(h225::findFeature(rrq.chosen()["featureSet"], 18));
        if (rrq.chosen()["keepAlive"].boolean())
            EXPECT_EQ(rrq.chosen()["timeToLive"].integer(), 6);
    }

    // An announced call is answered with the sequence number alone and taken once, however
    // often it is announced.
    const h225::IncomingCallIndication call{*h225::IpAddressPort::parse("127.0.0.1:1720"),
                                            h225::newGuid()};
    ASSERT_TRUE(gatekeeper.indicateCall("alice", call));
    ASSERT_TRUE(gatekeeper.indicateCall("alice", call));
    ASSERT_TRUE(eventually([&] { return gatekeeper.count("serviceControlResponse") == 2; }));
    for (const auto& datagram : gatekeeper.datagrams())
        if (!datagram.sent && datagram.bytes.size() >= 2 && datagram.bytes[0] == 0x86)
            EXPECT_EQ(datagram.bytes.size(), 5u) << "nothing but the sequence number";
    {
        std::lock_guard lock(announcedMutex);
        ASSERT_EQ(announced.size(), 1u);
        EXPECT_EQ(announced[0], call);
    }

    // Malformed announcements are answered "failed" and taken by nobody: short, followed
    // by more octets, an address that is no IP address, feature 18 without one.
    auto raw = [](std::vector<std::uint8_t> octets) {
        asn::Value data(*h225::schema()->find("h225", "GenericData"));
        data.field("id").choose("standard").setInteger(18);
        if (!octets.empty()) {
            auto& parameter = data.field("parameters").append();
            parameter.field("id").choose("standard").setInteger(1);
            parameter.field("content").choose("raw").setOctets(octets);
        }
        asn::Value list(*h225::schema()->find("h225", "ServiceControlIndication"));
        list.field("genericData").append() = data;
        return list["genericData"];
    };
    auto good = *h225::encodeIncomingCallIndication(call);
    auto longer = good;
    longer.push_back(0);
    std::vector<std::uint8_t> ipx{0x10}; // the ipxAddress alternative
    ipx.resize(good.size());
    for (const auto& octets : {std::vector<std::uint8_t>(good.begin(), good.begin() + 7), longer,
                               ipx, std::vector<std::uint8_t>{}})
        ASSERT_TRUE(gatekeeper.sendServiceControl("alice", raw(octets)));
    ASSERT_TRUE(eventually([&] { return gatekeeper.count("serviceControlResponse") == 6; }));
    const auto responses = messages(gatekeeper, "serviceControlResponse");
    for (std::size_t i = 2; i < responses.size(); ++i)
        EXPECT_TRUE(responses[i].chosen()["result"].is("failed")) << i;
    std::lock_guard lock(announcedMutex);
    EXPECT_EQ(announced.size(), 1u);
}

TEST(RasClient, WithoutTraversalNothingIsOfferedNorAnnouncedCallsTaken)
{
    TestGatekeeper gatekeeper;
    gatekeeper.serveTraversal();
    RasConfig config = configFor(gatekeeper, "bob", "", 1781);
    config.traversal = false;
    RasClient client(config);
    bool taken = false;
    client.setIncomingCallHandler([&](const h225::IncomingCallIndication&) { taken = true; });
    ASSERT_TRUE(client.start());
    ASSERT_EQ(client.waitForRegistration(3s), RasState::Registered);
    EXPECT_EQ(client.traversal(), TraversalState::Off);
    for (const auto& datagram : gatekeeper.datagrams())
        EXPECT_FALSE(holds(datagram.bytes, {0x10, 0x01, 0x00, 0x00, 0x12}));
    ASSERT_TRUE(gatekeeper.indicateCall(
        "bob", {*h225::IpAddressPort::parse("127.0.0.1:1720"), h225::newGuid()}));
    ASSERT_TRUE(eventually([&] { return gatekeeper.count("serviceControlResponse") == 1; }));
    EXPECT_TRUE(messages(gatekeeper, "serviceControlResponse")[0].chosen()["result"].is(
        "neededFeatureNotSupported"));
    EXPECT_FALSE(taken);

    // A gatekeeper that offers nothing leaves traversal "not offered".
    TestGatekeeper plain;
    RasClient other(configFor(plain, "carol", "", 1782));
    ASSERT_TRUE(other.start());
    ASSERT_EQ(other.waitForRegistration(3s), RasState::Registered);
    EXPECT_EQ(other.traversal(), TraversalState::NotOffered);
}

TEST(RasClient, UnregistersOnlyOnceItsDisengagesAreAnsweredAndConfirmsACrossingDisengage)
{
    TestGatekeeper gatekeeper;
    RasCall call;
    call.callId = h225::newGuid();
    call.conferenceId = h225::newGuid();
    call.destinationAlias = "alice";
    {
        RasClient client(configFor(gatekeeper, "alice", "", 1783));
        ASSERT_TRUE(client.start());
        ASSERT_EQ(client.waitForRegistration(3s), RasState::Registered);
        ASSERT_TRUE(client.admit(call).admitted);
        // The call ends as the gatekeeper ends it too: its DRQ crosses ours.
        client.disengageLater(call);
        ASSERT_TRUE(eventually([&] { return gatekeeper.count("disengageRequest") == 1; }));
        ASSERT_TRUE(gatekeeper.dropCall("alice"));
        EXPECT_TRUE(eventually([&] { return gatekeeper.disengageAnswer() == "DCF"; }))
            << gatekeeper.disengageAnswer();

        // A call that ends as the client leaves: its DRQ, answered late, goes before the URQ.
        RasCall last = call;
        last.callId = h225::newGuid();
        gatekeeper.silent = true;
        client.disengageLater(last);
        std::promise<void> closed;
        client.closeLater([&] { closed.set_value(); });
        std::this_thread::sleep_for(300ms);
        gatekeeper.silent = false;
        ASSERT_EQ(closed.get_future().wait_for(5s), std::future_status::ready);
    }
    const auto datagrams = gatekeeper.datagrams();
    std::optional<std::size_t> lastConfirm, unregistration;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        auto decoded = h225::decodeRasMessage(datagrams[i].bytes);
        if (decoded && datagrams[i].sent && decoded->is("disengageConfirm"))
            lastConfirm = i;
        if (decoded && !datagrams[i].sent && decoded->is("unregistrationRequest") &&
            !unregistration)
            unregistration = i;
    }
    ASSERT_TRUE(lastConfirm && unregistration);
    EXPECT_LT(*lastConfirm, *unregistration) << "the URQ waited for the last DCF";
}

TEST(RasClient, FindsAGatekeeperByMulticastAndTakesTheOneThatConfirms)
{
    // Two gatekeepers listen on one group over loopback; the first turns us away.
    TestGatekeeper busy("224.0.1.41", 0);
    busy.rejectDiscovery("resourceUnavailable");
    const std::string group = busy.discoveryAddress();
    TestGatekeeper willing("224.0.1.41",
                           std::uint16_t(std::stoi(group.substr(group.find(':') + 1))));
    RasConfig config = configFor(willing, "alice", "1001", 1770);
    config.gatekeeper = "auto";
    config.discoveryAddress = group;
    {
        RasClient client(config);
        ASSERT_TRUE(client.start());
        ASSERT_EQ(client.waitForRegistration(3s), RasState::Registered) << client.lastReason();
        EXPECT_TRUE(willing.lookUp("alice")) << "registered where the confirmation came from";
        EXPECT_FALSE(busy.lookUp("alice"));
        EXPECT_EQ(busy.count("registrationRequest"), 0u);
        // Calls are then admitted by the gatekeeper found.
        RasCall call;
        call.destinationAlias = "1001";
        call.callId = h225::newGuid();
        EXPECT_TRUE(client.admit(call).admitted);
    }
    EXPECT_FALSE(willing.lookUp("alice")) << "unregistered at the end";

    // Only a refusal: it is the answer, with its reason.
    willing.rejectDiscovery("terminalExcluded");
    busy.rejectDiscovery("terminalExcluded");
    RasClient refused(config);
    ASSERT_TRUE(refused.start());
    EXPECT_EQ(refused.waitForRegistration(4s), RasState::Rejected);
    EXPECT_EQ(refused.lastReason(), "terminalExcluded");

    // Nobody there.
    willing.silent = true;
    busy.silent = true;
    RasClient alone(config);
    ASSERT_TRUE(alone.start());
    EXPECT_EQ(alone.waitForRegistration(3s), RasState::Unreachable);

    config.discoveryAddress = "127.0.0.1:1718";
    RasClient unicast(config);
    EXPECT_FALSE(unicast.start()) << "discovery needs a multicast group";
}

TEST(RasClient, ProvesItsPasswordWithEitherFormAndAWrongOneIsRefused)
{
    // The access token's challenge against md5sum's digest of the same octets:
    // 0x2a, "secret", 0x5f5e1000.
    const h225::Digest challenge = h225::accessTokenChallenge(0x2a, "secret", 0x5f5e1000);
    std::string hex;
    for (auto octet : challenge)
        hex += "0123456789abcdef"[octet >> 4], hex += "0123456789abcdef"[octet & 15];
    EXPECT_EQ(hex, "03856b4777656203758a54c86e019fcb");

    for (auto proof : {TestGatekeeper::Proof::AccessToken, TestGatekeeper::Proof::HashedPassword}) {
        SCOPED_TRACE(proof == TestGatekeeper::Proof::AccessToken ? "access token" : "hash");
        TestGatekeeper gatekeeper;
        gatekeeper.timeToLive = 1;
        gatekeeper.requirePasswords({{"alice", "s3cret"}, {"bob", "hunter2"}}, proof);
        RasConfig config = configFor(gatekeeper, "alice", "1001", 1780);
        config.password = "s3cret";
        RasClient alice(config);
        ASSERT_TRUE(alice.start());
        ASSERT_EQ(alice.waitForRegistration(3s), RasState::Registered) << alice.lastReason();
        // The renewals prove it too.
        EXPECT_TRUE(eventually([&] { return gatekeeper.count("registrationRequest") >= 2; }));
        RasCall call;
        call.destinationAlias = "1001";
        call.callId = h225::newGuid();
        EXPECT_TRUE(alice.admit(call).admitted);
        EXPECT_TRUE(alice.changeBandwidth(call, 5120).granted);
        EXPECT_TRUE(alice.disengage(call));
        EXPECT_TRUE(alice.unregister());
        EXPECT_EQ(gatekeeper.denied, 0);
        EXPECT_GE(gatekeeper.proven, 6);

        // Bob with Alice's password, and Bob with none: refused, and the user is told why.
        for (const char* password : {"s3cret", ""}) {
            RasConfig wrong = configFor(gatekeeper, "bob", "", 1781);
            wrong.password = password;
            RasClient bob(wrong);
            ASSERT_TRUE(bob.start());
            EXPECT_EQ(bob.waitForRegistration(3s), RasState::Rejected);
            EXPECT_EQ(bob.lastReason(), "securityDenial");
        }
        EXPECT_EQ(gatekeeper.denied, 2);
    }
}

TEST(RasClient, TsharkReadsEveryMessageOfARegistrationAndACall)
{
    if (!kx::testutil::haveTshark())
        KX_SKIP_WITHOUT_TOOL() << "tshark is not installed";
    TestGatekeeper gatekeeper;
    gatekeeper.requirePasswords({{"Phòng họp 1", "mật khẩu"}});
    RasConfig config = configFor(gatekeeper, "Phòng họp 1", "84241001", 1760);
    config.password = "mật khẩu";
    RasClient client(config);
    ASSERT_TRUE(client.start());
    ASSERT_EQ(client.waitForRegistration(3s), RasState::Registered);
    RasCall call;
    call.destinationAlias = "84241001";
    call.callReference = 300;
    call.conferenceId = h225::newGuid();
    call.callId = h225::newGuid();
    ASSERT_TRUE(client.admit(call).admitted);
    EXPECT_TRUE(client.changeBandwidth(call, 20480).granted);
    // The gatekeeper asks for less: followed down to 128 kbit/s, refused below.  It asks
    // how the call stands, and ends it.
    CallFollower follower;
    follower.bandwidth = [](std::uint32_t wanted) {
        return std::optional<std::uint32_t>(std::max<std::uint32_t>(wanted, 1280));
    };
    CallReport report;
    report.originator = true;
    report.bandwidth = 1280;
    CallReport::Session audio;
    audio.sessionId = 1;
    audio.rtp.receive = h225::IpAddressPort::parse("127.0.0.1:5000");
    audio.rtp.send = h225::IpAddressPort::parse("127.0.0.1:6000");
    audio.rtcp.receive = h225::IpAddressPort::parse("127.0.0.1:5001");
    audio.ssrc = 0x1234;
    report.sessions.push_back(audio);
    report.signalling.send = h225::IpAddressPort::parse("127.0.0.1:1720");
    follower.report = [report] { return std::optional(report); };
    std::mutex dropMutex;
    std::string droppedFor;
    follower.disengaged = [&](const std::string& reason) {
        std::lock_guard lock(dropMutex);
        droppedFor = reason;
    };
    client.followCall(call, follower);
    const auto asked = [&](std::uint32_t bandwidth) {
        EXPECT_TRUE(gatekeeper.askBandwidth("84241001", bandwidth));
        EXPECT_TRUE(eventually([&] { return !gatekeeper.bandwidthAnswer().empty(); }));
        return gatekeeper.bandwidthAnswer();
    };
    EXPECT_EQ(asked(5120), "BCF 5120");
    EXPECT_EQ(asked(640), "BRJ insufficientResources 1280");
    ASSERT_TRUE(gatekeeper.question("84241001"));
    ASSERT_TRUE(client.reportCall(call, report)); // unsolicited, as an irrFrequency asks
    ASSERT_TRUE(eventually([&] { return gatekeeper.infoResponses().size() == 2; }));
    for (const auto& response : gatekeeper.infoResponses()) {
        const auto& calls = response.chosen()["perCallInfo"];
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(h225::guidOf(calls.at(0)["callIdentifier"]["guid"]), call.callId);
        EXPECT_EQ(calls.at(0)["audio"].size(), 1u);
    }
    // A call it does not have is refused; its own is confirmed and ended.
    const auto dropped = [&](bool otherCall) {
        EXPECT_TRUE(gatekeeper.dropCall("84241001", "forcedDrop", otherCall));
        EXPECT_TRUE(eventually([&] { return !gatekeeper.disengageAnswer().empty(); }));
        return gatekeeper.disengageAnswer();
    };
    EXPECT_EQ(dropped(true), "DRJ requestToDropOther");
    EXPECT_EQ(dropped(false), "DCF");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(dropMutex);
        return droppedFor == "forcedDrop";
    }));
    EXPECT_EQ(asked(5120), "BRJ invalidConferenceID 0") << "the call is over";
    EXPECT_TRUE(client.unregister());

    const std::string file = ::testing::TempDir() + "/ras.pcap";
    ASSERT_TRUE(gatekeeper.saveCapture(file));
    const std::string read = "tshark -r " + file + " ";
    EXPECT_EQ(kx::testutil::runCommand(read + "-Y _ws.malformed"), "");
    const std::string info = kx::testutil::runCommand(read + "-T fields -e _ws.col.Info");
    for (const char* name :
         {"gatekeeperRequest", "gatekeeperConfirm", "registrationRequest", "registrationConfirm",
          "admissionRequest", "admissionConfirm", "bandwidthRequest", "bandwidthConfirm",
          "bandwidthReject", "disengageRequest", "disengageConfirm", "infoRequest",
          "infoRequestResponse", "unregistrationRequest", "unregistrationConfirm"})
        EXPECT_NE(info.find(name), std::string::npos) << name << " not read:\n" << info;
    // The fields that matter, as tshark reads them.
    const std::string detail = kx::testutil::runCommand(read + "-V");
    EXPECT_NE(detail.find("h323-ID: Phòng họp 1"), std::string::npos);
    EXPECT_NE(detail.find("dialledDigits: 84241001"), std::string::npos);
    EXPECT_NE(detail.find("endpointIdentifier: " + std::string("EP1")), std::string::npos);
    EXPECT_NE(detail.find("timeToLive: 300"), std::string::npos);
    EXPECT_NE(detail.find("callReferenceValue: 300"), std::string::npos);
    EXPECT_NE(detail.find("bandWidth: 20480"), std::string::npos);
    EXPECT_NE(detail.find("bandWidth: 5120"), std::string::npos);
    EXPECT_NE(detail.find("rejectReason: insufficientResources"), std::string::npos);
    EXPECT_NE(detail.find("allowedBandWidth: 1280"), std::string::npos);
    EXPECT_NE(detail.find("rejectReason: invalidConferenceID"), std::string::npos);
    EXPECT_NE(detail.find("disengageReason: forcedDrop"), std::string::npos);
    EXPECT_NE(detail.find("rejectReason: requestToDropOther"), std::string::npos);
    EXPECT_NE(detail.find("perCallInfo: 1 item"), std::string::npos);
    EXPECT_NE(detail.find("ssrc: 4660"), std::string::npos);
    EXPECT_NE(detail.find("unsolicited: True"), std::string::npos);
    // The password's proof, in both forms, checked by the gatekeeper.
    EXPECT_EQ(gatekeeper.denied, 0);
    EXPECT_GE(gatekeeper.proven, 4); // registration, admission, bandwidth, unregistration
    EXPECT_NE(detail.find("AuthenticationMechanism: pwdHash"), std::string::npos);
    EXPECT_NE(detail.find("tokenOID: 1.2.840.113548.10.1.2.1"), std::string::npos);
    EXPECT_NE(detail.find("generalID: Phòng họp 1"), std::string::npos);
    EXPECT_NE(detail.find("CryptoH323Token: cryptoEPPwdHash"), std::string::npos);
    EXPECT_NE(detail.find("algorithmOID: 1.2.840.113549.2.5 (md5)"), std::string::npos);
    EXPECT_NE(detail.find("[bit length 128]"), std::string::npos);
}

} // namespace
} // namespace voip::h323
