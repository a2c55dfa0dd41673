// Two kxcall processes on 127.0.0.1 in every fastStart and tunnelling mode, the callee
// also shaped as other stacks answer (their own fastStart numbers, bare H.224 frames while
// announcing HDLC): audio and H.264 both ways, a presentation taken over by the far end,
// camera control and user input both ways, all in one call; tshark must read every H.245
// message of it.  Then the H.264 a smaller receiver gets, read by ffprobe.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "kxcallkit.h"
#include "tools/common/capture.h"
#include "tools/kxdecode/decoder.h"
#include "voip/h245/message.h"
#include "tshark_util.h"
#include "tests/support/toolskip.h"
#include "tests/support/hex.h"

namespace {

using namespace kx::testutil;
using namespace std::chrono_literals;

/// tshark writing loopback TCP and UDP into a file while it lives; nothing when tshark or
/// the right to capture is missing.
class LoopbackCapture
{
public:
    explicit LoopbackCapture(const std::string& file)
        : file_(file)
    {
        if (::geteuid() != 0 || !haveTshark())
            return;
        const std::string log = file + ".log";
        const std::string pidFile = file + ".pid";
        std::system(
            ("tshark -i lo -f 'tcp or udp' -w " + file + " > " + log + " 2>&1 & echo $! > " + pidFile)
                .c_str());
        for (int i = 0; i < 500 && readFile(log).find("Capturing on") == std::string::npos; ++i)
            std::this_thread::sleep_for(20ms);
        pid_ = std::atoi(readFile(pidFile).c_str());
        running_ = pid_ > 0 && readFile(log).find("Capturing on") != std::string::npos;
        // Packets are really taken a little after the message.
        std::this_thread::sleep_for(1s);
        std::remove(log.c_str());
        std::remove(pidFile.c_str());
    }
    ~LoopbackCapture() { stop(); }

    bool running() const { return running_; }

    /// Ends the capture with everything written out.
    void stop()
    {
        if (pid_ <= 0)
            return;
        std::this_thread::sleep_for(300ms);
        ::kill(pid_, SIGINT);
        for (int i = 0; i < 500 && std::filesystem::exists("/proc/" + std::to_string(pid_)); ++i)
            std::this_thread::sleep_for(20ms);
        pid_ = 0;
    }

private:
    std::string file_;
    int pid_ = 0;
    bool running_ = false;
};

/// The H.245 messages of the call whose signalling went to `port`, as our decoder finds
/// them (the separate H.245 connections followed from the addresses announced), and the
/// TCP ports of that call.
struct OurReading
{
    std::size_t h245 = 0;
    std::set<std::uint16_t> ports;
    std::vector<std::string> names;
};

OurReading readOurCall(const std::string& file, std::uint16_t port)
{
    kx::decode::Options options;
    options.callSignallingPorts = {port};
    const auto report = kx::decode::decodeCapture(kx::capture::readCaptureFile(file), options);
    OurReading reading;
    for (const auto& message : report.messages) {
        reading.ports.insert(message.flow.source.port);
        reading.ports.insert(message.flow.destination.port);
        if (message.protocol != kx::decode::Protocol::H245 || message.error)
            continue;
        ++reading.h245;
        if (auto kind = voip::h245::kindOf(message.value))
            reading.names.emplace_back(kind->name);
    }
    return reading;
}

struct Mode
{
    bool fastStart;
    bool tunnelling;
    bool otherShape; ///< the callee answers as other stacks do
};

std::string modeName(const testing::TestParamInfo<Mode>& info)
{
    return std::string(info.param.fastStart ? "FastStart" : "NoFastStart") +
           (info.param.tunnelling ? "Tunnelled" : "SeparateH245") +
           (info.param.otherShape ? "OtherStacksAnswer" : "");
}

class KxCallModes : public testing::TestWithParam<Mode>
{};

TEST_P(KxCallModes, EverythingACallCarriesCrossesBothWays)
{
    const Mode mode = GetParam();
    const std::string base = tempPath(modeName({mode, 0}) + "_");
    const std::string common =
        std::string(" --video fake --video-size 320x180 --video-rate 25 --fecc") +
        " --fast-start " + (mode.fastStart ? "on" : "off") + " --tunnelling " +
        (mode.tunnelling ? "on" : "off");
    // alice presents first; bob takes the token over while she still presents.
    const std::string bob =
        "--name bob" + common + " --present --present-delay 2500 --send-input bob*1" +
        " --record-video " + base + "bob_video.y4m --record-content " + base + "bob_content.y4m" +
        (mode.otherShape ? " --faststart-numbers own --h224-framing bare" : "");
    const std::string alice = "--name alice --hangup-after 6" + common +
                              " --present --present-delay 500 --present-for 4000" +
                              " --send-input alice#2 --record-video " + base +
                              "alice_video.y4m --record-content " + base + "alice_content.y4m";
    LoopbackCapture capture(base + "call.pcapng");
    const auto logs = runKxcallPair(bob, alice, base);
    capture.stop();

    for (const auto* log : {&logs.caller, &logs.callee}) {
        const bool isAlice = log == &logs.caller;
        const std::string& text = *log;
        SCOPED_TRACE(isAlice ? "alice" : "bob");
        EXPECT_NE(text.find("established"), std::string::npos) << text;
        EXPECT_EQ(text.find("error"), std::string::npos) << text;
        EXPECT_NE(text.find(isAlice ? "user input \"bob*1\"" : "user input \"alice#2\""),
                  std::string::npos)
            << text;
        EXPECT_GE(statistic(text, "receive", "packets", "1"), 250) << "audio\n" << text;
        // The presentation: alice's, taken over by bob, seen in that order on both sides.
        std::size_t at = 0;
        for (const char* event : {isAlice ? "local-started" : "remote-started",
                                  isAlice ? "local-stopped" : "remote-stopped",
                                  isAlice ? "remote-started" : "local-started"}) {
            at = text.find(std::string("presentation ") + event, at);
            ASSERT_NE(at, std::string::npos) << event << "\n" << text;
        }
        EXPECT_EQ(text.find("local-refused"), std::string::npos) << text;
        // Camera control: what the far end can move, then each of its test moves, started
        // and stopped by its STOP in order, then its preset stored and recalled.
        EXPECT_NE(text.find("media opened FECC-RTP session 3 transmit"), std::string::npos);
        EXPECT_NE(text.find("fecc remote caps presets=4 sources=1 source1=pan+tilt+zoom+focus"),
                  std::string::npos)
            << text;
        at = 0;
        for (const char* move : {"pan=left", "pan=right", "tilt=up", "tilt=down", "zoom=in",
                                 "zoom=out", "focus=in", "focus=out"}) {
            at = text.find(std::string("fecc start ") + move + " timeout_ms=250", at);
            ASSERT_NE(at, std::string::npos) << move << "\n" << text;
            at = text.find(std::string("fecc stop ") + move, at);
            ASSERT_NE(at, std::string::npos) << move << "\n" << text;
        }
        at = text.find("fecc store-preset preset=3", at);
        ASSERT_NE(at, std::string::npos) << text;
        EXPECT_NE(text.find("fecc activate-preset preset=3", at), std::string::npos) << text;
        EXPECT_EQ(text.find("timed-out"), std::string::npos) << text;
        // Every channel opened through H.245 goes encrypted; fastStart's stay clear.
        std::istringstream lines(text);
        int opened = 0;
        for (std::string line; std::getline(lines, line);) {
            static const std::regex openedLine("media opened .* session (\\d+) (transmit|receive).*");
            std::smatch match;
            if (!std::regex_match(line, match, openedLine))
                continue;
            ++opened;
            // (fastStart carries audio and video.)
            const bool throughH245 = !mode.fastStart || (match[1] != "1" && match[1] != "2");
            EXPECT_EQ(text.find("media encrypted AES-128 session " + match[1].str() + " " +
                                match[2].str()) != std::string::npos,
                      throughH245)
                << line;
        }
        EXPECT_GE(opened, 7) << "audio, video, camera control both ways, content";
    }
    if (mode.otherShape) {
        EXPECT_NE(logs.callee.find("FECC-RTP session 3 transmit framing=bare"), std::string::npos);
        EXPECT_NE(logs.caller.find("FECC-RTP session 3 transmit framing=HDLC"), std::string::npos);
    }
    // Main video both ways for the whole call, content of each presenter at the far end.
    for (const char* who : {"alice", "bob"}) {
        SCOPED_TRACE(who);
        const auto video = pictureNumbers(base + who + "_video.y4m");
        EXPECT_GE(video.size(), 120u) << "main video";
        EXPECT_TRUE(advancing(video, 1)) << "main video lost or reordered pictures";
        EXPECT_LE(video.empty() ? 0 : video.front(), 5u) << "video starts with the call";
        const auto content = pictureNumbers(base + who + "_content.y4m");
        EXPECT_GE(content.size(), 30u) << "content";
    }

    if (!capture.running()) {
        // The rest of the call was checked; only tshark's reading is left out.
        if (kxtest::toolsRequired())
            ADD_FAILURE() << "tshark or the right to capture is missing (KX_REQUIRE_TOOLS)";
        else
            std::cout << "[ skipped  ] tshark's reading: tshark or the right to capture is "
                         "missing\n";
    } else {
        const std::string file = base + "call.pcapng";
        const auto ours = readOurCall(file, logs.port);
        ASSERT_GT(ours.h245, 20u);
        std::string ports;
        for (const auto port : ours.ports)
            ports += (ports.empty() ? "" : ", ") + std::to_string(port);
        // Both ends ours: the capture sees all of loopback, and a port the call used may be
        // taken again at once by another program's connection (one to port 1720 was reset
        // while the suite ran in parallel).
        const std::string call = "tcp.srcport in {" + ports + "} && tcp.dstport in {" + ports + "}";
        const std::string marks = runCommand(
            "tshark -n -r " + file + " --enable-heuristic q931_tcp -Y '(" + call +
            ") && (_ws.malformed || (_ws.expert.severity >= warning && !tcp.analysis.flags && "
            "!tcp.options.sack.dsack))' "
            "-T fields -e frame.number -e _ws.col.Info -e _ws.expert.message 2>/dev/null");
        // (TCP's own warnings, a retransmission or a duplicate SACK on a busy machine, are not
        // the call's.)
        EXPECT_TRUE(marks.empty()) << "tshark marks:\n" << marks;
        const std::string types =
            runCommand("tshark -n -r " + file + " --enable-heuristic q931_tcp -Y '(" + call +
                       ") && h245' -T fields -E occurrence=a -E aggregator=, -e h245.pdu_type "
                       "2>/dev/null");
        std::size_t theirs = 0;
        for (const char c : types)
            theirs += c == '\n' || c == ',';
        EXPECT_EQ(theirs, ours.h245) << "H.245 messages tshark read, against ours";
        for (const char* name :
             {"terminalCapabilitySet", "masterSlaveDetermination", "openLogicalChannel",
              "userInput", "genericRequest", "genericResponse", "miscellaneousIndication",
              "closeLogicalChannel", "endSessionCommand"})
            EXPECT_NE(std::find(ours.names.begin(), ours.names.end(), name), ours.names.end())
                << name;
        // H.264 in the non-interleaved mode both sides list; H.239's control and content
        // capabilities, and its token request (3) and response (4).
        const std::string oids =
            runCommand("tshark -n -r " + file + " --enable-heuristic q931_tcp -Y '" + call +
                       "' -T fields -e h245.standardOid -e h245.oid "
                       "-e h245.subMessageIdentifier.standard 2>/dev/null");
        for (const char* expected : {"0.0.8.241.0.0.1", "0.0.8.241.0.0.0.1", "0.0.8.239.1.1",
                                     "0.0.8.239.1.2", "0.0.8.239.2", "\t3", "\t4"})
            EXPECT_NE(oids.find(expected), std::string::npos) << expected;
        // The key agreement both ways (Setup and Connect), the security entries, the keys
        // of the channels.
        const auto frames = [&](const std::string& filter) {
            const std::string numbers = runCommand(
                "tshark -n -r " + file + " --enable-heuristic q931_tcp -Y '(" + call + ") && (" +
                filter + ")' -T fields -e frame.number 2>/dev/null");
            return std::count(numbers.begin(), numbers.end(), '\n');
        };
        EXPECT_EQ(frames("h235.tokenOID == 0.0.8.235.0.3.43 && h235.halfkey"), 2);
        EXPECT_GE(frames("h245.h235SecurityCapability_element"), 2);
        const std::string keys =
            runCommand("tshark -n -r " + file + " --enable-heuristic q931_tcp -Y '(" + call +
                       ") && h245.h235Key' -T fields -E occurrence=a -E aggregator=' ' "
                       "-e h245.h235Key 2>/dev/null");
        std::istringstream keyList(keys);
        std::set<std::string> distinct;
        for (std::string key; keyList >> key;)
            distinct.insert(key);
        // One key per channel and direction, each different: audio, video and camera
        // control both ways, and the presentations' content.
        EXPECT_GE(distinct.size(), mode.fastStart ? 2u : 8u) << keys;
        // What travels: the audio under its encrypted payload type, whose payloads look
        // like noise (G.722 in clear repeats a few octets); in an encrypted H.264 or H.224
        // payload the first octet's top bit, never set in clear, is set half the time.
        // Only this call's media: the ports its channels were opened on (other tests send
        // RTP on loopback at the same time).
        std::istringstream announced(
            runCommand("tshark -n -r " + file + " --enable-heuristic q931_tcp -Y '(" + call +
                       ") && h245.tsapIdentifier' -T fields -E occurrence=a -E aggregator=' ' "
                       "-e h245.tsapIdentifier 2>/dev/null"));
        std::set<std::string> mediaPorts;
        for (std::string port; announced >> port;)
            mediaPorts.insert(port);
        std::string media;
        for (const auto& port : mediaPorts)
            media += (media.empty() ? "" : ", ") + port;
        ASSERT_GE(mediaPorts.size(), 4u) << "media ports the channels announced";
        if (!mode.fastStart) {
            std::istringstream packets(
                runCommand("tshark -n -r " + file +
                           " --enable-heuristic rtp_udp -Y 'rtp && rtp.version == 2"
                           " && udp.port in {" +
                           media +
                           "}' -T fields -e rtp.p_type -e rtp.payload "
                           "2>/dev/null"));
            std::map<int, std::vector<std::vector<std::uint8_t>>> byType;
            for (std::string line; std::getline(packets, line);) {
                std::istringstream fields(line);
                int type = -1;
                std::string hex;
                // (A datagram tshark reads as more than one RTP packet prints its fields
                // joined by commas: it is not one payload.)
                if (fields >> type >> hex && hex.size() >= 32 &&
                    hex.find_first_not_of("0123456789abcdef") == std::string::npos)
                    byType[type].push_back(kxtest::fromHex(hex));
            }
            ASSERT_GE(byType[120].size(), 500u) << "audio both ways, encrypted";
            EXPECT_EQ(byType.count(9), 0u) << "no G.722 in clear";
            std::size_t noisy = 0;
            for (const auto& payload : byType[120])
                noisy += std::set<std::uint8_t>(payload.begin(), payload.end()).size() >= 64;
            EXPECT_GT(noisy * 10, byType[120].size() * 9);
            for (const auto& [type, payloads] : byType) {
                if (type == 120 || payloads.size() < 50)
                    continue;
                std::size_t topBit = 0;
                for (const auto& payload : payloads)
                    topBit += (payload[0] & 0x80) != 0;
                EXPECT_GT(topBit * 5, payloads.size()) << "payload type " << type;
            }
        }
        // Who calls, as the Setup names alice.
        const std::string names = runCommand(
            "tshark -n -r " + file + " --enable-heuristic q931_tcp -Y '(" + call +
            ") && h225.setup_element' -T fields -e h225.h323_ID -e q931.display_information "
            "2>/dev/null");
        EXPECT_NE(names.find("alice"), std::string::npos) << names;
        if (!HasFailure())
            std::remove(file.c_str());
    }
    if (!HasFailure())
        for (const char* file : {"callee.txt", "caller.txt", "bob_video.y4m", "alice_video.y4m",
                                 "bob_content.y4m", "alice_content.y4m"})
            std::remove((base + file).c_str());
}

// The other stacks' shapes once with fastStart (their own channel numbers, bare H.224 on a
// channel opened from the proposals) and once without (bare H.224 on a channel opened through
// H.245), one tunnelled and one not: their numbers mean nothing without fastStart, and the
// framing does not hang on where H.245 travels.
INSTANTIATE_TEST_SUITE_P(EveryMode, KxCallModes,
                         testing::Values(Mode{true, true, false}, Mode{true, false, false},
                                         Mode{false, true, false}, Mode{false, false, false},
                                         Mode{true, false, true}, Mode{false, true, true}),
                         modeName);

// --- H.264 within what the receiver announced ---

struct Receiver
{
    const char* name;
    std::string announces; ///< kxcall options
    int level;             ///< level_idc at most
    unsigned maxFs;        ///< macroblocks a picture
    unsigned maxMbps;      ///< macroblocks a second
};

/// What ffprobe reads of a raw H.264 stream: "width=..." lines and so on.
std::map<std::string, std::string> probe(const std::string& file)
{
    std::map<std::string, std::string> fields;
    std::istringstream lines(runCommand("ffprobe -v error -select_streams v:0 -show_entries "
                                        "stream=width,height,level,profile -of default=nw=1 " +
                                        file + " 2>/dev/null"));
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos)
            fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return fields;
}

TEST(KxCallH264, TheStreamSentStaysWithinTheReceiversLevelAndLimits)
{
    if (runCommand("command -v ffprobe").empty())
        KX_SKIP_WITHOUT_TOOL() << "ffprobe is not installed";
    const Receiver receivers[] = {
        {"level 1.3 (CIF)", "--h264-level 1.3", 13, 396, 11880},
        {"level 3 with MaxFS for 720p, the level's rate", "--h264-level 3 --max-fs 3600", 30, 3600,
         40500},
        {"level 3.1", "--h264-level 3.1", 31, 3600, 108000},
        {"level 4, Baseline only", "--h264-level 4 --h264-profiles baseline", 40, 8192, 245760},
    };
    int index = 0;
    for (const auto& receiver : receivers) {
        SCOPED_TRACE(receiver.name);
        const std::string base = tempPath("level" + std::to_string(index++) + "_");
        const std::string stream = base + "received.h264";
        const auto logs = runKxcallPair(
            receiver.announces + " --record-h264 " + stream,
            "--video fake --video-size 1280x720 --video-rate 25 --hangup-after 3", base);
        std::smatch sent;
        ASSERT_TRUE(std::regex_search(
            logs.caller, sent,
            std::regex("media opened H\\.264 (\\S+) session 2 transmit size=([0-9]+)x([0-9]+) "
                       "rate=([0-9.]+) level=(\\S+)")))
            << logs.caller;
        const double rate = std::stod(sent[4]);
        auto read = probe(stream);
        ASSERT_FALSE(read["width"].empty()) << "ffprobe read nothing of " << stream;
        const unsigned width = unsigned(std::stoul(read["width"]));
        const unsigned height = unsigned(std::stoul(read["height"]));
        EXPECT_EQ(std::to_string(width), sent[2].str()) << "what we said we send";
        EXPECT_EQ(std::to_string(height), sent[3].str());
        const unsigned macroblocks = ((width + 15) / 16) * ((height + 15) / 16);
        EXPECT_LE(std::stoi(read["level"]), receiver.level);
        EXPECT_LE(macroblocks, receiver.maxFs) << width << "x" << height;
        EXPECT_LE(macroblocks * rate, receiver.maxMbps + 0.5) << rate << " pictures a second";
        EXPECT_GE(macroblocks * rate, receiver.maxMbps * 0.25)
            << "not needlessly small: " << width << "x" << height << " at " << rate;
        if (receiver.announces.find("baseline") != std::string::npos) {
            EXPECT_EQ(read["profile"], "Constrained Baseline") << read["profile"];
            EXPECT_EQ(sent[1].str(), "Baseline") << "named by what it carries";
        }
        // ffmpeg decodes the whole stream without a complaint.
        int status = -1;
        const std::string complaints =
            runCommand("ffmpeg -v error -i " + stream + " -f null - 2>&1", &status);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(complaints.empty()) << complaints;
        if (!HasFailure())
            for (const std::string& file : {stream, base + "callee.txt", base + "caller.txt"})
                std::remove(file.c_str());
    }
}

} // namespace
