// The SDL window output on a real X server (Xvfb in the suite): the pictures it is given
// show in its window, read back from the X server pixel by pixel, at any picture size; one
// window a process; no display gives a clear error.  Skipped without a display.

#include "voip/device/video_sdl.h"
#include "tests/support/toolskip.h"
#include "tests/support/eventually.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

// Xlib last: its None and Bool macros break headers that follow.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace voip {
namespace {

using namespace std::chrono_literals;

struct Rgb
{
    int r, g, b;
};

/// A picture of one colour, given in BT.601 video-range YUV.
VideoFrame solid(unsigned width, unsigned height, std::uint8_t y, std::uint8_t u, std::uint8_t v)
{
    VideoFrame frame = VideoFrame::black(width, height);
    std::fill(frame.data.begin(), frame.data.begin() + std::ptrdiff_t(width * height), y);
    const std::size_t chroma = std::size_t(frame.stride(1)) * frame.planeHeight(1);
    std::fill(frame.plane(1), frame.plane(1) + chroma, u);
    std::fill(frame.plane(2), frame.plane(2) + chroma, v);
    return frame;
}

/// The window's pixel at (x, y), as the X server has it.
std::optional<Rgb> pixelAt(Display* display, unsigned long window, int x, int y)
{
    XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image)
        return std::nullopt;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    auto channel = [&](unsigned long mask) {
        int shift = 0;
        while (mask && !(mask & 1)) {
            mask >>= 1;
            ++shift;
        }
        return int((pixel >> shift) & 0xFF);
    };
    Rgb rgb{channel(image->red_mask), channel(image->green_mask), channel(image->blue_mask)};
    XDestroyImage(image);
    return rgb;
}

using kxtest::eventually;

TEST(SdlVideoOutput, ShowsEachPictureInItsWindowAtAnySize)
{
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        KX_SKIP_WITHOUT_TOOL() << "no X display";
    Display* x = XOpenDisplay(nullptr);
    ASSERT_TRUE(x);
    SdlVideoOutput::Options options;
    options.width = 320;
    options.height = 180;
    auto opened = SdlVideoOutput::open(options);
    ASSERT_TRUE(opened) << opened.error().message;
    auto output = opened.take();
    ASSERT_NE(output->nativeWindow(), 0u);
    auto second = SdlVideoOutput::open(options);
    EXPECT_FALSE(second) << "one window a process";

    // Red, green, blue in BT.601 video range, the last at another size than the window:
    // the overlay scales it.
    struct Case
    {
        VideoFrame frame;
        Rgb expected;
    };
    const Case cases[] = {
        {solid(320, 180, 81, 90, 240), {255, 0, 0}},
        {solid(320, 180, 145, 54, 34), {0, 255, 0}},
        {solid(1280, 720, 41, 240, 110), {0, 0, 255}},
    };
    for (const auto& [frame, expected] : cases) {
        const auto before = output->framesShown();
        output->showFrame(frame);
        ASSERT_TRUE(eventually([&] { return output->framesShown() > before; }));
        for (const auto& [px, py] : {std::pair{160, 90}, {5, 5}, {314, 174}}) {
            std::optional<Rgb> seen;
            // The server may take a moment to have drawn it.
            const bool close = eventually([&] {
                seen = pixelAt(x, output->nativeWindow(), px, py);
                return seen && std::abs(seen->r - expected.r) < 40 &&
                       std::abs(seen->g - expected.g) < 40 && std::abs(seen->b - expected.b) < 40;
            });
            EXPECT_TRUE(close) << "at " << px << "," << py << ": " << (seen ? seen->r : -1) << " "
                               << (seen ? seen->g : -1) << " " << (seen ? seen->b : -1)
                               << ", expected " << expected.r << " " << expected.g << " "
                               << expected.b;
        }
    }
    // Told that its window must be drawn again (uncovered, say, where the server keeps no
    // copy), it shows its last picture again by itself: a still picture is not sent again.
    {
        const Window window = output->nativeWindow();
        GC gc = XCreateGC(x, window, 0, nullptr);
        XSetForeground(x, gc, WhitePixel(x, DefaultScreen(x)));
        XFillRectangle(x, window, gc, 0, 0, 320, 180);
        XFreeGC(x, gc);
        XSync(x, False);
        ASSERT_TRUE(eventually([&] {
            const auto seen = pixelAt(x, window, 160, 90);
            return seen && seen->r > 200 && seen->g > 200 && seen->b > 200;
        })) << "painted over";
        const auto shown = output->framesShown();
        XClearArea(x, window, 0, 0, 0, 0, True); // no background: only the Expose event
        XSync(x, False);
        std::optional<Rgb> seen;
        EXPECT_TRUE(eventually([&] {
            seen = pixelAt(x, window, 160, 90);
            return seen && seen->b > 200 && seen->r < 60 && seen->g < 60;
        })) << "blue again, not "
            << (seen ? seen->r : -1) << " " << (seen ? seen->g : -1) << " "
            << (seen ? seen->b : -1);
        EXPECT_EQ(output->framesShown(), shown);
    }

    // Pictures that are not pictures are left alone.
    const auto before = output->framesShown();
    VideoFrame broken = solid(64, 64, 81, 90, 240);
    broken.data.resize(10);
    output->showFrame(broken);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(output->framesShown(), before);

    output->close();
    auto again = SdlVideoOutput::open(options);
    EXPECT_TRUE(again) << "a closed window makes room for a new one";
    XCloseDisplay(x);
}

namespace {
int termsSeen = 0;
void countTerm(int)
{
    ++termsSeen;
}
} // namespace

// The window leaves the program's signals as they were: left at their default the process
// still ends on SIGTERM, and a handler of the program's own still runs.
TEST(SdlVideoOutput, LeavesTheProgramsSignalsAlone)
{
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        KX_SKIP_WITHOUT_TOOL() << "no X display";
    auto disposition = [](int number) {
        struct sigaction now
        {};
        ::sigaction(number, nullptr, &now);
        return now.sa_handler;
    };
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    {
        auto opened = SdlVideoOutput::open({});
        ASSERT_TRUE(opened) << opened.error().message;
        auto output = opened.take();
        EXPECT_EQ(disposition(SIGINT), SIG_DFL);
        EXPECT_EQ(disposition(SIGTERM), SIG_DFL);
        output->close();
    }
    EXPECT_EQ(disposition(SIGTERM), SIG_DFL);

    std::signal(SIGTERM, countTerm);
    {
        auto opened = SdlVideoOutput::open({});
        ASSERT_TRUE(opened) << opened.error().message;
        auto output = opened.take();
        ::raise(SIGTERM);
        EXPECT_EQ(termsSeen, 1);
        output->close();
    }
    EXPECT_EQ(disposition(SIGTERM), &countTerm);
    std::signal(SIGTERM, SIG_DFL);
}

TEST(SdlVideoOutput, WithoutADisplaySaysSo)
{
    const std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    ::unsetenv("DISPLAY");
    auto opened = SdlVideoOutput::open({});
    if (!saved.empty())
        ::setenv("DISPLAY", saved.c_str(), 1);
    ASSERT_FALSE(opened);
    EXPECT_NE(opened.error().message.find("no X display"), std::string::npos);
}

} // namespace
} // namespace voip
