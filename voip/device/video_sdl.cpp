// SDL 1.2 pulls in Xlib through SDL_syswm.h; this file keeps both away from the rest.

#include "voip/device/video_sdl.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <SDL.h>
#include <SDL_syswm.h>

#include "voip/base/trace.h"

namespace voip {

namespace {

constexpr unsigned MaxSide = 4096;
std::atomic<bool> windowInUse{false}; // SDL 1.2: one window a process

} // namespace

SdlVideoOutput::SdlVideoOutput(const Options& options)
    : options_(options)
{}

MediaResult<std::shared_ptr<SdlVideoOutput>> SdlVideoOutput::open(const Options& options)
{
    if (options.width < 16 || options.height < 16 || options.width > MaxSide ||
        options.height > MaxSide)
        return MediaFailure{MediaError::InvalidArgument, "SDL: window of " +
                                                             std::to_string(options.width) + "x" +
                                                             std::to_string(options.height)};
    if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY"))
        return MediaFailure{MediaError::Unsupported,
                            "SDL: no X display for the video window (DISPLAY is not set)"};
    if (windowInUse.exchange(true))
        return MediaFailure{MediaError::InvalidArgument,
                            "SDL: a video window is already open in this program"};
    std::shared_ptr<SdlVideoOutput> output(new SdlVideoOutput(options));
    output->thread_ = std::thread([raw = output.get()] { raw->run(); });
    std::unique_lock lock(output->mutex_);
    output->wake_.wait(lock, [&] { return output->ready_; });
    if (!output->error_.empty()) {
        const std::string error = output->error_;
        lock.unlock();
        output->close();
        return MediaFailure{MediaError::DeviceFailure, "SDL: " + error};
    }
    return output;
}

SdlVideoOutput::~SdlVideoOutput()
{
    close();
}

void SdlVideoOutput::close()
{
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable())
            return;
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    windowInUse = false;
}

void SdlVideoOutput::showFrame(const VideoFrame& frame)
{
    if (frame.width == 0 || frame.height == 0 || frame.width > MaxSide || frame.height > MaxSide ||
        frame.data.size() != VideoFrame::sizeFor(frame.width, frame.height))
        return;
    {
        std::lock_guard lock(mutex_);
        if (stop_)
            return;
        pending_ = frame;
        havePending_ = true;
    }
    wake_.notify_one();
}

void SdlVideoOutput::run()
{
    auto ready = [&](std::string error) {
        std::lock_guard lock(mutex_);
        error_ = std::move(error);
        ready_ = true;
        wake_.notify_all();
    };
    // The program decides what a signal does: SDL 1.2 takes SIGINT and SIGTERM for its
    // own quit event when they are left at their default, and nobody here reads that
    // event, so the process would no longer end on them.  Give them back.
    struct sigaction interrupt
    {};
    struct sigaction terminate
    {};
    ::sigaction(SIGINT, nullptr, &interrupt);
    ::sigaction(SIGTERM, nullptr, &terminate);
    const int started = SDL_Init(SDL_INIT_VIDEO | SDL_INIT_NOPARACHUTE);
    ::sigaction(SIGINT, &interrupt, nullptr);
    ::sigaction(SIGTERM, &terminate, nullptr);
    if (started != 0) {
        ready(std::string("cannot start: ") + SDL_GetError());
        return;
    }
    SDL_WM_SetCaption(options_.title.c_str(), options_.title.c_str());
    SDL_Surface* screen =
        SDL_SetVideoMode(int(options_.width), int(options_.height), 0, SDL_SWSURFACE);
    if (!screen) {
        const std::string error = std::string("cannot open the window: ") + SDL_GetError();
        SDL_Quit();
        ready(error);
        return;
    }
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) > 0 && info.subsystem == SDL_SYSWM_X11) {
        window_ = info.info.x11.window;
        if (options_.embedded) {
            // The toolkit that embeds the window shows it; SDL's wrapper would stay behind
            // as an empty top-level window.
            info.info.x11.lock_func();
            XUnmapWindow(info.info.x11.display, info.info.x11.wmwindow);
            XSync(info.info.x11.display, False);
            info.info.x11.unlock_func();
        }
    }
    ready({});

    SDL_Overlay* overlay = nullptr;
    VideoFrame picture;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            // Wake now and then to keep the window's events flowing.
            wake_.wait_for(lock, std::chrono::milliseconds(100),
                           [&] { return stop_ || havePending_; });
            if (stop_)
                break;
            if (havePending_) {
                std::swap(picture, pending_);
                havePending_ = false;
            } else {
                picture.data.clear();
            }
        }
        // The window's events; an uncovered window shows its last picture again, since
        // nothing new may come for a while (a still picture is sent once).
        bool exposed = false;
        SDL_Event event;
        while (SDL_PollEvent(&event) > 0)
            exposed = exposed || event.type == SDL_VIDEOEXPOSE;
        if (picture.data.empty()) {
            if (exposed && overlay) {
                SDL_Rect where{0, 0, Uint16(options_.width), Uint16(options_.height)};
                SDL_DisplayYUVOverlay(overlay, &where);
            }
            continue;
        }
        if (!overlay || overlay->w != int(picture.width) || overlay->h != int(picture.height)) {
            if (overlay)
                SDL_FreeYUVOverlay(overlay);
            overlay = SDL_CreateYUVOverlay(int(picture.width), int(picture.height),
                                           SDL_IYUV_OVERLAY, screen);
            if (!overlay || overlay->planes != 3) {
                VOIP_TRACE(1, "Video\tSDL cannot show " << picture.width << "x" << picture.height
                                                        << ": " << SDL_GetError());
                if (overlay)
                    SDL_FreeYUVOverlay(overlay);
                overlay = nullptr;
                continue;
            }
        }
        SDL_LockYUVOverlay(overlay);
        // IYUV: Y, then U, then V, each row at the overlay's pitch.
        for (int plane = 0; plane < 3; ++plane) {
            const std::uint8_t* from = picture.plane(plane);
            const unsigned rowBytes = picture.stride(plane);
            for (unsigned row = 0; row < picture.planeHeight(plane); ++row)
                std::memcpy(overlay->pixels[plane] + std::size_t(row) * overlay->pitches[plane],
                            from + std::size_t(row) * rowBytes,
                            std::min<std::size_t>(rowBytes, overlay->pitches[plane]));
        }
        SDL_UnlockYUVOverlay(overlay);
        SDL_Rect where{0, 0, Uint16(options_.width), Uint16(options_.height)};
        SDL_DisplayYUVOverlay(overlay, &where);
        ++shown_;
    }
    if (overlay)
        SDL_FreeYUVOverlay(overlay);
    SDL_Quit();
}

} // namespace voip
