#pragma once

#include <chrono>
#include <map>
#include <optional>

#include "voip/asn/value.h"
#include "voip/h225/identity.h"
#include "voip/h225/traversal.h"

namespace voip::h323 {

/// Whether calls through the gatekeeper cross a NAT with its help.
enum class TraversalState
{
    Off,        ///< not offered: switched off here
    Pending,    ///< offered; no registration has answered yet
    NotOffered, ///< the gatekeeper registered us without it
    On,         ///< the gatekeeper takes our calls across the NAT
};

const char* toString(TraversalState state);

/// The RAS side of signalling traversal (H.460.18): the feature offered in discovery and
/// registration, whether the gatekeeper took it up, and the calls it announces in its
/// ServiceControlIndications, each taken once.
///
/// Not thread-safe: the RAS client guards it with its mutex.
class RasTraversal
{
public:
    using Clock = std::chrono::steady_clock;

    explicit RasTraversal(bool wanted);

    TraversalState state() const { return state_; }
    /// Adds our offer (feature 18, supported, no parameters) to a GRQ's or RRQ's body.
    void offer(asn::Value& body) const;
    /// A registration confirmed: traversal is on when the confirmation carries feature 18.
    /// A lightweight one without a feature set leaves it as it was.
    void confirmed(const asn::Value& registrationConfirm, bool keepAlive);
    /// The registration is gone (refused, unanswered, left).
    void lost();
    /// Answers a ServiceControlIndication: fills `response` (a ServiceControlResponse body,
    /// its sequence number set already) and returns the call to connect for when it
    /// announces one not announced in the last minute.
    std::optional<h225::IncomingCallIndication>
    indicated(const asn::Value& indication, asn::Value& response, Clock::time_point now);

private:
    bool wanted_;
    TraversalState state_;
    /// The calls announced lately, by call identifier: a repeated indication (our answer
    /// was lost) is answered again but connects no second time.
    std::map<h225::Guid, Clock::time_point> announced_;
};

} // namespace voip::h323
