#include "voip/rtp/lossrepair.h"

#include <algorithm>

namespace voip::rtp {

SentHistory::SentHistory(std::size_t capacity)
    : ring_(std::max<std::size_t>(capacity, 1))
{}

void SentHistory::keep(uint16_t sequence, std::span<const uint8_t> datagram)
{
    Sent& slot = ring_[sequence % ring_.size()];
    slot.sequence = sequence;
    slot.datagram.assign(datagram.begin(), datagram.end());
    slot.resent = false;
    budget_ = std::min(MostBudget, budget_ + 1);
}

std::vector<std::vector<uint8_t>> SentHistory::take(std::span<const uint16_t> sequences)
{
    std::vector<std::vector<uint8_t>> out;
    for (const uint16_t sequence : sequences) {
        Sent& slot = ring_[sequence % ring_.size()];
        if (slot.sequence != sequence || slot.resent || budget_ < 10)
            continue;
        slot.resent = true;
        budget_ -= 10;
        out.push_back(slot.datagram);
    }
    return out;
}

GapWatch::Gap GapWatch::arrived(uint16_t sequence, Clock::time_point now)
{
    Gap gap;
    const auto silence = now - lastArrival_;
    lastArrival_ = now;
    if (!highest_) {
        highest_ = sequence;
        return gap;
    }
    const auto ahead = int16_t(uint16_t(sequence - *highest_));
    while (!asked_.empty() && now - asked_.front().second > Longest * 2)
        asked_.pop_front();
    if (ahead <= 0) {
        // Late, a duplicate, or a repair: how long that took.
        const auto repaired = std::find_if(asked_.begin(), asked_.end(),
                                           [&](const auto& a) { return a.first == sequence; });
        if (repaired != asked_.end()) {
            const double took =
                std::chrono::duration<double, std::milli>(now - repaired->second).count();
            repairMs_ = std::max(took, 0.875 * repairMs_.value_or(took) + 0.125 * took);
            asked_.erase(repaired);
        }
        return gap;
    }
    if (ahead > 1) {
        // Too many to ask for: a full queue dropping, or a burst; an outage only when
        // nothing came for a while.
        gap.outage = silence >= Outage;
        if (!gap.outage && ahead - 1 <= MostAsked)
            for (uint16_t missing = 1; missing < uint16_t(ahead); ++missing) {
                gap.missing.push_back(uint16_t(*highest_ + missing));
                asked_.emplace_back(gap.missing.back(), now);
            }
        while (asked_.size() > 4 * MostAsked)
            asked_.pop_front();
    }
    highest_ = sequence;
    return gap;
}

std::chrono::milliseconds GapWatch::repairWait() const
{
    if (!repairMs_)
        return Shortest;
    return std::clamp(std::chrono::milliseconds(std::int64_t(*repairMs_ * 1.25 + 10)), Shortest,
                      Longest);
}

} // namespace voip::rtp
