#include "voip/rtp/pacer.h"

#include <algorithm>

namespace voip::rtp {

bool Pacer::hold(std::span<const std::uint8_t> datagram, Clock::time_point now)
{
    if (rate_ == 0)
        return false;
    free_ = std::max(free_, now);
    auto at = std::max(now, free_ - Ahead);
    if (at - now > MostWait) {
        // The sender has outrun the pacing: what is kept goes now, and the schedule
        // starts again from here.
        for (auto& kept : queue_)
            kept.at = now;
        free_ = now;
        at = now;
    }
    free_ += std::chrono::nanoseconds(
        std::int64_t(double(datagram.size()) * 8e9 / (double(rate_) * Headroom)));
    // Never ahead of what is already kept: the order on the wire stays the order sent.
    if (at <= now && queue_.empty())
        return false;
    if (!queue_.empty())
        at = std::max(at, queue_.back().at);
    queue_.push_back({at, {datagram.begin(), datagram.end()}});
    return true;
}

std::vector<std::vector<std::uint8_t>> Pacer::due(Clock::time_point now)
{
    std::vector<std::vector<std::uint8_t>> out;
    while (!queue_.empty() && queue_.front().at <= now) {
        out.push_back(std::move(queue_.front().datagram));
        queue_.pop_front();
    }
    return out;
}

std::optional<Pacer::Clock::time_point> Pacer::next() const
{
    if (queue_.empty())
        return std::nullopt;
    return queue_.front().at;
}

} // namespace voip::rtp
