// What a conference server sent, replayed from its capture into the receiving streams: a
// key frame of which only the last slice came, G.722 stamped with a 16 kHz clock, and a
// receiver report with an impossible jitter.  Skipped when the captures are not there.

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tools/common/capture.h"
#include "tools/common/packet.h"
#include "voip/device/videooutput.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/media/videostream.h"

namespace voip {
namespace {

using namespace std::chrono_literals;

std::filesystem::path interopCapture(const std::string& name)
{
    std::error_code error;
    const auto path = std::filesystem::path(KX_REFERENCE_DIR) / "interop" / name;
    return std::filesystem::is_regular_file(path, error) ? path : std::filesystem::path();
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
    for (const auto& frame : kx::capture::readCaptureFile(path.string()).frames) {
        const auto parsed = kx::capture::parsePacket(frame.linkType, frame.data);
        if (parsed.kind != kx::capture::ParsedPacket::Kind::Packet ||
            parsed.packet.transport != kx::capture::Transport::Udp ||
            parsed.packet.source.port != fromPort)
            continue;
        const auto data = parsed.packet.payload;
        if (data.size() < 12 || (data[0] >> 6) != 2 ||
            ((data[1] & 0x7F) >= 72 && (data[1] & 0x7F) <= 76))
            continue;
        const std::size_t header = 12 + 4 * std::size_t(data[0] & 0x0F);
        if (data.size() <= header)
            continue;
        CapturedRtp rtp;
        rtp.atNs = frame.timestampNs;
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

} // namespace
} // namespace voip
