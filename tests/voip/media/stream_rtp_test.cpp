// The RTP media stream between two real RTP sessions on 127.0.0.1: the packet sizes and clocks
// of other peers are played correctly; other payload types are skipped; close wakes a reader.
#include <filesystem>
#include <future>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "audiosignals.h"
#include "voip/device/wavfile.h"
#include "voip/media/patch.h"
#include "voip/media/stream_rtp.h"
#include "voip/pcss/soundstream.h"
#include "voip/rtp/rtpsession.h"

namespace voip {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::shared_ptr<rtp::RtpSession> openSession()
{
    rtp::SessionConfig config;
    config.localAddress = asio::ip::make_address("127.0.0.1");
    auto opened = rtp::RtpSession::open(config);
    if (!opened) {
        ADD_FAILURE() << opened.error();
        return nullptr;
    }
    return std::shared_ptr<rtp::RtpSession>(opened.take());
}

void connect(rtp::RtpSession& a, rtp::RtpSession& b)
{
    a.setRemote(b.localAddress(), b.localRtpPort(), b.localRtcpPort());
    b.setRemote(a.localAddress(), a.localRtpPort(), a.localRtcpPort());
}

MediaFormat formatOf(const char* name)
{
    const auto* info = findAudioCodec(name);
    return MediaFormat(info->formatName, MediaType::Audio, info->rtpClockRate, info->payloadType);
}

/// How some peers send: packet duration and the timestamp units per millisecond they use.
struct OddPeer
{
    const char* format;
    unsigned packetMs;
    unsigned ticksPerMs; ///< 16 for G.722 stamped on a 16 kHz clock (RFC 3551 says 8)
};

class RtpStreamOddPeer : public ::testing::TestWithParam<OddPeer>
{};

TEST_P(RtpStreamOddPeer, IsPlayedCorrectly)
{
    const auto peer = GetParam();
    const auto* info = findAudioCodec(peer.format);
    const unsigned rate = info->sampleRate;
    const auto dir = fs::temp_directory_path() / ("kx-oddpeer-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const auto out = (dir / "out.wav").string();

    // The whole signal encoded in 20 ms frames, then cut into the peer's packets.
    const auto input = test::chirp(rate, 200, 3000, 1.2);
    auto encoder = AudioEncoder::create(peer.format);
    ASSERT_TRUE(encoder);
    std::vector<uint8_t> coded, payload;
    const size_t n = encoder.value()->frameSamples();
    for (size_t i = 0; i + n <= input.size(); i += n) {
        ASSERT_TRUE(encoder.value()->encode(std::span(input).subspan(i, n), payload));
        coded.insert(coded.end(), payload.begin(), payload.end());
    }

    auto sender = openSession();
    auto receiver = openSession();
    ASSERT_TRUE(sender && receiver);
    connect(*sender, *receiver);
    receiver->setJitterDelay(50ms, 400ms);
    SoundParams speaker;
    speaker.driver = kWavFileDriver;
    speaker.device = out;
    speaker.sampleRate = rate;
    speaker.direction = SoundDirection::Player;
    speaker.bufferCount = 4;
    speaker.bufferSize = rate / 50 * 2;
    auto speakerStream = std::make_shared<pcss::SoundStream>(
        std::shared_ptr<SoundChannel>(createSoundChannel(kWavFileDriver).take()), speaker,
        AudioSessionId, false, 20);
    ASSERT_TRUE(speakerStream->open()) << speakerStream->lastError();
    auto rtpSource =
        std::make_shared<RtpMediaStream>(receiver, formatOf(peer.format), AudioSessionId, true);
    MediaPatch receiving(rtpSource);
    ASSERT_TRUE(receiving.addSink(speakerStream));
    ASSERT_TRUE(receiving.start());

    // Sent in real time: each packet once its audio is complete, as a peer would.
    const size_t packetBytes = peer.packetMs * 8;
    const auto start = std::chrono::steady_clock::now();
    size_t sent = 0;
    uint32_t timestamp = 1000;
    while (sent < coded.size()) {
        const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count();
        while (sent < coded.size() && sent / 8 + peer.packetMs <= size_t(elapsedMs)) {
            const size_t bytes = std::min(packetBytes, coded.size() - sent);
            ASSERT_TRUE(sender->send(std::span(coded).subspan(sent, bytes), timestamp, sent == 0,
                                     uint8_t(info->payloadType)));
            timestamp += uint32_t(bytes / 8 * peer.ticksPerMs);
            sent += bytes;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(20u, peer.packetMs)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(peer.packetMs + 600));
    receiving.stop();
    const auto stats = receiver->statistics();
    sender->stop();
    receiver->stop();
    EXPECT_EQ(stats.receive.packetsLost, 0u);

    auto output = readWavFile(out);
    ASSERT_TRUE(output) << output.error().message;
    // Nearly all of the signal arrived, in order, and sounds like what was sent.
    EXPECT_GE(output.value().samples.size(), input.size() * 9 / 10);
    const auto a = test::align(input, output.value().samples, rate / 5);
    EXPECT_GT(a.correlation, 0.9) << "lag " << a.lag;
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Interop, RtpStreamOddPeer,
                         ::testing::Values(OddPeer{"G.722-64k", 1, 16},
                                           OddPeer{"G.722-64k", 20, 16},
                                           OddPeer{"G.711-ALaw-64k", 240, 8},
                                           OddPeer{"G.711-uLaw-64k", 30, 8}),
                         [](const auto& info) {
                             std::string name = info.param.format;
                             name.erase(std::remove_if(name.begin(), name.end(),
                                                       [](char c) { return !std::isalnum(c); }),
                                        name.end());
                             return name + "_" + std::to_string(info.param.packetMs) + "ms_" +
                                    std::to_string(info.param.ticksPerMs) + "ticks";
                         });

TEST(RtpMediaStream, SkipsOtherPayloadTypesAndWakesOnClose)
{
    auto a = openSession();
    auto b = openSession();
    ASSERT_TRUE(a && b);
    connect(*a, *b);
    RtpMediaStream source(b, formatOf("G.711-uLaw-64k"), AudioSessionId, true);
    ASSERT_TRUE(source.open());

    std::vector<uint8_t> payload(160, 0xFF);
    for (uint32_t i = 0; i < 6; ++i)
        ASSERT_TRUE(a->send(payload, i * 160, i == 0, i % 2 ? 13 : 0)); // 13: comfort noise
    StreamFrame frame;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(source.readFrame(frame));
        EXPECT_EQ(frame.payload, payload);
    }
    EXPECT_EQ(source.otherPayloadFrames(), 2u);

    MediaStatus status;
    std::thread reader([&] { status = source.readFrame(frame); });
    std::this_thread::sleep_for(50ms);
    source.close();
    reader.join();
    EXPECT_EQ(status.error().kind, MediaError::Closed);

    RtpMediaStream sink(a, formatOf("G.711-uLaw-64k"), AudioSessionId, false);
    EXPECT_EQ(sink.writeFrame(frame).error().kind, MediaError::Closed) << "not open yet";
    a->stop();
    b->stop();
}

// An outage: the frames that do not come are said lost while it lasts, so that the gap is
// filled in time, and the loss the next packet brings is not counted twice.
TEST(RtpMediaStream, FramesThatDoNotComeAreSaidLostAsTheOutageGoesOn)
{
    auto a = openSession();
    auto b = openSession();
    ASSERT_TRUE(a && b);
    connect(*a, *b);
    RtpMediaStream source(b, formatOf("G.711-uLaw-64k"), AudioSessionId, true);
    ASSERT_TRUE(source.open());
    std::thread sender([&] {
        const std::vector<uint8_t> payload(160, 0x55);
        uint32_t timestamp = 0;
        for (int i = 0; i < 30; ++i, timestamp += 160) {
            // 300 ms lost on the way (sent where nobody listens), then the packets go on.
            if (i == 10)
                a->setRemote(b->localAddress(), 9, 10);
            if (i == 25)
                connect(*a, *b);
            a->send(payload, timestamp, false, 0);
            std::this_thread::sleep_for(20ms);
        }
    });
    std::size_t arrived = 0, saidLost = 0, lostLater = 0;
    std::vector<std::chrono::steady_clock::time_point> lostAt;
    StreamFrame frame;
    const auto giveUp = std::chrono::steady_clock::now() + 3s;
    while (arrived < 15 && std::chrono::steady_clock::now() < giveUp && source.readFrame(frame)) {
        if (frame.payload.empty()) {
            ++saidLost;
            lostAt.push_back(std::chrono::steady_clock::now());
        } else {
            ++arrived;
            lostLater += frame.lostBefore;
        }
    }
    sender.join();
    EXPECT_EQ(arrived, 15u) << saidLost << " said lost, " << lostLater << " told late";
    EXPECT_EQ(saidLost + lostLater, 15u) << "every lost frame once: the timeline is whole";
    EXPECT_GE(saidLost, 10u) << "most of the gap filled while it lasted";
    ASSERT_GE(lostAt.size(), 2u);
    EXPECT_GT(lostAt.back() - lostAt.front(), 150ms) << "one by one, not all at the end";
    source.close();
    a->stop();
    b->stop();
}

} // namespace
} // namespace voip
