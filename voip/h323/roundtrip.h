#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "voip/h323/controllink.h"

namespace voip::h323 {

/// The round trip of one call's control channel (H.245 8.9): a request answered by the
/// peer with the same sequence number measures the delay; no answer in time (T105) means
/// the peer is gone and ends the call.  With an interval, a request goes out that often
/// (a keep-alive that finds a silent peer).  Peer requests are answered at once.
///
/// Network thread, apart from delay().
class RoundTrip
{
public:
    RoundTrip(ControlLink& link, std::chrono::milliseconds answerTime,
              std::chrono::milliseconds interval);

    /// Sends a request unless one is waiting for its answer.
    void measure();
    /// Starts the requests at the interval (none without one).
    void startKeepAlive();
    /// Stops the requests at the interval; a request waiting for its answer still counts.
    void stopKeepAlive();

    void onRequest(const asn::Value& message);
    void onResponse(const asn::Value& message);

    /// The last delay measured (any thread).
    std::optional<std::chrono::microseconds> delay() const;

private:
    ControlLink& link_;
    const std::chrono::milliseconds answerTime_;
    const std::chrono::milliseconds interval_;
    std::unique_ptr<ControlTimer> answerTimer_;
    std::unique_ptr<ControlTimer> intervalTimer_;
    std::uint8_t sequence_ = 0;
    bool pending_ = false;
    std::chrono::steady_clock::time_point sent_;
    mutable std::mutex mutex_; // guards delay_
    std::optional<std::chrono::microseconds> delay_;
};

} // namespace voip::h323
