#include "KxPhone/kxpcssendpoint.h"

#include <iostream>

#include <QSettings>

#include "KxPhone/kxmanager.h"

KxPCSSEndPoint::KxPCSSEndPoint(KxManager& manager)
    : voip::pcss::PcssEndpoint(manager, "pc")
    , manager_(manager)
{
}

void KxPCSSEndPoint::applySoundDevices()
{
    QSettings& settings = manager_.settings();
    echoWanted_ = settings.value("audio/echo").toBool();
    const std::string output = settings.value("audio/output").toString().toStdString();
    if (setPlayDevice(output))
        std::cout << "Output device: " << playDevice() << std::endl;
    else
        std::cerr << "Failed to set play device!" << std::endl;
    const std::string input = settings.value("audio/input").toString().toStdString();
    if (setRecordDevice(input))
        std::cout << "Input device: " << recordDevice() << std::endl;
    else
        std::cerr << "Failed to set record device!" << std::endl;
}

std::shared_ptr<voip::pcss::PcssConnection>
KxPCSSEndPoint::createConnection(const std::shared_ptr<voip::Call>& call, const std::string& address,
                                 const std::string& playDevice, const std::string& recordDevice,
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
        if (auto channel = openEchoCancellingChannel(connection, format))
            return channel;
        std::cerr << "Windows AEC failed, falling back to DirectSound capture" << std::endl;
    }
    return voip::pcss::PcssEndpoint::createSoundChannel(connection, format, device, isSource);
}

std::shared_ptr<voip::SoundChannel>
KxPCSSEndPoint::openEchoCancellingChannel(const voip::pcss::PcssConnection&,
                                          const voip::MediaFormat&)
{
    // The echo canceller is not part of this build yet: the plain microphone is used.
    return nullptr;
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
