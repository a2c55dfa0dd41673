// Calls across a NAT of the test's own (network namespaces; the router masquerades and lets
// nothing in that is not an answer) through the test gatekeeper's traversal server: kxcall
// inside is called and calls out, with audio and video both ways, H.245 tunnelled and opened
// outwards, ended by either side and by the gatekeeper, also after the NAT forgot its
// mappings and with a server that offers multiplexing; tshark reads every RAS and H.225.0
// message the inside endpoint sent and received.

#include <gtest/gtest.h>

#include <csignal>

#include "kxcallkit.h"
#include "tests/support/eventually.h"
#include "tests/support/natlab.h"
#include "tests/support/testgatekeeper.h"
#include "tests/support/toolskip.h"
#include "tshark_util.h"

namespace {

using namespace std::chrono_literals;
using kx::testutil::BackgroundKxcall;
using kx::testutil::statistic;
using kx::testutil::tempPath;
using kxtest::NatLab;
using voip::testutil::TestGatekeeper;
using voip::testutil::TraversalOptions;

constexpr const char* Media = " --video fake --video-size 320x240 --video-rate 15";

/// What a kxcall log says after its `count` first calls were cleared: the next call's lines.
std::string afterCalls(const std::string& log, int count)
{
    std::size_t at = 0;
    for (int i = 0; i < count && at != std::string::npos; ++i)
        at = log.find("cleared", at + 1);
    return at == std::string::npos ? std::string() : log.substr(at + 1);
}

/// Audio (and video) arrived, in the stats of the first call `log` shows.
void expectReceived(const std::string& log, const std::string& who, bool video = true)
{
    EXPECT_GT(statistic(log, "receive", "packets", "1"), 40) << who << " audio\n" << log;
    if (video)
        EXPECT_GT(statistic(log, "receive", "packets", "2"), 10) << who << " video\n" << log;
}

TEST(KxcallTraversal, CalledAndCallingAcrossANatThroughTheGatekeeper)
{
    if (const auto why = NatLab::unavailable(); !why.empty())
        KX_SKIP_WITHOUT_TOOL() << why;
    if (!kx::testutil::haveTshark())
        KX_SKIP_WITHOUT_TOOL() << "tshark is not installed";
    NatLab lab;
    ASSERT_EQ(lab.error(), "");
    // The gatekeeper's sockets, and its server's, are made in the outside namespace.
    std::unique_ptr<TestGatekeeper> gatekeeper;
    auto serve = [&](const TraversalOptions& options) {
        NatLab::Enter outside(lab.outside());
        ASSERT_TRUE(outside.entered());
        if (!gatekeeper)
            gatekeeper = std::make_unique<TestGatekeeper>(asio::ip::make_address("10.2.0.2"), 1719);
        gatekeeper->traversalTimeToLive = 8;
        gatekeeper->serveTraversal(options);
    };
    serve({.port = 1720});
    ASSERT_TRUE(gatekeeper);
    // tshark at the inside interface, stopped however the test ends (at the latest by itself).
    const std::string capture = tempPath("traversal.pcapng");
    struct Capture
    {
        std::string pid;
        void stop() const
        {
            std::system(("kill -INT $(cat " + pid + ") 2> /dev/null; sleep 1").c_str());
        }
        ~Capture()
        {
            stop();
            std::remove(pid.c_str());
        }
    } tshark{capture + ".pid"};
    ASSERT_EQ(std::system((NatLab::in(lab.inside()) + "tshark -q -a duration:200 -i " +
                           NatLab::InsideInterface + " -w " + capture + " > /dev/null 2>&1 & " +
                           "echo $! > " + tshark.pid)
                              .c_str()),
              0);
    std::this_thread::sleep_for(1500ms); // tshark starts capturing
    const std::string registered = " --gatekeeper 10.2.0.2:1719 --calls 0 --listen 1720";
    // alice sends no video: her NAT opens for the video she receives only by keep-alives.
    BackgroundKxcall alice("--name alice" + registered, tempPath("alice.txt"),
                           NatLab::in(lab.inside()));
    BackgroundKxcall bob("--name bob --bind 10.2.0.3 --traversal off" + registered + Media,
                         tempPath("bob.txt"), NatLab::in(lab.outside()));
    ASSERT_TRUE(alice.waitFor("traversal h460.18 on")) << alice.text();
    ASSERT_TRUE(bob.waitFor("gatekeeper registered")) << bob.text();
    auto call = [&](const std::string& space, const std::string& arguments,
                    const std::string& name) {
        const std::string log = tempPath(name + ".txt");
        std::system((NatLab::in(space) + KXCALL_PATH + " --gatekeeper 10.2.0.2:1719 --name " +
                     name + " " + arguments + Media + " > " + log + " 2>&1")
                        .c_str());
        return kx::testutil::readFile(log);
    };

    // Calling out, H.245 tunnelled; the inside caller ends the call.
    const auto carol = call(lab.inside(), "--call bob --hangup-after 4", "carol");
    EXPECT_NE(carol.find("traversal h460.18 on"), std::string::npos) << carol;
    expectReceived(carol, "carol, inside");
    ASSERT_TRUE(bob.waitFor("cleared", 5s)) << bob.text();
    expectReceived(bob.text(), "bob, outside");

    // Called: announced, fetched; H.245 opened outwards; the outside caller ends the call.
    serve({.h245 = TraversalOptions::H245::StartH245, .port = 1720});
    const auto dave = call(lab.outside(), "--traversal off --call alice --hangup-after 4", "dave");
    expectReceived(dave, "dave, outside", false);
    ASSERT_TRUE(alice.waitFor("cleared", 5s)) << alice.text();
    expectReceived(alice.text(), "alice, inside");
    EXPECT_NE(alice.text().find("incoming call from dave [dave]"), std::string::npos)
        << "called back by alias, through the gatekeeper";
    EXPECT_EQ(gatekeeper->traversalServer()->startH245Sent(), 1u);

    // The NAT forgets its mappings; the next keep-alive registration makes a new one, where
    // the next call is announced.  A server offering multiplexing and asking for keep-alives
    // every second still gets plain media; the gatekeeper ends the call.
    const auto before = gatekeeper->rasAddressOf("alice");
    ASSERT_TRUE(lab.forgetMappings());
    ASSERT_TRUE(
        kxtest::eventually([&] { return gatekeeper->rasAddressOf("alice") != before; }, 10s))
        << "a new mapping";
    serve({.offerMultiplexing = true, .keepAliveInterval = 1, .port = 1720});
    {
        BackgroundKxcall erin(
            "--name erin --gatekeeper 10.2.0.2:1719 --traversal off --call alice" +
                std::string(Media),
            tempPath("erin.txt"), NatLab::in(lab.outside()));
        ASSERT_TRUE(erin.waitFor("established")) << erin.text() << alice.text();
        std::this_thread::sleep_for(3s);
        ASSERT_TRUE(gatekeeper->dropCall("alice"));
        EXPECT_TRUE(erin.waitFor("cleared", 5s)) << erin.text();
        EXPECT_TRUE(kxtest::eventually(
            [&] {
                return afterCalls(alice.text(), 1).find("Cleared by gatekeeper") !=
                       std::string::npos;
            },
            5s))
            << alice.text();
        expectReceived(afterCalls(alice.text(), 1), "alice, after the NAT forgot");
    }
    alice.stop();
    bob.stop();
    tshark.stop();

    // tshark reads every RAS and call signalling message at the inside interface (the
    // media is encrypted: its payloads are no format's).
    EXPECT_EQ(kx::testutil::runCommand("tshark -r " + capture + " -Y '_ws.malformed && !rtp'"),
              "");
    const auto frames =
        kx::testutil::tsharkFields(capture, "h225", {"h225.RasMessage", "h225.h323_message_body"});
    std::map<std::string, int> seen;
    for (const auto& [number, fields] : frames)
        for (const auto& [name, values] : fields)
            for (const auto& value : values)
                ++seen[name + "=" + value];
    EXPECT_GE(seen["h225.RasMessage=30"], 2) << "announcements (SCI)";
    EXPECT_GE(seen["h225.RasMessage=31"], 2) << "their answers (SCR)";
    EXPECT_GE(seen["h225.h323_message_body=6"], 3) << "Facility messages";
    EXPECT_GE(seen["h225.h323_message_body=0"], 3) << "Setups";
    std::remove(capture.c_str());
}

} // namespace
