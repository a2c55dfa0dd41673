#pragma once

#include <vector>

#include <QDialog>

#include "KxPhone/kxmanager.h"
#include "KxPhone/kxvideosource.h"
#include "ui/uicontext.h"

class QComboBox;
class CallButton;
class MainWindow;

/// The camera dialog: picks the video source (no device, the desktop, or a camera and its
/// mode) and the window to capture, and applies each choice at once.  A popup created once
/// by the main window, refreshed each time it opens.  GUI thread.
class WidgetCam : public QDialog
{
    Q_OBJECT

public:
    WidgetCam(const UiContext& context, MainWindow& window, QWidget* parent = nullptr,
              Qt::WindowFlags flags = Qt::Popup);

    /// Fills the lists from the manager's source, its cameras and the open windows.
    void UpdateData();

    QComboBox* deviceBox() const { return device_; }
    QComboBox* formatBox() const { return format_; }
    QComboBox* windowBox() const { return window_; }
    CallButton* configureButton() const { return configure_; }

    /// Fills `format` with the modes of the camera chosen in `device` (items above 1) that
    /// the source takes, and `caps` with them item by item; empty for the other choices.
    /// Fills the three lists as the manager's source has them (window list refreshed,
    /// the tracked window, the device and its mode chosen) and gives the source's
    /// arguments; false without a manager.
    static bool fillChoices(const UiContext& context, QComboBox& device, QComboBox& format,
                            QComboBox& window, std::vector<KxCameraCap>& caps,
                            KxManager::VideoInputArgs& args);
    static void fillFormatList(const UiContext& context, const QComboBox& device, QComboBox& format,
                               std::vector<KxCameraCap>& caps);

public slots:
    void onDevice(int index);
    void onFormat(int index);
    void onConfig();
    void onWindow(int index);

private:
    void fillFormats();
    /// Closes and opens the source again; tells the toolbar during a call.
    void reopen();

    UiContext context_;
    MainWindow& mainWindow_;
    QComboBox* device_ = nullptr;
    QComboBox* format_ = nullptr;
    QComboBox* window_ = nullptr;
    CallButton* configure_ = nullptr;
    std::vector<KxCameraCap> caps_; // behind the format list, item by item
};
