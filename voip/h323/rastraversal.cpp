#include "voip/h323/rastraversal.h"

#include <algorithm>

#include "voip/base/trace.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

namespace {

/// How long an announced call is remembered, so that a repeated indication of it is
/// recognised.
constexpr std::chrono::seconds AnnouncedCallMemory{60};
/// At most this many are remembered: a flood of indications forgets the oldest first.
constexpr std::size_t AnnouncedCallLimit = 256;

} // namespace

const char* toString(TraversalState state)
{
    switch (state) {
    case TraversalState::Off:
        return "off";
    case TraversalState::Pending:
        return "pending";
    case TraversalState::NotOffered:
        return "not offered";
    case TraversalState::On:
        return "on";
    }
    return "?";
}

RasTraversal::RasTraversal(bool wanted)
    : wanted_(wanted)
    , state_(wanted ? TraversalState::Pending : TraversalState::Off)
{}

void RasTraversal::offer(asn::Value& body) const
{
    if (wanted_)
        h225::addSupportedFeature(body.field(f225::featureSet), h225::SignallingTraversalFeature);
}

void RasTraversal::confirmed(const asn::Value& registrationConfirm, bool keepAlive)
{
    if (!wanted_)
        return;
    const bool hasSet = registrationConfirm.has(f225::featureSet);
    if (keepAlive && !hasSet)
        return;
    const bool on = hasSet && h225::findFeature(registrationConfirm[f225::featureSet],
                                                h225::SignallingTraversalFeature) != nullptr;
    state_ = on ? TraversalState::On : TraversalState::NotOffered;
}

void RasTraversal::lost()
{
    if (wanted_)
        state_ = TraversalState::Pending;
}

std::optional<h225::IncomingCallIndication>
RasTraversal::indicated(const asn::Value& indication, asn::Value& response, Clock::time_point now)
{
    auto call = h225::readIncomingCallIndication(indication);
    if (!call)
        return std::nullopt; // another service: acknowledged, nothing to do
    if (!call->ok()) {
        VOIP_TRACE(1, "RAS\tMalformed incoming call indication: " << call->error().toString());
        response.field(f225::result).choose(f225::failed);
        return std::nullopt;
    }
    if (!wanted_) {
        VOIP_TRACE(2, "RAS\tIncoming call indication refused: traversal is off");
        response.field(f225::result).choose(f225::neededFeatureNotSupported);
        return std::nullopt;
    }
    std::erase_if(announced_,
                  [&](const auto& entry) { return now - entry.second > AnnouncedCallMemory; });
    if (announced_.size() >= AnnouncedCallLimit && !announced_.count(call->value().callId))
        announced_.erase(
            std::min_element(announced_.begin(), announced_.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; }));
    const auto [where, added] = announced_.try_emplace(call->value().callId, now);
    if (!added) {
        VOIP_TRACE(2, "RAS\tIncoming call indication repeated for call "
                          << h225::guidText(call->value().callId));
        return std::nullopt;
    }
    return call->value();
}

} // namespace voip::h323
