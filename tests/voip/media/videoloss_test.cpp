// Video through a lossy path: FakeVideo encoded and sent over real RTP sessions on
// 127.0.0.1 through a relay that reorders packets, then also loses 5 % of them, then
// neither.  Reordering alone must cost nothing; after the loss ends the picture must be
// clean again within a second of the receiver's request for a new one.

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/udpimpairer.h"
#include "tests/voip/media/picturequality.h"
#include "voip/device/video_fake.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/media/patch.h"
#include "voip/media/stream_rtp.h"
#include "voip/media/videostream.h"
#include "voip/rtp/rtpsession.h"

namespace voip {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using asio::ip::udp;

using LossyRelay = kxtest::UdpImpairer;

/// Keeps, for every picture shown, when it came and whether it is the test pattern it
/// claims to be (its number readable and the picture close to what was drawn).
class CheckingOutput : public VideoOutput
{
public:
    struct Shown
    {
        Clock::time_point time;
        bool clean;
    };
    void showFrame(const VideoFrame& frame) override
    {
        const bool clean = test::cleanPatternNumber(frame).has_value();
        std::lock_guard lock(mutex);
        shown.push_back({Clock::now(), clean});
    }
    std::vector<Shown> since(Clock::time_point from) const
    {
        std::lock_guard lock(mutex);
        std::vector<Shown> out;
        for (const auto& s : shown)
            if (s.time >= from)
                out.push_back(s);
        return out;
    }
    mutable std::mutex mutex;
    std::vector<Shown> shown;
};

std::shared_ptr<rtp::RtpSession> openSession()
{
    rtp::SessionConfig config;
    config.localAddress = asio::ip::make_address("127.0.0.1");
    config.useJitterBuffer = false;
    auto opened = rtp::RtpSession::open(config);
    if (!opened) {
        ADD_FAILURE() << opened.error();
        return nullptr;
    }
    return std::shared_ptr<rtp::RtpSession>(opened.take());
}

TEST(VideoLoss, ReorderingCostsNothingAndThePictureRecoversAfterLoss)
{
    MediaFormat format = *MediaFormatRegistry::global().find(format::H264High);
    format.setIntegerOption(option::FrameWidth, 640);
    format.setIntegerOption(option::FrameHeight, 360);
    auto sending = openSession();
    auto receiving = openSession();
    ASSERT_TRUE(sending && receiving);
    LossyRelay relay(udp::endpoint(receiving->localAddress(), receiving->localRtpPort()));
    sending->setRemote(receiving->localAddress(), relay.port(), receiving->localRtcpPort());
    receiving->setRemote(sending->localAddress(), sending->localRtpPort(),
                         sending->localRtcpPort());

    VideoInputParams input;
    input.width = 640;
    input.height = 360;
    H264EncoderOptions encoding;
    encoding.bitRate = 1'000'000;
    // Small packets: several a picture, a key frame many.
    auto camera = std::make_shared<VideoSourceStream>(format, VideoSessionId, kFakeVideoDriver,
                                                      input, encoding, 100);
    auto rtpSink = std::make_shared<RtpMediaStream>(sending, format, VideoSessionId, false);
    auto rtpSource = std::make_shared<RtpMediaStream>(receiving, format, VideoSessionId, true);
    auto screen = std::make_shared<CheckingOutput>();
    std::mutex askMutex;
    std::vector<Clock::time_point> asks;
    // What the far end does with a videoFastUpdatePicture (the H.245 path has its own test).
    auto display = std::make_shared<VideoSinkStream>(format, VideoSessionId, screen, [&] {
        {
            std::lock_guard lock(askMutex);
            asks.push_back(Clock::now());
        }
        camera->requestKeyFrame();
    });
    MediaPatch out(camera);
    ASSERT_TRUE(out.addSink(rtpSink));
    MediaPatch in(rtpSource);
    ASSERT_TRUE(in.addSink(display));
    ASSERT_TRUE(in.start());
    ASSERT_TRUE(out.start());

    // Reordering alone: every picture whole.
    relay.swapPercent = 10;
    std::this_thread::sleep_for(2500ms);
    EXPECT_GT(relay.swapped(), 8u);
    EXPECT_EQ(display->damagedPictures(), 0u);
    EXPECT_EQ(display->picturesAskedFor(), 0u);
    EXPECT_EQ(camera->keyFramesSent(), 1u) << "nothing lost, nothing asked for";
    for (const auto& shown : screen->since({}))
        EXPECT_TRUE(shown.clean);
    const auto beforeLoss = screen->since({}).size();
    EXPECT_GE(beforeLoss, 50u);

    // Loss as well: a damaged picture is never shown (the last good one stays), and the
    // picture is asked for again while it stays damaged, four times a second at most.
    relay.lossPercent = 5;
    const auto lossStarted = Clock::now();
    std::this_thread::sleep_for(3s);
    EXPECT_GE(relay.lost(), 5u);
    EXPECT_GT(display->damagedPictures(), 0u);
    EXPECT_GT(display->heldPictures(), 0u);
    const auto askedDuringLoss = display->picturesAskedFor();
    EXPECT_GE(askedDuringLoss, 1u);
    EXPECT_LE(askedDuringLoss, 13u) << "at most four requests a second";
    const auto duringLoss = screen->since(lossStarted);
    EXPECT_GE(duringLoss.size(), 10u) << "pictures still shown";
    for (const auto& shown : duringLoss)
        EXPECT_TRUE(shown.clean) << "a damaged picture was shown";

    // Clean again.
    relay.lossPercent = 0;
    relay.swapPercent = 0;
    const auto lossEnded = Clock::now();
    std::this_thread::sleep_for(3s);
    out.stop();
    in.stop();
    sending->stop();
    receiving->stop();

    const auto after = screen->since(lossEnded);
    ASSERT_GE(after.size(), 50u);
    // Every picture clean, the first of them soon after the loss ended.
    std::size_t firstClean = after.size();
    for (std::size_t i = after.size(); i-- > 0;) {
        if (!after[i].clean)
            break;
        firstClean = i;
    }
    ASSERT_LT(firstClean, after.size()) << "the picture never recovered";
    const auto recovered = after[firstClean].time;
    EXPECT_LT(recovered - lossEnded, 2s);
    if (firstClean > 0) {
        // It was broken when the loss ended: the request that mended it came less than a
        // second before the clean picture.
        std::lock_guard lock(askMutex);
        ASSERT_FALSE(asks.empty());
        auto lastAsk = asks.front();
        for (const auto ask : asks)
            if (ask <= recovered)
                lastAsk = ask;
        EXPECT_LT(recovered - lastAsk, 1s);
    }
    EXPECT_GE(after.size() - firstClean, 40u);
}

} // namespace
} // namespace voip
