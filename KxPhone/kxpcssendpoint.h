#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "voip/pcss/pcssconnection.h"
#include "voip/pcss/pcssendpoint.h"

class KxManager;

/// The client's PC sound endpoint ("pc"): devices from the settings, and the echo
/// cancelling microphone when echo cancellation is on (falling back to the plain one).
class KxPCSSEndPoint : public voip::pcss::PcssEndPoint
{
public:
    explicit KxPCSSEndPoint(KxManager& manager);

    /// Makes the settings' `audio/output` and `audio/input` the play and record devices.
    void applySoundDevices();

    std::shared_ptr<voip::pcss::PcssConnection>
    createConnection(const std::shared_ptr<voip::Call>& call, const std::string& address,
                     const std::string& playDevice, const std::string& recordDevice,
                     const voip::StringOptions& options) override;
    std::shared_ptr<voip::SoundChannel>
    createSoundChannel(const voip::pcss::PcssConnection& connection,
                       const voip::MediaFormat& format, const std::string& device,
                       bool isSource) override;

    /// Whether recording goes through the echo canceller (setting `audio/echo`, copied
    /// on the GUI thread by applySoundDevices).
    bool echoWanted() const { return echoWanted_.load(); }

    /// A call always sends the display's outgoing picture as its main video (the
    /// no-input picture when there is no source); this client presents no content.
    bool hasVideoInput(const voip::pcss::PcssConnection& connection,
                       voip::pcss::VideoRole role) const override;
    voip::MediaResult<std::unique_ptr<voip::VideoInputDevice>>
    createVideoInputDevice(const voip::pcss::PcssConnection& connection,
                           voip::pcss::VideoRole role) const override;

private:
    /// The echo-cancelling microphone, or null when it cannot start.
    std::shared_ptr<voip::SoundChannel>
    openEchoCancellingChannel(const voip::pcss::PcssConnection& connection,
                              const voip::MediaFormat& format, const std::string& device);

    KxManager& manager_;
    std::atomic<bool> echoWanted_{false};
    std::atomic<unsigned> echoDuration_{256};
};

/// The client's local leg of a call.
class KxPCSSConnection : public voip::pcss::PcssConnection
{
public:
    KxPCSSConnection(const std::shared_ptr<voip::Call>& call, KxPCSSEndPoint& endpoint,
                     std::string address, std::string playDevice, std::string recordDevice,
                     voip::StringOptions options);
};
