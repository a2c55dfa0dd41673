// Video between two kxcall processes on 127.0.0.1, with and without fastStart: the caller
// sends FakeVideo, the callee writes what it receives into a Y4M file, and the pictures'
// numbers read back from that file advance without a gap.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <asio.hpp>

#include "voip/device/video_fake.h"

namespace voip {
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

/// The pictures of a 4:2:0 Y4M file (as our writer makes it: no frame parameters).
std::vector<VideoFrame> readY4m(const std::string& path)
{
    const std::string file = readFile(path);
    std::vector<VideoFrame> frames;
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
    const std::size_t size = VideoFrame::sizeFor(width, height);
    for (std::size_t at = headerEnd + 1;
         file.compare(at, 6, "FRAME\n") == 0 && at + 6 + size <= file.size(); at += 6 + size) {
        VideoFrame frame;
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
        const auto number = FakeVideoInput::readNumber(frame);
        ASSERT_TRUE(number);
        if (previous) {
            EXPECT_EQ(*number, *previous + 1) << "a picture was lost or repeated";
        }
        previous = number;
    }
    EXPECT_LE(*FakeVideoInput::readNumber(frames.front()), 5u) << "video starts with the call";
    std::remove(calleeLog.c_str());
    std::remove(callerLog.c_str());
    std::remove(received.c_str());
}

INSTANTIATE_TEST_SUITE_P(FastStart, KxCallVideo, testing::Bool(),
                         [](const auto& info) { return info.param ? "On" : "Off"; });

} // namespace
} // namespace voip
