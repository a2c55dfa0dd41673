// Video through the engine's streams: FakeVideo pictures encoded at the size, rate and
// packetisation the channel takes; a still picture encoded once; a lost picture asks the
// sender for a new one, no oftener than allowed, and the key frame comes.  (Over real RTP
// with loss and reordering: videoloss_test.)

#include "voip/media/videostream.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "voip/device/video_fake.h"
#include "voip/media/mediaformatregistry.h"

namespace voip {
namespace {

using namespace std::chrono_literals;

/// H.264 as a channel to a far end that takes 320x240 would carry it.
MediaFormat h264()
{
    MediaFormat format = *MediaFormatRegistry::global().find(format::H264High);
    format.setIntegerOption(option::FrameWidth, 320);
    format.setIntegerOption(option::FrameHeight, 240);
    return format;
}

VideoInputParams smallInput()
{
    VideoInputParams input;
    input.width = 320;
    input.height = 240;
    input.frameRate = 25;
    return input;
}

/// A source whose picture stays the same until the test changes its number, paced at
/// 25 pictures a second as a display is.
class StillSource final : public VideoInputDevice
{
public:
    explicit StillSource(std::atomic<std::uint64_t>& serial)
        : serial_(serial)
    {}
    std::string driverName() const override { return "Still"; }
    MediaStatus open(const VideoInputParams&) override { return MediaStatus(); }
    MediaStatus readFrame(VideoFrame& frame) override
    {
        std::this_thread::sleep_for(40ms);
        if (frame.serial != serial_ || frame.data.empty()) {
            frame = FakeVideoInput::picture(320, 240, unsigned(serial_.load()));
            frame.serial = serial_;
        }
        return MediaStatus();
    }
    void close() override {}
    bool isOpen() const override { return true; }

private:
    std::atomic<std::uint64_t>& serial_;
};

TEST(VideoStreams, AStillPictureIsEncodedOnceThenOnlyRefreshedOrWhenAskedFor)
{
    std::atomic<std::uint64_t> serial{5};
    auto camera = std::make_shared<VideoSourceStream>(
        h264(), VideoSessionId,
        [&] {
            return MediaResult<std::unique_ptr<VideoInputDevice>>(
                std::make_unique<StillSource>(serial));
        },
        smallInput(), H264EncoderOptions{});
    ASSERT_TRUE(camera->open());
    // Each call returns a whole picture's packets, the last with the marker.
    auto picture = [&](std::vector<std::uint8_t>* firstPayload = nullptr) {
        StreamFrame frame;
        bool first = true;
        do {
            EXPECT_TRUE(camera->readFrame(frame));
            if (first && firstPayload)
                *firstPayload = frame.payload;
            first = false;
        } while (!frame.marker);
        return frame.timestamp;
    };
    const auto begun = std::chrono::steady_clock::now();
    const std::uint32_t first = picture();
    EXPECT_EQ(camera->picturesSent(), 1u);

    // Nothing new for a second: the next picture is the refresh, a second of RTP time
    // later, after some 24 pictures not encoded.
    const std::uint32_t refreshed = picture();
    const auto waited = std::chrono::steady_clock::now() - begun;
    EXPECT_GE(waited, VideoSourceStream::StillRefreshInterval - 50ms);
    EXPECT_EQ(camera->picturesSent(), 2u);
    EXPECT_GE(camera->picturesRepeated(), 20u);
    EXPECT_NEAR(double(refreshed - first), 90000.0, 90000.0 * 0.15) << "the clock ran on";

    // A far end's request for a key frame is served at once, still picture or not.
    std::this_thread::sleep_for(VideoSourceStream::MinKeyFrameInterval);
    camera->requestKeyFrame();
    auto asked = std::chrono::steady_clock::now();
    std::vector<std::uint8_t> payload;
    picture(&payload);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 300ms);
    EXPECT_EQ(camera->keyFramesSent(), 2u) << "the first picture and the one asked for";

    // A new picture goes at once.
    serial = 6;
    asked = std::chrono::steady_clock::now();
    picture();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 300ms);
    EXPECT_EQ(camera->picturesSent(), 4u);
    camera->close();
}

TEST(VideoStreams, ALostPictureAsksForANewOneAtMostOncePerInterval)
{
    H264EncoderOptions encoding;
    auto camera = std::make_shared<VideoSourceStream>(h264(), VideoSessionId, kFakeVideoDriver,
                                                      smallInput(), encoding);
    auto screen = std::make_shared<MemoryVideoOutput>();
    int asked = 0;
    auto display = std::make_shared<VideoSinkStream>(
        h264(), VideoSessionId, screen,
        [&] {
            ++asked;
            camera->requestKeyFrame(); // what the far end does with videoFastUpdatePicture
        },
        500ms);
    ASSERT_TRUE(camera->open());
    ASSERT_TRUE(display->open());
    StreamFrame frame;
    uint32_t pictures = 0;
    uint32_t lastTimestamp = 1;
    uint32_t lost = 0;
    int askedAfterFirstLosses = -1;
    while (pictures < 30) {
        ASSERT_TRUE(camera->readFrame(frame));
        const bool first = frame.timestamp != lastTimestamp;
        if (first) {
            ++pictures;
            lastTimestamp = frame.timestamp;
            if (pictures == 8)
                askedAfterFirstLosses = asked;
        }
        // The first packet of pictures 5 and 6 (80 ms apart) and of picture 25 (800 ms
        // later) is lost; the transport tells the next packet how many went missing.
        if (first && (pictures == 5 || pictures == 6 || pictures == 25)) {
            ++lost;
            continue;
        }
        frame.lostBefore = lost;
        lost = 0;
        ASSERT_TRUE(display->writeFrame(frame));
    }
    camera->close();
    display->close();
    EXPECT_EQ(askedAfterFirstLosses, 1) << "two losses within the interval ask once";
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(display->picturesAskedFor(), 2u);
    EXPECT_EQ(camera->keyFramesSent(), 3u) << "the first, and one for each request";
    EXPECT_EQ(FakeVideoInput::readNumber(screen->lastFrame()), 29u);
}

TEST(VideoStreams, AFloodOfKeyFrameRequestsGetsAFewKeyFramesASecond)
{
    for (const unsigned pathRate : {0u, 16'000u}) {
        SCOPED_TRACE(pathRate);
        H264EncoderOptions encoding;
        auto camera = std::make_shared<VideoSourceStream>(h264(), VideoSessionId, kFakeVideoDriver,
                                                          smallInput(), encoding);
        camera->setPathRate(pathRate);
        ASSERT_TRUE(camera->open());
        std::atomic<bool> done{false};
        // A far end asking a thousand times a second.
        std::thread flood([&] {
            while (!done) {
                camera->requestKeyFrame();
                std::this_thread::sleep_for(1ms);
            }
        });
        StreamFrame frame;
        uint32_t pictures = 0, lastTimestamp = 1;
        while (pictures < 50) { // two seconds at 25 a second
            ASSERT_TRUE(camera->readFrame(frame));
            if (frame.timestamp != lastTimestamp) {
                ++pictures;
                lastTimestamp = frame.timestamp;
            }
        }
        done = true;
        flood.join();
        camera->close();
        // The first picture, then one each 300 ms at most: no more than 8 in two seconds,
        // and the requests were served, not dropped.  On a narrow path, fewer: each one
        // waits until the last had time to pass.
        EXPECT_LE(camera->keyFramesSent(), pathRate ? 5u : 8u);
        EXPECT_GE(camera->keyFramesSent(), pathRate ? 2u : 5u);
    }
}

TEST(VideoStreams, SendsAtTheSizeRateAndPacketisationTheChannelTakes)
{
    // A far end that takes 160x120 at 10 pictures a second in single NAL units, from a
    // camera giving 320x240 at 25.
    MediaFormat channel = h264();
    channel.setIntegerOption(option::FrameWidth, 160);
    channel.setIntegerOption(option::FrameHeight, 120);
    channel.setIntegerOption(option::FrameTime, 90000 / 10);
    channel.setIntegerOption(option::PacketizationMode, 0);
    H264EncoderOptions encoding;
    encoding.bitRate = 2'000'000; // big slices, unless the encoder cuts them
    auto camera = std::make_shared<VideoSourceStream>(channel, VideoSessionId, kFakeVideoDriver,
                                                      smallInput(), encoding, 300);
    ASSERT_TRUE(camera->open());
    EXPECT_EQ(camera->encoding().maxSliceBytes, 300u);
    h264::Depacketiser depacketiser;
    auto decoder = H264Decoder::create();
    ASSERT_TRUE(decoder);
    std::vector<VideoFrame> pictures;
    std::vector<uint32_t> timestamps;
    StreamFrame frame;
    uint16_t sequence = 0;
    std::vector<uint8_t> picture;
    while (pictures.size() < 12) {
        ASSERT_TRUE(camera->readFrame(frame));
        const uint8_t type = frame.payload.at(0) & 0x1F;
        ASSERT_TRUE(type >= 1 && type <= 23) << "mode 0 sends single NAL units only";
        EXPECT_LE(frame.payload.size(), 300u) << "NAL unit type " << int(type);
        depacketiser.add(frame.payload, sequence++, frame.timestamp, frame.marker);
        uint32_t timestamp = 0;
        while (depacketiser.takePicture(picture, timestamp)) {
            ASSERT_TRUE(decoder.value()->decode(picture, pictures));
            timestamps.push_back(timestamp);
        }
    }
    camera->close();
    EXPECT_EQ(depacketiser.damaged(), 0u);
    for (const auto& decoded : pictures) {
        EXPECT_EQ(decoded.width, 160u);
        EXPECT_EQ(decoded.height, 120u);
    }
    // Every picture 9000 ticks on (10 a second); the camera's numbers go up by 2 or 3.
    for (std::size_t i = 1; i < timestamps.size(); ++i)
        EXPECT_EQ(timestamps[i] - timestamps[i - 1], 9000u);
    const auto first = FakeVideoInput::readNumber(pictures.front());
    const auto last = FakeVideoInput::readNumber(pictures.back());
    ASSERT_TRUE(first && last);
    EXPECT_NEAR(double(*last - *first) / double(pictures.size() - 1), 2.5, 0.2);
}

TEST(VideoStreams, AStreamJoinedAfterItsKeyFrameShowsNothingBrokenAndAsksAtOnce)
{
    // As in a fastStart call whose first packets came before the receiver listened: the
    // IDR picture with its parameter sets is gone, the pictures after it refer to them.
    // The first request is lost too (it went before H.245 could carry it): the next must
    // follow at once, not after the usual interval.
    H264EncoderOptions encoding;
    auto camera = std::make_shared<VideoSourceStream>(h264(), VideoSessionId, kFakeVideoDriver,
                                                      smallInput(), encoding);
    auto screen = std::make_shared<MemoryVideoOutput>();
    std::vector<std::chrono::steady_clock::time_point> asks;
    auto display = std::make_shared<VideoSinkStream>(h264(), VideoSessionId, screen, [&] {
        asks.push_back(std::chrono::steady_clock::now());
        if (asks.size() > 1)
            camera->requestKeyFrame();
    });
    ASSERT_TRUE(camera->open());
    ASSERT_TRUE(display->open());
    StreamFrame frame;
    uint32_t firstTimestamp = 0;
    unsigned skipped = 0;
    std::optional<std::chrono::steady_clock::time_point> firstLate;
    uint64_t shownBeforeKeyFrame = 0;
    for (int packets = 0; packets < 400 && screen->frames() < 5; ++packets) {
        ASSERT_TRUE(camera->readFrame(frame));
        if (packets == 0)
            firstTimestamp = frame.timestamp;
        if (frame.timestamp == firstTimestamp) {
            ++skipped; // the key frame never arrives
            continue;
        }
        if (!firstLate) {
            firstLate = std::chrono::steady_clock::now();
            frame.lostBefore = skipped;
        }
        if (camera->keyFramesSent() < 2)
            shownBeforeKeyFrame = screen->frames();
        ASSERT_TRUE(display->writeFrame(frame));
    }
    EXPECT_EQ(shownBeforeKeyFrame, 0u) << "nothing decoded before a key frame";
    EXPECT_GE(display->picturesAwaitingKeyFrame(), 1u);
    ASSERT_GE(asks.size(), 2u);
    EXPECT_LT(asks[0] - *firstLate, 100ms) << "asked with the first picture it cannot use";
    EXPECT_LT(asks[1] - asks[0], 500ms) << "asked again soon, not after the usual second";
    EXPECT_GE(screen->frames(), 5u) << "the key frame asked for is shown, and what follows";
    EXPECT_EQ(camera->keyFramesSent(), 2u);
}

} // namespace
} // namespace voip
