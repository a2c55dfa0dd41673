#include "KxPhone/kxvideosource.h"

#include "KxPhone/platform/capture_portal.h"

#include <algorithm>
#include <map>

#include "voip/device/v4l2_controls.h"
#include "voip/device/video_v4l2.h"

namespace {

std::string colourFormatOf(const std::string& fourcc)
{
    if (fourcc == "YU12")
        return "YUV420P";
    if (fourcc == "YUYV")
        return "YUY2";
    return "MJPEG";
}

/// The cameras by the name a user sees: the card's, with its device node when two cards
/// share a name.
std::vector<std::pair<std::string, voip::V4l2Device>> namedCameras(voip::V4l2System& system)
{
    const auto devices = voip::listV4l2Devices(system);
    std::map<std::string, int> uses;
    for (const auto& device : devices)
        ++uses[device.name];
    std::vector<std::pair<std::string, voip::V4l2Device>> named;
    for (const auto& device : devices) {
        const std::string name = device.name.empty()     ? device.path
                                 : uses[device.name] > 1 ? device.name + " (" + device.path + ")"
                                                         : device.name;
        named.emplace_back(name, device);
    }
    return named;
}

} // namespace

KxVideoSource::KxVideoSource(std::unique_ptr<ScreenCapture> screen, voip::V4l2System* cameras,
                             std::unique_ptr<ScreenCapture> portalCamera)
    : screen_(std::move(screen))
    , portalCamera_(std::move(portalCamera))
    , cameras_(cameras ? *cameras : voip::V4l2System::real())
{
    if (!portalCamera_ && screen_->asksFirst())
        portalCamera_ = createPortalCamera();
}

KxVideoSource::~KxVideoSource()
{
    close();
}

std::vector<std::string> KxVideoSource::cameraNames() const
{
    std::vector<std::string> names;
    for (const auto& [name, device] : namedCameras(cameras_))
        names.push_back(name);
    if (portalCamera_ && portalCamera_->unavailable() == ScreenCapture::Unavailable::None)
        names.push_back(PortalCameraName);
    return names;
}

std::vector<KxCameraCap> KxVideoSource::cameraCaps(const std::string& name) const
{
    // The desktop's camera is asked for a size; the camera gives its nearest, which is
    // then fitted to it.
    if (name == PortalCameraName && portalCamera_)
        return {{"YUV420P", 1280, 720, 25}, {"YUV420P", 640, 360, 25}};
    std::vector<KxCameraCap> caps;
    for (const auto& [named, device] : namedCameras(cameras_)) {
        if (named != name)
            continue;
        for (const auto& format : device.formats)
            for (const auto& size : format.sizes)
                for (const unsigned rate : size.frameRates)
                    caps.push_back({colourFormatOf(format.name), size.width, size.height, rate});
    }
    return caps;
}

std::unique_ptr<voip::V4l2Controls> KxVideoSource::cameraControls(const std::string& name,
                                                                  std::string& error) const
{
    for (const auto& [named, device] : namedCameras(cameras_)) {
        if (named != name)
            continue;
        auto controls = std::make_unique<voip::V4l2Controls>(cameras_);
        if (auto status = controls->open(device.path); !status) {
            error = status.error().message;
            return nullptr;
        }
        return controls;
    }
    error = "V4L2: no camera named \"" + name + "\"";
    return nullptr;
}

bool KxVideoSource::openCamera(const std::string& driver, const voip::VideoInputParams& params,
                               std::string& error)
{
    close();
    voip::VideoInputParams wanted = params;
    if (driver == voip::kV4l2VideoDriver) {
        // The name a user picked stands for a device node.
        for (const auto& [name, device] : namedCameras(cameras_))
            if (name == params.device)
                wanted.device = device.path;
    }
    auto device = driver == voip::kV4l2VideoDriver
                      ? voip::MediaResult<std::unique_ptr<voip::VideoInputDevice>>(
                            std::make_unique<voip::V4l2VideoInput>(cameras_))
                      : voip::createVideoInputDevice(driver);
    if (!device) {
        error = device.error().message;
        return false;
    }
    if (auto status = device.value()->open(wanted); !status) {
        error = status.error().message;
        return false;
    }
    camera_ = device.take();
    {
        std::lock_guard lock(mutex_);
        failed_ = false;
        error_.clear();
        newestNumber_ = takenNumber_ = 0;
    }
    stopCamera_ = false;
    mode_ = Mode::Camera;
    cameraThread_ = std::thread([this] { readCamera(); });
    return true;
}

void KxVideoSource::openDesktop(unsigned width, unsigned height)
{
    close();
    desktopWidth_ = std::max(2u, width & ~1u);
    desktopHeight_ = std::max(2u, height & ~1u);
    lastCapture_ = {};
    mode_ = Mode::Desktop;
    screen_->begin();
}

void KxVideoSource::openPortalCamera(unsigned width, unsigned height)
{
    close();
    if (!portalCamera_)
        return;
    desktopWidth_ = std::max(2u, width & ~1u);
    desktopHeight_ = std::max(2u, height & ~1u);
    lastCapture_ = {};
    mode_ = Mode::PortalCamera;
    portalCamera_->setWantedSize(desktopWidth_, desktopHeight_);
    portalCamera_->begin();
}

void KxVideoSource::close()
{
    stopCamera_ = true;
    if (cameraThread_.joinable() && cameraThread_.get_id() != std::this_thread::get_id())
        cameraThread_.join();
    if (camera_) {
        camera_->close();
        camera_.reset();
    }
    switch (mode_.exchange(Mode::Closed)) {
    case Mode::Desktop:
        screen_->end();
        break;
    case Mode::PortalCamera:
        portalCamera_->end();
        break;
    default:
        break;
    }
}

void KxVideoSource::readCamera()
{
    voip::VideoFrame picture;
    while (!stopCamera_) {
        if (auto status = camera_->readFrame(picture); !status) {
            std::lock_guard lock(mutex_);
            failed_ = true;
            error_ = status.error().message;
            return;
        }
        std::lock_guard lock(mutex_);
        std::swap(newest_, picture);
        ++newestNumber_;
    }
}

KxVideoSource::Grab KxVideoSource::grab(std::vector<std::uint8_t>& picture, unsigned& width,
                                        unsigned& height)
{
    switch (mode_.load()) {
    case Mode::Closed:
        return Grab::Unchanged;
    case Mode::Camera: {
        std::lock_guard lock(mutex_);
        if (failed_)
            return Grab::Failed;
        if (newestNumber_ == takenNumber_ || newest_.data.empty())
            return Grab::Unchanged;
        takenNumber_ = newestNumber_;
        width = newest_.width;
        height = newest_.height;
        picture.assign(newest_.data.begin(), newest_.data.end());
        return Grab::Picture;
    }
    case Mode::Desktop:
    case Mode::PortalCamera:
        break;
    }
    const bool camera = mode_ == Mode::PortalCamera;
    ScreenCapture& capture = camera ? *portalCamera_ : *screen_;
    if (const auto stopped = capture.stopped(); stopped != ScreenCapture::Unavailable::None) {
        std::lock_guard lock(mutex_);
        error_ = camera ? "the desktop's camera stopped" : "the screen share stopped";
        return Grab::Failed;
    }
    const auto now = std::chrono::steady_clock::now();
    // A camera's preview moves as the camera does; a desktop's is looked at less often.
    if (!picture.empty() &&
        now - lastCapture_ < (preview_ && !camera ? PreviewCaptureInterval : CaptureInterval))
        return Grab::Unchanged;
    const std::uint64_t window = camera ? 0 : tracked_.load();
    // A share never widens by itself: the desktop is not captured in a closed window's
    // place (the user chooses again).
    if (window != 0 && !screen_->windowExists(window))
        return Grab::WindowGone;
    if (!capture.capture(window, captured_, desktopWidth_, desktopHeight_))
        return Grab::Unchanged;
    lastCapture_ = now;
    // A screen that did not change is no new picture: nothing is drawn or encoded again.
    if (width == desktopWidth_ && height == desktopHeight_ && captured_ == picture)
        return Grab::Unchanged;
    std::swap(picture, captured_);
    width = desktopWidth_;
    height = desktopHeight_;
    return Grab::Picture;
}

std::string KxVideoSource::lastError() const
{
    std::lock_guard lock(mutex_);
    return error_;
}

std::vector<ScreenCapture::Window> KxVideoSource::windows()
{
    return screen_->windows();
}
