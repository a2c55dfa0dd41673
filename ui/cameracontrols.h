#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include <QDialog>

#include "voip/device/v4l2_controls.h"

class QComboBox;
class QLabel;
class QPushButton;
struct UiContext;

/// A camera's own settings (brightness, contrast, white balance, exposure, focus, zoom,
/// as its driver offers them), each applied to the camera the moment it is changed, so
/// that the picture in a call shows the change at once. Built from what the camera
/// reports: a slider for a number, a tick box for a switch, a list for a choice, a button
/// for an action. A control the camera holds inactive (the exposure time under automatic
/// exposure) is shown disabled until it takes effect. GUI thread.
class CameraControlsDialog : public QDialog
{
    Q_OBJECT

public:
    CameraControlsDialog(std::unique_ptr<voip::V4l2Controls> controls, const QString& camera,
                         QWidget* parent = nullptr);
    ~CameraControlsDialog() override;

    /// True when the camera chosen in `device` (a camera item of the camera dialog or the
    /// Video page) is one whose settings can be offered.
    static bool offeredFor(const UiContext& context, const QComboBox& device);
    /// Opens the settings of `camera` beside `parent`, or says why they cannot be opened.
    /// Returns the dialog, which deletes itself when closed; null when there is none.
    static CameraControlsDialog* openFor(const UiContext& context, const QString& camera,
                                         QWidget* parent);

    /// The editor of control `id` (QSlider, QCheckBox, QComboBox or QPushButton); null
    /// when the camera has no such control.
    QWidget* editor(std::uint32_t id) const;
    QLabel* problemLabel() const { return problem_; }
    QPushButton* resetButton() const { return reset_; }
    /// The caption a control is shown with: ours for the usual ones, else the driver's.
    static QString captionFor(const voip::V4l2Control& control);

protected:
    void changeEvent(QEvent* event) override;

private:
    void build();
    void setTexts();
    /// Reads every control again and shows its value and whether it can be changed now.
    void refresh();
    void apply(std::uint32_t id, int value);
    void resetAll();

    std::unique_ptr<voip::V4l2Controls> controls_;
    QString camera_;
    std::map<std::uint32_t, voip::V4l2Control> shown_;
    std::map<std::uint32_t, QWidget*> editors_;
    std::map<std::uint32_t, QLabel*> captions_;
    std::map<std::uint32_t, QLabel*> values_; ///< beside each slider
    QLabel* none_ = nullptr;
    QLabel* problem_ = nullptr;
    QPushButton* reset_ = nullptr;
    QPushButton* close_ = nullptr;
    bool refreshing_ = false;
};
