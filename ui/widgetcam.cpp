#include "ui/widgetcam.h"

#include <iostream>

#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QSettings>
#include <QVBoxLayout>

#include "KxPhone/kxapp.h"
#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxmanager.h"
#include "ui/callbutton.h"
#include "ui/cameracontrols.h"
#include "ui/mainwindow.h"

namespace {

QString formatText(const KxCameraCap& cap)
{
    return QString("%1 - %2x%3 @ %4fps")
        .arg(QString::fromStdString(cap.colourFormat))
        .arg(cap.width)
        .arg(cap.height)
        .arg(cap.frameRate);
}

bool takenFormat(const std::string& format)
{
    return format == "YUV420P" || format == "MJPEG" || format == "YUY2";
}

} // namespace

WidgetCam::WidgetCam(const UiContext& context, MainWindow& window, QWidget* parent,
                     Qt::WindowFlags flags)
    : QDialog(parent, flags)
    , context_(context)
    , mainWindow_(window)
{
    setObjectName("settingsCall");
    setWindowOpacity(0.9);
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(10, 0, 10, 10);
    auto* group = new QGroupBox(tr("video"));
    group->setObjectName("boxSettingsCall");
    auto* box = new QVBoxLayout(group);
    box->setSpacing(5);
    box->setContentsMargins(5, 5, 5, 5);
    layout->addWidget(group);

    const double scale = context_.scaleFactor();
    const int labelWidth = QFontMetrics(font()).horizontalAdvance("123456789012");
    auto combo = [&] {
        auto* field = new QComboBox();
        field->setMinimumWidth(int(150 * scale));
        field->setMaximumWidth(int(500 * scale));
        return field;
    };
    device_ = combo();
    format_ = combo();
    window_ = combo();
    configure_ = new CallButton(":/img/config.png", ":/img/config-hover.png", scale);
    configure_->setToolTip(tr("configure"));
    auto row = [&](const QString& label, QWidget* field) {
        QWidget* built = KxApp::createLabeledRow(label, field, "labelCallSettings", labelWidth,
                                                 QMargins(0, 0, 0, 0), Qt::AlignLeft);
        box->addWidget(built);
        return built;
    };
    QWidget* deviceRow = row(tr("device"), device_);
    deviceRow->layout()->addWidget(configure_);
    row(tr("format"), format_);
    row(tr("window"), window_);

    connect(device_, qOverload<int>(&QComboBox::activated), this, &WidgetCam::onDevice);
    connect(format_, qOverload<int>(&QComboBox::activated), this, &WidgetCam::onFormat);
    connect(configure_, &QPushButton::clicked, this, &WidgetCam::onConfig);
    connect(window_, qOverload<int>(&QComboBox::activated), this, &WidgetCam::onWindow);
}

void WidgetCam::fillFormats()
{
    fillFormatList(context_, *device_, *format_, caps_);
    configure_->setEnabled(CameraControlsDialog::offeredFor(context_, *device_));
}

void WidgetCam::fillFormatList(const UiContext& context, const QComboBox& device, QComboBox& format,
                               std::vector<KxCameraCap>& caps)
{
    format.clear();
    caps.clear();
    KxManager* manager = context.manager();
    if (!manager || device.currentIndex() <= 1)
        return;
    const auto all = manager->queryCameraCaps(device.currentText());
    if (all.empty())
        std::cerr << "Failed to get caps for camera!" << std::endl;
    for (const auto& cap : all) {
        if (!takenFormat(cap.colourFormat))
            continue;
        format.addItem(formatText(cap));
        caps.push_back(cap);
    }
}

bool WidgetCam::fillChoices(const UiContext& context, QComboBox& device, QComboBox& format,
                            QComboBox& window, std::vector<KxCameraCap>& caps,
                            KxManager::VideoInputArgs& args)
{
    KxManager* manager = context.manager();
    if (!manager)
        return false;
    manager->refreshWindowList();
    window.clear();
    // Where the desktop's own chooser picks the screen or window, there is nothing to list.
    window.addItem(manager->captureAsksDesktop() ? tr("chosen-by-the-desktop") : tr("full-screen"));
    const auto windows = manager->windowList();
    int tracked = 0;
    for (int i = 0; i < windows.size(); ++i) {
        window.addItem(windows[i].second);
        if (windows[i].first == manager->trackedWindow())
            tracked = i + 1;
    }
    window.setCurrentIndex(tracked);

    args = manager->videoInputArgs();
    device.clear();
    device.addItem(tr("no-device"));
    device.addItem(tr("desktop"));
    device.addItems(manager->cameraNames());
    if (args.deviceName == "Desktop")
        device.setCurrentIndex(1);
    else
        device.setCurrentIndex(std::max(0, device.findText(args.deviceName)));
    // Desktop capture needs X11: the item says so where it cannot work.
    const QString unavailable = manager->captureUnavailableReason();
    device.setItemData(1, unavailable.isEmpty() ? QVariant() : QVariant(unavailable),
                       Qt::ToolTipRole);

    fillFormatList(context, device, format, caps);
    format.setCurrentIndex(-1);
    for (std::size_t i = 0; i < caps.size(); ++i) {
        const auto& cap = caps[i];
        if (cap.width == args.width && cap.height == args.height &&
            cap.frameRate == args.frameRate && cap.colourFormat == args.colourFormat.toStdString())
            format.setCurrentIndex(int(i));
    }
    return true;
}

void WidgetCam::UpdateData()
{
    KxManager::VideoInputArgs args;
    if (!fillChoices(context_, *device_, *format_, *window_, caps_, args))
        return;
    configure_->setEnabled(CameraControlsDialog::offeredFor(context_, *device_));
    // Which window is captured matters only when the desktop is the source.
    window_->setEnabled(args.deviceName == "Desktop" && !context_.manager()->captureAsksDesktop());
}

void WidgetCam::reopen()
{
    KxManager* manager = context_.manager();
    if (!manager)
        return;
    manager->closeVideoInput();
    manager->sourceChosen();
    manager->openVideoInput();
    emit mainWindow_.signalUpdateCall();
}

void WidgetCam::onDevice(int index)
{
    fillFormats();
    QSettings& settings = context_.settings();
    if (index == 0) {
        kxdefaults::write(settings, kxdefaults::VideoDevice, "no-device");
        kxdefaults::write(settings, kxdefaults::VideoWidth, 0);
        kxdefaults::write(settings, kxdefaults::VideoHeight, 0);
        kxdefaults::write(settings, kxdefaults::VideoRate, 0);
        kxdefaults::write(settings, kxdefaults::VideoFormat, "YUV420P");
        if (KxManager* manager = context_.manager())
            manager->setCaptureWindow(0);
    } else if (index == 1) {
        kxdefaults::write(settings, kxdefaults::VideoDevice, "Desktop");
        kxdefaults::write(settings, kxdefaults::VideoFormat, "YUV420P");
    } else {
        // A camera opens once its mode is picked.
        format_->setCurrentIndex(-1);
        return;
    }
    reopen();
    UpdateData();
}

void WidgetCam::onFormat(int index)
{
    if (index < 0 || std::size_t(index) >= caps_.size())
        return;
    const KxCameraCap& cap = caps_[std::size_t(index)];
    QSettings& settings = context_.settings();
    kxdefaults::write(settings, kxdefaults::VideoDevice, device_->currentText());
    kxdefaults::write(settings, kxdefaults::VideoWidth, int(cap.width));
    kxdefaults::write(settings, kxdefaults::VideoHeight, int(cap.height));
    kxdefaults::write(settings, kxdefaults::VideoRate, int(cap.frameRate));
    kxdefaults::write(settings, kxdefaults::VideoFormat, QString::fromStdString(cap.colourFormat));
    reopen();
    UpdateData();
}

void WidgetCam::onConfig()
{
    // The settings open beside the main window: this popup closes as they take the focus.
    CameraControlsDialog::openFor(context_, device_->currentText(), &mainWindow_);
}

void WidgetCam::onWindow(int index)
{
    if (KxManager* manager = context_.manager())
        manager->setCaptureWindow(index);
    reopen();
}
