// Two kxcall processes registered with a gatekeeper of the test's own call each other by
// alias and by number, with audio, proving their passwords, one of them having found the
// gatekeeper by multicast; every call is admitted and disengaged, also when the gatekeeper
// refuses it or the call fails, as tshark reads the exchange; calls by address still work
// with the gatekeeper silent.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/tools/tshark_util.h"
#include "tests/support/testgatekeeper.h"
#include "tools/common/pcapwriter.h"
#include "voip/device/wavfile.h"
#include "tests/support/toolskip.h"
#include "tests/tools/kxcallkit.h"

namespace {

using namespace std::chrono_literals;
using voip::testutil::TestGatekeeper;

using kx::testutil::readFile;
using kx::testutil::tempPath;
using Process = kx::testutil::BackgroundKxcall;

/// The caller's voice: a 440 Hz tone of 2 s.
std::string toneFile()
{
    voip::WavAudio tone;
    tone.sampleRate = 8000;
    tone.channels = 1;
    for (int i = 0; i < 16000; ++i)
        tone.samples.push_back(std::int16_t(10000 * std::sin(2 * M_PI * 440 * i / 8000.0)));
    const std::string path = tempPath("tone.wav");
    EXPECT_TRUE(voip::writeWavFile(path, tone));
    return path;
}

double loudness(const std::string& wav)
{
    auto audio = voip::readWavFile(wav);
    if (!audio || audio.value().samples.empty())
        return 0;
    double sum = 0;
    for (auto sample : audio.value().samples)
        sum += double(sample) * sample;
    return std::sqrt(sum / double(audio.value().samples.size()));
}

/// The gatekeeper's exchange as tshark reads it: for each call (by its identifier), the answer to
/// its admission request ("ACF", or "ARJ <reason number>") and whether it was disengaged
/// and confirmed ("DRQ DCF").
std::map<std::string, std::string> admissionsAsTsharkReadsThem(const TestGatekeeper& gatekeeper)
{
    const std::string file = tempPath("admissions.pcap");
    EXPECT_TRUE(gatekeeper.saveCapture(file));
    EXPECT_EQ(kx::testutil::runCommand("tshark -r " + file + " -Y _ws.malformed"), "");
    const auto frames =
        kx::testutil::tsharkFields(file, "h225",
                                   {"h225.RasMessage", "h225.requestSeqNum", "h225.guid",
                                    "h225.rejectReason", "udp.srcport", "udp.dstport"});
    std::remove(file.c_str());
    const auto first = [](const auto& fields, const char* name) {
        const auto found = fields.find(name);
        return found == fields.end() || found->second.empty() ? std::string()
                                                              : found->second.front();
    };
    // Requests by the endpoint's port and sequence number, with the call they are about.
    std::map<std::pair<std::string, std::string>, std::pair<std::string, std::string>> asked;
    std::map<std::string, std::string> calls;
    for (const auto& [number, fields] : frames) {
        const std::string type = first(fields, "h225.RasMessage");
        const std::string sequence = first(fields, "h225.requestSeqNum");
        if (type == "9" || type == "15") { // ARQ, DRQ
            asked[{first(fields, "udp.srcport"), sequence}] = {type, first(fields, "h225.guid")};
            continue;
        }
        const auto request = asked.find({first(fields, "udp.dstport"), sequence});
        if (request == asked.end())
            continue;
        const std::string& call = request->second.second;
        if (type == "10")
            calls[call] += "ACF";
        else if (type == "11")
            calls[call] += "ARJ " + first(fields, "h225.rejectReason");
        else if (type == "16")
            calls[call] += " DRQ DCF";
        asked.erase(request);
    }
    return calls;
}

TEST(GatekeeperCalls, ByAliasAndByNumberWithAudioAdmittedAndDisengaged)
{
    TestGatekeeper gatekeeper("224.0.1.41", 0);
    gatekeeper.requirePasswords({{"alice", "a-secret"}, {"bob", "b-secret"}});
    const std::string tone = toneFile();
    const std::string heard = tempPath("heard.wav");
    Process bob("--listen 0 --bind 127.0.0.1 --calls 0 --name bob --gatekeeper " +
                    gatekeeper.address() + " --alias bob --e164 1002 --password b-secret" +
                    " --record " + heard,
                tempPath("bob.txt"));
    ASSERT_TRUE(bob.waitFor("gatekeeper registered")) << bob.text();
    ASSERT_TRUE(gatekeeper.lookUp("1002"));

    // By alias with the gatekeeper's address; by number with the gatekeeper found.
    for (const std::string target : {"bob", "1002"}) {
        const std::string log = tempPath("alice-" + target + ".txt");
        const std::string where = target == "bob"
                                      ? gatekeeper.address()
                                      : "auto --discovery " + gatekeeper.discoveryAddress() +
                                            " --bind 127.0.0.1"; // asked on loopback
        const std::string alice = std::string(KXCALL_PATH) + " --call " + target +
                                  " --gatekeeper " + where +
                                  " --alias alice --e164 1001 --password a-secret --send " + tone +
                                  " --hangup-after 2 --formats G.711-uLaw-64k > " + log + " 2>&1";
        EXPECT_EQ(std::system(alice.c_str()), 0) << readFile(log);
        const std::string text = readFile(log);
        EXPECT_NE(text.find("gatekeeper registered"), std::string::npos) << text;
        EXPECT_NE(text.find("established"), std::string::npos) << text;
        EXPECT_NE(text.find("media opened G.711-uLaw-64k session 1 transmit"), std::string::npos)
            << text;
        std::remove(log.c_str());
    }
    ASSERT_TRUE(bob.waitFor("cleared", 5s));
    // Each call: admitted on both sides, disengaged on both sides.
    EXPECT_TRUE([&] {
        for (int i = 0; i < 100 && gatekeeper.count("disengageRequest") < 4; ++i)
            std::this_thread::sleep_for(50ms);
        return gatekeeper.count("disengageRequest") >= 4;
    }()) << gatekeeper.count("disengageRequest");
    // (At least: a request the gatekeeper answered late may have been sent again.)
    EXPECT_GE(gatekeeper.count("admissionRequest"), 4u);
    // alice unregistered at exit, twice.
    EXPECT_GE(gatekeeper.count("unregistrationRequest"), 2u);
    EXPECT_EQ(gatekeeper.count("gatekeeperRequest (multicast)"), 1u);
    // The admissions asked for what the calls' channels carry (audio and video both ways,
    // not the endpoint's whole 8 Mbit/s), and so nothing more was asked once they were open.
    EXPECT_GE(gatekeeper.lastAdmissionBandwidth, 1280);
    EXPECT_LT(gatekeeper.lastAdmissionBandwidth, 80000);
    EXPECT_EQ(gatekeeper.count("bandwidthRequest"), 0u);
    EXPECT_EQ(gatekeeper.denied, 0) << "every request proved its password";
    EXPECT_GE(gatekeeper.proven, 12);
    const std::string bobText = bob.text();
    EXPECT_NE(bobText.find("incoming call from"), std::string::npos) << bobText;
    bob.stop();
    EXPECT_GT(loudness(heard), 2000) << "the tone did not arrive";
    std::remove(heard.c_str());
    std::remove(tone.c_str());
}

TEST(GatekeeperCalls, ARoutedCallGoesThroughTheGatekeeperNamingWhoItIsFor)
{
    TestGatekeeper gatekeeper;
    gatekeeper.routeCalls(true);
    const std::string tone = toneFile();
    const std::string heard = tempPath("heard-routed.wav");
    Process bob("--listen 0 --bind 127.0.0.1 --calls 0 --name bob --gatekeeper " +
                    gatekeeper.address() + " --alias bob --record " + heard,
                tempPath("bob-routed.txt"));
    ASSERT_TRUE(bob.waitFor("gatekeeper registered")) << bob.text();
    const std::string log = tempPath("alice-routed.txt");
    const std::string alice = std::string(KXCALL_PATH) + " --call bob --gatekeeper " +
                              gatekeeper.address() + " --alias alice --send " + tone +
                              " --hangup-after 2 --formats G.711-uLaw-64k > " + log + " 2>&1";
    EXPECT_EQ(std::system(alice.c_str()), 0) << readFile(log);
    EXPECT_NE(readFile(log).find("established"), std::string::npos) << readFile(log);
    ASSERT_TRUE(bob.waitFor("cleared", 5s)) << bob.text();
    bob.stop();
    EXPECT_GT(loudness(heard), 2000) << "the tone did not arrive";
    std::remove(log.c_str());
    std::remove(heard.c_str());
    std::remove(tone.c_str());

    // The signalling went to the gatekeeper, and its Setup named bob, as tshark reads it.
    const std::string routed = gatekeeper.routedBytes();
    ASSERT_FALSE(routed.empty()) << "nothing was routed";
    if (!kx::testutil::haveTshark())
        KX_SKIP_WITHOUT_TOOL() << "tshark is not installed";
    kx::capture::PcapWriter pcap;
    pcap.addTcp({kx::capture::Address::ipv4(127, 0, 0, 1), 40000},
                {kx::capture::Address::ipv4(127, 0, 0, 2), 1720},
                std::span(reinterpret_cast<const std::uint8_t*>(routed.data()), routed.size()));
    const std::string file = tempPath("routed.pcap");
    ASSERT_TRUE(pcap.save(file));
    EXPECT_EQ(kx::testutil::runCommand("tshark -r " + file + " -Y _ws.malformed"), "");
    const auto frames = kx::testutil::tsharkFields(file, "q931.message_type == 0x05",
                                                   {"h225.destinationAddress", "h225.h323_ID"});
    std::remove(file.c_str());
    ASSERT_EQ(frames.size(), 1u) << "one Setup";
    const auto& ids = frames.begin()->second.at("h225.h323_ID");
    EXPECT_NE(std::find(ids.begin(), ids.end(), "bob"), ids.end());
}

TEST(GatekeeperCalls, BadGatekeeperOptionsAreRefusedWithAReason)
{
    const std::string log = tempPath("options.txt");
    const auto run = [&](const std::string& options) {
        const int status = std::system(("timeout 20 " + std::string(KXCALL_PATH) + " --call bob " +
                                        options + " > " + log + " 2>&1")
                                           .c_str());
        return std::pair{status, readFile(log)};
    };
    for (const auto& [options, reason] : std::vector<std::pair<std::string, std::string>>{
             {"--gatekeeper 127.0.0.1 --e164 12a4", "--e164: expected 1 to 128 digits"},
             {"--gatekeeper 127.0.0.1 --password " + std::string(129, 'p'),
              "--password: at most 128 characters"},
             {"--gatekeeper auto --discovery 127.0.0.1:1718", "bad discovery address"},
             {"--gatekeeper no-such-gatekeeper.invalid", "does not resolve"},
         }) {
        const auto [status, text] = run(options);
        EXPECT_NE(status, 0) << options;
        EXPECT_NE(text.find(reason), std::string::npos) << options << "\n" << text;
    }
    std::remove(log.c_str());
}

TEST(GatekeeperCalls, RefusedAndUnknownCallsEndWithTheirReasonAndAreDisengaged)
{
    TestGatekeeper gatekeeper;
    Process bob("--listen 0 --bind 127.0.0.1 --calls 0 --name bob --gatekeeper " +
                    gatekeeper.address() + " --alias bob",
                tempPath("bob2.txt"));
    ASSERT_TRUE(bob.waitFor("gatekeeper registered")) << bob.text();
    const auto call = [&](const std::string& target) {
        const std::string log = tempPath("alice2.txt");
        std::system(("timeout 30 " + std::string(KXCALL_PATH) + " --call " + target +
                     " --gatekeeper " + gatekeeper.address() +
                     " --alias alice --hangup-after 1 > " + log + " 2>&1")
                        .c_str());
        std::string text = readFile(log);
        std::remove(log.c_str());
        return text;
    };
    // Nobody of that name: the call ends as unreachable, before any signalling.
    std::string text = call("carol");
    EXPECT_NE(text.find("cleared"), std::string::npos) << text;
    EXPECT_EQ(text.find("established"), std::string::npos) << text;
    // The gatekeeper refuses every admission: the call ends and says so.
    gatekeeper.rejectAdmissions("requestDenied");
    text = call("bob");
    EXPECT_EQ(text.find("established"), std::string::npos) << text;
    EXPECT_NE(text.find("reason=30"), std::string::npos) << text; // admission failed
    gatekeeper.rejectAdmissions(std::nullopt);
    // Admitted again: both sides disengage at the end.
    const auto disengagesBefore = gatekeeper.count("disengageRequest");
    text = call("bob");
    EXPECT_NE(text.find("established"), std::string::npos) << text;
    for (int i = 0; i < 100 && gatekeeper.count("disengageRequest") < disengagesBefore + 2; ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_GE(gatekeeper.count("disengageRequest"), disengagesBefore + 2);

    // Admitted, but sent to an address where nobody listens: the call fails to connect,
    // and is disengaged all the same.
    const auto disengaged = gatekeeper.count("disengageRequest");
    gatekeeper.admitTo(voip::h225::IpAddressPort::parse("127.0.0.1:1"));
    text = call("bob");
    EXPECT_EQ(text.find("established"), std::string::npos) << text;
    EXPECT_NE(text.find("reason=8"), std::string::npos) << text; // the connection failed
    EXPECT_GT(gatekeeper.count("disengageRequest"), disengaged);
    gatekeeper.admitTo(std::nullopt);

    // The gatekeeper goes silent: registration is said to be lost, calls by address work.
    gatekeeper.silent = true;
    const std::string port = [&] {
        const std::string t = bob.text();
        const auto at = t.find("listening on port ");
        return t.substr(at + 18, t.find('\n', at) - at - 18);
    }();
    text = call("127.0.0.1:" + port);
    EXPECT_NE(text.find("gatekeeper unreachable"), std::string::npos) << text;
    EXPECT_NE(text.find("established"), std::string::npos) << text;
    gatekeeper.silent = false;
    bob.stop();

    // Every call end in the capture: the unknown alias and the refusal with their reasons
    // (calledPartyNotRegistered 0, requestDenied 2); the call that ended normally admitted
    // and disengaged on both sides; the one that failed to connect, on the caller's.
    if (!kx::testutil::haveTshark())
        KX_SKIP_WITHOUT_TOOL() << "tshark is not installed";
    std::multiset<std::string> ends;
    for (const auto& [call, end] : admissionsAsTsharkReadsThem(gatekeeper))
        ends.insert(end);
    const std::multiset<std::string> expected = {
        "ARJ 0", "ARJ 2",         // carol, refused
        "ACFACF DRQ DCF DRQ DCF", // admitted both sides, disengaged both sides
        "ACF DRQ DCF",            // sent nowhere: ConnectFail, disengaged
    };
    EXPECT_EQ(ends, expected);
}

} // namespace
