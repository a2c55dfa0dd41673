#pragma once

#include <cstdint>
#include <functional>
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
        NoDisplay, ///< no X server to talk to
        NoPortal,  ///< a Wayland session without the desktop's screen-cast portal
        // Why a capture that had begun stopped (see stopped()):
        Refused,          ///< the user or the desktop refused to share
        NoAnswer,         ///< the desktop did not answer in time
        Ended,            ///< the share was stopped from the desktop, or its stream broke
        UnreadableFormat, ///< the desktop offered only pictures this client cannot read
    };

    virtual ~ScreenCapture() = default;

    virtual Unavailable unavailable() const = 0;
    /// Whether capture needs begin() before it gives pictures (the desktop asks the user).
    virtual bool asksFirst() const { return false; }
    /// The source starts or stops capturing; a capture through the desktop asks it (and
    /// the user) at begin and lets the share go at end.  Both on the thread that created
    /// the capture; end() may also come from another thread.
    virtual void begin() {}
    virtual void end() {}
    /// Why capture stopped after begin() (None while it works or is starting).
    virtual Unavailable stopped() const { return Unavailable::None; }
    /// A key with which the desktop resumes a share without asking again; a capture that
    /// gets a new one hands it to `restoreTokenChanged` (on the creating thread).
    void setRestoreToken(std::string token) { restoreToken_ = std::move(token); }
    std::function<void(const std::string&)> restoreTokenChanged;
    /// The picture size to ask the source for where it can choose (a camera's mode),
    /// before begin().
    void setWantedSize(unsigned width, unsigned height)
    {
        wantedWidth_ = width;
        wantedHeight_ = height;
    }
    /// The windows a user may capture: shown, with a title, not a tool, utility, dock or
    /// menu window, and not this program's own; in the window manager's order.
    virtual std::vector<Window> windows() = 0;
    virtual bool windowExists(std::uint64_t window) = 0;
    /// One picture of `window` (0: the whole desktop) stretched to width x height (even),
    /// as I420 into `picture`.  False (and `picture` untouched) when the window is gone,
    /// is smaller than 2 x 2, or the server refuses.
    virtual bool capture(std::uint64_t window, std::vector<std::uint8_t>& picture, unsigned width,
                         unsigned height) = 0;

    /// The session's capture: through the desktop portal in a Wayland session, else X11;
    /// one that is never available when neither works.  KX_SCREEN_CAPTURE=x11|portal
    /// overrides the choice.
    static std::unique_ptr<ScreenCapture> create();

protected:
    std::string restoreToken_;
    unsigned wantedWidth_ = 1920;
    unsigned wantedHeight_ = 1080;
};
