#include <iostream>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>

#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxmanager.h"
#include "ui/cameracontrols.h"
#include "ui/widgetcam.h"
#include "ui/settingsvideo.h"
#include "ui/widgetsettings.h"

SettingsVideo::SettingsVideo(WidgetSettings& owner, const UiContext& context)
    : SettingsPage(owner, context)
{
    device = new QComboBox();
    format = new QComboBox();
    captureWindow = new QComboBox();
    for (QComboBox* box : {device, format, captureWindow})
        box->setMinimumWidth(WidgetSettings::FieldWidth);
    currentVideo = new QLabel();
    configure = new QPushButton(tr("configure"));
    addRow(tr("video-device"), device);
    addRow(tr("video-format"), format);
    addRow(tr("current-video"), currentVideo);
    addRow(tr("configure-video"), configure);
    addRow(tr("capture-window"), captureWindow);
    connect(device, qOverload<int>(&QComboBox::activated), this, &SettingsVideo::onDevice);
    connect(format, qOverload<int>(&QComboBox::activated), this, &SettingsVideo::onFormat);
    connect(configure, &QPushButton::clicked, this, &SettingsVideo::onConfig);
    connect(captureWindow, qOverload<int>(&QComboBox::activated), this,
            &SettingsVideo::onCaptureWnd);
}

void SettingsVideo::UpdateData()
{
    std::cout << "Update Data for Video" << std::endl;
    KxManager::VideoInputArgs args;
    if (!WidgetCam::fillChoices(context_, *device, *format, *captureWindow, caps_, args))
        return;
    // Without a device there is no mode to tell, only that there is none.
    if (args.deviceName == "no-device" || args.deviceName.isEmpty())
        currentVideo->setText(tr("no-device"));
    else
        currentVideo->setText(QString("%1 : %2 - %3x%4 @ %5fps")
                                  .arg(args.deviceName, args.colourFormat)
                                  .arg(args.width)
                                  .arg(args.height)
                                  .arg(args.frameRate));
    configure->setEnabled(CameraControlsDialog::offeredFor(context_, *device));
}

void SettingsVideo::fillFormats()
{
    WidgetCam::fillFormatList(context_, *device, *format, caps_);
    configure->setEnabled(CameraControlsDialog::offeredFor(context_, *device));
}

void SettingsVideo::onDevice(int)
{
    fillFormats();
    changed();
}

void SettingsVideo::onFormat(int)
{
    changed();
}

void SettingsVideo::onConfig()
{
    CameraControlsDialog::openFor(context_, device->currentText(), window());
}

void SettingsVideo::onCaptureWnd(int)
{
    changed();
}

void SettingsVideo::save()
{
    if (!modified_)
        return;
    modified_ = false;
    QSettings& settings = context_.settings();
    const int index = device->currentIndex();
    if (index == 0) {
        kxdefaults::write(settings, kxdefaults::VideoDevice, "no-device");
        kxdefaults::write(settings, kxdefaults::VideoWidth, 0);
        kxdefaults::write(settings, kxdefaults::VideoHeight, 0);
        kxdefaults::write(settings, kxdefaults::VideoRate, 0);
        kxdefaults::write(settings, kxdefaults::VideoFormat, "YUV420P");
    } else if (index == 1) {
        kxdefaults::write(settings, kxdefaults::VideoDevice, "Desktop");
        kxdefaults::write(settings, kxdefaults::VideoFormat, "YUV420P");
    } else if (const int mode = format->currentIndex();
               index > 1 && mode >= 0 && std::size_t(mode) < caps_.size()) {
        const KxCameraCap& cap = caps_[std::size_t(mode)];
        kxdefaults::write(settings, kxdefaults::VideoDevice, device->currentText());
        kxdefaults::write(settings, kxdefaults::VideoWidth, int(cap.width));
        kxdefaults::write(settings, kxdefaults::VideoHeight, int(cap.height));
        kxdefaults::write(settings, kxdefaults::VideoRate, int(cap.frameRate));
        kxdefaults::write(settings, kxdefaults::VideoFormat,
                          QString::fromStdString(cap.colourFormat));
    }
    settings.sync();
    if (KxManager* manager = context_.manager()) {
        manager->setCaptureWindow(captureWindow->currentIndex());
        manager->closeVideoInput();
        manager->sourceChosen();
        manager->openVideoInput();
    }
    UpdateData();
}
