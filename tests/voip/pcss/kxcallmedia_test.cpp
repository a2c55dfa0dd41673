// kxcall with media: one process listens and records what it receives into a WAV file, the
// other calls and sends a WAV file; the recording matches what was sent, and both print
// the statistics of their RTP streams when the call ends.

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/voip/pcss/audiocheck.h"
#include "voip/device/wavfile.h"

namespace voip::test {
namespace {

std::string readText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// The number after `key=` on the first "stats" line of `direction`, or -1.
long statistic(const std::string& log, const std::string& direction, const std::string& key)
{
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("stats ", 0) != 0 || line.find(" " + direction + " ") == std::string::npos)
            continue;
        std::smatch match;
        if (std::regex_search(line, match, std::regex(" " + key + "=([0-9]+)")))
            return std::stol(match[1]);
    }
    return -1;
}

TEST(KxCallMedia, SendsAWavFileRecordsTheOtherSideAndPrintsStatistics)
{
    TempFolder folder;
    const std::string tool = KXCALL_PATH;
    const auto signal = testSignal(8000, 2.5, 300, 3200);
    ASSERT_TRUE(writeWavFile(folder.file("send.wav"), {1, 8000, signal}));
    const auto calleeLog = folder.file("callee.txt");
    const auto callerLog = folder.file("caller.txt");
    const std::string callee = tool + " --listen 0 --bind 127.0.0.1 --name bob --record " +
                               folder.file("received.wav") + " > " + calleeLog + " 2>&1 &";
    ASSERT_EQ(std::system(callee.c_str()), 0);
    std::string port;
    for (int i = 0; i < 200 && port.empty(); ++i) {
        const auto text = readText(calleeLog);
        std::smatch match;
        if (std::regex_search(text, match, std::regex("listening on port ([0-9]+)"))) {
            port = match[1].str();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_FALSE(port.empty()) << readText(calleeLog);
    const std::string caller = tool + " --call 127.0.0.1:" + port +
                               " --formats G.711-ALaw-64k --hangup-after 2 --sound-driver Null" +
                               " --send " + folder.file("send.wav") + " > " + callerLog + " 2>&1";
    EXPECT_EQ(std::system(caller.c_str()), 0) << readText(callerLog);
    for (int i = 0; i < 250 && readText(calleeLog).find("cleared") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto callerText = readText(callerLog);
    const auto calleeText = readText(calleeLog);

    // 20 ms packets of 160 bytes for about two seconds each way (the media may start some
    // hundred milliseconds after the call on a busy machine: more than 1.2 s of it).
    EXPECT_GT(statistic(callerText, "transmit", "packets"), 60) << callerText;
    EXPECT_EQ(statistic(callerText, "transmit", "bytes"),
              statistic(callerText, "transmit", "packets") * 160);
    EXPECT_GT(statistic(calleeText, "receive", "packets"), 60) << calleeText;
    EXPECT_EQ(statistic(calleeText, "receive", "lost"), 0) << calleeText;
    EXPECT_GT(statistic(callerText, "receive", "packets"), 60) << "the callee sends silence";

    auto received = readWavFile(folder.file("received.wav"));
    ASSERT_TRUE(received) << calleeText;
    ASSERT_GT(received.value().samples.size(), 8000u);
    const auto alignment = align(signal, received.value().samples, 8000);
    EXPECT_GT(alignment.score, 0.9) << "offset " << alignment.offset;
}

TEST(KxCallMedia, RefusesAnUnknownSoundDriverOrDevice)
{
    const std::string tool = KXCALL_PATH;
    EXPECT_NE(std::system((tool + " --listen 0 --sound-driver Bogus > /dev/null 2>&1").c_str()), 0);
    EXPECT_NE(std::system((tool + " --listen 0 --bind 127.0.0.1 --sound-driver Null" +
                           " --play-device 'No Such Speaker' > /dev/null 2>&1")
                              .c_str()),
              0);
}

} // namespace
} // namespace voip::test
