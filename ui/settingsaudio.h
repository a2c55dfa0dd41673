#pragma once

#include <memory>
#include <stop_token>
#include <thread>

#include "ui/settingspage.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSlider;
class QTimer;

namespace voip {
class SoundChannel;
}

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
