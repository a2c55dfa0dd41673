#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace voip::rtp {

/// Spreads what a sender sends at a little above the rate it keeps to, so that a key frame
/// (tens of packets at once) reaches a narrow path as a stream its queue can take, rather
/// than a burst whose tail the queue drops.  A packet goes at once while the sender keeps to
/// the rate (up to a picture's time ahead of it); a burst beyond that waits its turn.  What
/// would wait longer than MostWait goes at once: a sender that far ahead has outrun any
/// pacing, and holding its packets would only make them late.  Not thread-safe: its
/// owner locks.
class Pacer
{
public:
    using Clock = std::chrono::steady_clock;
    /// Paced this much above the rate: an encoder's rate is a mean, and a picture may
    /// overshoot it without the path being full.
    static constexpr double Headroom = 2.0;
    /// Sent at once up to this far ahead of the paced schedule.
    static constexpr std::chrono::milliseconds Ahead{40};
    static constexpr std::chrono::milliseconds MostWait{1000};

    /// The rate the sender keeps to (bit/s); 0: nothing is paced.
    void setRate(std::uint32_t bitsPerSecond) { rate_ = bitsPerSecond; }

    /// A datagram to send: false when it may go at once; true when it was kept, to go
    /// when due() gives it (at next() at the latest).
    bool hold(std::span<const std::uint8_t> datagram, Clock::time_point now);
    /// What is due to go by `now`, in the order it was sent.
    std::vector<std::vector<std::uint8_t>> due(Clock::time_point now);
    /// When the first datagram kept is due.
    std::optional<Clock::time_point> next() const;
    std::size_t held() const { return queue_.size(); }

private:
    struct Held
    {
        Clock::time_point at;
        std::vector<std::uint8_t> datagram;
    };
    std::uint32_t rate_ = 0;
    /// When the path, at the paced rate, has taken everything given to it so far.
    Clock::time_point free_;
    std::deque<Held> queue_;
};

} // namespace voip::rtp
