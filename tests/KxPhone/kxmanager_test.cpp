// The client's call manager against kxcall and against another KxManager on 127.0.0.1:
// placing, answering by itself and by hand, refusing, busy, retry, redirections, the
// records and the window's seen; and the settings it corrects or derives.

#include "KxPhone/kxmanager.h"

#include <csignal>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "KxPhone/kxdefaults.h"
#include "tests/KxPhone/clientkit.h"
#include "tests/resources/test_application.h"
#include "tests/tools/tshark_util.h"
#include "KxPhone/kxh323endpoint.h"
#include "storage/contactstore.h"
#include "storage/recentstore.h"
#include "ui/mainwindow.h"
#include "voip/core/call.h"
#include "voip/h323/connection.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/media/stream_rtp.h"
#include "voip/rtp/rtpsession.h"
#include "tests/support/toolskip.h"
#include "tests/support/testgatekeeper.h"

namespace {

using kx::testutil::Client;
using kx::testutil::haveTshark;
using kx::testutil::Kxcall;
using kx::testutil::pumpUntil;
using kx::testutil::runCommand;

std::uint64_t receivedPackets(KxManager& manager)
{
    auto call = manager.currentCall();
    auto network = call ? call->networkConnection() : nullptr;
    auto stream = network ? network->findMediaStream(voip::AudioSessionId, true) : nullptr;
    auto* rtp = dynamic_cast<voip::RtpMediaStream*>(stream.get());
    return rtp ? rtp->session()->statistics().receive.packets : 0;
}

struct Mode
{
    bool fastStart;
    bool tunnelling;
};

class KxManagerCallModes : public testing::TestWithParam<Mode>
{};

TEST_P(KxManagerCallModes, TwoClientsCallEachOtherWithAudioBothWays)
{
    Client alice;
    Client bob;
    for (Client* client : {&alice, &bob}) {
        client->manager->h323EndPoint()->setFastStart(GetParam().fastStart);
        client->manager->h323EndPoint()->setH245Tunnelling(GetParam().tunnelling);
    }
    ASSERT_EQ(alice.manager->placeCall(bob.address(), true), "");
    // The reason is a catalogue key (this test loads no catalogue).
    EXPECT_EQ(alice.manager->placeCall(bob.address(), true), "call-in-progress");
    ASSERT_TRUE(pumpUntil([&] { return alice.seen.contains("call"); }));
    ASSERT_TRUE(pumpUntil([&] {
        return receivedPackets(*alice.manager) > 10 && receivedPackets(*bob.manager) > 10;
    })) << receivedPackets(*alice.manager)
        << " and " << receivedPackets(*bob.manager);
    EXPECT_TRUE(pumpUntil([&] {
        return alice.manager->recordChannel() && alice.manager->playChannel() &&
               bob.manager->recordChannel() && bob.manager->playChannel();
    }));
    alice.manager->hangUp();
    ASSERT_TRUE(alice.idle() && bob.idle());
    ASSERT_TRUE(
        pumpUntil([&] { return alice.seen.contains("main") && bob.seen.contains("main"); }));
    // The audio opens before or after establishment, as the mode has it.
    EXPECT_EQ(alice.seen.count("call"), 1);
    EXPECT_GE(alice.seen.count("update"), 1);
    EXPECT_EQ(alice.seen.last(), "main") << alice.seen.join(",").toStdString();
    EXPECT_EQ(bob.seen.last(), "main");
    EXPECT_FALSE(bob.seen.join(",").contains("incoming")) << "auto-answer asks no one";
    ASSERT_EQ(alice.recents.recents().size(), 1);
    ASSERT_EQ(bob.recents.recents().size(), 1);
    const Recent out = alice.recents.recents().first();
    EXPECT_EQ(out.ip, bob.address());
    EXPECT_EQ(out.flow, "outgoing");
    EXPECT_EQ(out.status, "success");
    EXPECT_EQ(out.protocol, "H.323");
    EXPECT_EQ(out.name, "Kestrovia");
    const Recent in = bob.recents.recents().first();
    EXPECT_EQ(in.flow, "incoming");
    EXPECT_EQ(in.status, "success");
    EXPECT_TRUE(in.ip.startsWith("127.0.0.1")) << in.ip.toStdString();
    EXPECT_FALSE(alice.manager->recordChannel()) << "the per-call reset drops the channels";
}

// The signalling modes in between are the engine's (kxcall's every-mode test); here, what the
// client makes of a call whose audio opens before the answer and of one where it opens after.
INSTANTIATE_TEST_SUITE_P(FastStartAndTunnelling, KxManagerCallModes,
                         testing::Values(Mode{false, false}, Mode{true, true}));

TEST(KxManager, FollowsARedirectionAndRecordsTheDialledAddress)
{
    Client client;
    Kxcall target({"--listen", "0", "--calls", "0"});
    Kxcall redirector({"--listen", "0", "--calls", "0", "--redirect", target.address()});
    const QString dialled = redirector.address();
    ASSERT_EQ(client.manager->placeCall(dialled, true), "");
    ASSERT_TRUE(target.waitFor("established"));
    ASSERT_TRUE(pumpUntil([&] { return client.seen.contains("call"); }));
    EXPECT_EQ(client.recents.recents().size(), 0) << "the first leg leaves no record";
    EXPECT_FALSE(client.seen.contains("main"));
    client.manager->hangUp();
    ASSERT_TRUE(client.idle());
    ASSERT_TRUE(pumpUntil([&] { return client.recents.recents().size() == 1; }));
    EXPECT_EQ(client.recents.recents().first().ip, dialled);
    EXPECT_EQ(client.recents.recents().first().status, "success");
    EXPECT_EQ(client.manager->lastAddress(), dialled);
}

TEST(KxManager, ARedirectionLoopIsFollowedAFewTimesThenEnds)
{
    Client client;
    // A far end that sends every call back to itself.
    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    const QString self = "127.0.0.1:" + QString::number(port);
    Kxcall mirror({"--listen", QString::number(port), "--bind", "127.0.0.1", "--calls", "0",
                   "--redirect", self});
    ASSERT_TRUE(mirror.waitFor("listening on"));
    ASSERT_EQ(client.manager->placeCall(self, true), "");
    ASSERT_TRUE(pumpUntil([&] { return client.seen.contains("main"); }, 20000));
    ASSERT_TRUE(client.idle());
    mirror.read();
    EXPECT_EQ(mirror.count("incoming call"), 1 + KxManager::MaxForwards);
    ASSERT_EQ(client.recents.recents().size(), 1);
    EXPECT_EQ(client.recents.recents().first().status, "failure");
}

/// A manager with no window at all: what it tells the interface, heard on its signals.
struct Listened
{
    explicit Listened(bool autoAnswer)
        : settings(dir.filePath("Kestrovia.ini"), QSettings::IniFormat)
    {
        kxdefaults::writeMissing(settings);
        settings.setValue("autoAnswer", autoAnswer);
        KxManager::Context context;
        context.settings = &settings;
        context.listenPort = 0;
        context.listenAddress = "127.0.0.1";
        context.soundDriver = "Null";
        context.startVideo = false;
        context.listen = [this](const KxManagerSignals& events) {
            // Heard on the GUI thread, whichever thread emitted.
            auto hear = [this](const QString& what) {
                EXPECT_EQ(QThread::currentThread(), qApp->thread()) << what.toStdString();
                heard << what;
            };
            QObject::connect(&events, &KxManagerSignals::calling, &receiver,
                             [hear](const QString& who) { hear("calling " + who); });
            QObject::connect(&events, &KxManagerSignals::ringing, &receiver,
                             [hear] { hear("ringing"); });
            QObject::connect(&events, &KxManagerSignals::callArriving, &receiver,
                             [hear] { hear("arriving"); });
            QObject::connect(&events, &KxManagerSignals::incomingCall, &receiver,
                             [hear](const QString& caller, bool clear) {
                                 hear("incoming " + caller + (clear ? " clear" : ""));
                             });
            QObject::connect(&events, &KxManagerSignals::showCall, &receiver,
                             [hear] { hear("call"); });
            QObject::connect(&events, &KxManagerSignals::showMain, &receiver,
                             [hear] { hear("main"); });
            QObject::connect(&events, &KxManagerSignals::callEnded, &receiver,
                             [hear](const QString&) { hear("ended"); });
            QObject::connect(&events, &KxManagerSignals::missedCall, &receiver,
                             [hear](const QString&) { hear("missed"); });
        };
        manager = std::make_unique<KxManager>(context);
    }
    QString address() const
    {
        return "127.0.0.1:" + QString::number(manager->h323EndPoint()->listenerPort());
    }

    const bool applicationReady = (testApplication(), true);
    QTemporaryDir dir;
    QSettings settings;
    QObject receiver;
    QStringList heard;
    std::unique_ptr<KxManager> manager;
};

TEST(KxManager, WithoutAWindowItsOwnSignalsTellEachStepOfACallOnTheGuiThread)
{
    Listened caller(true);
    Listened callee(false);
    ASSERT_TRUE(caller.manager->placeCall(callee.address(), true).isEmpty());
    ASSERT_TRUE(pumpUntil([&] { return callee.heard.join(",").contains("incoming"); }));
    ASSERT_TRUE(pumpUntil([&] { return caller.heard.contains("ringing"); }));
    callee.manager->acceptCall();
    ASSERT_TRUE(
        pumpUntil([&] { return caller.heard.contains("call") && callee.heard.contains("call"); }));
    caller.manager->hangUp();
    ASSERT_TRUE(
        pumpUntil([&] { return caller.heard.contains("main") && callee.heard.contains("main"); }));
    ASSERT_TRUE(pumpUntil(
        [&] { return caller.heard.contains("ended") && callee.heard.contains("ended"); }));
    EXPECT_EQ(caller.heard.first(), "calling " + callee.address())
        << caller.heard.join(",").toStdString();
    EXPECT_LT(caller.heard.indexOf("ringing"), caller.heard.indexOf("call"));
    EXPECT_LT(callee.heard.indexOf("arriving"), callee.heard.indexOf("call"))
        << callee.heard.join(",").toStdString();
    EXPECT_TRUE(callee.heard.filter("incoming").size() == 1);

    // Not answered: the caller gives up, the callee's user is told of a missed call.
    ASSERT_TRUE(caller.manager->placeCall(callee.address(), true).isEmpty());
    ASSERT_TRUE(pumpUntil([&] { return callee.heard.filter("incoming").size() == 2; }));
    caller.manager->hangUp();
    ASSERT_TRUE(pumpUntil([&] { return callee.heard.contains("missed"); }))
        << callee.heard.join(",").toStdString();
}

TEST(KxManager, TheFarEndsPresentationMovesTheLayoutOnlyWhenItStartsOrStops)
{
    // A presentation's start comes twice (the channel's indication and the token), and
    // some systems repeat the indication: a layout the user picked in between stays.
    Listened client(true);
    QList<int> shown;
    QObject::connect(&client.manager->events(), &KxManagerSignals::layoutShown, &client.receiver,
                     [&shown](int layout) { shown << layout; });
    auto layout = [&] { return kxdefaults::read(client.settings, kxdefaults::CallLayout); };
    auto settle = [] { QCoreApplication::processEvents(); };

    client.manager->OnH239Active();
    settle();
    EXPECT_EQ(layout(), 3);
    EXPECT_TRUE(client.manager->presentationActive());
    kxdefaults::write(client.settings, kxdefaults::CallLayout, 0); // the user: side by side
    client.manager->OnH239Active();
    settle();
    EXPECT_EQ(layout(), 0);

    client.manager->OnH239InActive();
    settle();
    EXPECT_EQ(layout(), 1);
    EXPECT_FALSE(client.manager->presentationActive());
    kxdefaults::write(client.settings, kxdefaults::CallLayout, 2); // the user: local full
    client.manager->OnH239InActive();
    settle();
    EXPECT_EQ(layout(), 2);
    EXPECT_EQ(shown, QList<int>({3, 1}));
}

TEST(KxManager, OurOrderDecidesWhatWeSendWhenWeAnswerAFastStartCall)
{
    Client client;
    // The caller prefers G.711 µ-law; we prefer G.722, which it receives as well.
    Kxcall caller({"--call", client.address(), "--calls", "1", "--fast-start", "on", "--formats",
                   "G.711-uLaw-64k,G.722-64k"});
    ASSERT_TRUE(caller.waitFor("established"));
    ASSERT_TRUE(caller.waitFor("media opened", 2));
    bool sawReceive = false;
    for (const auto& event : caller.events) {
        const QString detail = event.value("detail").toString();
        if (event.value("event").toString() == "media opened" && detail.contains("session 1") &&
            detail.endsWith("receive")) {
            sawReceive = true;
            EXPECT_TRUE(detail.startsWith("G.722-64k")) << detail.toStdString();
        }
    }
    EXPECT_TRUE(sawReceive);
    client.manager->hangUp();
    ASSERT_TRUE(client.idle());
}

TEST(KxManager, APeerThatStopsAnsweringMidCallEndsByTimerWithARecord)
{
    Client client;
    auto timers = client.manager->h323EndPoint()->timers();
    timers.roundTripInterval = std::chrono::milliseconds(300);
    timers.roundTripDelay = std::chrono::milliseconds(800);
    client.manager->h323EndPoint()->setTimers(timers);
    Kxcall peer({"--listen", "0", "--calls", "0"});
    ASSERT_EQ(client.manager->placeCall(peer.address(), true), "");
    ASSERT_TRUE(pumpUntil([&] { return client.seen.contains("call"); }));
    // The peer freezes: its TCP connection stays up, but nothing answers any more.
    ::kill(static_cast<pid_t>(peer.process.processId()), SIGSTOP);
    const bool ended = pumpUntil([&] { return client.seen.contains("main"); }, 8000);
    ::kill(static_cast<pid_t>(peer.process.processId()), SIGCONT);
    ASSERT_TRUE(ended);
    ASSERT_TRUE(client.idle());
    ASSERT_EQ(client.recents.recents().size(), 1);
    EXPECT_EQ(client.recents.recents().first().status, "failure");
}

TEST(KxManager, TsharkReadsTheCapabilitiesTheSettingsAllow)
{
    if (::geteuid() != 0 || !haveTshark())
        KX_SKIP_WITHOUT_TOOL() << "tshark or the right to capture is missing";
    Client client(true, [](QSettings& settings) {
        settings.setValue("codecs/g722", false);
        settings.setValue("codecs/h239", false);
    });
    client.manager->h323EndPoint()->setFastStart(false);
    Kxcall peer({"--listen", "0", "--calls", "0"});
    const QString address = peer.address();
    const std::string port = address.section(':', 1, 1).toStdString();
    const std::string file = client.dir.filePath("call.pcapng").toStdString();
    QProcess tshark;
    tshark.setProcessChannelMode(QProcess::MergedChannels);
    tshark.start("tshark", {"-i", "lo", "-f", QString::fromStdString("tcp port " + port), "-a",
                            "duration:5", "-w", QString::fromStdString(file)});
    ASSERT_TRUE(tshark.waitForStarted(5000));
    QByteArray log;
    if (!pumpUntil([&] {
            log += tshark.readAll();
            return log.contains("Capturing on");
        })) {
        KX_SKIP_WITHOUT_TOOL() << "capture did not start: " << log.toStdString();
    }
    QThread::msleep(1000); // the message comes a little before packets are really taken
    ASSERT_EQ(client.manager->placeCall(address, true), "");
    ASSERT_TRUE(peer.waitFor("media opened", 2));
    client.manager->hangUp();
    ASSERT_TRUE(client.idle());
    ASSERT_TRUE(tshark.waitForFinished(15000));
    const std::string decode = "tshark -r " + file + " ";
    EXPECT_EQ(runCommand(decode + "-Y _ws.malformed"), "");
    // The capability set the client sent, as tshark reads it.
    const std::string ours = runCommand(decode + "-Y 'tcp.dstport==" + port +
                                        " && h245.terminalCapabilitySet_element' -V");
    ASSERT_FALSE(ours.empty()) << runCommand(decode + " | head -40");
    EXPECT_NE(ours.find("g711Alaw64k"), std::string::npos);
    EXPECT_NE(ours.find("g711Ulaw64k"), std::string::npos);
    EXPECT_EQ(ours.find("g722-64k"), std::string::npos) << "masked G.722 offered";
    EXPECT_NE(ours.find("0.0.8.241.0.0.1"), std::string::npos) << "no H.264 capability";
    EXPECT_EQ(ours.find("0.0.8.239"), std::string::npos) << "masked H.239 offered";
    // G.711 A-law before µ-law, as the order says.
    EXPECT_LT(ours.find("g711Alaw64k"), ours.find("g711Ulaw64k"));
}

TEST(KxManager, AChangedGatekeeperLetsUsGoBeforeUsRegisteringAgain)
{
    voip::testutil::TestGatekeeper gatekeeper;
    Client client(true, [&](QSettings& settings) {
        kxdefaults::write(settings, kxdefaults::GatekeeperMode, 2);
        kxdefaults::write(settings, kxdefaults::GatekeeperHost,
                          QString::fromStdString(gatekeeper.address()));
        kxdefaults::write(settings, kxdefaults::GatekeeperAlias, QString("alpha"));
    });
    ASSERT_TRUE(pumpUntil([&] { return gatekeeper.lookUp("alpha").has_value(); }));

    // The gatekeeper is slow to answer the unregistration: the new alias is not
    // registered until the old one is let go, so the two never cross.
    gatekeeper.silent = true;
    const std::size_t before = gatekeeper.received().size();
    kxdefaults::write(client.settings, kxdefaults::GatekeeperAlias, QString("beta"));
    client.manager->applyGatekeeper();
    ASSERT_TRUE(pumpUntil([&] { return gatekeeper.count("unregistrationRequest") >= 1; }));
    QThread::msleep(700);
    const auto heard = gatekeeper.received();
    EXPECT_TRUE(std::none_of(heard.begin() + before, heard.end(), [](const std::string& name) {
        return name.starts_with("gatekeeperRequest") || name == "registrationRequest";
    })) << "a new registration while the old one was being let go";
    gatekeeper.silent = false;
    EXPECT_TRUE(pumpUntil([&] { return gatekeeper.lookUp("beta").has_value(); }, 15000));
    EXPECT_FALSE(gatekeeper.lookUp("alpha"));
}

TEST(KxManager, BadPortAndNatSettingsAreCorrected)
{
    Client client(true, [](QSettings& settings) {
        settings.setValue("net/mediaPortsUdp", 500);
        settings.setValue("net/mediaPortsUdpMax", 3233);
        settings.setValue("net/mediaPortsTcp", "letters");
        settings.setValue("net/mediaPortsTcpMax", 3230);
        settings.setValue("net/nat", 7);
    });
    const auto udp = client.manager->rtpPorts().range();
    EXPECT_EQ(udp.base, 3230);
    EXPECT_EQ(udp.max, 3250) << "a range of four ports is too small for a call";
    const auto tcp = client.manager->tcpPorts().range();
    EXPECT_EQ(tcp.base, 3230);
    EXPECT_EQ(tcp.max, 3240);
    for (auto* method : client.manager->natMethods())
        EXPECT_FALSE(method->isActive()) << method->name();
    client.settings.setValue("net/nat", 2);
    client.settings.setValue("net/publicIP", "not an address");
    client.manager->applyNat();
    EXPECT_EQ(client.manager->natMethod("Fixed")->server(), "0.0.0.0");
    EXPECT_TRUE(client.manager->natMethod("Fixed")->isActive());
    EXPECT_FALSE(client.manager->natMethod("STUN")->isActive());
}

} // namespace
