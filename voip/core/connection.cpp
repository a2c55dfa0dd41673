#include "voip/core/connection.h"

#include <algorithm>

#include "voip/base/trace.h"
#include "voip/core/call.h"
#include "voip/core/endpoint.h"
#include "voip/core/manager.h"

namespace voip {

std::string_view phaseName(Connection::Phase phase)
{
    switch (phase) {
    case Connection::Phase::Setup:
        return "setup";
    case Connection::Phase::Alerting:
        return "alerting";
    case Connection::Phase::Connected:
        return "connected";
    case Connection::Phase::Established:
        return "established";
    case Connection::Phase::Releasing:
        return "releasing";
    case Connection::Phase::Released:
        return "released";
    }
    return "unknown";
}

Connection::Connection(const std::shared_ptr<Call>& call, EndPoint& endpoint, std::string address,
                       StringOptions options)
    : call_(call)
    , endpoint_(endpoint)
    , callToken_(call ? call->token() : std::string())
    , address_(std::move(address))
    , options_(std::move(options))
{}

Connection::~Connection() = default;

Manager& Connection::manager() const
{
    return endpoint_.manager();
}

bool Connection::isOriginating() const
{
    auto owner = call();
    return owner && owner->connection(0).get() == this;
}

std::shared_ptr<Connection> Connection::otherParty() const
{
    auto owner = call();
    return owner ? owner->otherParty(*this) : nullptr;
}

std::string Connection::remotePartyName() const
{
    std::lock_guard lock(mutex_);
    return remoteName_;
}

std::string Connection::remotePartyAddress() const
{
    std::lock_guard lock(mutex_);
    return remoteAddress_;
}

void Connection::setRemoteParty(std::string name, std::string address)
{
    std::lock_guard lock(mutex_);
    remoteName_ = std::move(name);
    remoteAddress_ = std::move(address);
}

std::string Connection::remotePartyText() const
{
    std::lock_guard lock(mutex_);
    if (remoteAddress_.empty()) {
        return remoteName_;
    }
    const std::string& name = remoteName_.empty() ? remoteAddress_ : remoteName_;
    return name + " [" + remoteAddress_ + "]";
}

std::string Connection::calledPartyAddress() const
{
    std::lock_guard lock(mutex_);
    return calledAddress_;
}

void Connection::setCalledPartyAddress(std::string address)
{
    std::lock_guard lock(mutex_);
    calledAddress_ = std::move(address);
}

Connection::Phase Connection::phase() const
{
    std::lock_guard lock(mutex_);
    return phase_;
}

void Connection::setPhase(Phase phase)
{
    std::lock_guard lock(mutex_);
    if (!released_) {
        phase_ = phase;
    }
}

bool Connection::isReleased() const
{
    std::lock_guard lock(mutex_);
    return released_;
}

EndReason Connection::endReason() const
{
    {
        std::lock_guard lock(mutex_);
        if (phase_ == Phase::Releasing || phase_ == Phase::Released) {
            return endReason_;
        }
    }
    auto owner = call();
    return owner ? owner->endReason() : EndReason::LocalUser;
}

std::string Connection::describe() const
{
    return endpoint_.prefix() + ":" + callToken_ + (isOriginating() ? "/A" : "/B");
}

AnswerCallResponse Connection::OnAnswerCall(const std::string& caller)
{
    return endpoint_.OnAnswerCall(*this, caller);
}

void Connection::onAlerting()
{
    if (auto owner = call()) {
        owner->post([owner, self = shared_from_this()] { owner->handleAlerting(self); });
    }
}

void Connection::onConnected()
{
    if (auto owner = call()) {
        owner->post([owner, self = shared_from_this()] { owner->handleConnected(self); });
    }
}

void Connection::release(EndReason reason)
{
    if (auto owner = call()) {
        owner->clear(reason);
    }
}

void Connection::forwardCall(const std::string& destination)
{
    if (auto owner = call()) {
        owner->post([owner, self = shared_from_this(), destination] {
            owner->handleForward(self, destination);
        });
    }
}

bool Connection::acceptIncoming()
{
    auto owner = call();
    if (!owner || isOriginating() || owner->isClearing()) {
        return false;
    }
    {
        std::lock_guard lock(owner->mutex_);
        if (!owner->incoming_ || owner->answered_) {
            return false;
        }
    }
    return owner->post([owner] { owner->answer(); });
}

bool Connection::rejectIncoming(EndReason reason)
{
    auto owner = call();
    if (!owner || isOriginating()) {
        return false;
    }
    {
        std::lock_guard lock(owner->mutex_);
        if (!owner->incoming_ || owner->answered_) {
            return false;
        }
    }
    return owner->clear(reason);
}

std::shared_ptr<MediaStream> Connection::createMediaStream(const MediaFormat&, unsigned, bool)
{
    return nullptr;
}

std::shared_ptr<MediaStream> Connection::openMediaStream(const MediaFormat& format,
                                                         unsigned sessionId, bool isSource)
{
    if (isReleased()) {
        return nullptr;
    }
    auto stream = createMediaStream(format, sessionId, isSource);
    if (!stream) {
        VOIP_TRACE(3, "Core\tNo stream for " << format.name() << " on " << describe());
        return nullptr;
    }
    if (!stream->open()) {
        VOIP_TRACE(2, "Core\tCould not open " << stream->describe() << " on " << describe());
        return nullptr;
    }
    {
        std::lock_guard lock(mutex_);
        if (released_ || phase_ == Phase::Releasing) {
            stream->close();
            return nullptr;
        }
        streams_.push_back(stream);
    }
    if (!manager().OnOpenMediaStream(*this, *stream)) {
        {
            std::lock_guard lock(mutex_);
            std::erase(streams_, stream);
        }
        stream->close();
        return nullptr;
    }
    VOIP_TRACE(3, "Core\tOpened " << stream->describe() << " on " << describe());
    return stream;
}

bool Connection::closeMediaStream(const std::shared_ptr<MediaStream>& stream)
{
    {
        std::lock_guard lock(mutex_);
        if (std::erase(streams_, stream) == 0) {
            return false;
        }
    }
    stream->close();
    manager().OnClosedMediaStream(*this, *stream);
    return true;
}

void Connection::closeAllMediaStreams()
{
    std::vector<std::shared_ptr<MediaStream>> streams;
    {
        std::lock_guard lock(mutex_);
        streams.swap(streams_);
    }
    for (const auto& stream : streams) {
        stream->close();
        manager().OnClosedMediaStream(*this, *stream);
    }
}

std::shared_ptr<MediaStream> Connection::findMediaStream(unsigned sessionId, bool isSource) const
{
    std::lock_guard lock(mutex_);
    for (const auto& stream : streams_) {
        if (stream->sessionId() == sessionId && stream->isSource() == isSource) {
            return stream;
        }
    }
    return nullptr;
}

std::shared_ptr<MediaStream> Connection::findMediaStream(MediaType type, bool isSource) const
{
    std::lock_guard lock(mutex_);
    for (const auto& stream : streams_) {
        if (stream->mediaFormat().mediaType() == type && stream->isSource() == isSource) {
            return stream;
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<MediaStream>> Connection::mediaStreams() const
{
    std::lock_guard lock(mutex_);
    return streams_;
}

MediaFormatList Connection::mediaFormatsToOffer() const
{
    return endpoint_.mediaFormatsToOffer();
}

bool Connection::joinMediaStream(Connection&, MediaStream&)
{
    return true;
}

void Connection::unjoinMediaStream(Connection&, MediaStream&) {}

bool Connection::sendUserInputString(const std::string&)
{
    return false;
}

std::string_view presentationEventName(PresentationEvent event)
{
    switch (event) {
    case PresentationEvent::RemoteStarted:
        return "remote-started";
    case PresentationEvent::RemoteStopped:
        return "remote-stopped";
    case PresentationEvent::LocalStarted:
        return "local-started";
    case PresentationEvent::LocalRefused:
        return "local-refused";
    case PresentationEvent::LocalStopped:
        return "local-stopped";
    }
    return "unknown";
}

void Connection::OnUserInputString(const std::string& value)
{
    manager().OnUserInputString(*this, value);
}

void Connection::releaseNow(EndReason reason)
{
    {
        std::lock_guard lock(mutex_);
        if (released_ || phase_ == Phase::Releasing) {
            return;
        }
        phase_ = Phase::Releasing;
        endReason_ = reason;
    }
    onRelease(reason);
    closeAllMediaStreams();
    std::lock_guard lock(mutex_);
    phase_ = Phase::Released;
    released_ = true;
}

bool Connection::requestVideoUpdate(unsigned)
{
    return false;
}

void Connection::OnVideoUpdateRequested(unsigned) {}

void Connection::OnMediaFlowControl(unsigned, std::uint64_t) {}

void Connection::OnMediaPathRate(unsigned, std::uint64_t) {}

} // namespace voip
