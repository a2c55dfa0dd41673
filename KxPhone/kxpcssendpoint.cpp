#include "KxPhone/kxpcssendpoint.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include <QSettings>

#include "KxPhone/kxaecsoundchannel.h"
#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxmanager.h"
#include "voip/media/stream.h"

namespace {

/// The encoder's pictures: the display's outgoing picture, read at the stream's rate.
class OutgoingPictureInput final : public voip::VideoInputDevice
{
public:
    explicit OutgoingPictureInput(KxDisplay& display)
        : display_(display)
    {}
    std::string driverName() const override { return "Kestrovia"; }
    voip::MediaStatus open(const voip::VideoInputParams& params) override
    {
        params_ = params;
        params_.frameRate = std::clamp(params.frameRate, 1u, 60u);
        next_ = std::chrono::steady_clock::now();
        open_ = true;
        return voip::MediaStatus();
    }
    voip::MediaStatus readFrame(voip::VideoFrame& frame) override
    {
        if (!open_)
            return voip::MediaFailure{voip::MediaError::NotOpen, "closed"};
        next_ += std::chrono::microseconds(1'000'000 / params_.frameRate);
        const auto now = std::chrono::steady_clock::now();
        if (next_ < now - std::chrono::milliseconds(200))
            next_ = now; // after a stall: on from now, no burst
        std::this_thread::sleep_until(next_);
        display_.readOutgoing(frame);
        if (frame.width < 16 || frame.height < 16 ||
            frame.data.size() != voip::VideoFrame::sizeFor(frame.width, frame.height))
            frame = voip::VideoFrame::black(params_.width, params_.height);
        return voip::MediaStatus();
    }
    void close() override { open_ = false; }
    bool isOpen() const override { return open_; }

private:
    KxDisplay& display_;
    voip::VideoInputParams params_;
    std::chrono::steady_clock::time_point next_;
    bool open_ = false;
};

/// The far end's decoded pictures, into the display's remote or content picture.
class ReceivedPictureOutput final : public voip::VideoOutput
{
public:
    ReceivedPictureOutput(KxDisplay& display, bool content)
        : display_(display)
        , content_(content)
    {}
    void showFrame(const voip::VideoFrame& frame) override
    {
        display_.writeReceived(frame, content_);
    }

private:
    KxDisplay& display_;
    const bool content_;
};

} // namespace

KxPCSSEndPoint::KxPCSSEndPoint(KxManager& manager)
    : voip::pcss::PcssEndPoint(manager, "pc")
    , manager_(manager)
{
    setVideoOutputFactory(
        [&manager](const voip::pcss::PcssConnection&, voip::pcss::VideoRole role) {
            return std::make_shared<ReceivedPictureOutput>(manager.display(),
                                                           role == voip::pcss::VideoRole::Content);
        });
}

bool KxPCSSEndPoint::hasVideoInput(const voip::pcss::PcssConnection&,
                                   voip::pcss::VideoRole role) const
{
    return role == voip::pcss::VideoRole::Main;
}

voip::MediaResult<std::unique_ptr<voip::VideoInputDevice>>
KxPCSSEndPoint::createVideoInputDevice(const voip::pcss::PcssConnection&,
                                       voip::pcss::VideoRole role) const
{
    if (role != voip::pcss::VideoRole::Main)
        return voip::MediaFailure{voip::MediaError::NotFound, "no content source"};
    return std::unique_ptr<voip::VideoInputDevice>(new OutgoingPictureInput(manager_.display()));
}

void KxPCSSEndPoint::applySoundDevices()
{
    QSettings& settings = manager_.settings();
    echoWanted_ = kxdefaults::read(settings, kxdefaults::AudioEcho);
    echoDuration_ = unsigned(kxdefaults::read(settings, kxdefaults::AudioEchoDuration));
    const std::string output = kxdefaults::read(settings, kxdefaults::AudioOutput).toStdString();
    if (setPlayDevice(output))
        std::cout << "Output device: " << playDevice() << std::endl;
    else
        std::cerr << "Failed to set play device!" << std::endl;
    const std::string input = kxdefaults::read(settings, kxdefaults::AudioInput).toStdString();
    if (setRecordDevice(input))
        std::cout << "Input device: " << recordDevice() << std::endl;
    else
        std::cerr << "Failed to set record device!" << std::endl;
}

std::shared_ptr<voip::pcss::PcssConnection>
KxPCSSEndPoint::createConnection(const std::shared_ptr<voip::Call>& call,
                                 const std::string& address, const std::string& playDevice,
                                 const std::string& recordDevice,
                                 const voip::StringOptions& options)
{
    return std::make_shared<KxPCSSConnection>(call, *this, address, playDevice, recordDevice,
                                              options);
}

std::shared_ptr<voip::SoundChannel>
KxPCSSEndPoint::createSoundChannel(const voip::pcss::PcssConnection& connection,
                                   const voip::MediaFormat& format, const std::string& device,
                                   bool isSource)
{
    if (isSource && echoWanted_) {
        if (auto channel = openEchoCancellingChannel(connection, format, device))
            return channel;
        std::cerr << "Windows AEC failed, falling back to DirectSound capture" << std::endl;
    }
    auto channel =
        voip::pcss::PcssEndPoint::createSoundChannel(connection, format, device, isSource);
    if (!channel)
        manager_.soundDeviceFailed(isSource);
    return channel;
}

std::shared_ptr<voip::SoundChannel>
KxPCSSEndPoint::openEchoCancellingChannel(const voip::pcss::PcssConnection& connection,
                                          const voip::MediaFormat& format,
                                          const std::string& device)
{
    // The loudspeaker's monitor, which the canceller listens to, is a sound server's.
    if (soundDriver() != voip::kPulseAudioDriver)
        return nullptr;
    unsigned rate = voip::pcmSampleRateFor(format);
    if (rate == 0)
        rate = format.clockRate();
    auto channel = std::make_shared<KxAecSoundChannel>();
    if (!channel->open(rate ? rate : 8000, device, connection.playDevice(), echoDuration_.load()))
        return nullptr;
    if (channel->sampleRate() != rate) {
        // The stream reads at the codec's rate: the canceller must work at it too.
        std::cerr << "Windows AEC: " << rate << " Hz not available" << std::endl;
        return nullptr;
    }
    return channel;
}

KxPCSSConnection::KxPCSSConnection(const std::shared_ptr<voip::Call>& call,
                                   KxPCSSEndPoint& endpoint, std::string address,
                                   std::string playDevice, std::string recordDevice,
                                   voip::StringOptions options)
    : voip::pcss::PcssConnection(call, endpoint, std::move(address), std::move(playDevice),
                                 std::move(recordDevice), std::move(options))
{
    std::cout << "Created PCSS Connection: " << describe() << std::endl;
}
