#pragma once

#include "ui/settingspage.h"

class QCheckBox;
class QComboBox;

class SettingsCodecs : public SettingsPage
{
    Q_OBJECT

public:
    SettingsCodecs(WidgetSettings& owner, const UiContext& context);
    void UpdateData() override;
    void save() override;

    QCheckBox* g722 = nullptr;
    QCheckBox* g711a = nullptr;
    QCheckBox* g711u = nullptr;
    QComboBox* frameSize = nullptr;
    QCheckBox* fecc = nullptr;
    QCheckBox* h239 = nullptr;

public slots:
    void onSave();
};
