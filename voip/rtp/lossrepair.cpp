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
    if (ahead <= 0)
        return gap; // late, a repair, or a duplicate
    if (ahead > 1) {
        gap.outage = ahead - 1 > MostAsked || silence >= Outage;
        if (!gap.outage)
            for (uint16_t missing = 1; missing < uint16_t(ahead); ++missing)
                gap.missing.push_back(uint16_t(*highest_ + missing));
    }
    highest_ = sequence;
    return gap;
}

} // namespace voip::rtp
