#include "voip/media/reorder.h"

namespace voip {

namespace {

// RFC 3550 A.1 uses the same bounds to tell reordering from a restarted sender.
constexpr int MaxDropout = 3000;
constexpr int MaxMisorder = 100;

} // namespace

PacketReorderer::PacketReorderer(std::chrono::milliseconds maxWait, std::size_t maxHeld)
    : maxWait_(maxWait)
    , maxHeld_(std::max<std::size_t>(1, maxHeld))
{}

void PacketReorderer::add(uint16_t sequence, StreamFrame frame, Clock::time_point now,
                          std::deque<StreamFrame>& ready)
{
    if (!started_) {
        started_ = true;
        next_ = sequence;
    }
    auto delta = static_cast<int16_t>(static_cast<uint16_t>(sequence - static_cast<uint16_t>(next_)));
    if (delta > MaxDropout || delta < -MaxMisorder) {
        // The sender started again: what waits goes out as it is, and counting restarts.
        while (!held_.empty())
            skipGap(ready);
        pendingLoss_ = 0;
        next_ = sequence;
        delta = 0;
    }
    if (delta < 0) {
        ++late_;
        return;
    }
    const uint64_t extended = next_ + static_cast<uint64_t>(delta);
    if (delta > 0) {
        if (!held_.emplace(extended, Held{std::move(frame), now}).second)
            ++late_;
        else if (held_.size() > maxHeld_)
            skipGap(ready);
        return;
    }
    frame.lostBefore += pendingLoss_;
    pendingLoss_ = 0;
    ready.push_back(std::move(frame));
    ++next_;
    drain(ready);
}

std::optional<PacketReorderer::Clock::time_point> PacketReorderer::deadline() const
{
    if (held_.empty())
        return std::nullopt;
    return held_.begin()->second.arrival + maxWait_;
}

void PacketReorderer::expire(Clock::time_point now, std::deque<StreamFrame>& ready)
{
    while (!held_.empty() && now >= held_.begin()->second.arrival + maxWait_)
        skipGap(ready);
}

void PacketReorderer::drain(std::deque<StreamFrame>& ready)
{
    while (!held_.empty() && held_.begin()->first == next_) {
        StreamFrame frame = std::move(held_.begin()->second.frame);
        held_.erase(held_.begin());
        frame.lostBefore += pendingLoss_;
        pendingLoss_ = 0;
        ready.push_back(std::move(frame));
        ++next_;
    }
}

void PacketReorderer::skipGap(std::deque<StreamFrame>& ready)
{
    if (held_.empty())
        return;
    const uint64_t first = held_.begin()->first;
    pendingLoss_ += static_cast<uint32_t>(first - next_);
    next_ = first;
    drain(ready);
}

} // namespace voip
