// Screen capture on a real X server with a real window manager, both started by the test
// (Xvfb and openbox on a display of its own): the window list by title, leaving out what
// a user would not pick; a window's own pixels even while another covers it; the desktop
// as it shows; windows that vanish or are resized to 1 x 1 or 8K.  Skipped when Xvfb or
// openbox is missing.

#include "KxPhone/platform/screencapture.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/KxPhone/testdesktop.h"
#include "tests/support/toolskip.h"
#include "tests/support/eventually.h"

namespace {

using namespace std::chrono_literals;
using kx::testutil::TestDesktop;

/// A display of the test's own with a window manager on it, and the capture on it.
class CaptureDesktop : public testing::Test
{
protected:
    void SetUp() override
    {
        if (!TestDesktop::available())
            KX_SKIP_WITHOUT_TOOL() << "Xvfb or openbox not installed";
        ASSERT_TRUE(desktop.start()) << "Xvfb or openbox did not start";
        capture = ScreenCapture::create();
    }
    void TearDown() override
    {
        capture.reset();
        desktop.stop();
    }

    xcb_window_t window(const std::string& title, std::uint32_t colour, int x, int y,
                        unsigned width, unsigned height, const char* type = nullptr)
    {
        return desktop.window(title, colour, x, y, width, height, type);
    }

    bool listed(const std::string& title)
    {
        seen.clear();
        for (const auto& window : capture->windows()) {
            seen += "\"" + window.title + "\" ";
            if (window.title == title)
                return true;
        }
        return false;
    }

    /// The colour of a captured I420 picture at (x, y), back in RGB (approximately).
    static std::uint32_t rgbAt(const std::vector<std::uint8_t>& picture, unsigned width,
                               unsigned height, unsigned x, unsigned y)
    {
        const std::size_t luma = std::size_t(width) * height;
        const double Y = picture[std::size_t(y) * width + x] - 16.0;
        const double U = picture[luma + std::size_t(y / 2) * (width / 2) + x / 2] - 128.0;
        const double V = picture[luma + luma / 4 + std::size_t(y / 2) * (width / 2) + x / 2] - 128.0;
        auto clamp = [](double v) { return std::uint32_t(std::clamp(v, 0.0, 255.0) + 0.5); };
        return clamp(1.164 * Y + 1.596 * V) << 16 | clamp(1.164 * Y - 0.392 * U - 0.813 * V) << 8 |
               clamp(1.164 * Y + 2.017 * U);
    }

    static bool close(std::uint32_t a, std::uint32_t b)
    {
        for (int shift : {0, 8, 16})
            if (std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) > 24)
                return false;
        return true;
    }

    static bool eventually(const std::function<bool()>& done) { return kxtest::eventually(done); }

    TestDesktop desktop;
    std::unique_ptr<ScreenCapture> capture;
    std::string seen; ///< the titles listed last, for failure messages
};

TEST_F(CaptureDesktop, ListsWhatAUserWouldPickByTitle)
{
    ASSERT_EQ(capture->unavailable(), ScreenCapture::Unavailable::None);
    window("Kestrovia test – bảng trắng", 0xFF0000, 40, 40, 320, 200);
    window("A utility", 0x00FF00, 400, 40, 100, 100, "_NET_WM_WINDOW_TYPE_UTILITY");
    window("", 0x0000FF, 600, 40, 100, 100); // no title
    xcb_connection_t* xcb = desktop.connection();
    const xcb_window_t hidden = xcb_generate_id(xcb);
    xcb_create_window(xcb, XCB_COPY_FROM_PARENT, hidden, desktop.screen()->root, 0, 0, 50, 50, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, desktop.screen()->root_visual, 0, nullptr);
    xcb_change_property(xcb, XCB_PROP_MODE_REPLACE, hidden, desktop.atom("_NET_WM_NAME"),
                        desktop.atom("UTF8_STRING"), 8, 9, "Not shown");
    xcb_flush(xcb); // never mapped
    ASSERT_TRUE(eventually([&] { return listed("Kestrovia test – bảng trắng"); }))
        << "the window, its Vietnamese title intact";
    EXPECT_FALSE(listed("A utility"));
    EXPECT_FALSE(listed("Not shown"));
    for (const auto& window : capture->windows())
        EXPECT_FALSE(window.title.empty());
}

TEST_F(CaptureDesktop, AWindowsOwnPixelsEvenWhenCoveredAndTheDesktopAsItShows)
{
    const xcb_window_t red = window("Red window", 0xFF0000, 100, 100, 400, 300);
    ASSERT_TRUE(eventually([&] { return listed("Red window"); })) << seen;
    std::vector<std::uint8_t> picture;
    ASSERT_TRUE(eventually([&] {
        return capture->capture(red, picture, 320, 240) &&
               close(rgbAt(picture, 320, 240, 160, 120), 0xFF0000);
    }));
    // A blue window over all of it: the desktop shows blue where the red window is.
    window("Blue cover", 0x0000FF, 60, 60, 480, 380);
    ASSERT_TRUE(eventually([&] { return listed("Blue cover"); }));
    ASSERT_TRUE(eventually([&] {
        return capture->capture(0, picture, 1280, 720) &&
               close(rgbAt(picture, 1280, 720, 300, 250), 0x0000FF) &&
               close(rgbAt(picture, 1280, 720, 110, 110), 0x0000FF) &&
               close(rgbAt(picture, 1280, 720, 490, 390), 0x0000FF);
    })) << "the cover is not over the red window: " << std::hex
        << rgbAt(picture, 1280, 720, 300, 250);
    EXPECT_FALSE(close(rgbAt(picture, 1280, 720, 1200, 650), 0x0000FF)) << "the empty root";
    ASSERT_TRUE(capture->capture(red, picture, 320, 240));
    for (const auto& [x, y] : {std::pair{4u, 4u}, {160u, 120u}, {315u, 235u}})
        EXPECT_TRUE(close(rgbAt(picture, 320, 240, x, y), 0xFF0000))
            << "covered window at " << x << "," << y << ": " << std::hex
            << rgbAt(picture, 320, 240, x, y);
}

TEST_F(CaptureDesktop, AWindowKeepsItsShapeWithBlackBars)
{
    const xcb_window_t wide = window("Wide window", 0xFF00FF, 40, 40, 400, 200);
    const xcb_window_t tall = window("Tall window", 0x00FFFF, 500, 40, 200, 400);
    ASSERT_TRUE(eventually([&] { return listed("Wide window") && listed("Tall window"); }))
        << seen;
    std::vector<std::uint8_t> picture;
    // 2:1 into 4:3: bars above and below (the window fills rows 40 to 199).
    ASSERT_TRUE(eventually([&] {
        return capture->capture(wide, picture, 320, 240) &&
               close(rgbAt(picture, 320, 240, 160, 120), 0xFF00FF);
    }));
    for (const auto& [x, y] : {std::pair{160u, 20u}, {160u, 220u}, {4u, 4u}})
        EXPECT_TRUE(close(rgbAt(picture, 320, 240, x, y), 0x000000))
            << x << "," << y << ": " << std::hex << rgbAt(picture, 320, 240, x, y);
    for (const auto& [x, y] : {std::pair{4u, 44u}, {315u, 195u}})
        EXPECT_TRUE(close(rgbAt(picture, 320, 240, x, y), 0xFF00FF))
            << x << "," << y << ": " << std::hex << rgbAt(picture, 320, 240, x, y);
    // 1:2 into 16:9: bars left and right (the window fills columns 114 to 203 of 320).
    ASSERT_TRUE(capture->capture(tall, picture, 320, 180));
    EXPECT_TRUE(close(rgbAt(picture, 320, 180, 160, 90), 0x00FFFF));
    for (const auto& [x, y] : {std::pair{20u, 90u}, {300u, 90u}})
        EXPECT_TRUE(close(rgbAt(picture, 320, 180, x, y), 0x000000))
            << x << "," << y << ": " << std::hex << rgbAt(picture, 320, 180, x, y);
}

TEST_F(CaptureDesktop, WindowsThatVanishOrGoToOddSizesAreSurvived)
{
    const xcb_window_t green = window("Green window", 0x00FF00, 50, 50, 300, 200);
    ASSERT_TRUE(eventually([&] { return listed("Green window"); })) << seen;
    std::vector<std::uint8_t> picture;
    ASSERT_TRUE(eventually([&] { return capture->capture(green, picture, 320, 180); }));
    // 8K: read reduced, in bounded memory, and still the window's colour.
    desktop.resize(green, 7680, 4320);
    ASSERT_TRUE(eventually([&] {
        return capture->capture(green, picture, 640, 360) &&
               close(rgbAt(picture, 640, 360, 320, 180), 0x00FF00);
    }));
    // 1 x 1: nothing to send; the caller keeps its last picture.
    desktop.resize(green, 1, 1);
    EXPECT_TRUE(eventually([&] { return !capture->capture(green, picture, 320, 180); }));
    // Gone: no picture, no crash, and it says so.
    desktop.destroy(green);
    EXPECT_TRUE(eventually([&] { return !capture->windowExists(green); }));
    EXPECT_FALSE(capture->capture(green, picture, 320, 180));
    EXPECT_FALSE(listed("Green window"));
    EXPECT_TRUE(capture->capture(0, picture, 320, 180)) << "the desktop still works";
}

TEST(CaptureSession, WaylandWithoutX11SaysSo)
{
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    ::unsetenv("DISPLAY");
    ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    auto capture = ScreenCapture::create();
    EXPECT_EQ(capture->unavailable(), ScreenCapture::Unavailable::WaylandOnly);
    std::vector<std::uint8_t> picture;
    EXPECT_FALSE(capture->capture(0, picture, 320, 180));
    EXPECT_TRUE(capture->windows().empty());
    ::unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(ScreenCapture::create()->unavailable(), ScreenCapture::Unavailable::NoDisplay);
    if (!display.empty())
        ::setenv("DISPLAY", display.c_str(), 1);
}

} // namespace
