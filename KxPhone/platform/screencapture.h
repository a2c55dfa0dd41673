#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

/// Pictures of the screen for the video source: the whole desktop, or the content of one
/// window even while others cover it, and the list of windows a user may pick.  One
/// implementation per platform (capture_x11.cpp), chosen by create().
///
/// Threads: windows() and windowExists() may run on any thread, capture() on another at
/// the same time; each implementation says how it keeps them apart.
class ScreenCapture
{
public:
    struct Window
    {
        std::uint64_t id = 0;
        std::string title; ///< UTF-8
    };
    /// Why capture cannot work here.
    enum class Unavailable
    {
        None,
        NoDisplay,   ///< no X server to talk to
        WaylandOnly, ///< a Wayland session without X11
    };

    virtual ~ScreenCapture() = default;

    virtual Unavailable unavailable() const = 0;
    /// The windows a user may capture: shown, with a title, not a tool, utility, dock or
    /// menu window, and not this program's own; in the window manager's order.
    virtual std::vector<Window> windows() = 0;
    virtual bool windowExists(std::uint64_t window) = 0;
    /// One picture of `window` (0: the whole desktop) stretched to width x height (even),
    /// as I420 into `picture`.  False (and `picture` untouched) when the window is gone,
    /// is smaller than 2 x 2, or the server refuses.
    virtual bool capture(std::uint64_t window, std::vector<std::uint8_t>& picture,
                         unsigned width, unsigned height) = 0;

    /// The platform's capture; one that is never available when the session has no X11.
    static std::unique_ptr<ScreenCapture> create();
};
