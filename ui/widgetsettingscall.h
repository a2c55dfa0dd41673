#pragma once

#include <QDialog>
#include "KxPhone/kxdefaults.h"

class QAction;
class QCheckBox;
class QComboBox;
class MainWindow;
struct UiContext;

/// The in-call settings panel: toolbar auto-hide and position, the PiP position and the
/// call's sound devices.  Each change is stored at once and takes effect in the call.
class WidgetSettingsCall : public QDialog
{
    Q_OBJECT

public:
    WidgetSettingsCall(const UiContext& context, MainWindow& window, QWidget* parent = nullptr,
                       Qt::WindowFlags flags = Qt::WindowFlags());

    /// Reloads every field from the settings and the device lists.
    void UpdateData();
    QCheckBox* autoHideBox() const { return autoHide_; }
    QComboBox* locationBox() const { return location_; }
    QComboBox* pipBox() const { return pip_; }
    QComboBox* inputBox() const { return input_; }
    QComboBox* outputBox() const { return output_; }

    /// The PiP position after `current` (0 to 4, round; out of range gives 1).
    static int nextPiP(int current);

public slots:
    void onAutoHide();
    void onLocation();
    void onPiP();
    /// Ctrl+2 (the toolbar's shortcut): the next PiP position.
    void onPiPShortcut();
    void onInput();
    void onOutput();

private:
    void changeDevice(QComboBox* box, const kxdefaults::Text& key, bool input);

    const UiContext& context_;
    MainWindow& window_;
    QCheckBox* autoHide_ = nullptr;
    QComboBox* location_ = nullptr;
    QComboBox* pip_ = nullptr;
    QComboBox* input_ = nullptr;
    QComboBox* output_ = nullptr;
};
