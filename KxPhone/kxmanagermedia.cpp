// KxManager's media: the formats offered and their order, the audio settings applied to the
// engine, the sound devices listed, opened and tested for the settings, a device changed
// in a call or failing, and the ring tones.

#include "KxPhone/kxmanager.h"

#include <iostream>

#include <QCoreApplication>
#include <QSettings>

#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxpcssendpoint.h"
#include "KxPhone/kxringer.h"
#include "voip/core/call.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/pcss/pcssconnection.h"
#include "voip/pcss/soundstream.h"

QStringList KxManager::mediaFormatOrderFor(QSettings&)
{
    return {"G.722-64k", "G.711-ALaw-64k", "G.711-uLaw-64k", "H.264-High"};
}

QStringList KxManager::mediaFormatMaskFor(QSettings& settings)
{
    QStringList mask;
    if (!kxdefaults::read(settings, kxdefaults::CodecG722))
        mask << "G.722-64k";
    if (!kxdefaults::read(settings, kxdefaults::CodecG711A))
        mask << "G.711-ALaw-64k";
    if (!kxdefaults::read(settings, kxdefaults::CodecG711U))
        mask << "G.711-uLaw-64k";
    mask << "G.722.1-*"
         << "G.722.1C-*"
         << "iLBC*"
         << "Speex*";
    if (!kxdefaults::read(settings, kxdefaults::CodecFecc))
        mask << "FECC*";
    if (!kxdefaults::read(settings, kxdefaults::CodecH239))
        mask << "H.239*";
    mask << "H.264-0"
         << "H.264-1";
    return mask;
}

void KxManager::applyMediaFormats()
{
    auto& registry = voip::MediaFormatRegistry::global();
    mediaFormats_ = registry.all();
    const std::int64_t bitRate =
        std::int64_t(kxdefaults::read(*settings_, kxdefaults::NetTransmit)) * 1000;
    const std::int64_t width = std::int64_t(kxdefaults::read(*settings_, kxdefaults::CodecWidth));
    const std::int64_t height = std::int64_t(kxdefaults::read(*settings_, kxdefaults::CodecHeight));
    for (auto& format : mediaFormats_) {
        if (format.mediaType() != voip::MediaType::Video || format.name() != "H.264-High")
            continue;
        const std::int64_t frameTime = format.clockRate() / 25;
        format.change([&](voip::MediaFormat::Editor& editor) {
            editor.setPayloadType(109);
            editor.setStringOption(voip::option::Profile, "High");
            editor.setStringOption(voip::option::Level, "5.1");
            editor.setIntegerOption(voip::option::TargetBitRate, bitRate);
            editor.setIntegerOption(voip::option::MaxBitRate, bitRate);
            editor.setIntegerOption(voip::option::FrameTime, frameTime);
            editor.setIntegerOption(voip::option::FrameWidth, width);
            editor.setIntegerOption(voip::option::FrameHeight, height);
        });
        if (registry.writeBack(format) == voip::RegistryStatus::Ok)
            std::cout << "Set options for " << format.name() << std::endl;
    }
    std::vector<std::string> order;
    for (const auto& name : mediaFormatOrderFor(*settings_))
        order.push_back(name.toStdString());
    std::vector<std::string> mask;
    for (const auto& name : mediaFormatMaskFor(*settings_))
        mask.push_back(name.toStdString());
    setMediaFormatOrder(std::move(order));
    setMediaFormatMask(std::move(mask));
}

void KxManager::applyAudioSettings()
{
    pcssEndPoint_->applySoundDevices();
    voip::EchoCancelParameters echo;
    echo.enabled = false; // the echo-cancelling microphone does it, not the media path
    echo.tailLengthMs = unsigned(kxdefaults::read(*settings_, kxdefaults::AudioEchoDuration));
    setEchoCancelParameters(echo);
    voip::SilenceDetectParameters silence;
    silence.mode = kxdefaults::read(*settings_, kxdefaults::AudioSilence)
                       ? voip::SilenceDetectMode::Adaptive
                       : voip::SilenceDetectMode::None;
    silence.threshold = 0;
    silence.signalDeadband = 10;
    silence.silenceDeadband = 400;
    silence.adaptivePeriod = 600;
    setSilenceDetectParameters(silence);
    setAudioJitterDelay(50, unsigned(kxdefaults::read(*settings_, kxdefaults::AudioJitter)));
}

void KxManager::soundDeviceFailed(bool input)
{
    std::cerr << "Cannot open the " << (input ? "microphone" : "loudspeaker") << std::endl;
    (input ? microphoneMissing_ : loudspeakerMissing_) = true;
    emit events_->updateCall(); // the toolbar shows it for the rest of the call
    if (!soundFailureTold_.exchange(true))
        notify(QCoreApplication::translate("KxManager", "no-sound-device"));
}

void KxManager::forgetSoundFailures()
{
    soundFailureTold_ = false;
    microphoneMissing_ = false;
    loudspeakerMissing_ = false;
}

void KxManager::startRinging(const std::string& token, bool incoming)
{
    const auto call = currentCall();
    if (!call || call->token() != token || call->isEstablished())
        return;
    // On the loudspeaker the calls use: its volume and mute are the call's.
    voip::SoundParams loudspeaker;
    loudspeaker.driver = pcssEndPoint_->soundDriver();
    loudspeaker.device = kxdefaults::read(*settings_, kxdefaults::AudioOutput).toStdString();
    ringFor_ = token;
    ringer_->play(incoming ? KxRinger::Tone::Ring : KxRinger::Tone::Ringback, loudspeaker);
}

void KxManager::stopRinging(const std::string& token)
{
    if (!token.empty() && token != ringFor_)
        return;
    ringFor_.clear();
    ringer_->stop();
}

QStringList KxManager::soundDeviceNames(bool input) const
{
    QStringList names;
    const auto direction = input ? voip::SoundDirection::Recorder : voip::SoundDirection::Player;
    for (const std::string& name : voip::soundDeviceNames(pcssEndPoint_->soundDriver(), direction))
        names << QString::fromStdString(voip::simplifyWhiteSpace(name));
    return names;
}

namespace {

/// How the audio settings open a device: one channel, 8000 Hz, 20 ms buffers.
voip::SoundParams deviceCheckFormat(const std::string& driver, const QString& device, bool input)
{
    voip::SoundParams params;
    params.driver = driver;
    params.device = device.toStdString();
    params.direction = input ? voip::SoundDirection::Recorder : voip::SoundDirection::Player;
    params.channels = 1;
    params.sampleRate = 8000;
    params.bitsPerSample = 16;
    params.bufferSize = 320;
    params.bufferCount = 2;
    return params;
}

constexpr auto SoundTestLength = std::chrono::seconds(5);

} // namespace

std::shared_ptr<voip::SoundChannel> KxManager::openSoundDevice(bool input,
                                                               const QString& device) const
{
    auto opened = voip::createOpenedSoundChannel(
        deviceCheckFormat(pcssEndPoint_->soundDriver(), device, input));
    return opened ? std::shared_ptr<voip::SoundChannel>(opened.take()) : nullptr;
}

KxManager::SoundTest KxManager::soundTest(bool microphone, const QString& input,
                                          const QString& output) const
{
    const std::string driver = pcssEndPoint_->soundDriver();
    const auto player = deviceCheckFormat(driver, output, false);
    if (!microphone)
        return [player](const voip::DeviceTestControl& control) {
            return voip::runPlayerTest(player, {}, control);
        };
    const auto recorder = deviceCheckFormat(driver, input, true);
    return [recorder, player](const voip::DeviceTestControl& control) {
        return voip::runRecorderTest(recorder, player, SoundTestLength, control);
    };
}

void KxManager::changeSoundDevice(bool isSource)
{
    const std::string device =
        kxdefaults::read(*settings_, isSource ? kxdefaults::AudioInput : kxdefaults::AudioOutput)
            .toStdString();
    auto pcss = currentPcssLeg();
    if (!pcss || !pcss->setAudioDevice(isSource, device))
        return;
    std::cout << "Successfully changed sound device to " << device << std::endl;
    auto stream = pcss->soundStream(isSource);
    if (!stream)
        return;
    {
        std::lock_guard lock(stateMutex_);
        (isSource ? recordChannel_ : playChannel_) = stream->channel();
    }
    emit events_->updateCall();
}
