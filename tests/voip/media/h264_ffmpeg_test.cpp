// H.264 over RTP against independent RTP stacks: we receive and decode what ffmpeg sends
// with -f rtp, and GStreamer's rtph264depay takes what we send in either packetisation mode.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "picturequality.h"

#include "tests/tools/tshark_util.h"
#include "voip/media/h264payload.h"
#include "voip/media/videocodec.h"
#include "voip/rtp/rtppacket.h"
#include "tests/support/toolskip.h"

namespace voip {
namespace {

using test::psnr;

using kx::testutil::runCommand;
using kx::testutil::shellQuote;

bool haveFfmpeg()
{
    return runCommand("command -v ffmpeg") != "";
}

/// A UDP socket on 127.0.0.1 (port 0: any free port).
struct UdpSocket
{
    UdpSocket(uint16_t port = 0)
    {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        this->port = ntohs(address.sin_port);
    }
    ~UdpSocket() { ::close(fd); }
    void sendTo(uint16_t to, std::span<const uint8_t> datagram) const
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(to);
        ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address),
                 sizeof address);
    }
    /// One datagram, or empty after `timeoutMs`.
    std::vector<uint8_t> receive(int timeoutMs) const
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return {};
        std::vector<uint8_t> buffer(65536);
        const auto n = ::recv(fd, buffer.data(), buffer.size(), 0);
        buffer.resize(n > 0 ? std::size_t(n) : 0);
        return buffer;
    }
    int fd = -1;
    uint16_t port = 0;
};

/// Whether some socket of this machine is bound to UDP `port` on IPv4.
bool udpPortBound(uint16_t port)
{
    std::ifstream table("/proc/net/udp");
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X ", port);
    std::string line;
    while (std::getline(table, line))
        if (line.find(hex) != std::string::npos && line.find(hex) < 30)
            return true;
    return false;
}

VideoFrame pattern(unsigned width, unsigned height, unsigned n)
{
    VideoFrame frame = VideoFrame::black(width, height);
    uint8_t* y = frame.plane(0);
    for (unsigned row = 0; row < height; ++row)
        for (unsigned column = 0; column < width; ++column) {
            const bool bar = (column + 5 * n) % 80 < 40;
            y[row * width + column] = uint8_t(bar ? 200 : 40 + row * 100 / height);
        }
    return frame;
}

TEST(H264WithFfmpeg, WeDecodeWhatFfmpegSendsWithRtp)
{
    if (!haveFfmpeg())
        KX_SKIP_WITHOUT_TOOL() << "ffmpeg not installed";
    UdpSocket socket;
    // The RTP muxer moves SPS and PPS into the SDP; H.323 has no SDP, so the bitstream
    // filter puts them back before each key frame, where an H.323 sender puts them.
    const std::string command =
        "timeout 20 ffmpeg -nostdin -v error -re -f lavfi -i testsrc=size=352x288:rate=25 "
        "-frames:v 50 -pix_fmt yuv420p -c:v libx264 -preset veryfast -tune zerolatency -g 25 "
        "-bsf:v dump_extra=freq=keyframe -payload_type 96 "
        "-f rtp rtp://127.0.0.1:" +
        std::to_string(socket.port) + "?pkt_size=1200 >/dev/null 2>&1";
    std::thread ffmpeg([&] { runCommand(command); });

    auto decoder = H264Decoder::create();
    ASSERT_TRUE(decoder);
    h264::Depacketiser depacketiser;
    std::vector<VideoFrame> frames;
    std::vector<uint8_t> picture;
    std::size_t packets = 0, fragments = 0, decodeErrors = 0;
    for (;;) {
        const auto datagram = socket.receive(3000);
        if (datagram.empty())
            break;
        rtp::RtpPacketView packet;
        if (rtp::parseRtp(datagram, packet) != rtp::PacketError::None || packet.payloadType != 96)
            continue;
        ++packets;
        fragments += !packet.payload.empty() && (packet.payload[0] & 0x1F) == h264::FuA;
        depacketiser.add(packet.payload, packet.sequence, packet.timestamp, packet.marker);
        uint32_t timestamp = 0;
        while (depacketiser.takePicture(picture, timestamp))
            decodeErrors += !decoder.value()->decode(picture, frames);
    }
    ffmpeg.join();
    EXPECT_GT(packets, 50u);
    EXPECT_GT(fragments, 0u) << "large pictures come in FU-A";
    EXPECT_EQ(depacketiser.damaged(), 0u);
    EXPECT_EQ(decodeErrors, 0u);
    ASSERT_GE(frames.size(), 45u);
    EXPECT_EQ(frames.front().width, 352u);
    EXPECT_EQ(frames.front().height, 288u);
}

bool haveGstreamer()
{
    return runCommand("gst-inspect-1.0 rtph264depay >/dev/null 2>&1 && "
                      "gst-inspect-1.0 avdec_h264 >/dev/null 2>&1 && echo yes") == "yes\n";
}

class H264WithGstreamer : public testing::TestWithParam<int>
{};

TEST_P(H264WithGstreamer, RtpH264DepayDecodesWhatWeSend)
{
    if (!haveGstreamer())
        KX_SKIP_WITHOUT_TOOL() << "GStreamer with rtph264depay and avdec_h264 not installed";
    const int mode = GetParam();
    const unsigned width = 320, height = 240, rate = 25;
    uint16_t port;
    {
        UdpSocket probe;
        port = probe.port;
    }
    const auto dir = std::filesystem::temp_directory_path() /
                     ("kx_h264_gst_" + std::to_string(::getpid()) + "_" + std::to_string(mode));
    std::filesystem::create_directories(dir);
    const auto out = dir / "out.yuv";
    // An interrupt makes gst-launch end the stream (-e), so the file is complete.
    const std::string command =
        "timeout -s INT 12 gst-launch-1.0 -q -e udpsrc address=127.0.0.1 port=" +
        std::to_string(port) +
        " caps=\"application/x-rtp,media=video,clock-rate=90000,encoding-name=H264,payload=96\""
        " ! rtpjitterbuffer latency=100 ! rtph264depay ! avdec_h264 ! videoconvert"
        " ! video/x-raw,format=I420 ! filesink location=" +
        shellQuote(out.string()) + " > " + shellQuote((dir / "log.txt").string()) + " 2>&1";
    std::thread receiver([&] { runCommand(command); });
    for (int wait = 0; wait < 100 && !udpPortBound(port); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    H264EncoderOptions options;
    options.width = width;
    options.height = height;
    options.frameRate = rate;
    options.keyFrameInterval = 25;
    options.bitRate = 2'000'000;
    options.maxSliceBytes = mode == 0 ? 1200 : 0;
    auto encoder = H264Encoder::create(options);
    ASSERT_TRUE(encoder);
    h264::Packetiser packetiser(1200, mode);
    UdpSocket sender;
    std::vector<VideoFrame> sent;
    std::vector<uint8_t> accessUnit, datagram;
    std::vector<std::vector<uint8_t>> payloads;
    uint16_t sequence = 1;
    std::size_t packets = 0;
    for (unsigned n = 0; n < 75; ++n) {
        sent.push_back(pattern(width, height, n));
        ASSERT_TRUE(encoder.value()->encode(sent.back(), accessUnit));
        packetiser.packetise(accessUnit, payloads);
        for (std::size_t i = 0; i < payloads.size(); ++i) {
            rtp::RtpHeader header{96, i + 1 == payloads.size(), sequence++, n * 90000 / rate,
                                  0x4B58};
            rtp::buildRtp(header, payloads[i], datagram);
            sender.sendTo(port, datagram);
            ++packets;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 / rate));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    runCommand("pkill -INT -f 'udpsrc address=127.0.0.1 port=" + std::to_string(port) + " '");
    receiver.join();

    const auto frameSize = VideoFrame::sizeFor(width, height);
    ASSERT_TRUE(std::filesystem::exists(out)) << runCommand("cat " + shellQuote((dir / "log.txt").string()));
    const auto size = std::filesystem::file_size(out);
    EXPECT_EQ(size % frameSize, 0u) << "decoded at another size than " << width << "x" << height;
    EXPECT_GE(size / frameSize, 70u) << packets << " packets sent";
    std::ifstream decoded(out, std::ios::binary);
    for (std::size_t k = 0; k < size / frameSize; ++k) {
        VideoFrame frame = VideoFrame::black(width, height);
        decoded.read(reinterpret_cast<char*>(frame.data.data()), std::streamsize(frameSize));
        double best = 0;
        for (const auto& source : sent)
            best = std::max(best, psnr(frame, source));
        EXPECT_GT(best, 35) << "picture " << k;
    }
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Modes, H264WithGstreamer, testing::Values(0, 1),
                         [](const auto& info) { return "Mode" + std::to_string(info.param); });

} // namespace
} // namespace voip
