// The manager's video: the local source (camera, desktop or window), the window list and
// the display (layouts, output).

#include "KxPhone/kxmanager.h"

#include <iostream>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QSettings>

#include "KxPhone/kxdefaults.h"
#include "voip/device/video_fake.h"
#include "voip/device/v4l2_controls.h"
#include "voip/device/video_v4l2.h"

namespace {

constexpr const char* NoDevice = "no-device";
constexpr const char* Desktop = "Desktop";

} // namespace

void KxManager::openVideoInput()
{
    QSettings& settings = *settings_;
    VideoInputArgs args;
    args.driverName = QString::fromStdString(context_.cameraDriver);
    args.deviceName = kxdefaults::read(settings, kxdefaults::VideoDevice);
    args.width = unsigned(kxdefaults::read(settings, kxdefaults::VideoWidth));
    args.height = unsigned(kxdefaults::read(settings, kxdefaults::VideoHeight));
    args.frameRate = unsigned(kxdefaults::read(settings, kxdefaults::VideoRate));
    args.colourFormat = kxdefaults::read(settings, kxdefaults::VideoFormat);
    const bool desktop = args.deviceName == Desktop;
    if (desktop) {
        args.width = unsigned(kxdefaults::read(settings, kxdefaults::CodecWidth));
        args.height = unsigned(kxdefaults::read(settings, kxdefaults::CodecHeight));
        args.frameRate = 25;
        args.colourFormat = "YUV420P";
    }
    {
        auto lock = display_->lockDisplay();
        videoInputArgs_ = args;
    }
    if (desktop && sharePause_ != SharePause::None)
        return; // the idle picture until the user chooses
    // The desktop, and the desktop's camera, may ask the user first: the display shows the
    // no-input picture meanwhile.
    if (const bool camera = args.deviceName == KxVideoSource::PortalCameraName; desktop || camera) {
        if (desktop ? source_->captureUnavailable() != ScreenCapture::Unavailable::None
                    : !cameraNames().contains(args.deviceName)) {
            std::cout << "No input device!" << std::endl;
            notify(desktop ? captureUnavailableReason()
                           : QCoreApplication::translate("KxManager", "camera-stopped")
                                 .arg(args.deviceName));
            return;
        }
        auto lock = display_->lockDisplay();
        if (desktop)
            source_->openDesktop(args.width, args.height);
        else
            source_->openPortalCamera(args.width, args.height);
        inputOpen_ = true;
        std::cout << (desktop ? "Desktop capture " : "Desktop camera ") << args.width << "x"
                  << args.height << std::endl;
        return;
    }
    if (args.deviceName.isEmpty() || args.deviceName == NoDevice)
        return;
    if (!isVideoInputSupported()) {
        std::cout << "No input device!" << std::endl;
        return;
    }
    voip::VideoInputParams params;
    params.device = args.deviceName.toStdString();
    params.width = args.width;
    params.height = args.height;
    params.frameRate = args.frameRate;
    params.colourFormat = args.colourFormat.toStdString();
    std::string error;
    auto lock = display_->lockDisplay();
    if (!source_->openCamera(context_.cameraDriver, params, error)) {
        lock.unlock();
        std::cout << "Input failed to open!" << std::endl;
        std::cerr << error << std::endl;
        return;
    }
    inputOpen_ = true;
}

void KxManager::closeVideoInput()
{
    if (!inputOpen_)
        return;
    auto lock = display_->lockDisplay();
    inputOpen_ = false;
    source_->close();
}

bool KxManager::isVideoInputSupported()
{
    const VideoInputArgs args = videoInputArgs();
    if (args.deviceName == Desktop)
        return true;
    if (args.deviceName == KxVideoSource::PortalCameraName)
        return cameraNames().contains(args.deviceName);
    if (context_.cameraDriver != voip::kV4l2VideoDriver)
        return !args.deviceName.isEmpty() && args.deviceName != NoDevice;
    const auto names = cameraNames();
    if (!names.contains(args.deviceName))
        return false;
    const KxCameraCap wanted{args.colourFormat.toStdString(), args.width, args.height,
                             args.frameRate};
    for (const auto& cap : queryCameraCaps(args.deviceName))
        if (cap == wanted)
            return true;
    return false;
}

std::vector<KxCameraCap> KxManager::queryCameraCaps(const QString& device) const
{
    if (context_.cameraDriver == voip::kFakeVideoDriver)
        return {{"YUV420P", 640, 360, 25}, {"YUV420P", 1280, 720, 25}};
    return source_->cameraCaps(device.toStdString());
}

QStringList KxManager::cameraNames() const
{
    if (context_.cameraDriver == voip::kFakeVideoDriver)
        return {"Test pattern"};
    QStringList names;
    for (const auto& name : source_->cameraNames())
        names << QString::fromStdString(name);
    return names;
}

std::unique_ptr<voip::V4l2Controls> KxManager::cameraControls(const QString& name,
                                                              QString& error) const
{
    if (context_.cameraDriver != voip::kV4l2VideoDriver)
        return nullptr;
    std::string why;
    auto controls = source_->cameraControls(name.toStdString(), why);
    error = QString::fromStdString(why);
    return controls;
}

bool KxManager::inputOpen() const
{
    return inputOpen_;
}

KxManager::VideoInputArgs KxManager::videoInputArgs() const
{
    auto lock = display_->lockDisplay();
    return videoInputArgs_;
}

void KxManager::refreshWindowList()
{
    windowList_.clear();
    for (const auto& window : source_->windows())
        windowList_.append({window.id, QString::fromStdString(window.title)});
}

QList<QPair<quint64, QString>> KxManager::windowList() const
{
    return windowList_;
}

void KxManager::setCaptureWindow(int index)
{
    if (index == 0) {
        source_->setTrackedWindow(0);
    } else if (index >= 1 && index <= windowList_.size() && windowList_[index - 1].first != 0) {
        source_->setTrackedWindow(windowList_[index - 1].first);
    }
}

void KxManager::holdShareForAutoAnswer()
{
    // Nobody chose to show this caller the screen: the idle picture (a camera is sent as
    // chosen) until the user picks a source in this call.
    if (videoInputArgs().deviceName != Desktop)
        return;
    sharePause_ = SharePause::AnsweredAlone;
    closeVideoInput();
    emit events_->updateCall();
}

QString KxManager::sharePaused() const
{
    switch (sharePause_.load()) {
    case SharePause::WindowClosed:
        return QCoreApplication::translate("KxManager", "share-window-closed");
    case SharePause::AnsweredAlone:
        return QCoreApplication::translate("KxManager", "share-held-auto-answer");
    case SharePause::None:
        break;
    }
    return {};
}

void KxManager::sourceChosen()
{
    // A window that went is not chosen again: the list the user picked from did not show it.
    if (const auto window = source_->trackedWindow(); window != 0 && !source_->windowExists(window))
        source_->setTrackedWindow(0);
    sharePause_ = SharePause::None;
}

quint64 KxManager::trackedWindow() const
{
    return source_->trackedWindow();
}

bool KxManager::captureAsksDesktop() const
{
    return source_->screen().asksFirst();
}

QString KxManager::captureUnavailableReason() const
{
    return captureReason(source_->captureUnavailable());
}

QString KxManager::captureReason(ScreenCapture::Unavailable why)
{
    switch (why) {
    case ScreenCapture::Unavailable::None:
        return {};
    case ScreenCapture::Unavailable::NoPortal:
        return QCoreApplication::translate("KxManager", "capture-needs-portal");
    case ScreenCapture::Unavailable::NoDisplay:
        return QCoreApplication::translate("KxManager", "capture-no-display");
    case ScreenCapture::Unavailable::Refused:
        return QCoreApplication::translate("KxManager", "capture-refused");
    case ScreenCapture::Unavailable::NoAnswer:
        return QCoreApplication::translate("KxManager", "capture-no-answer");
    case ScreenCapture::Unavailable::Ended:
        return QCoreApplication::translate("KxManager", "capture-ended");
    case ScreenCapture::Unavailable::UnreadableFormat:
        return QCoreApplication::translate("KxManager", "capture-format");
    }
    return {};
}

KxDisplay::LocalPicture KxManager::grabLocalFrame(std::vector<std::uint8_t>& picture,
                                                  unsigned& width, unsigned& height)
{
    // The display lock is held: the source cannot open or close meanwhile.
    if (!inputOpen_)
        return KxDisplay::LocalPicture::None; // the display shows its no-input picture
    source_->setPreview(!inCall());
    switch (source_->grab(picture, width, height)) {
    case KxVideoSource::Grab::Picture:
        return KxDisplay::LocalPicture::New;
    case KxVideoSource::Grab::Unchanged:
        return KxDisplay::LocalPicture::Same;
    case KxVideoSource::Grab::WindowGone:
        // Not the desktop in its place: the idle picture until the user chooses again.
        inputOpen_ = false;
        source_->close();
        sharePause_ = SharePause::WindowClosed;
        notify(QCoreApplication::translate("KxManager", "window-closed"));
        onGuiThread([this] { emit events_->updateCall(); });
        return KxDisplay::LocalPicture::None;
    case KxVideoSource::Grab::Failed: {
        const QString device = videoInputArgs_.deviceName;
        std::cerr << "Cannot get frame from " << device.toStdString() << ": "
                  << source_->lastError() << std::endl;
        const auto shareStopped = source_->captureStopped();
        const bool desktop = source_->isDesktop();
        const bool refusedCamera =
            source_->isPortalCamera() && shareStopped == ScreenCapture::Unavailable::Refused;
        inputOpen_ = false;
        source_->close();
        notify(desktop ? captureReason(shareStopped)
               : refusedCamera
                   ? QCoreApplication::translate("KxManager", "camera-refused")
                   : QCoreApplication::translate("KxManager", "camera-stopped").arg(device));
        return KxDisplay::LocalPicture::None;
    }
    }
    return KxDisplay::LocalPicture::None;
}

void KxManager::stopVideo()
{
    display_->stop();
    source_->close();
}

void KxManager::startDisplay()
{
    if (display_->running())
        return;
    QSize screen = context_.screenSize;
    if (screen.isEmpty()) {
        if (auto* primary = QGuiApplication::primaryScreen())
            screen = primary->size();
        else
            screen = QSize(1280, 720);
    }
    const auto [width, height] = fitOutputSize(unsigned(screen.width()), unsigned(screen.height()));
    std::cout << "Start display with size " << width << "x" << height << std::endl;
    displayOutput_ = context_.videoOutput ? context_.videoOutput(width, height)
                                          : std::make_shared<voip::MemoryVideoOutput>();
    if (!displayOutput_) {
        std::cerr << "Output failed to load!" << std::endl;
        return;
    }
    emit events_->videoOutputReady();
    const QImage background(":/img/1.jpg");
    const QImage noInput(":/img/no-input.jpg");
    display_->start(displayOutput_, width, height, KxDisplay::pictureOf(background, width, height),
                    KxDisplay::pictureOf(noInput, width, height));
}

int KxManager::applyLayout()
{
    const int layout = kxdefaults::read(*settings_, kxdefaults::CallLayout);
    const int pip = kxdefaults::read(*settings_, kxdefaults::CallPip);
    return display_->applyLayout(layout, pip, presentationActive()).number;
}

bool KxManager::resizeOutput(unsigned width, unsigned height)
{
    const bool resized = display_->resizeOutput(width, height);
    if (resized)
        std::cout << "Resize output: " << width << "x" << height << std::endl;
    return resized;
}

void KxManager::resetVideoFrames()
{
    display_->resetVideoFrames(unsigned(kxdefaults::read(*settings_, kxdefaults::CodecWidth)),
                               unsigned(kxdefaults::read(*settings_, kxdefaults::CodecHeight)));
}

void KxManager::setWindowVisible(bool visible)
{
    windowVisible_ = visible;
}

void KxManager::setDisplayActive(bool active)
{
    display_->setActive(active);
}

void KxManager::notify(const QString& text)
{
    if (text.isEmpty())
        return;
    onGuiThread([this, text] { emit events_->notice(text); });
}
