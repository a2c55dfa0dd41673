#pragma once

#include <vector>

#include "KxPhone/kxvideosource.h"
#include "ui/settingspage.h"

class QComboBox;
class QLabel;
class QPushButton;

class SettingsVideo : public SettingsPage
{
    Q_OBJECT

public:
    SettingsVideo(WidgetSettings& owner, const UiContext& context);
    void UpdateData() override;
    void save() override;

    QComboBox* device = nullptr;
    QComboBox* format = nullptr;
    QLabel* currentVideo = nullptr;
    QPushButton* configure = nullptr;
    QComboBox* captureWindow = nullptr;

public slots:
    void onDevice(int index);
    void onFormat(int index);
    void onConfig();
    void onCaptureWnd(int index);

private:
    void fillFormats();
    std::vector<KxCameraCap> caps_;
};
