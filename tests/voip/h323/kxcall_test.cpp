// Two kxcall processes on 127.0.0.1: one listens and answers, the other calls, sends user
// input and hangs up; each prints the events of its call.  With video, the caller sends
// FakeVideo and the callee writes what it receives into a Y4M file, whose pictures' numbers
// must advance without a gap.  With camera control, each moves the other's camera
// through every action and both print what arrived.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <asio.hpp>

#include "voip/device/video_fake.h"

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::uint16_t freePort()
{
    asio::io_context io;
    asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
    return probe.local_endpoint().port();
}

std::string tempPath(const std::string& name)
{
    return testing::TempDir() + "kxcall_" + std::to_string(::getpid()) + "_" + name;
}

TEST(KxCall, TwoProcessesCallAnswerExchangeInputAndClear)
{
    const std::string tool = KXCALL_PATH;
    const auto port = freePort();
    const std::string calleeLog = tempPath("callee.txt");
    const std::string callerLog = tempPath("caller.txt");
    const std::string callee = tool + " --listen " + std::to_string(port) +
                               " --bind 127.0.0.1 --answer 200 --name bob > " + calleeLog +
                               " 2>&1 &";
    ASSERT_EQ(std::system(callee.c_str()), 0);
    // Wait for the listener.
    for (int i = 0; i < 200 && readFile(calleeLog).find("listening") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(readFile(calleeLog).find("listening on port " + std::to_string(port)),
              std::string::npos)
        << readFile(calleeLog);
    const std::string caller = tool + " --call 127.0.0.1:" + std::to_string(port) +
                               " --send-input 12#@. --hangup-after 1 --fast-start on" +
                               " --formats G.711-uLaw-64k --name alice > " + callerLog + " 2>&1";
    EXPECT_EQ(std::system(caller.c_str()), 0) << readFile(callerLog);
    // The callee takes one call and ends by itself.
    for (int i = 0; i < 250 && readFile(calleeLog).find("cleared") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string calleeText = readFile(calleeLog);
    const std::string callerText = readFile(callerLog);
    EXPECT_NE(callerText.find("established"), std::string::npos) << callerText;
    EXPECT_NE(callerText.find("media opened G.711-uLaw-64k session 1 transmit"), std::string::npos)
        << callerText;
    EXPECT_NE(callerText.find("cleared token="), std::string::npos);
    EXPECT_NE(callerText.find("reason=0 "), std::string::npos) << callerText;
    EXPECT_NE(calleeText.find("incoming call from alice"), std::string::npos) << calleeText;
    EXPECT_NE(calleeText.find("user input \"12#@.\""), std::string::npos) << calleeText;
    EXPECT_NE(calleeText.find("media closed"), std::string::npos) << calleeText;
    EXPECT_NE(calleeText.find("reason=3 "), std::string::npos) << calleeText;
    std::remove(calleeLog.c_str());
    std::remove(callerLog.c_str());
}

TEST(KxCall, RefusesBadArguments)
{
    const std::string tool = KXCALL_PATH;
    EXPECT_NE(std::system((tool + " --listen 70000 > /dev/null 2>&1").c_str()), 0);
    EXPECT_NE(std::system((tool + " --bogus > /dev/null 2>&1").c_str()), 0);
    EXPECT_NE(std::system((tool + " > /dev/null 2>&1").c_str()), 0);
}

/// The pictures of a 4:2:0 Y4M file (as our writer makes it: no frame parameters).
std::vector<voip::VideoFrame> readY4m(const std::string& path)
{
    const std::string file = readFile(path);
    std::vector<voip::VideoFrame> frames;
    const auto headerEnd = file.find('\n');
    if (file.rfind("YUV4MPEG2 ", 0) != 0 || headerEnd == std::string::npos)
        return frames;
    unsigned width = 0, height = 0;
    std::istringstream header(file.substr(10, headerEnd - 10));
    for (std::string field; header >> field;) {
        if (field[0] == 'W')
            width = unsigned(std::stoul(field.substr(1)));
        if (field[0] == 'H')
            height = unsigned(std::stoul(field.substr(1)));
    }
    const std::size_t size = voip::VideoFrame::sizeFor(width, height);
    for (std::size_t at = headerEnd + 1;
         file.compare(at, 6, "FRAME\n") == 0 && at + 6 + size <= file.size(); at += 6 + size) {
        voip::VideoFrame frame;
        frame.width = width;
        frame.height = height;
        frame.data.assign(file.begin() + std::ptrdiff_t(at + 6),
                          file.begin() + std::ptrdiff_t(at + 6 + size));
        frames.push_back(std::move(frame));
    }
    return frames;
}

class KxCallVideo : public testing::TestWithParam<bool>
{};

TEST_P(KxCallVideo, FakeVideoArrivesInOrderAtTheSizeSent)
{
    const std::string tool = KXCALL_PATH;
    const auto port = freePort();
    const std::string base =
        testing::TempDir() + "kxvideo_" + std::to_string(::getpid()) + (GetParam() ? "_fs" : "");
    const std::string calleeLog = base + "_callee.txt", callerLog = base + "_caller.txt";
    const std::string received = base + ".y4m";
    const std::string fastStart = GetParam() ? " --fast-start on" : " --fast-start off";
    const std::string callee = tool + " --listen " + std::to_string(port) +
                               " --bind 127.0.0.1 --calls 1 --record-video " + received +
                               fastStart + " > " + calleeLog + " 2>&1 &";
    ASSERT_EQ(std::system(callee.c_str()), 0);
    for (int i = 0; i < 200 && readFile(calleeLog).find("listening") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string caller =
        tool + " --call 127.0.0.1:" + std::to_string(port) +
        " --hangup-after 3 --video fake --video-size 352x288 --video-rate 25" + fastStart + " > " +
        callerLog + " 2>&1";
    EXPECT_EQ(std::system(caller.c_str()), 0) << readFile(callerLog);
    for (int i = 0; i < 250 && readFile(calleeLog).find("cleared") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string callerText = readFile(callerLog);
    EXPECT_NE(callerText.find("media opened H.264-High session 2 transmit"), std::string::npos)
        << callerText;

    const auto frames = readY4m(received);
    ASSERT_GE(frames.size(), 50u) << readFile(calleeLog);
    EXPECT_EQ(frames.front().width, 352u);
    EXPECT_EQ(frames.front().height, 288u);
    std::optional<uint32_t> previous;
    for (const auto& frame : frames) {
        const auto number = voip::FakeVideoInput::readNumber(frame);
        ASSERT_TRUE(number);
        if (previous) {
            EXPECT_EQ(*number, *previous + 1) << "a picture was lost or repeated";
        }
        previous = number;
    }
    EXPECT_LE(*voip::FakeVideoInput::readNumber(frames.front()), 5u)
        << "video starts with the call";
    std::remove(calleeLog.c_str());
    std::remove(callerLog.c_str());
    std::remove(received.c_str());
}

INSTANTIATE_TEST_SUITE_P(FastStart, KxCallVideo, testing::Bool(),
                         [](const auto& info) { return info.param ? "On" : "Off"; });

/// The picture numbers of a Y4M file, in order; fails the test on a picture without one.
std::vector<uint32_t> pictureNumbers(const std::string& path)
{
    std::vector<uint32_t> numbers;
    for (const auto& frame : readY4m(path)) {
        const auto number = voip::FakeVideoInput::readNumber(frame);
        EXPECT_TRUE(number) << path;
        if (number)
            numbers.push_back(*number);
    }
    return numbers;
}

/// True when the numbers only go up, by at most `maxStep` (a few lost to a refresh).
bool advancing(const std::vector<uint32_t>& numbers, uint32_t maxStep)
{
    for (std::size_t i = 1; i < numbers.size(); ++i)
        if (numbers[i] <= numbers[i - 1] || numbers[i] - numbers[i - 1] > maxStep)
            return false;
    return true;
}

TEST(KxCall, VideoBothWaysContentEachWayAndCameraControl)
{
    // Both send video; the caller presents first, the callee takes over later; each
    // moves the other's camera.  Every stream is checked where it arrives.
    const std::string tool = KXCALL_PATH;
    const auto port = freePort();
    const std::string base = tempPath("full_");
    const std::string common = " --video fake --video-size 320x180 --video-rate 25 --fecc";
    const std::string callee =
        tool + " --listen " + std::to_string(port) + " --bind 127.0.0.1 --name bob" + common +
        " --present --present-delay 3500 --record-video " + base + "bob_video.y4m" +
        " --record-content " + base + "bob_content.y4m > " + base + "bob.txt 2>&1 &";
    ASSERT_EQ(std::system(callee.c_str()), 0);
    for (int i = 0; i < 200 && readFile(base + "bob.txt").find("listening") == std::string::npos;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string caller =
        tool + " --call 127.0.0.1:" + std::to_string(port) + " --name alice --hangup-after 7" +
        common + " --present --present-delay 500 --present-for 2500" + " --record-video " + base +
        "alice_video.y4m" + " --record-content " + base + "alice_content.y4m > " + base +
        "alice.txt 2>&1";
    EXPECT_EQ(std::system(caller.c_str()), 0) << readFile(base + "alice.txt");
    for (int i = 0; i < 250 && readFile(base + "bob.txt").find("cleared") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string alice = readFile(base + "alice.txt");
    const std::string bob = readFile(base + "bob.txt");

    // Presentation: alice's starts, bob sees it, alice's ends, then bob's starts.
    for (const auto* log : {&alice, &bob}) {
        const std::string& text = *log;
        const bool isAlice = log == &alice;
        const auto first =
            text.find(isAlice ? "presentation local-started" : "presentation remote-started");
        const auto second = text.find(
            isAlice ? "presentation local-stopped" : "presentation remote-stopped", first);
        const auto third = text.find(
            isAlice ? "presentation remote-started" : "presentation local-started", second);
        EXPECT_NE(first, std::string::npos) << text;
        EXPECT_NE(second, std::string::npos) << text;
        EXPECT_NE(third, std::string::npos) << text;
        EXPECT_EQ(text.find("local-refused"), std::string::npos) << text;
        EXPECT_EQ(text.find("error"), std::string::npos) << text;
        EXPECT_NE(text.find("media opened H.239-H.264 session 32 transmit"), std::string::npos);
        EXPECT_NE(text.find("media opened H.239-H.264 session 32 receive"), std::string::npos);
        // Camera control arrived: the far end's first and last moves, and its presets.
        EXPECT_NE(text.find("fecc start pan=left"), std::string::npos) << text;
        EXPECT_NE(text.find("fecc stop focus=out"), std::string::npos) << text;
        EXPECT_NE(text.find("fecc activate-preset preset=3"), std::string::npos) << text;
    }

    // Main video both ways for the whole call; content of each presenter at the far end.
    for (const char* who : {"alice", "bob"}) {
        const auto video = pictureNumbers(base + who + "_video.y4m");
        EXPECT_GE(video.size(), 120u) << who << " main video";
        EXPECT_TRUE(advancing(video, 1)) << who << " main video lost or reordered pictures";
        const auto content = pictureNumbers(base + who + "_content.y4m");
        EXPECT_GE(content.size(), 40u) << who << " content";
        EXPECT_TRUE(advancing(content, 200)) << who << " content";
        const auto frames = readY4m(base + who + "_content.y4m");
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.front().width, 320u);
        EXPECT_EQ(frames.front().height, 180u);
    }
    for (const char* file : {"bob.txt", "alice.txt", "bob_video.y4m", "alice_video.y4m",
                             "bob_content.y4m", "alice_content.y4m"})
        std::remove((base + file).c_str());
}

TEST(KxCall, CameraControlActionsArriveBothWays)
{
    const std::string tool = KXCALL_PATH;
    const auto port = freePort();
    const std::string calleeLog = tempPath("fecc_callee.txt");
    const std::string callerLog = tempPath("fecc_caller.txt");
    const std::string callee = tool + " --listen " + std::to_string(port) +
                               " --bind 127.0.0.1 --fecc > " + calleeLog + " 2>&1 &";
    ASSERT_EQ(std::system(callee.c_str()), 0);
    for (int i = 0; i < 200 && readFile(calleeLog).find("listening") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string caller = tool + " --call 127.0.0.1:" + std::to_string(port) +
                               " --fecc --hangup-after 5 > " + callerLog + " 2>&1";
    EXPECT_EQ(std::system(caller.c_str()), 0) << readFile(callerLog);
    for (int i = 0; i < 250 && readFile(calleeLog).find("cleared") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (const auto& log : {calleeLog, callerLog}) {
        const std::string text = readFile(log);
        EXPECT_NE(text.find("media opened FECC-RTP session 3 transmit"), std::string::npos) << text;
        EXPECT_NE(text.find("fecc remote caps presets=4 sources=1 source1=pan+tilt+zoom+focus"),
                  std::string::npos)
            << text;
        // Each of the far end's test moves starts, then stops by the far end's STOP, in order.
        std::size_t at = 0;
        for (const char* move : {"pan=left", "pan=right", "tilt=up", "tilt=down", "zoom=in",
                                 "zoom=out", "focus=in", "focus=out"}) {
            const auto start = text.find(std::string("fecc start ") + move + " timeout_ms=250", at);
            ASSERT_NE(start, std::string::npos) << move << "\n" << text;
            const auto stop = text.find(std::string("fecc stop ") + move, start);
            ASSERT_NE(stop, std::string::npos) << move << "\n" << text;
            at = stop;
        }
        const auto store = text.find("fecc store-preset preset=3", at);
        ASSERT_NE(store, std::string::npos) << text;
        EXPECT_NE(text.find("fecc activate-preset preset=3", store), std::string::npos) << text;
        EXPECT_EQ(text.find("timed-out"), std::string::npos) << text;
        EXPECT_EQ(text.find("error"), std::string::npos) << text;
    }
    std::remove(calleeLog.c_str());
    std::remove(callerLog.c_str());
}

} // namespace
