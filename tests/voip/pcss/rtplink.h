#pragma once

// A network endpoint for tests of the media path without H.323: calls are signalled
// in-process between two managers (as the core tests' link endpoints do), and the media of
// each call goes over real RTP sessions on loopback, opened when the test starts them, the
// way an H.323 connection opens them when its logical channels open.

#include <functional>
#include <memory>
#include <string>

#include "tests/voip/loopbackendpoints.h"
#include "voip/pcss/pcssendpoint.h"
#include "voip/rtp/rtpsession.h"

namespace voip::test {

/// The link endpoints' network, by name.
using RtpLinkNetwork = LinkNetwork;

/// A link connection whose media goes over an RTP session of its own.
class RtpLinkConnection : public LinkConnection
{
public:
    using LinkConnection::LinkConnection;
    ~RtpLinkConnection() override;

    /// Opens this side's RTP session on loopback; false when no port pair is free.
    bool openSession(const MediaFormat& format);
    rtp::RtpSession* session() const { return session_.get(); }
    /// Opens the audio channels of both directions on this leg: a receive stream and
    /// a transmit stream on the session, as an H.323 leg does when its channels open.
    bool openChannels(const MediaFormat& format);

protected:
    std::shared_ptr<MediaStream> createMediaStream(const MediaFormat& format, unsigned sessionId,
                                                   bool isSource) override;

private:
    std::shared_ptr<rtp::RtpSession> session_;
};

/// The "net" endpoint of a terminal, whose connections are RTP link connections.
class RtpLinkEndpoint : public LinkEndpoint
{
public:
    RtpLinkEndpoint(Manager& manager, LinkNetwork& network, std::string name)
        : LinkEndpoint(manager, network, std::move(name), "net")
    {}

protected:
    std::shared_ptr<LinkConnection> newConnection(const std::shared_ptr<Call>& call,
                                                  const std::string& address) override
    {
        return std::make_shared<RtpLinkConnection>(call, *this, address);
    }
};

/// Both legs' sessions of a call are opened, pointed at each other (or at what `route`
/// says: a relay's port for RTP), and the channels of both legs opened.
struct MediaRoute
{
    /// Where `from` sends its RTP to reach `to`; default: to's own RTP port.
    std::function<uint16_t(const rtp::RtpSession& from, const rtp::RtpSession& to)> rtpPortFor;
};
bool startMedia(RtpLinkConnection& caller, const MediaFormat& format, const MediaRoute& route = {});

/// A manager with a PC sound endpoint and an RTP link endpoint; the default stream
/// callbacks (through RecordingManager) join the call's streams.
class AudioManager : public RecordingManager
{
public:
    using PcssFactory = std::function<std::unique_ptr<pcss::PcssEndPoint>(Manager&)>;
    /// `makePcss` makes the PC endpoint (default: a plain PcssEndPoint).
    AudioManager(RtpLinkNetwork& network, const std::string& name, PcssFactory makePcss = {});
    ~AudioManager() override;

    pcss::PcssEndPoint* pcss = nullptr;
    RtpLinkEndpoint* link = nullptr;
};

} // namespace voip::test
