#include "kxcallkit.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <unistd.h>

#include <asio.hpp>
#include <gtest/gtest.h>

#include "voip/device/video_fake.h"

namespace kx::testutil {

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

BackgroundKxcall::BackgroundKxcall(const std::string& arguments, std::string log,
                                   const std::string& prefix)
    : log_(std::move(log))
{
    const std::string command = prefix + KXCALL_PATH + " " + arguments + " > " + log_ +
                                " 2>&1 & echo $! > " + log_ + ".pid";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

BackgroundKxcall::~BackgroundKxcall()
{
    stop();
}

void BackgroundKxcall::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    const std::string pid = "$(cat " + log_ + ".pid)";
    std::system(("kill " + pid + " 2>/dev/null; for i in $(seq 100); do kill -0 " + pid +
                 " 2>/dev/null || break; sleep 0.05; done")
                    .c_str());
    std::remove((log_ + ".pid").c_str());
}

bool BackgroundKxcall::waitFor(const std::string& line, std::chrono::milliseconds wait) const
{
    const auto until = std::chrono::steady_clock::now() + wait;
    while (text().find(line) == std::string::npos) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

KxcallLogs runKxcallPair(const std::string& calleeArguments, const std::string& callerArguments,
                         const std::string& base, bool callerFails)
{
    const std::string tool = KXCALL_PATH;
    const auto listening = freePort();
    const auto port = std::to_string(listening);
    const std::string calleeLog = base + "callee.txt";
    const std::string callerLog = base + "caller.txt";
    const std::string callee = tool + " --listen " + port + " --bind 127.0.0.1 " +
                               calleeArguments + " > " + calleeLog + " 2>&1 &";
    EXPECT_EQ(std::system(callee.c_str()), 0);
    for (int i = 0; i < 250 && readFile(calleeLog).find("listening") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string caller =
        tool + " --call 127.0.0.1:" + port + " " + callerArguments + " > " + callerLog + " 2>&1";
    EXPECT_EQ(std::system(caller.c_str()) != 0, callerFails) << readFile(callerLog);
    // The callee takes one call and ends by itself once it has cleared and printed.
    for (int i = 0; i < 500 && readFile(calleeLog).find("cleared") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return {readFile(calleeLog), readFile(callerLog), listening};
}

long statistic(const std::string& log, const std::string& direction, const std::string& key,
               const std::string& session)
{
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("stats ", 0) != 0 || line.find(" " + direction + " ") == std::string::npos ||
            (!session.empty() && line.find(" session " + session + " ") == std::string::npos))
            continue;
        std::smatch match;
        if (std::regex_search(line, match, std::regex(" " + key + "=([0-9]+)")))
            return std::stol(match[1]);
    }
    return -1;
}

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

std::vector<std::uint32_t> pictureNumbers(const std::string& path)
{
    std::vector<std::uint32_t> numbers;
    for (const auto& frame : readY4m(path)) {
        const auto number = voip::FakeVideoInput::readNumber(frame);
        EXPECT_TRUE(number) << path;
        if (number)
            numbers.push_back(*number);
    }
    return numbers;
}

bool advancing(const std::vector<std::uint32_t>& numbers, std::uint32_t maxStep)
{
    for (std::size_t i = 1; i < numbers.size(); ++i)
        if (numbers[i] <= numbers[i - 1] || numbers[i] - numbers[i - 1] > maxStep)
            return false;
    return true;
}

} // namespace kx::testutil
