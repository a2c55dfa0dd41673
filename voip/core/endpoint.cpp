#include "voip/core/endpoint.h"

#include "voip/core/call.h"
#include "voip/core/manager.h"
#include "voip/media/mediaformatregistry.h"

namespace voip {

EndPoint::EndPoint(Manager& manager, std::string prefix)
    : manager_(manager)
    , prefix_(std::move(prefix))
    , userName_(manager.defaultUserName())
    , displayName_(manager.defaultDisplayName())
{}

EndPoint::~EndPoint() = default;

MediaFormatList EndPoint::mediaFormats() const
{
    return MediaFormatRegistry::global().all();
}

MediaFormatList EndPoint::mediaFormatsToOffer() const
{
    return manager_.mediaFormatsToOffer(mediaFormats());
}

AnswerCallResponse EndPoint::OnAnswerCall(Connection& connection, const std::string& caller)
{
    return manager_.OnAnswerCall(connection, caller);
}

bool EndPoint::acceptIncomingCall(const std::string& token)
{
    auto call = manager_.findCall(token);
    if (!call) {
        return false;
    }
    for (const auto& connection : call->connections()) {
        if (&connection->endpoint() == this) {
            return connection->acceptIncoming();
        }
    }
    return false;
}

bool EndPoint::rejectIncomingCall(const std::string& token, EndReason reason)
{
    auto call = manager_.findCall(token);
    if (!call) {
        return false;
    }
    for (const auto& connection : call->connections()) {
        if (&connection->endpoint() == this) {
            return connection->rejectIncoming(reason);
        }
    }
    return false;
}

std::string EndPoint::userName() const
{
    std::lock_guard lock(mutex_);
    return userName_;
}

std::string EndPoint::displayName() const
{
    std::lock_guard lock(mutex_);
    return displayName_;
}

void EndPoint::setUserName(std::string name)
{
    std::lock_guard lock(mutex_);
    userName_ = std::move(name);
}

void EndPoint::setDisplayName(std::string name)
{
    std::lock_guard lock(mutex_);
    displayName_ = std::move(name);
}

} // namespace voip
