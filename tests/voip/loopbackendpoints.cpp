#include "tests/voip/loopbackendpoints.h"

namespace voip::test {

bool CountingStream::onOpen()
{
    if (failOpen) {
        return false;
    }
    ++opened;
    return true;
}

void CountingStream::onClose()
{
    ++closed;
}

void LocalConnection::onRelease(EndReason)
{
    ++releases;
}

std::shared_ptr<MediaStream> LocalConnection::createMediaStream(const MediaFormat& format,
                                                                unsigned sessionId, bool isSource)
{
    auto stream = std::make_shared<CountingStream>(format, sessionId, isSource);
    stream->failOpen = failStreamOpen;
    return stream;
}

LocalEndpoint::LocalEndpoint(Manager& manager, std::string prefix)
    : EndPoint(manager, std::move(prefix))
{}

std::shared_ptr<Connection> LocalEndpoint::makeConnection(const std::shared_ptr<Call>& call,
                                                          const std::string& address,
                                                          const StringOptions& options)
{
    return std::make_shared<LocalConnection>(call, *this, address, options);
}

void LinkNetwork::attach(const std::string& name, LinkEndpoint* endpoint)
{
    std::lock_guard lock(mutex_);
    endpoints_[name] = endpoint;
}

void LinkNetwork::detach(const std::string& name)
{
    std::lock_guard lock(mutex_);
    endpoints_.erase(name);
}

LinkEndpoint* LinkNetwork::find(const std::string& name) const
{
    std::lock_guard lock(mutex_);
    auto found = endpoints_.find(name);
    return found == endpoints_.end() ? nullptr : found->second;
}

LinkConnection::LinkConnection(const std::shared_ptr<Call>& call, LinkEndpoint& endpoint,
                               std::string address)
    : Connection(call, endpoint, std::move(address))
    , link_(endpoint)
{}

bool LinkConnection::setUpConnection()
{
    LinkEndpoint* target = link_.network().find(address());
    if (!target) {
        return false;
    }
    setRemoteParty(target->displayName(), target->name());
    auto self = std::static_pointer_cast<LinkConnection>(shared_from_this());
    auto peer = target->incoming(self, link_.displayName(), link_.name());
    if (!peer) {
        return false;
    }
    link(peer);
    return true;
}

std::shared_ptr<LinkConnection> LinkConnection::peer()
{
    std::lock_guard lock(mutex_);
    return peer_.lock();
}

void LinkConnection::setAlerting()
{
    if (auto other = peer())
        other->onAlerting();
}

bool LinkConnection::setConnected()
{
    auto peer = this->peer();
    if (!peer) {
        return false;
    }
    peer->onConnected();
    if (link_.afterConnect)
        link_.afterConnect(*this);
    return true;
}

void LinkConnection::onRelease(EndReason reason)
{
    auto owner = call();
    const unsigned cause = q931CauseFromEndReason(reason, owner ? owner->endCause() : 0);
    std::shared_ptr<LinkConnection> peer;
    {
        std::lock_guard lock(mutex_);
        if (!remoteGone_) {
            peer = peer_.lock();
        }
        remoteGone_ = true;
    }
    if (peer) {
        causeSent = cause;
        peer->remoteReleased(cause);
    }
}

void LinkConnection::remoteReleased(unsigned cause)
{
    {
        std::lock_guard lock(mutex_);
        if (remoteGone_) {
            return;
        }
        remoteGone_ = true;
    }
    EndReason reason = endReasonFromQ931Cause(cause);
    const auto current = phase();
    // The caller hanging up before we answered is an abort, not a normal clearing.
    if (isOriginating() && reason == EndReason::RemoteUser &&
        (current == Phase::Setup || current == Phase::Alerting)) {
        reason = EndReason::CallerAbort;
    }
    if (auto owner = call()) {
        owner->clear(reason, reason == EndReason::Q931Cause ? cause : 0);
    }
}

bool LinkConnection::sendUserInputString(const std::string& value)
{
    auto peer = this->peer();
    if (!peer) {
        return false;
    }
    peer->OnUserInputString(value);
    return true;
}

void LinkConnection::link(const std::shared_ptr<LinkConnection>& peer)
{
    std::lock_guard lock(mutex_);
    peer_ = peer;
}

LinkEndpoint::LinkEndpoint(Manager& manager, LinkNetwork& network, std::string name,
                           std::string prefix)
    : EndPoint(manager, std::move(prefix))
    , network_(network)
    , name_(std::move(name))
{
    network_.attach(name_, this);
}

LinkEndpoint::~LinkEndpoint()
{
    network_.detach(name_);
}

std::shared_ptr<Connection> LinkEndpoint::makeConnection(const std::shared_ptr<Call>& call,
                                                         const std::string& address,
                                                         const StringOptions&)
{
    if (address.empty()) {
        return nullptr;
    }
    return newConnection(call, address);
}

std::shared_ptr<LinkConnection> LinkEndpoint::newConnection(const std::shared_ptr<Call>& call,
                                                            const std::string& address)
{
    return std::make_shared<LinkConnection>(call, *this, address);
}

std::shared_ptr<LinkConnection>
LinkEndpoint::incoming(const std::shared_ptr<LinkConnection>& caller, const std::string& callerName,
                       const std::string& callerAddress)
{
    auto call = manager().createCall();
    if (!call) {
        return nullptr;
    }
    auto connection = newConnection(call, callerAddress);
    connection->setRemoteParty(callerName, callerAddress);
    connection->setCalledPartyAddress(name_);
    connection->link(caller);
    call->startIncoming(connection);
    return connection;
}

RecordingManager::RecordingManager() = default;

RecordingManager::~RecordingManager()
{
    shutDown();
}

void RecordingManager::note(std::vector<std::string>& list, std::string value)
{
    {
        std::lock_guard lock(mutex);
        list.push_back(std::move(value));
    }
    changed.notify_all();
}

bool RecordingManager::OnIncomingConnection(Connection& connection, unsigned options,
                                            const StringOptions& stringOptions)
{
    if (std::this_thread::get_id() == testThread) {
        note(callbackThreadProblems, "OnIncomingConnection on the test thread");
    }
    note(incoming, connection.callToken());
    if (incomingPolicy && !incomingPolicy(connection)) {
        return false;
    }
    return Manager::OnIncomingConnection(connection, options, stringOptions);
}

AnswerCallResponse RecordingManager::OnAnswerCall(Connection& connection, const std::string& caller)
{
    if (std::this_thread::get_id() == testThread) {
        note(callbackThreadProblems, "OnAnswerCall on the test thread");
    }
    note(answerCallers, caller);
    if (answerPolicy) {
        return answerPolicy(connection, caller);
    }
    return Manager::OnAnswerCall(connection, caller);
}

void RecordingManager::OnAlerting(Connection& connection)
{
    note(alerting, connection.callToken());
    Manager::OnAlerting(connection);
}

void RecordingManager::OnEstablishedCall(Call& call)
{
    if (std::this_thread::get_id() == testThread) {
        note(callbackThreadProblems, "OnEstablishedCall on the test thread");
    }
    if (onEstablished) {
        onEstablished(call);
    }
    note(established, call.token());
    Manager::OnEstablishedCall(call);
}

void RecordingManager::OnClearedCall(Call& call)
{
    if (std::this_thread::get_id() == testThread) {
        note(callbackThreadProblems, "OnClearedCall on the test thread");
    }
    {
        std::lock_guard lock(mutex);
        cleared.push_back({call.token(), call.endReason(), call.isNetworkOriginated(),
                           call.isEstablished(), call.partyA(), call.partyB(),
                           call.wasAnswered()});
    }
    changed.notify_all();
    Manager::OnClearedCall(call);
}

bool RecordingManager::OnForwarded(Connection& connection, const std::string& remoteParty)
{
    note(forwarded, connection.callToken() + " " + remoteParty);
    return Manager::OnForwarded(connection, remoteParty);
}

bool RecordingManager::OnOpenMediaStream(Connection& connection, MediaStream& stream)
{
    if (openPolicy && !openPolicy(connection, stream)) {
        return false;
    }
    note(openedStreams, stream.describe());
    return Manager::OnOpenMediaStream(connection, stream);
}

void RecordingManager::OnClosedMediaStream(Connection& connection, MediaStream& stream)
{
    note(closedStreams, stream.describe());
    Manager::OnClosedMediaStream(connection, stream);
}

void RecordingManager::OnUserInputString(Connection& connection, const std::string& value)
{
    note(userInput, value);
    Manager::OnUserInputString(connection, value);
}

void RecordingManager::OnPresentation(Connection& connection, PresentationEvent event)
{
    note(presentations, std::string(presentationEventName(event)));
    Manager::OnPresentation(connection, event);
}

bool RecordingManager::waitUntil(const std::function<bool()>& done,
                                 std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, done);
}

} // namespace voip::test
