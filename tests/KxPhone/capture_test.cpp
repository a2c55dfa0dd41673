// Screen capture on a real X server with a real window manager, both started by the test
// (Xvfb and openbox on a display of its own): the window list by title, leaving out what
// a user would not pick; a window's own pixels even while another covers it; the desktop
// as it shows; windows that vanish or are resized to 1 x 1 or 8K.  Skipped when Xvfb or
// openbox is missing.

#include "KxPhone/platform/screencapture.h"

#include <chrono>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

namespace {

using namespace std::chrono_literals;

pid_t spawn(const std::vector<std::string>& arguments, const std::string& display)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("DISPLAY", display.c_str(), 1);
        std::vector<char*> argv;
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::freopen("/dev/null", "w", stdout);
        ::freopen("/dev/null", "w", stderr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

bool have(const char* program)
{
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

/// A display of the test's own with a window manager on it, and a connection to draw test
/// windows with.
class CaptureDesktop : public testing::Test
{
protected:
    void SetUp() override
    {
        if (!have("Xvfb") || !have("openbox"))
            GTEST_SKIP() << "Xvfb or openbox not installed";
        int number = 140 + int(::getpid() % 50);
        while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number)))
            ++number;
        display = ":" + std::to_string(number);
        savedDisplay = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
        ::setenv("DISPLAY", display.c_str(), 1);
        xvfb = spawn({"Xvfb", display, "-screen", "0", "1280x720x24", "-nolisten", "tcp"},
                     display);
        for (int i = 0; i < 100 && !connect(); ++i)
            std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(xcb) << "Xvfb did not start on " << display;
        openbox = spawn({"openbox"}, display);
        // The window manager is up once it has named itself on the root.
        const xcb_atom_t check = atom("_NET_SUPPORTING_WM_CHECK");
        bool managed = false;
        for (int i = 0; i < 100 && !managed; ++i) {
            auto* reply = xcb_get_property_reply(
                xcb, xcb_get_property(xcb, 0, screen->root, check, XCB_ATOM_WINDOW, 0, 1),
                nullptr);
            managed = reply && xcb_get_property_value_length(reply) == 4;
            std::free(reply);
            if (!managed)
                std::this_thread::sleep_for(50ms);
        }
        ASSERT_TRUE(managed) << "openbox did not start";
        capture = ScreenCapture::create();
    }

    void TearDown() override
    {
        capture.reset();
        if (xcb)
            xcb_disconnect(xcb);
        for (pid_t pid : {openbox, xvfb}) {
            if (pid > 0) {
                ::kill(pid, SIGTERM);
                ::waitpid(pid, nullptr, 0);
            }
        }
        if (savedDisplay.empty())
            ::unsetenv("DISPLAY");
        else
            ::setenv("DISPLAY", savedDisplay.c_str(), 1);
    }

    bool connect()
    {
        xcb = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(xcb)) {
            xcb_disconnect(xcb);
            xcb = nullptr;
            return false;
        }
        screen = xcb_setup_roots_iterator(xcb_get_setup(xcb)).data;
        return true;
    }

    xcb_atom_t atom(const char* name)
    {
        auto* reply = xcb_intern_atom_reply(
            xcb, xcb_intern_atom(xcb, 0, std::uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return result;
    }

    /// A window of one colour (0xRRGGBB) with a title, mapped at (x, y).
    xcb_window_t window(const std::string& title, std::uint32_t colour, int x, int y,
                        unsigned width, unsigned height, const char* type = nullptr)
    {
        const xcb_window_t id = xcb_generate_id(xcb);
        const std::uint32_t values[] = {colour};
        xcb_create_window(xcb, XCB_COPY_FROM_PARENT, id, screen->root, std::int16_t(x),
                          std::int16_t(y), std::uint16_t(width), std::uint16_t(height), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL,
                          values);
        if (!title.empty()) {
            xcb_change_property(xcb, XCB_PROP_MODE_REPLACE, id, atom("_NET_WM_NAME"),
                                atom("UTF8_STRING"), 8, std::uint32_t(title.size()), title.data());
        }
        // Placed where asked (USPosition, USSize), not where the window manager would.
        const std::uint32_t hints[18] = {1 | 2, std::uint32_t(x), std::uint32_t(y), width,
                                         height};
        xcb_change_property(xcb, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NORMAL_HINTS,
                            XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
        if (type) {
            const xcb_atom_t value = atom(type);
            xcb_change_property(xcb, XCB_PROP_MODE_REPLACE, id, atom("_NET_WM_WINDOW_TYPE"),
                                XCB_ATOM_ATOM, 32, 1, &value);
        }
        xcb_map_window(xcb, id);
        xcb_flush(xcb);
        // A window mapped while the window manager is still starting may go unmanaged:
        // map it again until the manager lists it.
        for (int attempt = 0; attempt < 20 && !managed(id); ++attempt) {
            if (attempt % 5 == 4) {
                xcb_unmap_window(xcb, id);
                xcb_map_window(xcb, id);
                xcb_flush(xcb);
            }
            std::this_thread::sleep_for(100ms);
        }
        return id;
    }

    bool managed(xcb_window_t id)
    {
        auto* reply = xcb_get_property_reply(
            xcb,
            xcb_get_property(xcb, 0, screen->root, atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW, 0,
                             1024),
            nullptr);
        bool found = false;
        if (reply) {
            const auto* windows = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
            const int count = xcb_get_property_value_length(reply) / 4;
            found = std::find(windows, windows + count, id) != windows + count;
        }
        std::free(reply);
        return found;
    }

    void resize(xcb_window_t id, unsigned width, unsigned height)
    {
        const std::uint32_t values[] = {width, height};
        xcb_configure_window(xcb, id, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values);
        xcb_flush(xcb);
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
    std::string seen; ///< the titles listed last, for failure messages
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

    bool eventually(const std::function<bool()>& done)
    {
        for (int i = 0; i < 100; ++i) {
            if (done())
                return true;
            std::this_thread::sleep_for(30ms);
        }
        return done();
    }

    std::string display;
    std::string savedDisplay;
    pid_t xvfb = -1;
    pid_t openbox = -1;
    xcb_connection_t* xcb = nullptr;
    xcb_screen_t* screen = nullptr;
    std::unique_ptr<ScreenCapture> capture;
};

TEST_F(CaptureDesktop, ListsWhatAUserWouldPickByTitle)
{
    ASSERT_EQ(capture->unavailable(), ScreenCapture::Unavailable::None);
    window("Kestrovia test – bảng trắng", 0xFF0000, 40, 40, 320, 200);
    window("A utility", 0x00FF00, 400, 40, 100, 100, "_NET_WM_WINDOW_TYPE_UTILITY");
    window("", 0x0000FF, 600, 40, 100, 100); // no title
    const xcb_window_t hidden = xcb_generate_id(xcb);
    xcb_create_window(xcb, XCB_COPY_FROM_PARENT, hidden, screen->root, 0, 0, 50, 50, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    xcb_change_property(xcb, XCB_PROP_MODE_REPLACE, hidden, atom("_NET_WM_NAME"),
                        atom("UTF8_STRING"), 8, 9, "Not shown");
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

TEST_F(CaptureDesktop, WindowsThatVanishOrGoToOddSizesAreSurvived)
{
    const xcb_window_t green = window("Green window", 0x00FF00, 50, 50, 300, 200);
    ASSERT_TRUE(eventually([&] { return listed("Green window"); })) << seen;
    std::vector<std::uint8_t> picture;
    ASSERT_TRUE(eventually([&] { return capture->capture(green, picture, 320, 180); }));
    // 8K: read reduced, in bounded memory, and still the window's colour.
    resize(green, 7680, 4320);
    ASSERT_TRUE(eventually([&] {
        return capture->capture(green, picture, 640, 360) &&
               close(rgbAt(picture, 640, 360, 320, 180), 0x00FF00);
    }));
    // 1 x 1: nothing to send; the caller keeps its last picture.
    resize(green, 1, 1);
    EXPECT_TRUE(eventually([&] { return !capture->capture(green, picture, 320, 180); }));
    // Gone: no picture, no crash, and it says so.
    xcb_destroy_window(xcb, green);
    xcb_flush(xcb);
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
