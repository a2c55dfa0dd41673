#pragma once

#include <QDialog>

#include "ui/settingsaudio.h"
#include "ui/settingscodecs.h"
#include "ui/settingsgeneral.h"
#include "ui/settingsnetwork.h"
#include "ui/settingsvideo.h"
#include "ui/uicontext.h"

class QPushButton;
class QTabWidget;

/// The settings dialog: the General, Audio, Video, Codecs and Network pages as tabs, with
/// Apply and Close.  Created once by the main window; GUI thread.
class WidgetSettings : public QDialog
{
    Q_OBJECT

public:
    WidgetSettings(const UiContext& context, QWidget* parent = nullptr,
                   Qt::WindowFlags flags = Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    /// Disables Apply, refreshes the current page and shows the dialog (not modal: the
    /// call window goes on while it is open).  Nothing when it is open already.
    void open() override;

    void setApplyDisabled(bool disabled);
    int labelWidth() const { return labelWidth_; }
    static constexpr int FieldWidth = 300;

    QTabWidget* tabs() const { return tabs_; }
    QPushButton* applyButton() const { return apply_; }
    QPushButton* closeButton() const { return close_; }
    SettingsGeneral* general() const { return general_; }
    SettingsAudio* audio() const { return audio_; }
    SettingsVideo* video() const { return video_; }
    SettingsCodecs* codecs() const { return codecs_; }
    SettingsNetwork* network() const { return network_; }

signals:
    /// The language was changed and applied from the General page: the dialog's own texts
    /// are the old language's until it is made again.
    void languageApplied();

public slots:
    void UpdateData();
    void onApply();
    void onClose();
    void onFinished();

private:
    UiContext context_;
    int labelWidth_ = 0;
    QTabWidget* tabs_ = nullptr;
    QPushButton* apply_ = nullptr;
    QPushButton* close_ = nullptr;
    SettingsGeneral* general_ = nullptr;
    SettingsAudio* audio_ = nullptr;
    SettingsVideo* video_ = nullptr;
    SettingsCodecs* codecs_ = nullptr;
    SettingsNetwork* network_ = nullptr;
};
