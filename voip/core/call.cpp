#include "voip/core/call.h"

#include <algorithm>
#include <exception>

#include "voip/base/trace.h"
#include "voip/core/connection.h"
#include "voip/core/endpoint.h"
#include "voip/core/manager.h"
#include "voip/core/route.h"

namespace voip {

Call::Call(Manager& manager, std::string token)
    : manager_(manager)
    , token_(std::move(token))
    , startTime_(std::chrono::system_clock::now())
{}

Call::~Call()
{
    {
        std::lock_guard lock(queueMutex_);
        stopping_ = true;
        queue_.clear();
    }
    queueChanged_.notify_all();
    if (thread_.joinable()) {
        if (std::this_thread::get_id() == thread_.get_id()) {
            thread_.detach(); // the last reference went away inside a job of this call
        } else {
            thread_.join();
        }
    }
}

void Call::startThread()
{
    thread_ = std::thread([this] { run(); });
    threadId_ = thread_.get_id();
}

void Call::run()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(queueMutex_);
            queueChanged_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) {
                return; // stopped before it finished: the manager is not told
            }
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        try {
            job();
        } catch (const std::exception& error) {
            VOIP_TRACE(1, "Core\tUnhandled error in " << describe() << ": " << error.what());
        } catch (...) {
            VOIP_TRACE(1, "Core\tUnhandled error in " << describe());
        }
        if (isCleared()) {
            break;
        }
    }
    {
        std::lock_guard lock(queueMutex_);
        stopping_ = true;
        queue_.clear();
    }
    manager_.callFinished(token_);
}

bool Call::post(std::function<void()> job)
{
    {
        std::lock_guard lock(queueMutex_);
        if (stopping_) {
            return false;
        }
        queue_.push_back(std::move(job));
    }
    queueChanged_.notify_one();
    return true;
}

bool Call::isCallThread() const
{
    return std::this_thread::get_id() == threadId_;
}

void Call::addConnection(const std::shared_ptr<Connection>& connection)
{
    std::lock_guard access(accessMutex_);
    std::lock_guard lock(mutex_);
    connections_.push_back(connection);
}

std::vector<std::shared_ptr<Connection>> Call::connections() const
{
    std::lock_guard lock(mutex_);
    return connections_;
}

std::shared_ptr<Connection> Call::connection(std::size_t index) const
{
    std::lock_guard lock(mutex_);
    return index < connections_.size() ? connections_[index] : nullptr;
}

std::shared_ptr<Connection> Call::networkConnection() const
{
    for (const auto& connection : connections()) {
        if (connection->isNetworkConnection()) {
            return connection;
        }
    }
    return nullptr;
}

std::shared_ptr<Connection> Call::localConnection() const
{
    for (const auto& connection : connections()) {
        if (!connection->isNetworkConnection()) {
            return connection;
        }
    }
    return nullptr;
}

std::shared_ptr<Connection> Call::otherParty(const Connection& connection) const
{
    for (const auto& other : connections()) {
        if (other.get() != &connection) {
            return other;
        }
    }
    return nullptr;
}

std::string Call::partyA() const
{
    auto first = connection(0);
    return first ? first->remotePartyText() : std::string();
}

std::string Call::partyB() const
{
    auto second = connection(1);
    return second ? second->remotePartyText() : std::string();
}

bool Call::isNetworkOriginated() const
{
    auto first = connection(0);
    return first && first->isNetworkConnection();
}

bool Call::isEstablished() const
{
    std::lock_guard lock(mutex_);
    return established_;
}

bool Call::wasAnswered() const
{
    std::lock_guard lock(mutex_);
    return answered_ || connectReceived_;
}

bool Call::isClearing() const
{
    std::lock_guard lock(mutex_);
    return clearing_;
}

bool Call::isCleared() const
{
    std::lock_guard lock(mutex_);
    return cleared_;
}

EndReason Call::endReason() const
{
    std::lock_guard lock(mutex_);
    return endReason_;
}

unsigned Call::endCause() const
{
    std::lock_guard lock(mutex_);
    return endCause_;
}

std::string Call::endReasonText() const
{
    return std::string(voip::endReasonText(endReason()));
}

std::string Call::describe() const
{
    return "Call[" + token_ + "]";
}

bool Call::clear(EndReason reason, unsigned q931Cause)
{
    {
        std::lock_guard lock(mutex_);
        if (clearing_) {
            return false;
        }
        clearing_ = true;
        endReason_ = reason;
        endCause_ = q931Cause;
    }
    VOIP_TRACE(3, "Core\tClearing " << describe() << ": " << voip::endReasonText(reason));
    post([self = shared_from_this()] { self->handleClear(); });
    return true;
}

bool Call::waitForCleared(std::chrono::milliseconds timeout) const
{
    if (isCallThread()) {
        return false;
    }
    std::unique_lock lock(mutex_);
    return clearedChanged_.wait_for(lock, timeout, [this] { return cleared_; });
}

void Call::startIncoming(const std::shared_ptr<Connection>& connection)
{
    {
        std::lock_guard lock(mutex_);
        incoming_ = true;
    }
    addConnection(connection);
    post([self = shared_from_this()] { self->handleIncoming(); });
}

std::shared_ptr<Connection> Call::routeAndMake(const Connection& from, const std::string& dialled)
{
    const auto prefixes = manager_.endpointPrefixes();
    std::string destination;
    if (splitPrefix(dialled, prefixes)) {
        destination = dialled;
    } else if (auto routed = manager_.routes().route(from.endpoint().prefix(), dialled)) {
        destination = *routed;
    } else {
        VOIP_TRACE(2, "Core\tNo route from " << from.endpoint().prefix() << " to \"" << dialled
                                             << "\"");
        return nullptr;
    }
    auto target = splitPrefix(destination, prefixes);
    if (!target) {
        VOIP_TRACE(2, "Core\tRoute gives \"" << destination << "\", which no endpoint takes");
        return nullptr;
    }
    EndPoint* endpoint = manager_.findEndPoint(target->first);
    if (!endpoint) {
        return nullptr;
    }
    return endpoint->makeConnection(shared_from_this(), target->second, from.stringOptions());
}

void Call::setUpOutgoing(const std::string& destination)
{
    auto first = connection(0);
    if (!first || isClearing()) {
        return;
    }
    placeSecondLeg(*first, destination);
}

std::shared_ptr<Connection> Call::placeSecondLeg(const Connection& first,
                                                 const std::string& dialled)
{
    auto second = routeAndMake(first, dialled);
    if (!second) {
        clear(EndReason::NoEndPoint);
        return nullptr;
    }
    addConnection(second);
    if (!second->setUpConnection()) {
        clear(EndReason::ConnectFail);
        return nullptr;
    }
    return second;
}

void Call::handleIncoming()
{
    auto first = connection(0);
    if (!first || isClearing()) {
        return;
    }
    if (!manager_.OnIncomingConnection(*first, 0, first->stringOptions())) {
        clear(EndReason::NoAccept);
        return;
    }
    if (isClearing()) {
        return;
    }
    auto second = placeSecondLeg(*first, first->calledPartyAddress());
    if (!second || isClearing()) {
        return;
    }
    second->setPhase(Connection::Phase::Alerting);
    first->setAlerting();
    first->setPhase(Connection::Phase::Alerting);
    {
        std::lock_guard lock(mutex_);
        answerPending_ = true;
    }
    switch (first->OnAnswerCall(first->remotePartyText())) {
    case AnswerCallResponse::AnswerNow:
        answer();
        break;
    case AnswerCallResponse::Deny:
        clear(EndReason::AnswerDenied);
        break;
    case AnswerCallResponse::Pending:
        break;
    }
}

void Call::answer()
{
    {
        std::lock_guard lock(mutex_);
        if (!answerPending_ || answered_ || clearing_) {
            return;
        }
        answered_ = true;
        answerPending_ = false;
    }
    for (const auto& leg : connections()) {
        const auto phase = leg->phase();
        if (phase == Connection::Phase::Setup || phase == Connection::Phase::Alerting) {
            // Connected from the moment the answer goes out: a release crossing it is a
            // clearing of an answered call.
            leg->setPhase(Connection::Phase::Connected);
            if (!leg->setConnected()) {
                clear(EndReason::ConnectFail);
                return;
            }
        }
    }
    checkEstablished();
}

void Call::handleAlerting(const std::shared_ptr<Connection>& connection)
{
    if (isClearing() || connection->phase() != Connection::Phase::Setup) {
        return;
    }
    connection->setPhase(Connection::Phase::Alerting);
    for (const auto& leg : connections()) {
        if (leg != connection && leg->phase() == Connection::Phase::Setup) {
            leg->setAlerting();
        }
    }
    manager_.OnAlerting(*connection);
}

void Call::handleConnected(const std::shared_ptr<Connection>& connection)
{
    if (isClearing()) {
        return;
    }
    const auto phase = connection->phase();
    if (phase != Connection::Phase::Setup && phase != Connection::Phase::Alerting) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        connectReceived_ = true;
    }
    connection->setPhase(Connection::Phase::Connected);
    for (const auto& leg : connections()) {
        const auto legPhase = leg->phase();
        if (leg != connection &&
            (legPhase == Connection::Phase::Setup || legPhase == Connection::Phase::Alerting)) {
            leg->setPhase(Connection::Phase::Connected);
            if (!leg->setConnected()) {
                clear(EndReason::ConnectFail);
                return;
            }
        }
    }
    checkEstablished();
}

void Call::checkEstablished()
{
    const auto legs = connections();
    if (legs.size() < 2 || isClearing()) {
        return;
    }
    for (const auto& leg : legs) {
        if (leg->phase() != Connection::Phase::Connected) {
            return;
        }
    }
    {
        std::lock_guard access(accessMutex_);
        std::lock_guard lock(mutex_);
        if (established_) {
            return;
        }
        established_ = true;
    }
    for (const auto& leg : legs) {
        leg->setPhase(Connection::Phase::Established);
    }
    VOIP_TRACE(3, "Core\tEstablished " << describe());
    manager_.OnEstablishedCall(*this);
}

void Call::handleForward(const std::shared_ptr<Connection>& connection,
                         const std::string& destination)
{
    if (isClearing() || connection->isReleased()) {
        return;
    }
    if (!manager_.OnForwarded(*connection, destination)) {
        return;
    }
    EndPoint& endpoint = connection->endpoint();
    std::string address = destination;
    if (auto split = splitPrefix(destination, {endpoint.prefix()})) {
        address = split->second;
    }
    auto replacement =
        endpoint.makeConnection(shared_from_this(), address, connection->stringOptions());
    if (!replacement) {
        clear(EndReason::CallForwarded);
        return;
    }
    connection->releaseNow(EndReason::CallForwarded);
    {
        std::lock_guard access(accessMutex_);
        std::lock_guard lock(mutex_);
        std::replace(connections_.begin(), connections_.end(), connection, replacement);
    }
    VOIP_TRACE(2, "Core\tForwarding " << describe() << " to " << destination);
    if (!replacement->setUpConnection()) {
        clear(EndReason::ConnectFail);
    }
}

void Call::handleClear()
{
    const EndReason reason = endReason();
    for (const auto& leg : connections()) {
        leg->releaseNow(reason);
    }
    manager_.OnClearedCall(*this);
    {
        std::lock_guard access(accessMutex_);
        std::lock_guard lock(mutex_);
        cleared_ = true;
    }
    clearedChanged_.notify_all();
    VOIP_TRACE(3, "Core\tCleared " << describe() << ": " << voip::endReasonText(reason));
}

LockedCall::LockedCall(std::shared_ptr<Call> call)
    : call_(std::move(call))
{
    if (call_) {
        lock_ = std::unique_lock(call_->accessMutex_);
        call_->accessHolder_ = std::this_thread::get_id();
    }
}

LockedCall::~LockedCall()
{
    reset();
}

LockedCall::LockedCall(LockedCall&& other) noexcept
    : call_(std::move(other.call_))
    , lock_(std::move(other.lock_))
{}

LockedCall& LockedCall::operator=(LockedCall&& other) noexcept
{
    if (this != &other) {
        reset();
        call_ = std::move(other.call_);
        lock_ = std::move(other.lock_);
    }
    return *this;
}

void LockedCall::reset()
{
    if (call_ && lock_.owns_lock()) {
        call_->accessHolder_ = std::thread::id();
        lock_.unlock();
    }
    lock_ = {};
    call_.reset();
}

} // namespace voip
