// The FakeVideo source: its picture numbers read back after H.264 coding, its pacing and
// its bad parameters; and the Y4M files that tools read.

#include "voip/device/video_fake.h"

#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/tools/tshark_util.h"
#include "voip/device/y4mfile.h"
#include "voip/media/videocodec.h"
#include "tests/support/toolskip.h"

namespace voip {
namespace {

TEST(FakeVideo, PictureNumbersSurviveH264)
{
    H264EncoderOptions options;
    options.width = 640;
    options.height = 360;
    options.bitRate = 300'000;
    auto encoder = H264Encoder::create(options);
    auto decoder = H264Decoder::create();
    ASSERT_TRUE(encoder && decoder);
    std::vector<uint8_t> accessUnit;
    std::vector<VideoFrame> decoded;
    for (uint32_t n : {0u, 1u, 2u, 3u, 0xABCDEu, 0xFFFFFFu, 0x800001u, 7u, 8u, 9u}) {
        const VideoFrame picture = FakeVideoInput::picture(640, 360, n);
        EXPECT_EQ(FakeVideoInput::readNumber(picture), n);
        ASSERT_TRUE(encoder.value()->encode(picture, accessUnit));
        decoded.clear();
        ASSERT_TRUE(decoder.value()->decode(accessUnit, decoded));
        ASSERT_EQ(decoded.size(), 1u);
        EXPECT_EQ(FakeVideoInput::readNumber(decoded[0]), n);
    }
    // Pictures without the blocks have no number.
    EXPECT_FALSE(FakeVideoInput::readNumber(VideoFrame::black(640, 360)));
    VideoFrame truncated = FakeVideoInput::picture(640, 360, 5);
    truncated.data.resize(100);
    EXPECT_FALSE(FakeVideoInput::readNumber(truncated));
    // Small pictures carry it too.
    EXPECT_EQ(FakeVideoInput::readNumber(FakeVideoInput::picture(176, 144, 4242)), 4242u);
}

TEST(FakeVideo, PacedAtTheFrameRateAndNumberedInOrder)
{
    auto device = createVideoInputDevice(kFakeVideoDriver);
    ASSERT_TRUE(device);
    VideoInputParams params;
    params.width = 320;
    params.height = 240;
    params.frameRate = 25;
    ASSERT_TRUE(device.value()->open(params));
    const auto start = std::chrono::steady_clock::now();
    VideoFrame frame;
    for (uint32_t n = 0; n < 10; ++n) {
        ASSERT_TRUE(device.value()->readFrame(frame));
        EXPECT_EQ(frame.width, 320u);
        EXPECT_EQ(FakeVideoInput::readNumber(frame), n);
    }
    // Ten pictures at 25 a second cannot come sooner than nine intervals.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(355));
    device.value()->close();
    EXPECT_FALSE(device.value()->readFrame(frame));

    for (VideoInputParams bad : {VideoInputParams{"", 8, 8, 25}, VideoInputParams{"", 320, 240, 0},
                                 VideoInputParams{"", 9000, 240, 25}})
        EXPECT_FALSE(device.value()->open(bad));
    EXPECT_FALSE(createVideoInputDevice("NoSuchCamera"));
}

TEST(Y4mFile, FfprobeReadsWhatWeWriteAndOtherSizesAreRefused)
{
    const auto path =
        std::filesystem::temp_directory_path() / ("kx_fake_" + std::to_string(::getpid()) + ".y4m");
    Y4mWriter writer;
    ASSERT_TRUE(writer.open(path.string(), 25));
    for (uint32_t n = 0; n < 10; ++n)
        ASSERT_TRUE(writer.write(FakeVideoInput::picture(320, 240, n)));
    EXPECT_FALSE(writer.write(FakeVideoInput::picture(640, 480, 10)));
    EXPECT_EQ(writer.framesWritten(), 10u);
    ASSERT_TRUE(writer.close());
    EXPECT_FALSE(Y4mWriter().open("/nonexistent-dir/x.y4m", 25));

    if (kx::testutil::runCommand("command -v ffprobe").empty())
        KX_SKIP_WITHOUT_TOOL() << "ffprobe not installed";
    const std::string probe = kx::testutil::runCommand(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=width,height,nb_read_frames,pix_fmt,r_frame_rate -of csv=p=0 " +
        kx::testutil::shellQuote(path.string()));
    EXPECT_EQ(probe, "320,240,yuv420p,25/1,10\n");
    std::filesystem::remove(path);
}

} // namespace
} // namespace voip
