#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace voip::rtp {

/// The sender's side of repairing loss by sending packets again: what was sent lately, as
/// it went on the wire (encrypted, if so), to send again when the far end asks (a generic
/// NACK).  Sending again is paid from a budget that grows by a tenth of a packet with each
/// packet sent, so that repair never adds more than a tenth to what a full path carries,
/// and a flood of asks costs little.  Not thread-safe: its owner locks.
class SentHistory
{
public:
    explicit SentHistory(std::size_t capacity = 512);

    /// In tenths of a packet: each packet sent adds one, each sent again costs ten.
    static constexpr unsigned MostBudget = 200;

    void keep(uint16_t sequence, std::span<const uint8_t> datagram);
    /// The datagrams asked for that are still kept, as far as the budget goes; each is
    /// sent again once at most.
    std::vector<std::vector<uint8_t>> take(std::span<const uint16_t> sequences);

private:
    struct Sent
    {
        std::optional<uint16_t> sequence;
        std::vector<uint8_t> datagram;
        bool resent = false;
    };
    std::vector<Sent> ring_; ///< by sequence number modulo its size
    unsigned budget_ = 0;    ///< tenths of a packet
};

/// The receiver's side: the packets a gap in the sequence numbers shows missing, to ask
/// for at once, each once.  A gap of more than MostAsked is not asked for: so much would
/// come too late to be of use.  A gap after a silence of Outage is an outage (or the
/// sender starting again): the sender is better told at once, by a report, that its
/// packets were lost.  Not thread-safe: its owner locks.
class GapWatch
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr uint16_t MostAsked = 16;
    static constexpr std::chrono::milliseconds Outage{100};

    struct Gap
    {
        std::vector<uint16_t> missing; ///< to ask for, in order
        bool outage = false;
    };
    /// A packet arrived at `now`: what it shows missing (nothing if it filled a gap or
    /// came late).  The missing ones are taken as asked for at `now`.
    Gap arrived(uint16_t sequence, Clock::time_point now);

    /// How long a receiver should wait for a missing packet before giving it up: a
    /// little more than repairs took lately (on a path with a queue, a repair waits in
    /// it too), at least Shortest, at most Longest.
    static constexpr std::chrono::milliseconds Shortest{40};
    static constexpr std::chrono::milliseconds Longest{500};
    std::chrono::milliseconds repairWait() const;

private:
    std::optional<uint16_t> highest_;
    Clock::time_point lastArrival_;
    /// Asked for and not yet come, oldest first (a few dozen at most).
    std::deque<std::pair<uint16_t, Clock::time_point>> asked_;
    /// What repairs took: up at once with a slower one, down slowly.
    std::optional<double> repairMs_;
};

} // namespace voip::rtp
