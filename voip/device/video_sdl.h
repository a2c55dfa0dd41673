#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "voip/device/mediastatus.h"
#include "voip/device/videoframe.h"
#include "voip/device/videooutput.h"

namespace voip {

/// A window that shows pictures, through SDL 1.2 (a YUV overlay, scaled to the window).
/// SDL 1.2 has one window per process, so one output may be open at a time.
///
/// Threads: SDL is only touched by the output's own thread, which shows the newest
/// picture handed in; showFrame (any thread) copies the picture and returns at once, so a
/// slow display never holds up the stream.  A picture that comes while the previous one
/// is still being drawn replaces it.
class SdlVideoOutput final : public VideoOutput
{
public:
    struct Options
    {
        unsigned width = 640;
        unsigned height = 360;
        std::string title = "Kestrovia";
        /// For a window another toolkit embeds: SDL's own top-level wrapper is unmapped.
        bool embedded = false;
    };

    /// Opens the window; fails with a clear message when there is no display, the size is
    /// out of bounds, or another SDL window is open in this process.
    static MediaResult<std::shared_ptr<SdlVideoOutput>> open(const Options& options);
    ~SdlVideoOutput() override;

    void showFrame(const VideoFrame& frame) override;
    /// The native (X11) window that shows the pictures, for embedding; 0 when unknown.
    unsigned long nativeWindow() const { return window_; }
    unsigned width() const { return options_.width; }
    unsigned height() const { return options_.height; }
    /// Pictures drawn so far.
    uint64_t framesShown() const { return shown_; }
    /// Closes the window (also done by the destructor).
    void close();

private:
    explicit SdlVideoOutput(const Options& options);
    void run();

    const Options options_;
    std::thread thread_;
    std::mutex mutex_; // guards the members below
    std::condition_variable wake_;
    VideoFrame pending_;
    bool havePending_ = false;
    bool stop_ = false;
    bool ready_ = false;
    std::string error_;
    std::atomic<unsigned long> window_{0};
    std::atomic<uint64_t> shown_{0};
};

} // namespace voip
