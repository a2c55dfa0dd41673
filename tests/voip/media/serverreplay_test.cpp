// What a conference server sent, replayed from its capture into the receiving streams: a
// key frame of which only the last slice came, G.722 stamped with a 16 kHz clock, and a
// receiver report with an impossible jitter.  Skipped when the captures are not there.

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "tools/common/capture.h"
#include "tools/common/packet.h"
#include "voip/device/videooutput.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/media/videostream.h"
#include "voip/rtp/rtpsession.h"

namespace voip {
namespace {

using namespace std::chrono_literals;

std::filesystem::path interopCapture(const std::string& name)
{
    std::error_code error;
    const auto path = std::filesystem::path(KX_REFERENCE_DIR) / "interop" / name;
    return std::filesystem::is_regular_file(path, error) ? path : std::filesystem::path();
}

/// A UDP payload of a capture and when it was captured.
struct Captured
{
    std::int64_t atNs = 0;
    std::vector<std::uint8_t> data;
};

/// The UDP payloads a capture holds from `fromPort` (to `toPort` when given).
std::vector<Captured> datagrams(const std::filesystem::path& path, std::uint16_t fromPort,
                                std::optional<std::uint16_t> toPort = std::nullopt)
{
    std::vector<Captured> found;
    for (const auto& frame : kx::capture::readCaptureFile(path.string()).frames) {
        const auto parsed = kx::capture::parsePacket(frame.linkType, frame.data);
        if (parsed.kind == kx::capture::ParsedPacket::Kind::Packet &&
            parsed.packet.transport == kx::capture::Transport::Udp &&
            parsed.packet.source.port == fromPort &&
            (!toPort || parsed.packet.destination.port == *toPort))
            found.push_back(
                {frame.timestampNs, std::vector<std::uint8_t>(parsed.packet.payload.begin(),
                                                              parsed.packet.payload.end())});
    }
    return found;
}

/// One RTP packet of a capture, its header read.
struct CapturedRtp
{
    std::int64_t atNs = 0;
    std::uint16_t sequence = 0;
    std::uint32_t timestamp = 0;
    bool marker = false;
    std::vector<std::uint8_t> payload;
};

/// The RTP packets of a capture sent from `fromPort` (version 2, no padding or extension
/// in what the server sends); RTCP, whose second octet reads as types 72-76 there, is not.
std::vector<CapturedRtp> rtpFrom(const std::filesystem::path& path, std::uint16_t fromPort)
{
    std::vector<CapturedRtp> packets;
    for (const auto& [atNs, data] : datagrams(path, fromPort)) {
        const unsigned type = data.size() >= 12 ? data[1] & 0x7Fu : 0;
        if (data.size() < 12 || (data[0] >> 6) != 2 || (type >= 72 && type <= 76))
            continue;
        const std::size_t header = 12 + 4 * std::size_t(data[0] & 0x0F);
        if (data.size() <= header)
            continue;
        CapturedRtp rtp;
        rtp.atNs = atNs;
        rtp.marker = (data[1] & 0x80) != 0;
        rtp.sequence = std::uint16_t(data[2] << 8 | data[3]);
        rtp.timestamp = std::uint32_t(data[4]) << 24 | std::uint32_t(data[5]) << 16 |
                        std::uint32_t(data[6]) << 8 | data[7];
        rtp.payload.assign(data.begin() + std::ptrdiff_t(header), data.end());
        packets.push_back(std::move(rtp));
    }
    return packets;
}

TEST(ServerReplay, AKeyFrameThatArrivesInPartAsksForANewOneAtOnce)
{
    const auto path = interopCapture("mcu-truncated-key-frame.pcap");
    if (path.empty())
        GTEST_SKIP() << "reference captures not present";
    // The server's composed picture, 1280x720 at 10 pictures a second; RTP sequence 24399
    // is the only slice of a key frame (its last 7 macroblocks of 3600).
    const auto packets = rtpFrom(path, 5002);
    ASSERT_GT(packets.size(), 300u);
    constexpr std::uint16_t Damaged = 24399;

    auto screen = std::make_shared<MemoryVideoOutput>();
    std::uint16_t writing = 0;
    std::vector<std::uint16_t> askedAt;
    auto display = std::make_shared<VideoSinkStream>(
        *MediaFormatRegistry::global().find(format::H264Mode1), VideoSessionId, screen,
        [&] { askedAt.push_back(writing); });
    ASSERT_TRUE(display->open());
    // Paced as captured, so that the limit on how often we ask applies as it would.
    const auto start = std::chrono::steady_clock::now();
    const std::int64_t firstNs = packets.front().atNs;
    std::optional<std::uint16_t> previous;
    for (const auto& rtp : packets) {
        if (rtp.sequence > Damaged + 30)
            break;
        std::this_thread::sleep_until(start + std::chrono::nanoseconds(rtp.atNs - firstNs));
        StreamFrame frame;
        frame.payload = rtp.payload;
        frame.timestamp = rtp.timestamp;
        frame.marker = rtp.marker;
        frame.lostBefore = previous ? std::uint16_t(rtp.sequence - *previous - 1) : 0;
        previous = rtp.sequence;
        writing = rtp.sequence;
        ASSERT_TRUE(display->writeFrame(frame));
    }
    EXPECT_GT(screen->frames(), 10u) << "the server's pictures decode";
    // Asked for with the damaged picture itself (its marker ends it), not a second later.
    EXPECT_NE(std::find(askedAt.begin(), askedAt.end(), Damaged), askedAt.end())
        << display->picturesAskedFor() << " asks, the last at "
        << (askedAt.empty() ? 0 : askedAt.back());
    EXPECT_GE(display->concealedPictures(), 1u);
}

TEST(ServerReplay, G722StampedWithA16kHzClockPlaysInTimeAndAnImpossibleReportIsNotTaken)
{
    const auto path = interopCapture("mcu-h264-exact-profile.pcap");
    if (path.empty())
        GTEST_SKIP() << "reference captures not present";
    // The server's G.722 to the second participant (320 timestamp units per 20 ms packet),
    // its receiver report with a jitter of 38,723,818 units, and a sane one (84 units).
    const auto audio = datagrams(path, 5004, 40696);
    const auto absurd = datagrams(path, 5005, 40697);
    const auto sane = datagrams(path, 5001, 35793);
    ASSERT_GE(audio.size(), 200u);
    ASSERT_EQ(absurd.size(), 1u);
    ASSERT_EQ(sane.size(), 1u);

    rtp::SessionConfig config;
    config.localAddress = asio::ip::make_address("127.0.0.1");
    config.jitter.clockRate = 8000;
    config.jitter.payloadBytesPerMs = 8; // 64 kbit/s
    auto opened = rtp::RtpSession::open(config);
    ASSERT_TRUE(opened) << opened.error();
    auto session = opened.take();
    asio::io_context io;
    asio::ip::udp::socket server(io, {asio::ip::make_address("127.0.0.1"), 0});
    asio::ip::udp::socket serverRtcp(io, {asio::ip::make_address("127.0.0.1"), 0});
    session->setRemote(asio::ip::make_address("127.0.0.1"), server.local_endpoint().port(),
                       serverRtcp.local_endpoint().port());
    const asio::ip::udp::endpoint rtpPort(config.localAddress, session->localRtpPort());
    const asio::ip::udp::endpoint rtcpPort(config.localAddress, session->localRtcpPort());

    // Three seconds of it, paced as captured, played as the jitter buffer says.
    std::vector<std::chrono::steady_clock::time_point> playouts;
    const auto start = std::chrono::steady_clock::now();
    const auto play = [&] {
        while (auto frame = session->readFrame())
            playouts.push_back(frame->playout);
    };
    for (std::size_t i = 0; i < 150; ++i) {
        std::this_thread::sleep_until(start +
                                      std::chrono::nanoseconds(audio[i].atNs - audio[0].atNs));
        server.send_to(asio::buffer(audio[i].data), rtpPort);
        play();
    }
    std::this_thread::sleep_for(300ms);
    play();
    ASSERT_GE(playouts.size(), 140u);
    std::vector<double> gaps;
    for (std::size_t i = playouts.size() / 2; i < playouts.size(); ++i)
        gaps.push_back(
            std::chrono::duration<double, std::milli>(playouts[i] - playouts[i - 1]).count());
    std::nth_element(gaps.begin(), gaps.begin() + std::ptrdiff_t(gaps.size() / 2), gaps.end());
    EXPECT_NEAR(gaps[gaps.size() / 2], 20.0, 2.0) << "a packet is 20 ms of sound, played so";
    auto figures = session->statistics();
    EXPECT_DOUBLE_EQ(figures.jitterBuffer.ticksPerMs, 16.0);
    EXPECT_LT(figures.receive.jitterMs, 20u) << "paced on loopback";

    // The reports, about our stream: the impossible one is not taken, the sane one is.
    const auto report = [&](std::vector<std::uint8_t> bytes) {
        // A sender report with one block: the block's SSRC (octets 28-31) made ours.
        EXPECT_EQ(bytes[1], 200);
        const std::uint32_t ours = session->ssrc();
        for (int i = 0; i < 4; ++i)
            bytes[std::size_t(28 + i)] = std::uint8_t(ours >> (24 - 8 * i));
        const auto before = session->statistics().rtcpReceived;
        serverRtcp.send_to(asio::buffer(bytes), rtcpPort);
        for (int wait = 0; wait < 200 && session->statistics().rtcpReceived == before; ++wait)
            std::this_thread::sleep_for(5ms);
    };
    report(absurd.front().data);
    figures = session->statistics();
    EXPECT_EQ(figures.drops.rtcpImpossibleReports, 1u);
    EXPECT_EQ(figures.transmit.jitterMs, 0u) << "not 4840 seconds";
    report(sane.front().data);
    figures = session->statistics();
    EXPECT_EQ(figures.drops.rtcpImpossibleReports, 1u);
    EXPECT_EQ(figures.transmit.jitterMs, 11u) << "84 units of 8 kHz";
}

} // namespace
} // namespace voip
