#pragma once

#include "ui/settingspage.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

class SettingsGeneral : public SettingsPage
{
    Q_OBJECT

public:
    SettingsGeneral(WidgetSettings& owner, const UiContext& context);
    void UpdateData() override;
    void save() override;

    QLineEdit* name = nullptr;
    QComboBox* language = nullptr;
    QCheckBox* autoAnswer = nullptr;
    QCheckBox* autoStart = nullptr;
    QCheckBox* autoUpdate = nullptr;
    QLabel* status = nullptr; ///< why the start-at-log-on entry could not be written

public slots:
    void onSave();
};
