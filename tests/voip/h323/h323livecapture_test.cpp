// A live capture of a call on loopback, decoded by tshark: no malformed packets, and the
// call's messages where they belong, video and a presentation (H.239) among them.  Needs tshark and
// the right to capture (root); skipped otherwise.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "tests/voip/h323/h323fixture.h"
#include "tests/support/toolskip.h"

namespace voip::h323::test {
namespace {

std::string run(const std::string& command)
{
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t count = 0;
        while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            output.append(buffer, count);
        ::pclose(pipe);
    }
    return output;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(H323Capture, ALiveCallDecodesCleanlyInTshark)
{
    if (::geteuid() != 0 || run("command -v tshark").empty())
        KX_SKIP_WITHOUT_TOOL() << "tshark or the right to capture is missing";
    Side alice("alice");
    Side bob("bob");
    bob.manager.answerPolicy = [](voip::Connection&, const std::string&) {
        return AnswerCallResponse::AnswerNow;
    };
    const std::string base = testing::TempDir() + "h323capture_" + std::to_string(::getpid());
    const std::string file = base + ".pcapng";
    const std::string log = base + ".log";
    const std::string pidFile = base + ".pid";
    const std::string port = std::to_string(bob.endpoint->listenerPort());
    std::system(("tshark -i lo -f 'tcp port " + port + "' -a duration:6 -w " + file + " > " + log +
                 " 2>&1 & echo $! > " + pidFile)
                    .c_str());
    const bool capturing =
        eventually([&] { return readFile(log).find("Capturing on") != std::string::npos; },
                   std::chrono::seconds(10));
    const int pid = std::atoi(readFile(pidFile).c_str());
    if (!capturing) {
        if (pid > 0)
            ::kill(pid, SIGTERM);
        KX_SKIP_WITHOUT_TOOL() << "capture did not start: " << readFile(log);
    }

    // The message comes a little before packets are really taken.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const auto token = alice.call(bob.address());
    ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
    auto caller = alice.h323(token);
    ASSERT_TRUE(caller);
    ASSERT_TRUE(eventually([&] {
        return caller->findLogicalChannel(AudioSessionId, false) &&
               caller->findLogicalChannel(AudioSessionId, true);
    }));
    caller->sendUserInputString("42");
    ASSERT_TRUE(bob.manager.waitUntil([&] { return !bob.manager.userInput.empty(); }));
    auto callee = bob.anyH323();
    ASSERT_TRUE(callee);
    ASSERT_TRUE(caller->startPresentation());
    ASSERT_TRUE(eventually([&] { return callee->isRemotePresenting(); }));
    ASSERT_TRUE(caller->stopPresentation());
    ASSERT_TRUE(eventually([&] { return !callee->isRemotePresenting(); }));
    callee.reset();
    caller.reset();
    alice.manager.clearCall(token, EndReason::LocalUser, true);
    ASSERT_TRUE(bob.manager.waitUntil([&] { return bob.manager.cleared.size() == 1; }));
    ASSERT_GT(pid, 0);
    // The capture ends by itself after its duration, with everything written out.
    EXPECT_TRUE(eventually([&] { return !std::filesystem::exists("/proc/" + std::to_string(pid)); },
                           std::chrono::seconds(20)));

    const std::string malformed = run("tshark -r " + file + " -Y '_ws.malformed' 2>/dev/null");
    EXPECT_TRUE(malformed.empty()) << malformed;
    const std::string summary = run("tshark -r " + file + " 2>/dev/null");
    for (const char* expected :
         {"CS: setup", "CS: connect", "terminalCapabilitySet", "masterSlaveDetermination ",
          "terminalCapabilitySetAck", "masterSlaveDeterminationAck", "openLogicalChannel ",
          "openLogicalChannelAck", "userInput", "releaseComplete", "endSessionCommand"})
        EXPECT_NE(summary.find(expected), std::string::npos) << expected << "\n" << summary;
    // Video goes as H.264 in the non-interleaved mode both sides listed; the presentation
    // asked for the token (3), was answered (4), released it (5) and had its own channel.
    const std::string video = run("tshark -r " + file +
                                  " -T fields -e h245.standardOid -e h245.oid "
                                  "-e h245.subMessageIdentifier.standard 2>/dev/null");
    for (const char* expected :
         {"0.0.8.241.0.0.1", "0.0.8.241.0.0.0.1", "0.0.8.239.1.1", "0.0.8.239.1.2", "0.0.8.239.2"})
        EXPECT_NE(video.find(expected), std::string::npos) << expected << "\n" << video;
    for (const char* message : {"\t3", "\t4", "\t5"})
        EXPECT_NE(video.find(message), std::string::npos) << "H.239 message" << message;
    // The fields that matter read back as sent.
    const std::string fields = run("tshark -r " + file +
                                   " -Y 'h225.setup_element' -T fields -e h225.h323_ID "
                                   "-e q931.display_information 2>/dev/null");
    EXPECT_NE(fields.find("alice"), std::string::npos) << fields;
    EXPECT_NE(fields.find("alice display"), std::string::npos) << fields;
    if (!HasFailure())
        std::filesystem::remove(file);
    std::filesystem::remove(log);
    std::filesystem::remove(pidFile);
}

} // namespace
} // namespace voip::h323::test
