#pragma once

#include <QWidget>

class QAction;
class QLabel;
class QSlider;
class QTimer;
class CallButton;
class FadeDialog;
class MainWindow;
class WidgetDialpad;
class WidgetSettingsCall;
class WidgetStatistics;
class WidgetFecc;
struct UiContext;

/// The in-call toolbar: end the call, mute and set the volume of microphone and speaker,
/// the call's duration, the call settings panel, full screen, the layout, the dialpad and
/// the statistics.  Refreshed by the main window whenever the call changes.
class WidgetCall : public QWidget
{
    Q_OBJECT

public:
    WidgetCall(const UiContext& context, MainWindow& window, QWidget* parent = nullptr);

    /// Brings every control in line with the call (or its absence).
    void UpdateData();
    /// Follows the window into and out of full screen (icon, Escape).
    void windowStateChanged();
    /// Announces layout `layout` in the fading notice.
    void showLayoutNotice(int layout);

    /// The layout after `current` (1 remote full, 2 local full, 3 content full, 0 side by
    /// side); content full only while the far end presents.
    static int nextLayout(int current, bool presenting);
    /// "hh:mm:ss" of a call that has lasted `seconds` (hours are not wrapped).
    static QString durationText(qint64 seconds);

    CallButton* endButton() const { return end_; }
    CallButton* cameraButton() const { return camera_; }
    CallButton* microMuteButton() const { return microMute_; }
    CallButton* speakerMuteButton() const { return speakerMute_; }
    CallButton* settingsButton() const { return settings_; }
    CallButton* fullScreenButton() const { return fullScreen_; }
    CallButton* layoutButton() const { return layout_; }
    CallButton* dialpadButton() const { return dialpad_; }
    CallButton* feccButton() const { return fecc_; }
    WidgetFecc* feccDialog() const { return feccDialog_; }
    CallButton* statusButton() const { return status_; }
    QSlider* microVolume() const { return microVolume_; }
    QSlider* speakerVolume() const { return speakerVolume_; }
    QLabel* durationLabel() const { return duration_; }
    /// Who the call is with: the far party's name, or its address.
    QLabel* partyLabel() const { return party_; }
    /// Why the screen is not shared now although it is the source (shown only then).
    QLabel* shareStateLabel() const { return shareState_; }
    QLabel* soundStateLabel() const { return soundState_; }
    /// The lock: closed while every channel of the call is encrypted, open otherwise
    /// (hidden before channels open); its tool tip says how, or why not.
    QLabel* securityLabel() const { return security_; }
    QTimer* durationTimer() const { return durationTimer_; }
    FadeDialog* fade() const { return fade_; }
    WidgetDialpad* dialpadDialog() const { return dialpadDialog_; }
    WidgetStatistics* statisticsDialog() const { return statisticsDialog_; }
    WidgetSettingsCall* settingsPanel() const { return settingsPanel_; }
    QAction* fullScreenAction() const { return fullScreenAction_; }
    QAction* leaveFullScreenAction() const { return leaveFullScreenAction_; }
    QAction* pipAction() const { return pipAction_; }

signals:
    void signalShowFade(QString text);

public slots:
    void onLayout();
    void onFullScreen();
    void onEndCall();
    void onMicroVolume(int value);
    void onMicroMute();
    void onSpeakerVolume(int value);
    void onSpeakerMute();
    void onCamera();
    void onTimerDuration();
    void onSettings();
    void onStatus();
    void onDialpad();
    void onFecc();
    void onShowFade(QString text);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    /// The actions' texts and the tool tips, in the present language.
    void setTexts();
    /// Sets the texts again, and renews the popups, in a new language.
    void retranslate();
    /// The call settings panel, (re)made with its Ctrl+2 action.
    void makeSettingsPanel();
    /// Places a popup above the toolbar at the bottom, below it at the top, centred on
    /// `anchor`'s top edge (or starting there when `centred` is false).
    /// `at` moved so that `popup` lies inside the main window.
    QPoint insideWindow(const QWidget& popup, QPoint at) const;
    void placePopup(QWidget* popup, QWidget* anchor, bool centred);

    const UiContext& context_;
    MainWindow& window_;
    CallButton* end_ = nullptr;
    CallButton* camera_ = nullptr;
    CallButton* microMute_ = nullptr;
    QSlider* microVolume_ = nullptr;
    CallButton* speakerMute_ = nullptr;
    QSlider* speakerVolume_ = nullptr;
    QLabel* duration_ = nullptr;
    QLabel* party_ = nullptr;
    QLabel* shareState_ = nullptr;
    QLabel* soundState_ = nullptr; ///< while the call has no microphone or loudspeaker
    QLabel* security_ = nullptr;
    void showSecurity();
    CallButton* settings_ = nullptr;
    CallButton* fullScreen_ = nullptr;
    CallButton* layout_ = nullptr;
    CallButton* dialpad_ = nullptr;
    CallButton* fecc_ = nullptr;
    CallButton* status_ = nullptr;
    QAction* layoutAction_ = nullptr;
    QAction* fullScreenAction_ = nullptr;
    QAction* leaveFullScreenAction_ = nullptr;
    QAction* pipAction_ = nullptr; // Ctrl+2, acted on by the settings panel
    QTimer* durationTimer_ = nullptr;
    int ticks_ = 0;
    bool firstTicks_ = true;
    FadeDialog* fade_ = nullptr;
    // Top-level popups owned here; all but the settings panel are created on first use.
    WidgetSettingsCall* settingsPanel_ = nullptr;
    WidgetDialpad* dialpadDialog_ = nullptr;
    WidgetStatistics* statisticsDialog_ = nullptr;
    WidgetFecc* feccDialog_ = nullptr;
};
