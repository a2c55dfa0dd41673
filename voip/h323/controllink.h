#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "voip/asn/value.h"
#include "voip/core/endreason.h"

namespace voip::h323 {

/// A timer of one call, made by its ControlLink.  Starting it again restarts it; a
/// cancelled timer, or one of a call that has ended, never runs its job.
class ControlTimer
{
public:
    virtual ~ControlTimer() = default;
    /// Runs the job once `after` has passed (nothing for a zero or negative time).
    virtual void start(std::chrono::milliseconds after) = 0;
    virtual void cancel() = 0;
};

/// What one H.245 procedure of a call (master/slave determination, capability exchange,
/// the round trip, ...) needs of the call.  The call's network thread runs both sides:
/// the procedure's handlers and the jobs of its timers.
class ControlLink
{
public:
    virtual ~ControlLink() = default;
    /// Sends an H.245 message: at once, in the next signalling message when tunnelled, or
    /// once the H.245 connection exists.
    virtual void send(const asn::Value& message) = 0;
    /// Whether the H.245 transport carries messages yet; the time for an answer runs from
    /// then (a procedure's timers are started again when it becomes ready).
    virtual bool transportReady() const = 0;
    /// Ends the call for `reason`.
    virtual void fail(EndReason reason) = 0;
    /// A timer that runs `job` when it expires; messages the job sends go out at its end.
    virtual std::unique_ptr<ControlTimer> timer(std::function<void()> job) = 0;
    /// The call, for traces.
    virtual std::string describe() const = 0;
};

} // namespace voip::h323
