#include "KxPhone/kxechocanceller.h"

#include <algorithm>
#include <cstring>

#include <webrtc/common.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

struct KxEchoCanceller::Processing
{
    std::unique_ptr<webrtc::AudioProcessing> apm;
    webrtc::AudioFrame frame;
};

bool KxEchoCanceller::rateSupported(unsigned rate)
{
    return rate == 8000 || rate == 16000 || rate == 32000 || rate == 48000;
}

unsigned KxEchoCanceller::echoLengthFor(unsigned stored)
{
    return stored == 128 || stored == 256 || stored == 512 || stored == 1024 ? stored : 256;
}

KxEchoCanceller::KxEchoCanceller(unsigned rate, unsigned echoLengthMs)
    : rate_(rate)
{
    if (!rateSupported(rate))
        return;
    webrtc::Config config;
    // The delay between loudspeaker and microphone is not known on a desktop (the sound
    // server and the devices add their own): the canceller finds it.
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    // Tails beyond the normal filter's reach need the extended one.
    config.Set<webrtc::ExtendedFilter>(
        new webrtc::ExtendedFilter(echoLengthFor(echoLengthMs) > 256));
    auto processing = std::make_unique<Processing>();
    processing->apm.reset(webrtc::AudioProcessing::Create(config));
    if (!processing->apm)
        return;
    auto& apm = *processing->apm;
    if (apm.echo_cancellation()->Enable(true) != webrtc::AudioProcessing::kNoError ||
        apm.echo_cancellation()->set_suppression_level(
            webrtc::EchoCancellation::kHighSuppression) != webrtc::AudioProcessing::kNoError ||
        apm.noise_suppression()->set_level(webrtc::NoiseSuppression::kLow) !=
            webrtc::AudioProcessing::kNoError ||
        apm.noise_suppression()->Enable(true) != webrtc::AudioProcessing::kNoError)
        return;
    processing_ = std::move(processing);
}

KxEchoCanceller::~KxEchoCanceller() = default;

namespace {

bool load(webrtc::AudioFrame& frame, std::span<const std::int16_t> samples, unsigned rate)
{
    if (samples.size() != rate / 100 || samples.size() > webrtc::AudioFrame::kMaxDataSizeSamples)
        return false;
    frame.UpdateFrame(0, 0, samples.data(), samples.size(), int(rate),
                      webrtc::AudioFrame::kNormalSpeech, webrtc::AudioFrame::kVadUnknown, 1);
    return true;
}

} // namespace

bool KxEchoCanceller::far(std::span<const std::int16_t> frame)
{
    if (!processing_ || !load(processing_->frame, frame, rate_))
        return false;
    return processing_->apm->ProcessReverseStream(&processing_->frame) ==
           webrtc::AudioProcessing::kNoError;
}

bool KxEchoCanceller::near(std::span<std::int16_t> frame, int delayHintMs)
{
    if (!processing_ || !load(processing_->frame, frame, rate_))
        return false;
    auto& apm = *processing_->apm;
    apm.set_stream_delay_ms(std::clamp(delayHintMs, 0, 500));
    if (apm.ProcessStream(&processing_->frame) != webrtc::AudioProcessing::kNoError)
        return false;
    std::memcpy(frame.data(), processing_->frame.data_, frame.size_bytes());
    return true;
}
