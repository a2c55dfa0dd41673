#pragma once

#include <memory>
#include <stop_token>
#include <thread>
#include <vector>

#include <QDialog>

#include "KxPhone/kxvideosource.h"
#include "ui/uicontext.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QTabWidget;
class QTimer;
class QVBoxLayout;
class WidgetSettings;

namespace voip {
class SoundChannel;
}

/// What every page of the settings dialog shares: the hosting dialog, the modified flag,
/// and the rows of label and field.
class SettingsPage : public QWidget
{
    Q_OBJECT

public:
    SettingsPage(WidgetSettings& owner, const UiContext& context);

    /// Sets every field from the settings.  Does not touch the modified flag.
    virtual void UpdateData() = 0;
    /// Writes the page's keys and applies them to the engine, when modified.
    virtual void save() = 0;
    bool modified() const { return modified_; }
    void setModified(bool modified) { modified_ = modified; }

protected:
    /// Marks the page modified and enables the dialog's Apply.
    void changed();
    /// A row of the page: the label (of the dialog's label width) and the field.
    QWidget* addRow(const QString& label, QWidget* field);
    QLineEdit* lineEdit();

    WidgetSettings& owner_;
    UiContext context_;
    QVBoxLayout* layout_ = nullptr;
    bool modified_ = false;
};

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

class SettingsNetwork : public SettingsPage
{
    Q_OBJECT

public:
    SettingsNetwork(WidgetSettings& owner, const UiContext& context);
    void UpdateData() override;
    void save() override;

    QComboBox* transmit = nullptr;
    QComboBox* receive = nullptr;
    QComboBox* nat = nullptr;
    QLineEdit* stunServer = nullptr;
    QLineEdit* publicIp = nullptr;
    QLineEdit* udpLow = nullptr;
    QLineEdit* udpHigh = nullptr;
    QLineEdit* tcpLow = nullptr;
    QLineEdit* tcpHigh = nullptr;
    QLabel* status = nullptr;        ///< what the STUN server answered; ports that were corrected
    QComboBox* gatekeeper = nullptr; ///< none, found on the network, or at an address
    QLineEdit* gatekeeperHost = nullptr;
    QLineEdit* gatekeeperAlias = nullptr;
    QLineEdit* gatekeeperE164 = nullptr;
    QLineEdit* gatekeeperPassword = nullptr;
    QLineEdit* gatekeeperTtl = nullptr; ///< seconds
    QLabel* gatekeeperStatus = nullptr; ///< where the registration stands

    /// The port range as saved: out-of-range ports corrected, the upper one above the
    /// lower one.  Texts that are not numbers count as 0.
    struct Ports
    {
        int udpLow, udpHigh, tcpLow, tcpHigh;
    };
    static Ports correctedPorts(const QString& udpLow, const QString& udpHigh,
                                const QString& tcpLow, const QString& tcpHigh);

public slots:
    void onChange();
    void onNATChange();

private:
    void enableNatFields();
    void askStun();
    void showGatekeeperStatus();
    QTimer* gatekeeperTimer_ = nullptr;
    QWidget* portRangeField(QLineEdit*& low, QLineEdit*& high);
};

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

class SettingsAudio : public SettingsPage
{
    Q_OBJECT

public:
    SettingsAudio(WidgetSettings& owner, const UiContext& context);
    ~SettingsAudio() override;
    void UpdateData() override;
    void save() override;
    /// Lets go of the devices opened for their volume (the dialog is closed).
    void closeVolumeChannels();
    /// True while a device test runs.
    bool testRunning() const { return test_ != nullptr; }

    QComboBox* inputDevice = nullptr;
    QComboBox* outputDevice = nullptr;
    QSlider* inputVolume = nullptr;
    QSlider* outputVolume = nullptr;
    QPushButton* testMicroButton = nullptr;
    QPushButton* testSpeakerButton = nullptr;
    QLabel* testStatus = nullptr;
    QLabel* deviceProblem = nullptr; ///< says when there is no sound device at all
    QCheckBox* echoCancel = nullptr;
    QComboBox* echoLength = nullptr;
    QCheckBox* silenceDetection = nullptr;
    QComboBox* jitterDelay = nullptr;

signals:
    /// A device test ended: `ok` and, when it played back a recording, the recording's
    /// loudest sample in percent of full scale (GUI thread, queued from the test).
    void testFinished(bool ok, int peakPercent);

public slots:
    void onSave();
    void onTestMicro();
    void onTestMicroFinished(bool ok, int peakPercent, const QString& error);
    void onTestSpeaker();
    void onTestSpeakerFinished(bool ok, int peakPercent, const QString& error);
    void onInputDevice(int index);
    void onInputVolume(int value);
    void onOutputDevice(int index);
    void onOutputVolume(int value);

private:
    struct Test;
    void openVolumeChannels();
    void refreshSliders();
    void startTest(bool microphone);
    void testEnded(bool ok, int peakPercent, const QString& error);
    void animate();

    std::shared_ptr<voip::SoundChannel> inputVolumeChannel_;
    std::shared_ptr<voip::SoundChannel> outputVolumeChannel_;
    std::unique_ptr<Test> test_;
    QTimer* animation_ = nullptr;
    int step_ = 0;
};

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
