// Two kxcall processes on 127.0.0.1: one listens and answers, the other calls, sends user
// input and hangs up; each prints the events of its call.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <asio.hpp>

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
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

} // namespace
