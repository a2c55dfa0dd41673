// The V4L2 camera driver against a camera played by the test: the kernel interface's
// calls (format, size and rate lists, format setting, memory-mapped buffers) answered as a
// real driver does, pictures of the FakeVideo pattern in YUYV, I420 or MJPEG.  The driver
// must list what it can take, pick the nearest size, convert each format, and fail clearly
// on a camera that offers nothing usable, stops sending, sends garbage or is unplugged.

#include "voip/device/video_v4l2.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include <linux/videodev2.h>

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <libyuv/convert_argb.h>
#include <libyuv/convert_from.h>

#include "tests/voip/media/picturequality.h"
#include "voip/device/video_fake.h"

namespace voip {
namespace {

struct FakeSize
{
    unsigned width, height;
    std::vector<unsigned> rates;
};
struct FakeFormat
{
    std::uint32_t fourcc;
    std::vector<FakeSize> sizes;
    bool emulated = false;
};

std::vector<std::uint8_t> jpegOf(const VideoFrame& picture)
{
    std::vector<std::uint8_t> rgb(std::size_t(picture.width) * picture.height * 3);
    libyuv::I420ToRAW(picture.plane(0), int(picture.stride(0)), picture.plane(1),
                      int(picture.stride(1)), picture.plane(2), int(picture.stride(2)), rgb.data(),
                      int(picture.width * 3), int(picture.width), int(picture.height));
    jpeg_compress_struct compress{};
    jpeg_error_mgr errors{};
    compress.err = jpeg_std_error(&errors);
    jpeg_create_compress(&compress);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&compress, &out, &size);
    compress.image_width = picture.width;
    compress.image_height = picture.height;
    compress.input_components = 3;
    compress.in_color_space = JCS_RGB;
    jpeg_set_defaults(&compress);
    jpeg_set_quality(&compress, 95, TRUE);
    jpeg_start_compress(&compress, TRUE);
    while (compress.next_scanline < compress.image_height) {
        JSAMPROW row = rgb.data() + std::size_t(compress.next_scanline) * picture.width * 3;
        jpeg_write_scanlines(&compress, &row, 1);
    }
    jpeg_finish_compress(&compress);
    std::vector<std::uint8_t> jpeg(out, out + size);
    jpeg_destroy_compress(&compress);
    std::free(out);
    return jpeg;
}

/// A camera as the kernel shows it: /dev/video0 captures, /dev/video1 is its metadata
/// node (no capture).  Pictures are numbered from 0 as they are dequeued.
class FakeCamera : public V4l2System
{
public:
    std::vector<FakeFormat> formats;
    std::string card = "Test Camera";
    int unplugAfter = -1;   ///< pictures before the device goes away (-1: never)
    int stallAfter = -1;    ///< pictures before it stops sending
    bool garbage = false;   ///< MJPEG pictures that do not decode
    bool driverShrinks = false; ///< S_FMT answers with half the size asked for

    int open(const std::string& path) override
    {
        if (path != "/dev/video0" && path != "/dev/video1") {
            errno = ENOENT;
            return -1;
        }
        ++opens;
        return path == "/dev/video0" ? 10 : 11;
    }
    int close(int) override
    {
        ++closes;
        return 0;
    }
    std::vector<std::string> devicePaths() override { return {"/dev/video0", "/dev/video1"}; }
    void* map(int, std::size_t length, off_t offset) override
    {
        const auto index = std::size_t(offset) / 4096;
        if (index >= buffers.size() || buffers[index].size() != length)
            return nullptr;
        ++mapped;
        return buffers[index].data();
    }
    int unmap(void*, std::size_t) override
    {
        --mapped;
        return 0;
    }
    int waitReadable(int, int) override
    {
        if (unplugAfter >= 0 && int(dequeued) >= unplugAfter)
            return -1;
        if (stallAfter >= 0 && int(dequeued) >= stallAfter)
            return 0;
        return queued.empty() ? 0 : 1;
    }

    int ioctl(int fd, unsigned long request, void* argument) override
    {
        switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* caps = static_cast<v4l2_capability*>(argument);
            *caps = {};
            std::snprintf(reinterpret_cast<char*>(caps->card), sizeof caps->card, "%s",
                          card.c_str());
            caps->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE |
                                 V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
            caps->device_caps = fd == 10 ? V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING
                                         : V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* description = static_cast<v4l2_fmtdesc*>(argument);
            if (description->index >= formats.size())
                return fail(EINVAL);
            description->pixelformat = formats[description->index].fourcc;
            description->flags = formats[description->index].emulated ? V4L2_FMT_FLAG_EMULATED : 0;
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* size = static_cast<v4l2_frmsizeenum*>(argument);
            const auto* format = find(size->pixel_format);
            if (!format || size->index >= format->sizes.size())
                return fail(EINVAL);
            size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            size->discrete = {format->sizes[size->index].width, format->sizes[size->index].height};
            return 0;
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto* interval = static_cast<v4l2_frmivalenum*>(argument);
            const FakeSize* size = findSize(interval->pixel_format, interval->width,
                                            interval->height);
            if (!size || interval->index >= size->rates.size())
                return fail(EINVAL);
            interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
            interval->discrete = {1, size->rates[interval->index]};
            return 0;
        }
        case VIDIOC_S_FMT: {
            auto& pix = static_cast<v4l2_format*>(argument)->fmt.pix;
            if (!findSize(pix.pixelformat, pix.width, pix.height))
                return fail(EINVAL);
            if (driverShrinks) {
                pix.width /= 2;
                pix.height /= 2;
            }
            fourcc = pix.pixelformat;
            width = pix.width;
            height = pix.height;
            pix.bytesperline = fourcc == V4L2_PIX_FMT_YUYV    ? 2 * width
                               : fourcc == V4L2_PIX_FMT_YUV420 ? width
                                                               : 0;
            pix.sizeimage = unsigned(imageSize());
            return 0;
        }
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM: {
            auto& capture = static_cast<v4l2_streamparm*>(argument)->parm.capture;
            capture.capability = V4L2_CAP_TIMEPERFRAME;
            if (request == VIDIOC_S_PARM) {
                // The nearest rate the size has.
                const FakeSize* size = findSize(fourcc, width, height);
                unsigned best = size && !size->rates.empty() ? size->rates[0] : 30;
                const unsigned wanted = capture.timeperframe.denominator;
                for (const unsigned rate : size ? size->rates : std::vector<unsigned>{})
                    if (std::abs(int(rate) - int(wanted)) < std::abs(int(best) - int(wanted)))
                        best = rate;
                capture.timeperframe = {1, best};
            }
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto* request = static_cast<v4l2_requestbuffers*>(argument);
            buffers.assign(request->count, std::vector<std::uint8_t>(imageSize()));
            queued.clear();
            return 0;
        }
        case VIDIOC_QUERYBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (buffer->index >= buffers.size())
                return fail(EINVAL);
            buffer->length = unsigned(buffers[buffer->index].size());
            buffer->m.offset = buffer->index * 4096;
            return 0;
        }
        case VIDIOC_QBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (buffer->index >= buffers.size())
                return fail(EINVAL);
            queued.push_back(buffer->index);
            return 0;
        }
        case VIDIOC_DQBUF: {
            if (!streaming || queued.empty())
                return fail(EAGAIN);
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            buffer->index = queued.front();
            queued.erase(queued.begin());
            buffer->bytesused = fill(buffers[buffer->index], dequeued++);
            buffer->flags = 0;
            return 0;
        }
        case VIDIOC_STREAMON:
            streaming = true;
            return 0;
        case VIDIOC_STREAMOFF:
            streaming = false;
            return 0;
        default:
            return fail(ENOTTY);
        }
    }

    std::uint32_t fourcc = 0;
    unsigned width = 0, height = 0;
    unsigned dequeued = 0;
    int opens = 0, closes = 0, mapped = 0;

private:
    static int fail(int error)
    {
        errno = error;
        return -1;
    }
    const FakeFormat* find(std::uint32_t pixelFormat) const
    {
        for (const auto& format : formats)
            if (format.fourcc == pixelFormat)
                return &format;
        return nullptr;
    }
    const FakeSize* findSize(std::uint32_t pixelFormat, unsigned w, unsigned h) const
    {
        if (const auto* format = find(pixelFormat))
            for (const auto& size : format->sizes)
                if (size.width == w && size.height == h)
                    return &size;
        return nullptr;
    }
    std::size_t imageSize() const
    {
        return fourcc == V4L2_PIX_FMT_YUV420 ? VideoFrame::sizeFor(width, height)
                                             : std::size_t(width) * height * 2;
    }
    unsigned fill(std::vector<std::uint8_t>& buffer, unsigned number) const
    {
        const VideoFrame picture = FakeVideoInput::picture(width, height, number);
        if (fourcc == V4L2_PIX_FMT_YUV420) {
            std::copy(picture.data.begin(), picture.data.end(), buffer.begin());
            return unsigned(picture.data.size());
        }
        if (fourcc == V4L2_PIX_FMT_YUYV) {
            libyuv::I420ToYUY2(picture.plane(0), int(picture.stride(0)), picture.plane(1),
                               int(picture.stride(1)), picture.plane(2), int(picture.stride(2)),
                               buffer.data(), int(2 * width), int(width), int(height));
            return unsigned(2 * width * height);
        }
        auto jpeg = jpegOf(picture);
        if (garbage)
            std::fill(jpeg.begin() + 2, jpeg.end(), 0x5A); // no picture header left
        const auto size = std::min(jpeg.size(), buffer.size());
        std::copy(jpeg.begin(), jpeg.begin() + std::ptrdiff_t(size), buffer.begin());
        return unsigned(size);
    }

    std::vector<std::vector<std::uint8_t>> buffers;
    std::vector<unsigned> queued;
    bool streaming = false;
};

/// The usual webcam: YUYV up to 720p (slowly), MJPEG up to 1080p, and two formats we do
/// not take (an RGB one, and an I420 that libv4l2 only makes up).
void usualWebcam(FakeCamera& camera)
{
    camera.formats = {
        {V4L2_PIX_FMT_RGB24, {{640, 480, {30}}}},
        {V4L2_PIX_FMT_YUYV, {{640, 480, {30, 15}}, {1280, 720, {10, 5}}}},
        {V4L2_PIX_FMT_MJPEG, {{640, 480, {30}}, {1280, 720, {30, 15}}, {1920, 1080, {30}}}},
        {V4L2_PIX_FMT_YUV420, {{640, 480, {30}}}, true},
    };
}

VideoInputParams wanted(unsigned width, unsigned height, unsigned rate = 25)
{
    VideoInputParams params;
    params.width = width;
    params.height = height;
    params.frameRate = rate;
    return params;
}

TEST(V4l2Camera, ListsCamerasWithTheFormatsSizesAndRatesWeTake)
{
    FakeCamera camera;
    usualWebcam(camera);
    const auto devices = listV4l2Devices(camera);
    ASSERT_EQ(devices.size(), 1u) << "the metadata node is no camera";
    EXPECT_EQ(devices[0].path, "/dev/video0");
    EXPECT_EQ(devices[0].name, "Test Camera");
    ASSERT_EQ(devices[0].formats.size(), 2u);
    EXPECT_EQ(devices[0].formats[0].name, "YUYV");
    EXPECT_EQ(devices[0].formats[1].name, "MJPG");
    const auto& mjpeg = devices[0].formats[1].sizes;
    ASSERT_EQ(mjpeg.size(), 3u);
    EXPECT_EQ(mjpeg[2].width, 1920u);
    EXPECT_EQ(mjpeg[1].frameRates, (std::vector<unsigned>{30, 15}));
    EXPECT_EQ(camera.opens, camera.closes);
}

struct Pick
{
    unsigned width, height;
    const char* format;
    unsigned cameraWidth, cameraHeight;
    double minimumPsnr;
};

class V4l2CameraPicks : public testing::TestWithParam<Pick>
{};

TEST_P(V4l2CameraPicks, NearestSizeBestFormatAndPicturesIntact)
{
    const Pick pick = GetParam();
    FakeCamera camera;
    usualWebcam(camera);
    V4l2VideoInput input(camera);
    ASSERT_TRUE(input.open(wanted(pick.width, pick.height)));
    EXPECT_EQ(input.cameraFormat(), pick.format);
    EXPECT_EQ(input.cameraWidth(), pick.cameraWidth);
    EXPECT_EQ(input.cameraHeight(), pick.cameraHeight);
    VideoFrame frame;
    for (uint32_t n = 0; n < 5; ++n) {
        ASSERT_TRUE(input.readFrame(frame));
        ASSERT_EQ(frame.width, pick.width);
        ASSERT_EQ(frame.height, pick.height);
        EXPECT_EQ(FakeVideoInput::readNumber(frame), n);
        const VideoFrame sent = FakeVideoInput::picture(pick.cameraWidth, pick.cameraHeight, n);
        VideoFrame expected;
        ASSERT_TRUE(sent.scaleInto(expected, pick.width, pick.height));
        EXPECT_GT(test::psnr(frame, expected), pick.minimumPsnr);
        // The levels are video range whatever the camera's format (JPEG's are full range).
        const auto meanLuma = [](const VideoFrame& picture) {
            double sum = 0;
            for (std::size_t i = 0; i < std::size_t(picture.width) * picture.height; ++i)
                sum += picture.data[i];
            return sum / (double(picture.width) * picture.height);
        };
        EXPECT_NEAR(meanLuma(frame), meanLuma(expected), 3); // full range would be ~17 off
    }
    input.close();
    EXPECT_EQ(camera.mapped, 0);
    EXPECT_EQ(camera.opens, camera.closes);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, V4l2CameraPicks,
    testing::Values(Pick{640, 480, "YUYV", 640, 480, 40},     // there in both: the better one
                    Pick{1280, 720, "YUYV", 1280, 720, 40},   // ... also when it is slower
                    Pick{1920, 1080, "MJPG", 1920, 1080, 27}, // only MJPEG has it
                    Pick{800, 600, "YUYV", 1280, 720, 30},    // the smallest larger, scaled
                    Pick{320, 240, "YUYV", 640, 480, 30},
                    Pick{3840, 2160, "MJPG", 1920, 1080, 27}), // the largest there is
    [](const auto& info) {
        return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
    });

TEST(V4l2Camera, TheFormatAskedForIsTheOneTaken)
{
    FakeCamera camera;
    usualWebcam(camera);
    V4l2VideoInput input(camera);
    VideoInputParams params = wanted(640, 480);
    params.colourFormat = "MJPEG";
    ASSERT_TRUE(input.open(params));
    EXPECT_EQ(input.cameraFormat(), "MJPG") << "not the YUYV it would choose itself";
    params.colourFormat = "YUV420P"; // only made up by libv4l2 here
    const auto status = input.open(params);
    EXPECT_NE(status.message().find("no picture format we take as YUV420P"), std::string::npos)
        << status.message();
}

TEST(V4l2Camera, PlanarCameraAndTheRateNearestTheOneAskedFor)
{
    FakeCamera camera;
    camera.formats = {{V4L2_PIX_FMT_YUV420, {{352, 288, {30, 20, 10}}}}};
    V4l2VideoInput input(camera);
    ASSERT_TRUE(input.open(wanted(352, 288, 18)));
    EXPECT_EQ(input.cameraFormat(), "YU12");
    EXPECT_EQ(input.cameraRate(), 20u);
    VideoFrame frame;
    ASSERT_TRUE(input.readFrame(frame));
    EXPECT_EQ(test::psnr(frame, FakeVideoInput::picture(352, 288, 0)), 99) << "copied as it is";
}

TEST(V4l2Camera, FailsClearlyAndLeavesNothingOpen)
{
    {
        FakeCamera camera;
        camera.formats = {{V4L2_PIX_FMT_RGB24, {{640, 480, {30}}}}};
        V4l2VideoInput input(camera);
        const auto status = input.open(wanted(640, 480));
        EXPECT_FALSE(status);
        EXPECT_NE(status.message().find("offers no picture format we take (it offers: RGB3)"),
                  std::string::npos)
            << status.message();
        EXPECT_EQ(camera.opens, camera.closes);
        EXPECT_FALSE(input.isOpen());
    }
    {
        FakeCamera camera;
        usualWebcam(camera);
        V4l2VideoInput input(camera);
        VideoInputParams params = wanted(640, 480);
        params.device = "Other Camera";
        EXPECT_NE(input.open(params).message().find("no camera named \"Other Camera\""),
                  std::string::npos);
        params.device = "Test Camera";
        EXPECT_TRUE(input.open(params)) << "a camera by its name";
        params.device = "/dev/video7";
        EXPECT_NE(input.open(params).message().find("cannot open /dev/video7"), std::string::npos);
        EXPECT_FALSE(input.readFrame(*std::make_unique<VideoFrame>()));
    }
    {
        // Unplugged after three pictures.
        FakeCamera camera;
        usualWebcam(camera);
        camera.unplugAfter = 3;
        V4l2VideoInput input(camera);
        ASSERT_TRUE(input.open(wanted(640, 480)));
        VideoFrame frame;
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(input.readFrame(frame));
        const auto status = input.readFrame(frame);
        EXPECT_NE(status.message().find("is gone"), std::string::npos) << status.message();
        EXPECT_FALSE(input.isOpen());
        EXPECT_EQ(camera.mapped, 0);
        EXPECT_EQ(camera.opens, camera.closes);
    }
    {
        // Stops sending.
        FakeCamera camera;
        usualWebcam(camera);
        camera.stallAfter = 1;
        V4l2VideoInput input(camera);
        ASSERT_TRUE(input.open(wanted(640, 480)));
        VideoFrame frame;
        ASSERT_TRUE(input.readFrame(frame));
        EXPECT_NE(input.readFrame(frame).message().find("sent no picture"), std::string::npos);
    }
    {
        // Pictures that do not decode are skipped, and a camera that sends only those fails.
        FakeCamera camera;
        camera.formats = {{V4L2_PIX_FMT_MJPEG, {{640, 480, {30}}}}};
        camera.garbage = true;
        V4l2VideoInput input(camera);
        ASSERT_TRUE(input.open(wanted(640, 480)));
        VideoFrame frame;
        EXPECT_NE(input.readFrame(frame).message().find("cannot be read"), std::string::npos);
    }
    {
        // A driver that answers a size with another is followed, not trusted blindly.
        FakeCamera camera;
        camera.formats = {{V4L2_PIX_FMT_YUYV, {{640, 480, {30}}}}};
        camera.driverShrinks = true;
        V4l2VideoInput input(camera);
        ASSERT_TRUE(input.open(wanted(640, 480)));
        EXPECT_EQ(input.cameraWidth(), 320u);
        VideoFrame frame;
        ASSERT_TRUE(input.readFrame(frame));
        EXPECT_EQ(frame.width, 640u);
        EXPECT_EQ(FakeVideoInput::readNumber(frame), 0u);
    }
}

} // namespace
} // namespace voip
