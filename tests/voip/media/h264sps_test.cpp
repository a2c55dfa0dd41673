// Sequence parameter sets: libx264's own read back at the size it encoded, hand-made sets
// beyond the engine's limits refused, and a video sink that never decodes a picture whose
// parameter set is refused, asks for a new one, and shows the next good picture.

#include "voip/media/h264sps.h"

#include <gtest/gtest.h>

#include "voip/device/video_fake.h"
#include "voip/media/h264payload.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/media/videocodec.h"
#include "voip/media/videostream.h"

namespace voip::h264 {
namespace {

/// Writes H.264 syntax elements, for hand-made parameter sets.
class BitWriter
{
public:
    void bits(unsigned value, unsigned count)
    {
        for (unsigned i = count; i-- > 0;)
            bit((value >> i) & 1);
    }
    void bit(unsigned value)
    {
        if (used_ % 8 == 0)
            bytes_.push_back(0);
        bytes_.back() |= uint8_t(value << (7 - used_ % 8));
        ++used_;
    }
    void ue(unsigned value)
    {
        const uint64_t coded = uint64_t(value) + 1;
        unsigned length = 0;
        while ((coded >> length) > 1)
            ++length;
        bits(0, length);
        for (unsigned i = length + 1; i-- > 0;)
            bit(unsigned((coded >> i) & 1));
    }
    std::vector<uint8_t> nal()
    {
        bit(1); // rbsp stop bit
        std::vector<uint8_t> out(bytes_.size() + 1, 0x67);
        std::copy(bytes_.begin(), bytes_.end(), out.begin() + 1);
        return out;
    }

private:
    std::vector<uint8_t> bytes_;
    unsigned used_ = 0;
};

/// A baseline SPS of `widthMbs` x `heightMbs` macroblocks, cropped at the bottom.
std::vector<uint8_t> baselineSps(unsigned widthMbs, unsigned heightMbs, unsigned cropBottom = 0)
{
    BitWriter w;
    w.bits(66, 8); // profile_idc
    w.bits(0xC0, 8);
    w.bits(31, 8); // level 3.1
    w.ue(0);       // id
    w.ue(0);       // log2_max_frame_num_minus4
    w.ue(0);       // pic_order_cnt_type
    w.ue(0);       // log2_max_pic_order_cnt_lsb_minus4
    w.ue(1);       // max_num_ref_frames
    w.bit(0);
    w.ue(widthMbs - 1);
    w.ue(heightMbs - 1);
    w.bit(1); // frame_mbs_only
    w.bit(1); // direct_8x8
    w.bit(cropBottom != 0);
    if (cropBottom != 0) {
        w.ue(0);
        w.ue(0);
        w.ue(0);
        w.ue(cropBottom);
    }
    w.bit(0); // no VUI
    return w.nal();
}

std::vector<uint8_t> spsOf(const std::vector<uint8_t>& accessUnit)
{
    for (auto unit : splitAnnexB(accessUnit))
        if ((unit[0] & 0x1F) == 7)
            return {unit.begin(), unit.end()};
    return {};
}

TEST(H264Sps, TheEncodersSetsReadBackAtTheirSize)
{
    struct Case
    {
        unsigned width, height;
        const char* profile;
    };
    for (const Case c : {Case{352, 288, "baseline"}, Case{1280, 720, "high"},
                         Case{1920, 1080, "high"}, Case{640, 360, "main"}}) {
        H264EncoderOptions options;
        options.width = c.width;
        options.height = c.height;
        options.profile = c.profile;
        auto encoder = H264Encoder::create(options);
        ASSERT_TRUE(encoder) << encoder.error().message;
        std::vector<uint8_t> accessUnit;
        FakeVideoInput camera;
        VideoInputParams params;
        params.width = c.width;
        params.height = c.height;
        ASSERT_TRUE(camera.open(params));
        VideoFrame frame;
        ASSERT_TRUE(camera.readFrame(frame));
        ASSERT_TRUE(encoder.value()->encode(frame, accessUnit));
        std::string error;
        auto sps = parseSequenceParameterSet(spsOf(accessUnit), &error);
        ASSERT_TRUE(sps) << error;
        EXPECT_EQ(sps->width, c.width);
        EXPECT_EQ(sps->height, c.height);
        EXPECT_EQ(sps->widthInMacroblocks, (c.width + 15) / 16);
    }
}

TEST(H264Sps, SetsBeyondTheLimitsOrCutShortAreRefused)
{
    auto ok = parseSequenceParameterSet(baselineSps(80, 45));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->width, 1280u);
    EXPECT_EQ(ok->height, 720u);
    EXPECT_EQ(parseSequenceParameterSet(baselineSps(120, 68, 4))->height, 1080u);
    EXPECT_TRUE(parseSequenceParameterSet(baselineSps(256, 144))); // 4096x2304, the limit

    struct Case
    {
        const char* what;
        std::vector<uint8_t> nal;
    };
    auto cut = baselineSps(80, 45);
    cut.resize(5);
    auto notSps = baselineSps(80, 45);
    notSps[0] = 0x68;
    const Case cases[] = {
        {"8K", baselineSps(512, 270)},
        {"very wide", baselineSps(40000, 1)},
        {"cropped away", baselineSps(2, 2, 20)},
        {"cut short", cut},
        {"a PPS", notSps},
        {"empty", {}},
        {"all ones", std::vector<uint8_t>(16, 0xFF)},
        {"zeros", {0x67, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(parseSequenceParameterSet(c.nal, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

TEST(H264Sps, TheSinkNeverDecodesARefusedSetAndRecovers)
{
    auto screen = std::make_shared<MemoryVideoOutput>();
    int asked = 0;
    VideoSinkStream display(*MediaFormatRegistry::global().find(format::H264High),
                            VideoSessionId, screen, [&] { ++asked; },
                            std::chrono::milliseconds(0));
    ASSERT_TRUE(display.open());
    // An IDR-looking picture whose SPS says 8K, sent as one RTP payload per unit.
    auto big = baselineSps(512, 270);
    StreamFrame frame;
    frame.timestamp = 3000;
    frame.payload = big;
    ASSERT_TRUE(display.writeFrame(frame));
    frame.payload = {0x65, 0x88, 0x84, 0x00, 0x33};
    frame.marker = true;
    ASSERT_TRUE(display.writeFrame(frame));
    EXPECT_EQ(display.refusedPictures(), 1u);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(display.picturesShown(), 0u);

    // The sender's next IDR, with a good set, is shown.
    H264EncoderOptions options;
    options.width = 320;
    options.height = 240;
    auto encoder = H264Encoder::create(options);
    ASSERT_TRUE(encoder);
    FakeVideoInput camera;
    VideoInputParams params;
    params.width = 320;
    params.height = 240;
    ASSERT_TRUE(camera.open(params));
    VideoFrame picture;
    ASSERT_TRUE(camera.readFrame(picture));
    std::vector<uint8_t> accessUnit;
    ASSERT_TRUE(encoder.value()->encode(picture, accessUnit));
    std::vector<std::vector<uint8_t>> payloads;
    Packetiser().packetise(accessUnit, payloads);
    frame.timestamp = 6000;
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        frame.payload = payloads[i];
        frame.marker = i + 1 == payloads.size();
        ASSERT_TRUE(display.writeFrame(frame));
    }
    EXPECT_EQ(display.picturesShown(), 1u);
    EXPECT_EQ(screen->lastFrame().width, 320u);
    EXPECT_EQ(display.refusedPictures(), 1u);
}

TEST(H264Sps, AFarEndThatChangesItsPictureSizeIsShownAtEachSize)
{
    // Whatever was negotiated, a far end may send another size (4K among them): each new
    // key frame is decoded at its own size and the stream goes on.
    auto screen = std::make_shared<MemoryVideoOutput>();
    VideoSinkStream display(*MediaFormatRegistry::global().find(format::H264High),
                            VideoSessionId, screen, [] {});
    ASSERT_TRUE(display.open());
    StreamFrame frame;
    uint32_t timestamp = 0;
    for (const auto& [width, height] : {std::pair{352u, 288u}, {3840u, 2160u}, {640u, 360u},
                                        {176u, 144u}, {1280u, 720u}}) {
        H264EncoderOptions options;
        options.width = width;
        options.height = height;
        options.preset = "ultrafast";
        auto encoder = H264Encoder::create(options);
        ASSERT_TRUE(encoder) << width << "x" << height;
        std::vector<uint8_t> accessUnit;
        std::vector<std::vector<uint8_t>> payloads;
        for (uint32_t n = 0; n < 2; ++n) {
            ASSERT_TRUE(encoder.value()->encode(FakeVideoInput::picture(width, height, n),
                                                accessUnit));
            Packetiser().packetise(accessUnit, payloads);
            frame.timestamp = timestamp += 3600;
            for (std::size_t i = 0; i < payloads.size(); ++i) {
                frame.payload = payloads[i];
                frame.marker = i + 1 == payloads.size();
                ASSERT_TRUE(display.writeFrame(frame));
            }
            EXPECT_EQ(screen->lastFrame().width, width);
            EXPECT_EQ(screen->lastFrame().height, height);
            EXPECT_EQ(FakeVideoInput::readNumber(screen->lastFrame()), n);
        }
    }
    EXPECT_EQ(display.picturesShown(), 10u);
    EXPECT_EQ(display.damagedPictures(), 0u);
}

} // namespace
} // namespace voip::h264
