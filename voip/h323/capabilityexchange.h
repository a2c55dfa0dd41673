#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "voip/h245/capabilities.h"
#include "voip/h323/controllink.h"

namespace voip::h323 {

/// Capability exchange of one call (H.245 8.2): our terminal capability set goes out and
/// must be acknowledged in time (T101); the peer's is read, kept and acknowledged, or
/// refused when it cannot be read.  A peer may send a new set during the call.
///
/// Network thread.
class CapabilityExchange
{
public:
    /// `answerTime` is how long the acknowledgement may take before the call fails;
    /// `changed` hears of every set the peer sends (true when it differs from its last one).
    CapabilityExchange(ControlLink& link, std::chrono::milliseconds answerTime,
                       std::function<void()> acknowledged,
                       std::function<void(bool changed)> received);

    /// Sends `set` under the next sequence number; the earlier one's acknowledgement no
    /// longer counts.
    void offer(h245::CapabilitySet set);
    /// The transport became ready: a set waiting for its acknowledgement gets its full time.
    void transportReady();
    /// Back to the start (a new H.245 session): neither set counts any more.
    void reset();

    void onSet(const asn::Value& message);
    void onAck(const asn::Value& message);
    void onReject();

    /// Our set was acknowledged.
    bool acknowledged() const { return acknowledged_; }
    /// The peer's set was received (remote() holds it).
    bool received() const { return received_; }
    const h245::CapabilitySet& remote() const { return remote_; }

private:
    ControlLink& link_;
    const std::chrono::milliseconds answerTime_;
    std::function<void()> acknowledgedHook_;
    std::function<void(bool)> receivedHook_;
    std::unique_ptr<ControlTimer> timer_;
    std::uint8_t sequence_ = 0;
    bool offered_ = false;
    bool acknowledged_ = false;
    bool received_ = false;
    h245::CapabilitySet remote_;
};

} // namespace voip::h323
