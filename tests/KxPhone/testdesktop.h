#pragma once

// An X server and window manager of a test's own (Xvfb and openbox on a free display),
// with a connection to make plain windows of one colour on it.

#include <cstdint>
#include <string>

#include <sys/types.h>
#include <xcb/xcb.h>

namespace kx::testutil {

class TestDesktop
{
public:
    TestDesktop() = default;
    ~TestDesktop();
    TestDesktop(const TestDesktop&) = delete;
    TestDesktop& operator=(const TestDesktop&) = delete;

    /// Whether Xvfb and openbox are installed.
    static bool available();
    /// Starts both on a free display of `width` x `height` and makes it this process's
    /// DISPLAY (the old one comes back with stop()); false when either does not start.
    bool start(unsigned width = 1280, unsigned height = 720);
    void stop();

    /// A window of one colour (0xRRGGBB) with a title, placed at (x, y), mapped, and
    /// managed by the window manager before this returns.
    xcb_window_t window(const std::string& title, std::uint32_t colour, int x, int y,
                        unsigned width, unsigned height, const char* type = nullptr);
    void resize(xcb_window_t window, unsigned width, unsigned height);
    void destroy(xcb_window_t window);
    bool managed(xcb_window_t window);
    /// A system tray appears (a window of ours takes the selection tray hosts own, and says
    /// so), or goes away as a tray host that quits does.
    bool startTray();
    void stopTray();
    xcb_atom_t atom(const char* name);

    const std::string& display() const { return display_; }
    xcb_connection_t* connection() const { return xcb_; }
    xcb_screen_t* screen() const { return screen_; }

private:
    bool connect();

    std::string display_;
    std::string savedDisplay_;
    bool hadDisplay_ = false;
    pid_t xvfb_ = -1;
    pid_t openbox_ = -1;
    xcb_connection_t* xcb_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    xcb_window_t tray_ = 0;
};

} // namespace kx::testutil
