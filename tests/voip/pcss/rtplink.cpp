#include "tests/voip/pcss/rtplink.h"

#include "voip/core/call.h"
#include "voip/core/manager.h"
#include "voip/media/stream_rtp.h"

namespace voip::test {

RtpLinkConnection::~RtpLinkConnection()
{
    if (session_)
        session_->stop();
}

bool RtpLinkConnection::openSession(const MediaFormat& format)
{
    rtp::SessionConfig config;
    config.localAddress = asio::ip::make_address("127.0.0.1");
    config.mediaFormat = format.name();
    config.jitter.clockRate = format.clockRate() == 0 ? 8000 : format.clockRate();
    auto opened = rtp::RtpSession::open(config);
    if (!opened)
        return false;
    session_ = opened.take();
    return true;
}

bool RtpLinkConnection::openChannels(const MediaFormat& format)
{
    auto receive = openMediaStream(format, AudioSessionId, true);
    auto transmit = openMediaStream(format, AudioSessionId, false);
    return receive && transmit;
}

std::shared_ptr<MediaStream> RtpLinkConnection::createMediaStream(const MediaFormat& format,
                                                                  unsigned sessionId, bool isSource)
{
    if (!session_ || format.mediaType() != MediaType::Audio)
        return nullptr;
    return std::make_shared<RtpMediaStream>(session_, format, sessionId, isSource);
}

bool startMedia(RtpLinkConnection& caller, const MediaFormat& format, const MediaRoute& route)
{
    auto callee = std::dynamic_pointer_cast<RtpLinkConnection>(caller.peer());
    if (!callee || !caller.openSession(format) || !callee->openSession(format))
        return false;
    auto& a = *caller.session();
    auto& b = *callee->session();
    const auto loopback = asio::ip::make_address("127.0.0.1");
    auto portFor = [&](const rtp::RtpSession& from, const rtp::RtpSession& to) {
        return route.rtpPortFor ? route.rtpPortFor(from, to) : to.localRtpPort();
    };
    a.setRemote(loopback, portFor(a, b), b.localRtcpPort());
    b.setRemote(loopback, portFor(b, a), a.localRtcpPort());
    return caller.openChannels(format) && callee->openChannels(format);
}

AudioManager::AudioManager(RtpLinkNetwork& network, const std::string& name, PcssFactory makePcss)
{
    setDefaultDisplayName(name + " display");
    pcss = static_cast<pcss::PcssEndPoint*>(
        attachEndPoint(makePcss ? makePcss(*this) : std::make_unique<pcss::PcssEndPoint>(*this)));
    link = static_cast<RtpLinkEndpoint*>(
        attachEndPoint(std::make_unique<RtpLinkEndpoint>(*this, network, name)));
    addRoute("net:.* = pc:");
    addRoute("pc:.*  = net:<da>");
}

AudioManager::~AudioManager()
{
    shutDown();
}

} // namespace voip::test
