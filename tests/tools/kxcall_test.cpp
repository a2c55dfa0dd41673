// Two kxcall processes on 127.0.0.1: one listens and answers, the other calls, sends user
// input and hangs up; each prints the events of its call.  With video, the caller sends
// FakeVideo and the callee writes what it receives into a Y4M file, whose pictures' numbers
// must advance without a gap.  With camera control, each moves the other's camera
// through every action and both print what arrived.  (Everything at once, in every call
// mode: kxcall_modes_test.)

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <asio.hpp>

#include "kxcallkit.h"
#include "tools/kxcall/kxcallmanager.h"

#include <sstream>

#include <nlohmann/json.hpp>
#include "voip/device/video_fake.h"

namespace {

using namespace kx::testutil;

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

// Every line of --json is valid JSON, also where the far end's text is not UTF-8.
TEST(KxCall, JsonLinesStayValidWhateverTheFarEndSends)
{
    const std::string tool = KXCALL_PATH;
    const auto port = freePort();
    const std::string calleeLog = tempPath("callee.json");
    const std::string callee = tool + " --listen " + std::to_string(port) +
                               " --bind 127.0.0.1 --json > " + calleeLog + " 2>&1 &";
    ASSERT_EQ(std::system(callee.c_str()), 0);
    for (int i = 0; i < 200 && readFile(calleeLog).find("listening") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Input with a quote, a control character and bytes that are no UTF-8.
    const std::string caller = tool + " --call 127.0.0.1:" + std::to_string(port) +
                               " --send-input \"$(printf 'a\\042b\\001c\\377\\376d')\"" +
                               " --hangup-after 1 > /dev/null 2>&1";
    EXPECT_EQ(std::system(caller.c_str()), 0);
    for (int i = 0; i < 250 && readFile(calleeLog).find("cleared") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::istringstream lines(readFile(calleeLog));
    std::string line;
    bool sawInput = false;
    while (std::getline(lines, line)) {
        const auto object = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(object.is_discarded()) << line;
        if (object.value("event", "") == "user input") {
            sawInput = true;
            const std::string text = object.value("detail", "");
            EXPECT_NE(text.find("a\"b"), std::string::npos) << text;
            EXPECT_NE(text.find("\x01"
                                "c"),
                      std::string::npos)
                << text;
            EXPECT_NE(text.find("\xEF\xBF\xBD"), std::string::npos) << "U+FFFD for the bytes";
        }
    }
    EXPECT_TRUE(sawInput) << readFile(calleeLog);
    std::remove(calleeLog.c_str());
}

TEST(KxCall, RefusesBadArguments)
{
    const std::string tool = KXCALL_PATH;
    EXPECT_EQ(std::system((tool + " --bogus > /dev/null 2>&1").c_str()), 2 << 8);
    EXPECT_EQ(std::system((tool + " > /dev/null 2>&1").c_str()), 2 << 8);
}

/// The options of a command line, or the reason it is refused.
std::variant<kxcall::Options, std::string> parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "kxcall");
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    std::string error;
    auto options = kxcall::parseOptions(int(argv.size()), argv.data(), error);
    if (!options)
        return error;
    return *options;
}

TEST(KxCallOptions, NumbersAreDecimalAndInRange)
{
    // A leading zero is not octal, nor 0x hexadecimal.
    auto options = std::get<kxcall::Options>(parse({"--listen", "010", "--answer", "0500"}));
    EXPECT_EQ(options.listenPort, 10);
    EXPECT_EQ(options.answer, kxcall::Options::Answer::Delayed);
    EXPECT_EQ(options.answerDelay, std::chrono::milliseconds(500));
    for (const auto& bad :
         std::vector<std::vector<std::string>>{{"--listen", "0x10"},
                                               {"--listen", "70000"},
                                               {"--listen", "-1"},
                                               {"--listen", "1", "--answer", "3600001"},
                                               {"--listen", "1", "--video-size", "641x360"},
                                               {"--listen", "1", "--video-size", "640"},
                                               {"--listen", "1", "--release-cause", "0"},
                                               {"--listen"}})
        EXPECT_TRUE(std::holds_alternative<std::string>(parse(bad))) << bad.back();
}

TEST(KxCallOptions, WordsListsAndTheLastOfTwo)
{
    auto options = std::get<kxcall::Options>(
        parse({"--call", "a", "--call", "b", "--fast-start", "on", "--tunnelling", "off",
               "--formats", "G.722,,G.711-uLaw-64k", "--h264-profiles", "baseline,high",
               "--h224-framing", "hdlc", "--present-end", "close", "--video", "v4l2:/dev/video2"}));
    EXPECT_EQ(options.callAddress, "b");
    EXPECT_TRUE(options.fastStart);
    EXPECT_FALSE(options.tunnelling);
    EXPECT_EQ(options.formatOrder, (std::vector<std::string>{"G.722", "G.711-uLaw-64k"}));
    EXPECT_EQ(options.h264Profiles, 64 | 8);
    EXPECT_EQ(options.h224Framing, "HDLC");
    EXPECT_TRUE(options.presentEndByClose);
    EXPECT_FALSE(options.fastStartOwnNumbers);
    EXPECT_EQ(options.videoDevice, "/dev/video2");
    for (const auto& [words, reason] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--listen", "1", "--h264-profiles", "main,extended"}, "extended"},
             {{"--listen", "1", "--present"}, "--present needs a video source"},
             {{"--name", "x"}, "nothing to do"},
             {{"--listen", "1", "--sound-driver", "Nope"}, "Nope"}}) {
        auto result = parse(words);
        ASSERT_TRUE(std::holds_alternative<std::string>(result)) << reason;
        EXPECT_NE(std::get<std::string>(result).find(reason), std::string::npos)
            << std::get<std::string>(result);
    }
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
