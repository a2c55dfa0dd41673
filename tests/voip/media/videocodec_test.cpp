// H.264 through libx264 and libavcodec, and through our RTP payload format between them:
// picture quality at 720p and 1 Mbit/s, profiles, key frames on request, the bit rate
// followed.  (A lost packet recovered by a new key frame: videoloss_test.)

#include "voip/media/videocodec.h"

#include <cmath>

#include <gtest/gtest.h>

#include "picturequality.h"

#include "voip/media/h264payload.h"

namespace voip {
namespace {

using test::psnr;

/// A moving pattern: a gradient, a square that travels 4 pixels a picture, soft colours,
/// and when `noisy` a band of noise that changes every picture.
VideoFrame pattern(unsigned width, unsigned height, unsigned n, bool noisy = false)
{
    VideoFrame frame = VideoFrame::black(width, height);
    uint8_t* y = frame.plane(0);
    for (unsigned row = 0; row < height; ++row)
        for (unsigned column = 0; column < width; ++column) {
            const bool square =
                (column + 4 * n) % width < width / 4 && row > height / 3 && row < 2 * height / 3;
            y[row * width + column] =
                square ? 235 : uint8_t(16 + (column + row) * 200 / (width + height));
        }
    // Noise that changes every picture, so that the encoder needs every bit it may use.
    uint32_t seed = 2654435761u * (n + 1);
    for (unsigned row = 2 * height / 3; noisy && row < height; ++row)
        for (unsigned column = 0; column < width; ++column) {
            seed = seed * 1664525u + 1013904223u;
            y[row * width + column] = uint8_t(16 + (seed >> 24) % 200);
        }
    for (int p = 1; p < 3; ++p) {
        uint8_t* c = frame.plane(p);
        for (unsigned row = 0; row < frame.planeHeight(p); ++row)
            for (unsigned column = 0; column < frame.stride(p); ++column)
                c[row * frame.stride(p) + column] =
                    uint8_t(128 + (p == 1 ? 40 : -40) * int(column) / int(frame.stride(p)));
    }
    return frame;
}

bool hasUnit(const std::vector<uint8_t>& accessUnit, uint8_t type)
{
    for (auto unit : h264::splitAnnexB(accessUnit))
        if ((unit[0] & 0x1F) == type)
            return true;
    return false;
}

/// profile_idc of the access unit's SPS, or -1 without one.
int profileOf(const std::vector<uint8_t>& accessUnit)
{
    for (auto unit : h264::splitAnnexB(accessUnit))
        if ((unit[0] & 0x1F) == 7 && unit.size() > 1)
            return unit[1];
    return -1;
}

TEST(H264Codec, SevenTwentyPAtOneMegabitKeepsThePictureThroughRtp)
{
    H264EncoderOptions options;
    options.width = 1280;
    options.height = 720;
    options.bitRate = 1'000'000;
    auto encoder = H264Encoder::create(options);
    ASSERT_TRUE(encoder) << encoder.error().message;
    auto decoder = H264Decoder::create();
    ASSERT_TRUE(decoder) << decoder.error().message;
    h264::Packetiser packetiser(1200);
    h264::Depacketiser depacketiser;

    std::vector<uint8_t> accessUnit, picture;
    std::vector<std::vector<uint8_t>> payloads;
    std::vector<VideoFrame> decoded;
    std::vector<double> quality;
    uint16_t sequence = 0;
    for (unsigned n = 0; n < 40; ++n) {
        const VideoFrame source = pattern(1280, 720, n);
        ASSERT_TRUE(encoder.value()->encode(source, accessUnit));
        ASSERT_FALSE(accessUnit.empty()) << "zero latency: every picture comes out at once";
        if (n == 0) {
            // High profile (profile_idc 100) in the SPS, which comes with the IDR.
            ASSERT_TRUE(hasUnit(accessUnit, 7));
            ASSERT_TRUE(hasUnit(accessUnit, 5));
            EXPECT_EQ(profileOf(accessUnit), 100);
        } else {
            EXPECT_FALSE(hasUnit(accessUnit, 5)) << "picture " << n;
        }
        packetiser.packetise(accessUnit, payloads);
        for (std::size_t i = 0; i < payloads.size(); ++i)
            depacketiser.add(payloads[i], sequence++, n * 3600, i + 1 == payloads.size());
        uint32_t timestamp = 0;
        ASSERT_TRUE(depacketiser.takePicture(picture, timestamp));
        decoded.clear();
        ASSERT_TRUE(decoder.value()->decode(picture, decoded));
        ASSERT_EQ(decoded.size(), 1u) << "no B-frames: one picture out per picture in";
        ASSERT_EQ(decoded[0].width, 1280u);
        quality.push_back(psnr(source, decoded[0]));
    }
    std::sort(quality.begin(), quality.end());
    EXPECT_GT(quality[quality.size() / 2], 35.0);
    EXPECT_GT(quality.front(), 30.0);
}

TEST(H264Codec, KeyFramesOnRequestProfilesAndTheBitRateFollowed)
{
    H264EncoderOptions options;
    options.width = 320;
    options.height = 240;
    options.profile = "baseline";
    options.bitRate = 800'000;
    auto encoder = H264Encoder::create(options);
    ASSERT_TRUE(encoder);
    std::vector<uint8_t> accessUnit;
    for (unsigned n = 0; n < 30; ++n) {
        if (n == 20)
            encoder.value()->requestKeyFrame();
        ASSERT_TRUE(encoder.value()->encode(pattern(320, 240, n), accessUnit));
        EXPECT_EQ(hasUnit(accessUnit, 5), n == 0 || n == 20) << "picture " << n;
        // Every IDR picture carries its parameter sets: a receiver that missed the first
        // needs nothing else.
        if (hasUnit(accessUnit, 5)) {
            EXPECT_TRUE(hasUnit(accessUnit, 7) && hasUnit(accessUnit, 8)) << "picture " << n;
        }
        if (n == 0) {
            EXPECT_EQ(profileOf(accessUnit), 66) << "baseline";
        }
    }
    // Content that takes every bit given: the output follows the new rate.
    std::size_t fast = 0, slow = 0;
    for (unsigned n = 30; n < 130; ++n) {
        if (n == 80)
            encoder.value()->setBitRate(100'000);
        ASSERT_TRUE(encoder.value()->encode(pattern(320, 240, n, true), accessUnit));
        if (n >= 55 && n < 80)
            fast += accessUnit.size();
        if (n >= 105)
            slow += accessUnit.size();
    }
    EXPECT_LT(slow * 3, fast) << fast << " octets at 800 kbit/s, " << slow << " at 100 kbit/s";
}

TEST(H264Codec, BadOptionsAndBadDataAreRefused)
{
    H264EncoderOptions odd;
    odd.width = 321;
    EXPECT_FALSE(H264Encoder::create(odd));
    H264EncoderOptions huge;
    huge.width = 8192;
    EXPECT_FALSE(H264Encoder::create(huge));

    H264EncoderOptions options;
    options.width = 320;
    options.height = 240;
    auto encoder = H264Encoder::create(options);
    ASSERT_TRUE(encoder);
    std::vector<uint8_t> accessUnit;
    EXPECT_FALSE(encoder.value()->encode(VideoFrame::black(640, 480), accessUnit));

    auto decoder = H264Decoder::create();
    ASSERT_TRUE(decoder);
    std::vector<VideoFrame> decoded;
    std::vector<uint8_t> garbage = {0, 0, 0, 1, 0x65, 0xFF, 0xFF, 0xFF, 0x00, 0x12};
    decoder.value()->decode(garbage, decoded); // an error or nothing, never a crash
    EXPECT_TRUE(decoded.empty());
    // It still decodes a good stream afterwards.
    ASSERT_TRUE(encoder.value()->encode(pattern(320, 240, 0), accessUnit));
    ASSERT_TRUE(decoder.value()->decode(accessUnit, decoded));
    EXPECT_EQ(decoded.size(), 1u);
}

} // namespace
} // namespace voip
