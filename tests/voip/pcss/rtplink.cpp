#include "tests/voip/pcss/rtplink.h"

#include "voip/core/call.h"
#include "voip/core/manager.h"
#include "voip/media/stream_rtp.h"

namespace voip::test {

void RtpLinkNetwork::attach(const std::string& name, RtpLinkEndpoint* endpoint)
{
    std::lock_guard lock(mutex_);
    endpoints_[name] = endpoint;
}

void RtpLinkNetwork::detach(const std::string& name)
{
    std::lock_guard lock(mutex_);
    endpoints_.erase(name);
}

RtpLinkEndpoint* RtpLinkNetwork::find(const std::string& name) const
{
    std::lock_guard lock(mutex_);
    auto found = endpoints_.find(name);
    return found == endpoints_.end() ? nullptr : found->second;
}

RtpLinkConnection::RtpLinkConnection(const std::shared_ptr<Call>& call, RtpLinkEndpoint& endpoint,
                                     std::string address)
    : Connection(call, endpoint, std::move(address))
    , link_(endpoint)
{}

RtpLinkConnection::~RtpLinkConnection()
{
    if (session_)
        session_->stop();
}

bool RtpLinkConnection::setUpConnection()
{
    RtpLinkEndpoint* target = link_.network().find(address());
    if (!target)
        return false;
    setRemoteParty(target->displayName(), target->name());
    auto self = std::static_pointer_cast<RtpLinkConnection>(shared_from_this());
    auto peer = target->incoming(self, link_.displayName(), link_.name());
    if (!peer)
        return false;
    link(peer);
    return true;
}

std::shared_ptr<RtpLinkConnection> RtpLinkConnection::peer() const
{
    std::lock_guard lock(mutex_);
    return peer_.lock();
}

void RtpLinkConnection::setAlerting()
{
    if (auto other = peer())
        other->onAlerting();
}

bool RtpLinkConnection::setConnected()
{
    auto other = peer();
    if (!other)
        return false;
    other->onConnected();
    return true;
}

void RtpLinkConnection::onRelease(EndReason)
{
    std::shared_ptr<RtpLinkConnection> other;
    {
        std::lock_guard lock(mutex_);
        if (!remoteGone_)
            other = peer_.lock();
        remoteGone_ = true;
    }
    if (other)
        other->remoteReleased();
}

void RtpLinkConnection::remoteReleased()
{
    {
        std::lock_guard lock(mutex_);
        if (remoteGone_)
            return;
        remoteGone_ = true;
    }
    if (auto owner = call())
        owner->clear(EndReason::RemoteUser);
}

void RtpLinkConnection::link(const std::shared_ptr<RtpLinkConnection>& peer)
{
    std::lock_guard lock(mutex_);
    peer_ = peer;
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

RtpLinkEndpoint::RtpLinkEndpoint(Manager& manager, RtpLinkNetwork& network, std::string name)
    : EndPoint(manager, "net")
    , network_(network)
    , name_(std::move(name))
{
    network_.attach(name_, this);
}

RtpLinkEndpoint::~RtpLinkEndpoint()
{
    network_.detach(name_);
}

std::shared_ptr<Connection> RtpLinkEndpoint::makeConnection(const std::shared_ptr<Call>& call,
                                                            const std::string& address,
                                                            const StringOptions&)
{
    if (address.empty())
        return nullptr;
    return std::make_shared<RtpLinkConnection>(call, *this, address);
}

std::shared_ptr<RtpLinkConnection>
RtpLinkEndpoint::incoming(const std::shared_ptr<RtpLinkConnection>& caller,
                          const std::string& callerName, const std::string& callerAddress)
{
    auto call = manager().createCall();
    if (!call)
        return nullptr;
    auto connection = std::make_shared<RtpLinkConnection>(call, *this, callerAddress);
    connection->setRemoteParty(callerName, callerAddress);
    connection->setCalledPartyAddress(name_);
    connection->link(caller);
    call->startIncoming(connection);
    return connection;
}

bool startMedia(RtpLinkConnection& caller, const MediaFormat& format, const MediaRoute& route)
{
    auto callee = caller.peer();
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
