#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KxPhone/platform/screencapture.h"
#include "voip/device/videoinput.h"

namespace voip {
class V4l2System;
class V4l2Controls;
} // namespace voip

/// One mode a camera offers.
struct KxCameraCap
{
    std::string colourFormat; ///< "YUV420P", "YUY2", "MJPEG"
    unsigned width = 0;
    unsigned height = 0;
    unsigned frameRate = 0;
    bool operator==(const KxCameraCap&) const = default;
};

/// The local picture of the client: a camera, the desktop or one window, or nothing.
///
/// A camera is read by a thread of its own, so that the display loop, which takes the
/// newest picture, never waits for one; the desktop and a window are captured on the
/// display thread when it asks, at most every 40 ms.
///
/// Threads: open, close and the window list on the GUI thread (close also on the display
/// thread after a failure); grab on the display thread.  `mutex_` guards the newest camera
/// picture; the mode and the tracked window are atomic.
class KxVideoSource
{
public:
    /// `cameras` null: the machine's own Video4Linux devices.  `portalCamera` null: where the
    /// desktop asks before it shares (a Wayland session), its camera portal.
    explicit KxVideoSource(std::unique_ptr<ScreenCapture> screen = ScreenCapture::create(),
                           voip::V4l2System* cameras = nullptr,
                           std::unique_ptr<ScreenCapture> portalCamera = nullptr);

    /// The camera the desktop hands over through its camera portal (PipeWire), listed with
    /// the cameras where the session offers one.
    static constexpr const char* PortalCameraName = "Camera (PipeWire)";
    ~KxVideoSource();
    KxVideoSource(const KxVideoSource&) = delete;
    KxVideoSource& operator=(const KxVideoSource&) = delete;

    /// The cameras (by name) and the modes of one.
    std::vector<std::string> cameraNames() const;
    std::vector<KxCameraCap> cameraCaps(const std::string& name) const;
    /// The settings of the camera of that name, opened; null with `error` set when there
    /// is no such camera or it cannot be opened.
    std::unique_ptr<voip::V4l2Controls> cameraControls(const std::string& name,
                                                       std::string& error) const;

    /// Opens a camera of `driver` ("V4L2"; "FakeVideo" for tests and demos) with `params`;
    /// false with `error` set when it cannot start.
    bool openCamera(const std::string& driver, const voip::VideoInputParams& params,
                    std::string& error);
    /// Captures the desktop (or the tracked window) at width x height.
    void openDesktop(unsigned width, unsigned height);
    /// Asks the desktop for its camera, its pictures filling width x height.
    void openPortalCamera(unsigned width, unsigned height);
    void close();
    bool isOpen() const { return mode_ != Mode::Closed; }
    bool isDesktop() const { return mode_ == Mode::Desktop; }
    bool isPortalCamera() const { return mode_ == Mode::PortalCamera; }

    enum class Grab
    {
        Picture,   ///< `picture` holds a new picture
        Unchanged, ///< nothing new: keep the last one
        Failed,    ///< the camera failed (see lastError): close the source
        WindowGone ///< the tracked window is no more: nothing is captured in its place
    };
    /// The newest picture, resizing `picture` and setting its size when it is new.
    Grab grab(std::vector<std::uint8_t>& picture, unsigned& width, unsigned& height);
    std::string lastError() const;

    /// Windows that may be captured, and the one followed (0: the whole desktop).
    std::vector<ScreenCapture::Window> windows();
    void setTrackedWindow(std::uint64_t window) { tracked_ = window; }
    std::uint64_t trackedWindow() const { return tracked_; }
    bool windowExists(std::uint64_t window) { return screen_->windowExists(window); }
    ScreenCapture::Unavailable captureUnavailable() const { return screen_->unavailable(); }
    /// Why the desktop's capture, or the desktop's camera, stopped after it was opened (None
    /// while it works).
    ScreenCapture::Unavailable captureStopped() const
    {
        return mode_ == Mode::PortalCamera ? portalCamera_->stopped() : screen_->stopped();
    }
    ScreenCapture& screen() { return *screen_; }

    /// The desktop is captured at most this often.
    static constexpr std::chrono::milliseconds CaptureInterval{40};
    /// Outside a call the desktop shows only in the window's own preview: captured this
    /// often.
    static constexpr std::chrono::milliseconds PreviewCaptureInterval{250};
    /// Whether the picture is only previewed (no call sends it).
    void setPreview(bool preview) { preview_ = preview; }

private:
    enum class Mode
    {
        Closed,
        Camera,
        Desktop,
        PortalCamera,
    };
    void readCamera();

    std::unique_ptr<ScreenCapture> screen_;
    std::unique_ptr<ScreenCapture> portalCamera_; // null where the session offers none
    voip::V4l2System& cameras_;
    std::atomic<Mode> mode_{Mode::Closed};
    std::atomic<std::uint64_t> tracked_{0};
    // Desktop or portal camera capture (display thread):
    unsigned desktopWidth_ = 0;
    unsigned desktopHeight_ = 0;
    std::chrono::steady_clock::time_point lastCapture_{};
    std::vector<std::uint8_t> captured_; ///< the display thread's, for the latest capture
    std::atomic<bool> preview_{false};
    // Camera:
    std::unique_ptr<voip::VideoInputDevice> camera_;
    std::thread cameraThread_;
    std::atomic<bool> stopCamera_{false};
    mutable std::mutex mutex_; // guards the members below
    voip::VideoFrame newest_;
    std::uint64_t newestNumber_ = 0;
    std::uint64_t takenNumber_ = 0;
    bool failed_ = false;
    std::string error_;
};
