#include "voip/endpoint.h"

#include "voip/call.h"
#include "voip/manager.h"
#include "voip/media/mediaformatregistry.h"

namespace voip {

Endpoint::Endpoint(Manager& manager, std::string prefix)
    : manager_(manager)
    , prefix_(std::move(prefix))
    , userName_(manager.defaultUserName())
    , displayName_(manager.defaultDisplayName())
{}

Endpoint::~Endpoint() = default;

MediaFormatList Endpoint::mediaFormats() const
{
    return MediaFormatRegistry::global().all();
}

MediaFormatList Endpoint::mediaFormatsToOffer() const
{
    return manager_.mediaFormatsToOffer(mediaFormats());
}

AnswerCallResponse Endpoint::OnAnswerCall(Connection& connection, const std::string& caller)
{
    return manager_.OnAnswerCall(connection, caller);
}

bool Endpoint::acceptIncomingCall(const std::string& token)
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

bool Endpoint::rejectIncomingCall(const std::string& token, EndReason reason)
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

std::string Endpoint::userName() const
{
    std::lock_guard lock(mutex_);
    return userName_;
}

std::string Endpoint::displayName() const
{
    std::lock_guard lock(mutex_);
    return displayName_;
}

void Endpoint::setUserName(std::string name)
{
    std::lock_guard lock(mutex_);
    userName_ = std::move(name);
}

void Endpoint::setDisplayName(std::string name)
{
    std::lock_guard lock(mutex_);
    displayName_ = std::move(name);
}

} // namespace voip
