#pragma once

// A network endpoint for tests of the media path without H.323: calls are signalled
// in-process between two managers (as the core tests' link endpoints do), and the media of
// each call goes over real RTP sessions on loopback, opened when the test starts them, the
// way an H.323 connection opens them when its logical channels open.

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "tests/voip/loopbackendpoints.h"
#include "voip/pcss/pcssendpoint.h"
#include "voip/rtp/rtpsession.h"

namespace voip::test {

class RtpLinkEndpoint;

/// Names to endpoints: the "network" the RTP link endpoints dial into.
class RtpLinkNetwork
{
public:
    void attach(const std::string& name, RtpLinkEndpoint* endpoint);
    void detach(const std::string& name);
    RtpLinkEndpoint* find(const std::string& name) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, RtpLinkEndpoint*> endpoints_;
};

class RtpLinkConnection : public Connection
{
public:
    RtpLinkConnection(const std::shared_ptr<Call>& call, RtpLinkEndpoint& endpoint,
                      std::string address);
    ~RtpLinkConnection() override;
    bool isNetworkConnection() const override { return true; }
    bool setUpConnection() override;
    void setAlerting() override;
    bool setConnected() override;
    void onRelease(EndReason reason) override;

    void link(const std::shared_ptr<RtpLinkConnection>& peer);
    void remoteReleased();
    std::shared_ptr<RtpLinkConnection> peer() const;

    /// Opens this side's RTP session on the manager's RTP range and loopback; false
    /// when no port pair is free.
    bool openSession(const MediaFormat& format);
    rtp::RtpSession* session() const { return session_.get(); }
    /// Opens the audio channels of both directions on this leg: a receive stream and
    /// a transmit stream on the session, as an H.323 leg does when its channels open.
    bool openChannels(const MediaFormat& format);

protected:
    std::shared_ptr<MediaStream> createMediaStream(const MediaFormat& format, unsigned sessionId,
                                                   bool isSource) override;

private:
    RtpLinkEndpoint& link_;
    mutable std::mutex mutex_; // guards peer_, remoteGone_
    std::weak_ptr<RtpLinkConnection> peer_;
    bool remoteGone_ = false;
    std::shared_ptr<rtp::RtpSession> session_;
};

class RtpLinkEndpoint : public EndPoint
{
public:
    RtpLinkEndpoint(Manager& manager, RtpLinkNetwork& network, std::string name);
    ~RtpLinkEndpoint() override;
    std::shared_ptr<Connection> makeConnection(const std::shared_ptr<Call>& call,
                                               const std::string& address,
                                               const StringOptions& options) override;
    RtpLinkNetwork& network() { return network_; }
    const std::string& name() const { return name_; }
    std::shared_ptr<RtpLinkConnection> incoming(const std::shared_ptr<RtpLinkConnection>& caller,
                                                const std::string& callerName,
                                                const std::string& callerAddress);

private:
    RtpLinkNetwork& network_;
    const std::string name_;
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
