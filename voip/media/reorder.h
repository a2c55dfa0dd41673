#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>

#include "voip/media/stream.h"

namespace voip {

/// Puts the packets of a session without a jitter buffer (video, data) back in sequence
/// order.  A packet that arrives ahead of a missing one waits until the missing one
/// comes, until `maxWait` has passed since the gap was seen, or until `maxHeld` packets
/// wait behind it; the missing ones are then given up as lost and counted in the next
/// frame's lostBefore.  A packet older than what was already given out (late, or a
/// duplicate) is dropped and counted.  A jump of thousands of sequence numbers either way
/// is taken as the sender starting again, not as loss.
///
/// Not thread-safe: the owner serialises calls.
class PacketReorderer
{
public:
    using Clock = std::chrono::steady_clock;

    explicit PacketReorderer(std::chrono::milliseconds maxWait = std::chrono::milliseconds(40),
                             std::size_t maxHeld = 64);

    /// Takes one received packet; the frames now in order are appended to `ready`.
    void add(uint16_t sequence, StreamFrame frame, Clock::time_point now,
             std::deque<StreamFrame>& ready);
    /// When the oldest gap will be given up; nothing while no packet waits.
    std::optional<Clock::time_point> deadline() const;
    /// Gives up every gap whose time has come at `now`, appending what followed it.
    void expire(Clock::time_point now, std::deque<StreamFrame>& ready);

    /// How long a gap is waited for from now on (a repair on a slow path takes longer).
    void setMaxWait(std::chrono::milliseconds maxWait) { maxWait_ = maxWait; }

    /// Packets waiting behind a gap.
    std::size_t held() const { return held_.size(); }
    /// Packets dropped because they came after their place had been given up, or twice.
    uint64_t latePackets() const { return late_; }

private:
    void drain(std::deque<StreamFrame>& ready);
    void skipGap(std::deque<StreamFrame>& ready);

    std::chrono::milliseconds maxWait_;
    const std::size_t maxHeld_;
    bool started_ = false;
    uint64_t next_ = 0; ///< extended sequence number expected next
    struct Held
    {
        StreamFrame frame;
        Clock::time_point arrival;
    };
    std::map<uint64_t, Held> held_; ///< by extended sequence number
    uint32_t pendingLoss_ = 0; ///< loss to charge to the next frame given out
    uint64_t late_ = 0;
};

} // namespace voip
