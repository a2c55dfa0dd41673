#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "voip/h323/controllink.h"

namespace voip::h323 {

/// Master/slave determination of one call (H.245 C.2): which side decides when both open
/// the same kind of channel.  Both sides send a request with their terminal type and a
/// random number; the higher type, or else the number whose difference is below 2^23,
/// is master.  Numbers that decide nothing (equal, or 2^23 apart) are refused and both
/// sides draw new ones, at most three times.
///
/// Network thread, apart from master().
class MasterSlave
{
public:
    /// `draw` gives our random numbers (the low 24 bits count); `answerTime` is how long
    /// an answer may take (T106) before the call fails; `decided` hears the outcome.
    MasterSlave(ControlLink& link, std::chrono::milliseconds answerTime,
                std::function<std::uint32_t()> draw, std::function<void(bool master)> decided);

    /// Sends our request, unless the peer's came first and was answered already.
    void start();
    /// The transport became ready: a request waiting for its answer gets its full time.
    void transportReady();
    /// Back to the start (a new H.245 session); the outcome is forgotten.
    void reset();

    void onRequest(const asn::Value& message);
    void onAck(const asn::Value& message);
    void onReject();

    bool decided() const { return state_ == State::Done; }
    /// Whether we are master; meaningful once decided (any thread).
    bool master() const { return master_.load(); }

private:
    enum class State
    {
        Idle,
        Outgoing, ///< our request sent, waiting
        Incoming, ///< answered the peer's, waiting for its ack
        Done,
    };

    void send();
    void decide(bool master);
    /// Draws again after numbers that decided nothing; false once the retries are spent.
    bool retry();

    ControlLink& link_;
    const std::chrono::milliseconds answerTime_;
    std::function<std::uint32_t()> draw_;
    std::function<void(bool)> decided_;
    std::unique_ptr<ControlTimer> timer_;
    State state_ = State::Idle;
    std::uint32_t number_;
    unsigned retries_ = 0;
    std::atomic<bool> master_{false};
};

} // namespace voip::h323
