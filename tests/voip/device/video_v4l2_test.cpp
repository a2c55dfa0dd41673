// The V4L2 camera driver against a camera played by the test: the kernel interface's
// calls (format, size and rate lists, format setting, memory-mapped buffers) answered as a
// real driver does, pictures of the FakeVideo pattern in YUYV, I420 or MJPEG.  The driver
// must list what it can take, pick the nearest size, convert each format, and fail clearly
// on a camera that offers nothing usable, stops sending, sends garbage or is unplugged.

#include "voip/device/video_v4l2.h"
#include "voip/device/v4l2_controls.h"

#include <gtest/gtest.h>

#include "tests/voip/device/fakecamera.h"
#include "tests/voip/media/picturequality.h"

namespace voip {
namespace {

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
    EXPECT_NE(status.error().message.find("no picture format we take as YUV420P"),
              std::string::npos)
        << status.error().message;
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
        EXPECT_NE(status.error().message.find("offers no picture format we take (it offers: RGB3)"),
                  std::string::npos)
            << status.error().message;
        EXPECT_EQ(camera.opens, camera.closes);
        EXPECT_FALSE(input.isOpen());
    }
    {
        FakeCamera camera;
        usualWebcam(camera);
        V4l2VideoInput input(camera);
        VideoInputParams params = wanted(640, 480);
        params.device = "Other Camera";
        EXPECT_NE(input.open(params).error().message.find("no camera named \"Other Camera\""),
                  std::string::npos);
        params.device = "Test Camera";
        EXPECT_TRUE(input.open(params)) << "a camera by its name";
        params.device = "/dev/video7";
        EXPECT_NE(input.open(params).error().message.find("cannot open /dev/video7"),
                  std::string::npos);
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
        EXPECT_NE(status.error().message.find("is gone"), std::string::npos)
            << status.error().message;
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
        EXPECT_NE(input.readFrame(frame).error().message.find("sent no picture"),
                  std::string::npos);
    }
    {
        // Pictures that do not decode are skipped, and a camera that sends only those fails.
        FakeCamera camera;
        camera.formats = {{V4L2_PIX_FMT_MJPEG, {{640, 480, {30}}}}};
        camera.garbage = true;
        V4l2VideoInput input(camera);
        ASSERT_TRUE(input.open(wanted(640, 480)));
        VideoFrame frame;
        EXPECT_NE(input.readFrame(frame).error().message.find("cannot be read"), std::string::npos);
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

// --- the camera's controls ---

const V4l2Control* controlOf(const std::vector<V4l2Control>& controls, std::uint32_t id)
{
    for (const auto& control : controls)
        if (control.id == id)
            return &control;
    return nullptr;
}

TEST(V4l2CameraControls, ListsWhatTheDriverReportsWithValuesMenusAndWhatIsInactive)
{
    FakeCamera camera;
    usualWebcam(camera);
    V4l2Controls controls(camera);
    ASSERT_TRUE(controls.open("Test Camera")) << "by the card's name";
    const auto list = controls.controls();
    std::vector<std::string> names;
    for (const auto& control : list)
        names.push_back(control.name);
    // In the driver's order; a class heading, a string and a disabled control left out.
    EXPECT_EQ(names, (std::vector<std::string>{
                         "Brightness", "Contrast", "White Balance, Automatic",
                         "Power Line Frequency", "White Balance Temperature", "Auto Exposure",
                         "Exposure Time, Absolute", "Zoom, Absolute", "Restore Settings"}));
    const auto* brightness = controlOf(list, V4L2_CID_BRIGHTNESS);
    ASSERT_TRUE(brightness);
    EXPECT_EQ(brightness->value, 10) << "the camera's value, not the default";
    EXPECT_EQ(brightness->minimum, -64);
    const auto* power = controlOf(list, V4L2_CID_POWER_LINE_FREQUENCY);
    ASSERT_TRUE(power);
    EXPECT_EQ(power->kind, V4l2Control::Kind::Menu);
    EXPECT_EQ(power->menu, (std::vector<std::pair<std::int32_t, std::string>>{
                               {0, "Disabled"}, {2, "60 Hz"}}))
        << "index 1 is a hole";
    EXPECT_EQ(controlOf(list, V4L2_CID_AUTO_WHITE_BALANCE)->kind, V4l2Control::Kind::Boolean);
    EXPECT_TRUE(controlOf(list, V4L2_CID_EXPOSURE_ABSOLUTE)->inactive)
        << "automatic exposure is on";
    EXPECT_FALSE(controlOf(list, V4L2_CID_ZOOM_ABSOLUTE)->inactive);
    controls.close();
    EXPECT_EQ(camera.opens, camera.closes);

    EXPECT_FALSE(controls.open("No Such Camera"));
    EXPECT_TRUE(controls.controls().empty());
}

TEST(V4l2CameraControls, ValuesAreFittedMenusCheckedAndAutomaticModesFreeTheirControls)
{
    FakeCamera camera;
    usualWebcam(camera);
    V4l2Controls controls(camera);
    ASSERT_TRUE(controls.open(""));

    // Out of range, off the step: brought to the nearest value the camera takes.
    auto result = controls.set(V4L2_CID_BRIGHTNESS, 1000);
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(result.value(), 64);
    EXPECT_EQ(controls.set(V4L2_CID_CONTRAST, 53).value(), 55);
    EXPECT_EQ(controls.set(V4L2_CID_CONTRAST, 98).value(), 100);
    EXPECT_EQ(controls.set(V4L2_CID_BRIGHTNESS, -1000).value(), -64);
    EXPECT_EQ(camera.findControl(V4L2_CID_BRIGHTNESS)->value, -64);

    // A menu's hole is refused without reaching the camera.
    const int writes = camera.controlWrites;
    EXPECT_FALSE(controls.set(V4L2_CID_POWER_LINE_FREQUENCY, 1));
    EXPECT_EQ(camera.controlWrites, writes);
    EXPECT_EQ(controls.set(V4L2_CID_POWER_LINE_FREQUENCY, 0).value(), 0);

    // Manual exposure makes the exposure time active, and it then takes a value.
    ASSERT_TRUE(controls.set(V4L2_CID_EXPOSURE_AUTO, 1));
    EXPECT_FALSE(controlOf(controls.controls(), V4L2_CID_EXPOSURE_ABSOLUTE)->inactive);
    EXPECT_EQ(controls.set(V4L2_CID_EXPOSURE_ABSOLUTE, 1000).value(), 1000);

    // A button is pressed; a control another program holds, or one the camera lacks, is
    // refused with its reason.
    EXPECT_TRUE(controls.set(V4L2_CID_CAMERA_CLASS_BASE + 31, 0));
    EXPECT_EQ(camera.presses, 1);
    camera.findControl(V4L2_CID_ZOOM_ABSOLUTE)->flags = V4L2_CTRL_FLAG_GRABBED;
    const auto held = controls.set(V4L2_CID_ZOOM_ABSOLUTE, 200);
    ASSERT_FALSE(held);
    EXPECT_NE(held.error().message.find("Zoom, Absolute"), std::string::npos);
    EXPECT_EQ(camera.findControl(V4L2_CID_ZOOM_ABSOLUTE)->value, 100);
    EXPECT_FALSE(controls.set(V4L2_CID_FOCUS_ABSOLUTE, 10)) << "disabled";
    EXPECT_FALSE(controls.set(0x12345, 1));

    // Back to the defaults, except what cannot change; the exposure time, inactive again
    // once automatic exposure is back, is left as it is.
    camera.refuseInactive = true;
    const auto reset = controls.reset();
    EXPECT_TRUE(reset) << reset.error().message;
    EXPECT_EQ(camera.findControl(V4L2_CID_BRIGHTNESS)->value, 0);
    EXPECT_EQ(camera.findControl(V4L2_CID_CONTRAST)->value, 50);
    EXPECT_EQ(camera.findControl(V4L2_CID_POWER_LINE_FREQUENCY)->value, 2);
    EXPECT_EQ(camera.findControl(V4L2_CID_EXPOSURE_AUTO)->value, 3);
    EXPECT_EQ(camera.presses, 1) << "reset presses no button";
}

TEST(V4l2CameraControls, AFaultyDriverCannotHoldUsOrOverrunAName)
{
    FakeCamera camera;
    usualWebcam(camera);
    // A name filling its 32 bytes without an end; a menu claiming two thousand million
    // entries; many controls.
    camera.controls[0].name = std::string(40, 'B');
    camera.controls[3].maximum = 2'000'000'000;
    for (std::uint32_t i = 0; i < 300; ++i)
        camera.controls.push_back({V4L2_CID_PRIVATE_BASE + i, V4L2_CTRL_TYPE_INTEGER, "Extra",
                                   0, 1, 1, 0, 0});
    V4l2Controls controls(camera);
    ASSERT_TRUE(controls.open("/dev/video0"));
    const auto list = controls.controls();
    EXPECT_EQ(list.size(), V4l2Controls::MaxControls);
    EXPECT_LE(list[0].name.size(), 31u) << "snprintf in the fake leaves room for its end";
    EXPECT_EQ(controlOf(list, V4L2_CID_POWER_LINE_FREQUENCY)->menu.size(), 2u);

    // A driver that answers every "next" with the same control.
    struct Stuck : FakeCamera
    {
        int ioctl(int fd, unsigned long request, void* argument) override
        {
            auto* query = static_cast<v4l2_queryctrl*>(argument);
            if (request == VIDIOC_QUERYCTRL && (query->id & V4L2_CTRL_FLAG_NEXT_CTRL))
                query->id = V4L2_CTRL_FLAG_NEXT_CTRL;
            return FakeCamera::ioctl(fd, request, argument);
        }
    } stuck;
    usualWebcam(stuck);
    V4l2Controls held(stuck);
    ASSERT_TRUE(held.open(""));
    EXPECT_EQ(held.controls().size(), 1u) << "the first, once, and no endless loop";

    // A driver that cannot list: the usual controls are asked for one by one.
    struct Old : FakeCamera
    {
        int ioctl(int fd, unsigned long request, void* argument) override
        {
            if (request == VIDIOC_QUERYCTRL &&
                (static_cast<v4l2_queryctrl*>(argument)->id & V4L2_CTRL_FLAG_NEXT_CTRL)) {
                errno = EINVAL;
                return -1;
            }
            return FakeCamera::ioctl(fd, request, argument);
        }
    } old;
    usualWebcam(old);
    V4l2Controls listed(old);
    ASSERT_TRUE(listed.open(""));
    const auto found = listed.controls();
    EXPECT_TRUE(controlOf(found, V4L2_CID_BRIGHTNESS));
    EXPECT_TRUE(controlOf(found, V4L2_CID_EXPOSURE_AUTO));
    EXPECT_TRUE(controlOf(found, V4L2_CID_ZOOM_ABSOLUTE));
}

} // namespace
} // namespace voip
