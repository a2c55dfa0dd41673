#include <iostream>

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QTimer>

#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxmanager.h"
#include "ui/settingsaudio.h"
#include "ui/sounddevices.h"
#include "ui/widgetsettings.h"

/// A device test on a thread of its own; stopped and joined when the page goes.
struct SettingsAudio::Test
{
    std::jthread thread;
    std::atomic<int> phase{0}; ///< 0 recording, 1 playing
};

SettingsAudio::SettingsAudio(WidgetSettings& owner, const UiContext& context)
    : SettingsPage(owner, context)
{
    inputDevice = new QComboBox();
    outputDevice = new QComboBox();
    for (QComboBox* box : {inputDevice, outputDevice})
        box->setMinimumWidth(WidgetSettings::FieldWidth);
    inputVolume = new QSlider(Qt::Horizontal);
    outputVolume = new QSlider(Qt::Horizontal);
    for (QSlider* slider : {inputVolume, outputVolume}) {
        slider->setRange(0, 100);
        slider->setMinimumWidth(WidgetSettings::FieldWidth);
    }
    testMicroButton = new QPushButton(tr("test-micro"));
    testSpeakerButton = new QPushButton(tr("test-speaker"));
    testStatus = new QLabel();
    testStatus->setObjectName("labelTestIOStatus");
    deviceProblem = new QLabel(tr("no-sound-device"));
    deviceProblem->setObjectName("labelSoundProblem");
    deviceProblem->setWordWrap(true);
    deviceProblem->setStyleSheet("color: #c62828;");
    deviceProblem->hide();
    echoCancel = new QCheckBox(tr("echo-cancel"));
    echoLength = new QComboBox();
    echoLength->addItems(kxdefaults::echoLengths());
    silenceDetection = new QCheckBox(tr("silence-detection"));
    jitterDelay = new QComboBox();
    jitterDelay->addItems(kxdefaults::jitterDelays());

    addRow(QString(), deviceProblem);
    addRow(tr("input-device"), inputDevice);
    addRow(tr("input-volume"), inputVolume);
    addRow(tr("output-device"), outputDevice);
    addRow(tr("output-volume"), outputVolume);
    QWidget* tests = addRow(tr("test-devices"), testMicroButton);
    tests->layout()->addWidget(testSpeakerButton);
    tests->layout()->addWidget(testStatus);
    addRow(QString(), echoCancel);
    addRow(tr("echo-length-ms"), echoLength);
    addRow(QString(), silenceDetection);
    addRow(tr("jitter-delay") + " (ms)", jitterDelay);

    animation_ = new QTimer(this);
    animation_->setInterval(500);
    connect(animation_, &QTimer::timeout, this, &SettingsAudio::animate);
    connect(echoCancel, &QCheckBox::clicked, this, &SettingsAudio::onSave);
    connect(silenceDetection, &QCheckBox::clicked, this, &SettingsAudio::onSave);
    connect(echoLength, qOverload<int>(&QComboBox::activated), this, &SettingsAudio::onSave);
    connect(jitterDelay, qOverload<int>(&QComboBox::activated), this, &SettingsAudio::onSave);
    connect(testMicroButton, &QPushButton::clicked, this, &SettingsAudio::onTestMicro);
    connect(testSpeakerButton, &QPushButton::clicked, this, &SettingsAudio::onTestSpeaker);
    connect(inputDevice, qOverload<int>(&QComboBox::activated), this,
            &SettingsAudio::onInputDevice);
    connect(outputDevice, qOverload<int>(&QComboBox::activated), this,
            &SettingsAudio::onOutputDevice);
    connect(inputVolume, &QSlider::valueChanged, this, &SettingsAudio::onInputVolume);
    connect(outputVolume, &QSlider::valueChanged, this, &SettingsAudio::onOutputVolume);
}

SettingsAudio::~SettingsAudio()
{
    if (test_)
        test_->thread.request_stop();
}

void SettingsAudio::onSave()
{
    changed();
}

void SettingsAudio::UpdateData()
{
    std::cout << "Update Data for Audio" << std::endl;
    QSettings& settings = context_.settings();
    inputDevice->clear();
    outputDevice->clear();
    if (KxManager* manager = context_.manager()) {
        sounddevices::fill(*inputDevice, manager->soundDeviceNames(true));
        sounddevices::fill(*outputDevice, manager->soundDeviceNames(false));
    }
    // Without a sound server there is nothing to choose, and calls carry no sound: said
    // here rather than left to be found in a call.
    deviceProblem->setVisible(inputDevice->count() == 0 && outputDevice->count() == 0);
    for (auto [box, key] : {std::pair{inputDevice, &kxdefaults::AudioInput},
                            {outputDevice, &kxdefaults::AudioOutput}})
        sounddevices::choose(*box, kxdefaults::read(settings, *key), false);
    closeVolumeChannels();
    openVolumeChannels();
    refreshSliders();
    echoCancel->setChecked(kxdefaults::read(settings, kxdefaults::AudioEcho));
    const int echo = echoLength->findText(
        QString::number(kxdefaults::read(settings, kxdefaults::AudioEchoDuration)));
    echoLength->setCurrentIndex(echo >= 0 ? echo : echoLength->findText("256"));
    silenceDetection->setChecked(kxdefaults::read(settings, kxdefaults::AudioSilence));
    const int jitter =
        jitterDelay->findText(QString::number(kxdefaults::read(settings, kxdefaults::AudioJitter)));
    if (jitter >= 0)
        jitterDelay->setCurrentIndex(jitter);
}

void SettingsAudio::openVolumeChannels()
{
    KxManager* manager = context_.manager();
    if (!manager)
        return;
    if (inputDevice->currentIndex() >= 0)
        inputVolumeChannel_ = manager->openSoundDevice(true, sounddevices::chosen(*inputDevice));
    if (outputDevice->currentIndex() >= 0)
        outputVolumeChannel_ = manager->openSoundDevice(false, sounddevices::chosen(*outputDevice));
}

void SettingsAudio::closeVolumeChannels()
{
    for (auto* channel : {&inputVolumeChannel_, &outputVolumeChannel_}) {
        if (*channel && (*channel)->isOpen())
            (*channel)->close();
        channel->reset();
    }
}

void SettingsAudio::refreshSliders()
{
    auto refresh = [](QSlider* slider, const std::shared_ptr<voip::SoundChannel>& channel,
                      const char* what) {
        const QSignalBlocker quiet(slider); // showing the value is not setting it
        if (channel && channel->isOpen()) {
            const auto volume = channel->volume();
            const int value = volume ? int(volume.value()) : 0;
            slider->setEnabled(true);
            slider->setValue(value);
            std::cout << what << value << std::endl;
        } else {
            slider->setEnabled(false);
        }
    };
    refresh(inputVolume, inputVolumeChannel_, "Input volume: ");
    refresh(outputVolume, outputVolumeChannel_, "Output volume: ");
}

void SettingsAudio::onInputDevice(int)
{
    if (sounddevices::chosen(*inputDevice) !=
        kxdefaults::read(context_.settings(), kxdefaults::AudioInput))
        changed();
    closeVolumeChannels();
    openVolumeChannels();
    refreshSliders();
}

void SettingsAudio::onOutputDevice(int)
{
    if (sounddevices::chosen(*outputDevice) !=
        kxdefaults::read(context_.settings(), kxdefaults::AudioOutput))
        changed();
    closeVolumeChannels();
    openVolumeChannels();
    refreshSliders();
}

void SettingsAudio::onInputVolume(int value)
{
    if (!inputVolumeChannel_ || !inputVolumeChannel_->isOpen())
        return;
    if (inputVolumeChannel_->setVolume(unsigned(value)))
        std::cout << "Set input volume: " << value << std::endl;
    else
        std::cout << "Failed to set input volume" << std::endl;
}

void SettingsAudio::onOutputVolume(int value)
{
    if (!outputVolumeChannel_ || !outputVolumeChannel_->isOpen())
        return;
    if (outputVolumeChannel_->setVolume(unsigned(value)))
        std::cout << "Set output volume: " << value << std::endl;
    else
        std::cout << "Failed to set output volume" << std::endl;
}

void SettingsAudio::save()
{
    if (!modified_)
        return;
    modified_ = false;
    QSettings& settings = context_.settings();
    kxdefaults::write(settings, kxdefaults::AudioInput, sounddevices::chosen(*inputDevice));
    kxdefaults::write(settings, kxdefaults::AudioOutput, sounddevices::chosen(*outputDevice));
    kxdefaults::write(settings, kxdefaults::AudioEcho, echoCancel->isChecked());
    kxdefaults::write(settings, kxdefaults::AudioEchoDuration, echoLength->currentText().toInt());
    kxdefaults::write(settings, kxdefaults::AudioSilence, silenceDetection->isChecked());
    kxdefaults::write(settings, kxdefaults::AudioJitter, jitterDelay->currentText().toInt());
    settings.sync();
    // During a call the devices in use stay; the reset after the call applies these.
    KxManager* manager = context_.manager();
    if (manager && !manager->currentCall())
        manager->applyAudioSettings();
}

void SettingsAudio::onTestMicro()
{
    startTest(true);
}

void SettingsAudio::onTestSpeaker()
{
    startTest(false);
}

void SettingsAudio::startTest(bool microphone)
{
    KxManager* manager = context_.manager();
    if (test_ || !manager)
        return;
    testMicroButton->setEnabled(false);
    testSpeakerButton->setEnabled(false);
    for (const auto& channel : {inputVolumeChannel_, outputVolumeChannel_}) {
        if (!channel || !channel->isOpen())
            continue;
        if (const auto muted = channel->mute(); muted && muted.value())
            channel->setMute(false);
    }
    auto run = manager->soundTest(microphone, sounddevices::chosen(*inputDevice),
                                  sounddevices::chosen(*outputDevice));
    test_ = std::make_unique<Test>();
    test_->phase = microphone ? 0 : 1;
    Test* test = test_.get();
    QPointer<SettingsAudio> page(this);
    test_->thread = std::jthread([=](std::stop_token stop) {
        voip::DeviceTestControl control;
        control.stop = stop;
        control.progress = [test](const std::string& phase, double) {
            test->phase = phase == "playing" ? 1 : 0;
        };
        const auto report = run(control);
        const bool ok = bool(report);
        const int peak = ok && microphone ? int(report.value().peakPercent) : -1;
        const QString error = ok ? QString() : QString::fromStdString(report.error().message);
        QMetaObject::invokeMethod(
            page,
            [page, microphone, ok, peak, error] {
                if (!page)
                    return;
                if (microphone)
                    page->onTestMicroFinished(ok, peak, error);
                else
                    page->onTestSpeakerFinished(ok, peak, error);
            },
            Qt::QueuedConnection);
    });
    step_ = 0;
    animate();
    animation_->start();
}

void SettingsAudio::animate()
{
    if (!test_)
        return;
    static const char* const dots[] = {"...", ".", ".."};
    const QString phase = test_->phase == 1 ? tr("playing") : tr("recording");
    testStatus->setText(phase + dots[step_++ % 3]);
}

void SettingsAudio::onTestMicroFinished(bool ok, int peakPercent, const QString& error)
{
    testEnded(ok, peakPercent, error);
}

void SettingsAudio::onTestSpeakerFinished(bool ok, int peakPercent, const QString& error)
{
    testEnded(ok, peakPercent, error);
}

void SettingsAudio::testEnded(bool ok, int peakPercent, const QString& error)
{
    animation_->stop();
    if (test_) {
        test_->thread.join();
        test_.reset();
    }
    // A failure, and a microphone that heard nothing, show as faults, not in the colour of
    // success.
    const bool fault = !ok || peakPercent == 0;
    testStatus->setProperty("fault", fault);
    testStatus->setStyleSheet(fault ? "color: #c62828;" : QString());
    if (!ok) {
        std::cout << "Device test failed: " << error.toStdString() << std::endl;
        testStatus->setText(tr("test-failed"));
    } else if (peakPercent >= 0) {
        // What the microphone heard: a silent one is the commonest fault.
        testStatus->setText(peakPercent > 0 ? tr("test-loudest").arg(peakPercent)
                                            : tr("test-silent"));
    } else {
        testStatus->clear();
    }
    testMicroButton->setEnabled(true);
    testSpeakerButton->setEnabled(true);
    emit testFinished(ok, peakPercent);
}
