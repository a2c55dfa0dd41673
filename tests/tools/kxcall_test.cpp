// Two kxcall processes on 127.0.0.1: one listens and answers, the other calls, sends user
// input or a WAV file and hangs up; each prints the events of its call.
// (Everything at once, in every call mode: kxcall_modes_test.)  And kxcall's command line.

#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "kxcallkit.h"
#include "tests/voip/pcss/audiocheck.h"
#include "tools/kxcall/kxcallmanager.h"
#include "voip/device/wavfile.h"

namespace {

using namespace kx::testutil;

TEST(KxCall, TwoProcessesCallAnswerExchangeInputAndClear)
{
    const auto logs = runKxcallPair("--answer 200 --name bob",
                                    "--send-input 12#@. --hangup-after 1 --fast-start on"
                                    " --formats G.711-uLaw-64k --name alice",
                                    tempPath("plain_"));
    EXPECT_NE(logs.callee.find("listening on port " + std::to_string(logs.port)),
              std::string::npos);
    EXPECT_NE(logs.caller.find("established"), std::string::npos) << logs.caller;
    EXPECT_NE(logs.caller.find("media opened G.711-uLaw-64k session 1 transmit"), std::string::npos)
        << logs.caller;
    EXPECT_NE(logs.caller.find("cleared token="), std::string::npos);
    EXPECT_NE(logs.caller.find("reason=0 "), std::string::npos) << logs.caller;
    EXPECT_NE(logs.callee.find("incoming call from alice"), std::string::npos) << logs.callee;
    EXPECT_NE(logs.callee.find("user input \"12#@.\""), std::string::npos) << logs.callee;
    EXPECT_NE(logs.callee.find("media closed"), std::string::npos) << logs.callee;
    EXPECT_NE(logs.callee.find("reason=3 "), std::string::npos) << logs.callee;
}

struct AudioCase
{
    const char* format;
    bool fastStart;
};

class KxCallAudio : public testing::TestWithParam<AudioCase>
{};

// One sends a WAV file through each codec, the other records what it receives: the
// recording matches what was sent, and both print the statistics of their RTP streams.
TEST_P(KxCallAudio, AWavFileSentIsRecordedAtTheFarEndAndBothPrintStatistics)
{
    const auto [format, fastStart] = GetParam();
    const unsigned rate = std::string(format) == "G.722-64k" ? 16000 : 8000;
    voip::test::TempFolder folder;
    const auto signal = voip::test::testSignal(rate, 2.5, 300, rate == 16000 ? 6000 : 3200);
    ASSERT_TRUE(voip::writeWavFile(folder.file("send.wav"), {1, rate, signal}));
    // Both sides put the codec first: with fastStart the callee picks in its own order.
    const std::string mode = std::string(" --formats ") + format +
                             (fastStart ? " --fast-start on" : " --fast-start off");
    const auto logs = runKxcallPair("--name bob --record " + folder.file("received.wav") + mode,
                                    mode + " --hangup-after 2 --sound-driver Null --send " +
                                        folder.file("send.wav"),
                                    folder.file(""));
    for (const auto* log : {&logs.caller, &logs.callee})
        EXPECT_NE(log->find(std::string("media opened ") + format + " session 1 transmit"),
                  std::string::npos)
            << *log;
    // 20 ms packets of 160 bytes for about two seconds each way (the media may start some
    // hundred milliseconds after the call on a busy machine: more than 1.2 s of it).
    EXPECT_GT(statistic(logs.caller, "transmit", "packets"), 60) << logs.caller;
    EXPECT_EQ(statistic(logs.caller, "transmit", "bytes"),
              statistic(logs.caller, "transmit", "packets") * 160);
    EXPECT_GT(statistic(logs.callee, "receive", "packets"), 60) << logs.callee;
    EXPECT_EQ(statistic(logs.callee, "receive", "lost"), 0) << logs.callee;
    EXPECT_GT(statistic(logs.caller, "receive", "packets"), 60) << "the callee sends silence";

    auto received = voip::readWavFile(folder.file("received.wav"));
    ASSERT_TRUE(received) << logs.callee;
    EXPECT_EQ(received.value().sampleRate, rate);
    ASSERT_GT(received.value().samples.size(), rate);
    const auto alignment = voip::test::align(signal, received.value().samples, rate);
    EXPECT_GT(alignment.score, 0.9) << "offset " << alignment.offset;
}

INSTANTIATE_TEST_SUITE_P(EachCodec, KxCallAudio,
                         testing::Values(AudioCase{"G.711-ALaw-64k", true},
                                         AudioCase{"G.711-uLaw-64k", false},
                                         AudioCase{"G.722-64k", true},
                                         AudioCase{"G.722-64k", false}),
                         [](const auto& info) {
                             std::string name = info.param.format;
                             std::erase_if(name, [](char c) { return !std::isalnum(c); });
                             return name + (info.param.fastStart ? "FastStart" : "H245");
                         });

// Every line of --json is valid JSON, also where the far end's text is not UTF-8.
// Encryption as each side is set: "required" against "off" is refused either way round,
// with the reason on both sides; "off" on either side gives a clear call.
TEST(KxCall, RequiredEncryptionRefusesAClearPeerAndOffStaysClear)
{
    struct Case
    {
        const char* callee;
        const char* caller;
        bool refused;
    };
    for (const auto& [callee, caller, refused] :
         {Case{"off", "required", true}, Case{"required", "off", true},
          Case{"off", "auto", false}, Case{"auto", "off", false}}) {
        SCOPED_TRACE(std::string(callee) + " called by " + caller);
        const auto logs = runKxcallPair(std::string("--encryption ") + callee,
                                        std::string("--hangup-after 1 --encryption ") + caller,
                                        tempPath(std::string("encryption_") + callee + "_" +
                                                 caller + "_"),
                                        refused);
        for (const auto* log : {&logs.caller, &logs.callee}) {
            SCOPED_TRACE(log == &logs.caller ? "caller" : "callee");
            EXPECT_EQ(log->find("media encrypted"), std::string::npos) << *log;
            if (refused) {
                EXPECT_NE(log->find("reason=14 Security"), std::string::npos) << *log;
                EXPECT_EQ(log->find("media opened"), std::string::npos) << *log;
            } else {
                EXPECT_NE(log->find("media opened G.722-64k session 1 receive"), std::string::npos)
                    << *log;
            }
        }
    }
}

TEST(KxCall, JsonLinesStayValidWhateverTheFarEndSends)
{
    // Input with a quote, a control character and bytes that are no UTF-8.
    const auto logs = runKxcallPair(
        "--json", "--send-input \"$(printf 'a\\042b\\001c\\377\\376d')\" --hangup-after 1",
        tempPath("json_"));
    std::istringstream lines(logs.callee);
    bool sawInput = false;
    for (std::string line; std::getline(lines, line);) {
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
    EXPECT_TRUE(sawInput) << logs.callee;
}

TEST(KxCall, RefusesBadArguments)
{
    const std::string tool = KXCALL_PATH;
    EXPECT_EQ(std::system((tool + " --bogus > /dev/null 2>&1").c_str()), 2 << 8);
    EXPECT_EQ(std::system((tool + " > /dev/null 2>&1").c_str()), 2 << 8);
    EXPECT_NE(std::system((tool + " --listen 0 --bind 127.0.0.1 --sound-driver Null" +
                           " --play-device 'No Such Speaker' > /dev/null 2>&1")
                              .c_str()),
              0);
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

} // namespace
