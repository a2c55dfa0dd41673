#include "voip/rtp/jitterbuffer.h"

#include <algorithm>
#include <cmath>

namespace voip::rtp {

namespace {

constexpr double TransitWindowMs = 2000;
constexpr double LateStepMs = 10;
constexpr double LateMarginMs = 5;
constexpr double LateDecayPerSecondMs = 2;
constexpr int RateVotesNeeded = 4;
/// A packet due later than this beyond its arrival means the sender's timing
/// jumped: the playout clock starts again from that packet.
constexpr double ResyncMarginMs = 1000;
/// A sequence jump this large is a new stream, not loss.
constexpr int64_t SequenceJumpLimit = 3000;

/// Timestamp rates (ticks per millisecond) a real sender uses.
constexpr double KnownRates[] = {8, 16, 24, 32, 44.1, 48, 90};

} // namespace

JitterBuffer::JitterBuffer(JitterConfig config)
    : config_(config)
{
    setDelayBounds(config.minDelay, config.maxDelay);
    ticksPerMs_ = std::max(1u, config_.clockRate) / 1000.0;
    stats_.ticksPerMs = ticksPerMs_;
    stats_.targetDelayMs = static_cast<double>(config_.minDelay.count());
}

void JitterBuffer::setDelayBounds(std::chrono::milliseconds minDelay,
                                  std::chrono::milliseconds maxDelay)
{
    std::lock_guard lock(mutex_);
    minDelay = std::max(minDelay, std::chrono::milliseconds{0});
    config_.minDelay = minDelay;
    config_.maxDelay = std::max(maxDelay, minDelay);
}

void JitterBuffer::setPayloadBytesPerMs(double bytesPerMs)
{
    std::lock_guard lock(mutex_);
    config_.payloadBytesPerMs = bytesPerMs > 0 ? bytesPerMs : 0;
}

void JitterBuffer::setClockRate(uint32_t clockRate)
{
    std::lock_guard lock(mutex_);
    config_.clockRate = std::max(1u, clockRate);
    ticksPerMs_ = config_.clockRate / 1000.0;
    stats_.ticksPerMs = ticksPerMs_;
    haveTransit_ = false;
}

double JitterBuffer::msSinceOrigin(Clock::time_point t) const
{
    return std::chrono::duration<double, std::milli>(t - origin_).count();
}

double JitterBuffer::playoutMs(int64_t extendedTimestamp) const
{
    const double base = std::min(currentMin_, previousMin_);
    const double target =
        std::clamp(3 * jitterMs_ + lateExtraMs_, static_cast<double>(config_.minDelay.count()),
                   static_cast<double>(config_.maxDelay.count()));
    return static_cast<double>(extendedTimestamp) / ticksPerMs_ + base + target;
}

void JitterBuffer::updateTransit(double transit, double arrivalMs)
{
    if (!haveTransit_) {
        haveTransit_ = true;
        currentMin_ = previousMin_ = lastTransit_ = transit;
        windowStartMs_ = arrivalMs;
        return;
    }
    // RFC 3550 A.8 style smoothing of the transit differences, in ms.
    jitterMs_ += (std::abs(transit - lastTransit_) - jitterMs_) / 16;
    lastTransit_ = transit;
    if (arrivalMs - windowStartMs_ >= TransitWindowMs) {
        previousMin_ = currentMin_;
        currentMin_ = transit;
        windowStartMs_ = arrivalMs;
    } else {
        currentMin_ = std::min(currentMin_, transit);
    }
}

void JitterBuffer::detectRate(int64_t extendedSequence, int64_t extendedTimestamp,
                              std::size_t payloadSize)
{
    if (config_.payloadBytesPerMs <= 0)
        return;
    const bool consecutive = haveRatePrevious_ && extendedSequence == ratePreviousSequence_ + 1;
    const int64_t ticks = extendedTimestamp - ratePreviousTimestamp_;
    const double durationMs = static_cast<double>(ratePreviousSize_) / config_.payloadBytesPerMs;
    haveRatePrevious_ = true;
    ratePreviousSequence_ = extendedSequence;
    ratePreviousTimestamp_ = extendedTimestamp;
    ratePreviousSize_ = payloadSize;
    if (!consecutive || ticks <= 0 || durationMs <= 0)
        return;

    const double measured = static_cast<double>(ticks) / durationMs;
    double best = 0;
    double bestError = 0.15;
    for (double rate : KnownRates) {
        const double error = std::abs(measured - rate) / rate;
        if (error < bestError) {
            best = rate;
            bestError = error;
        }
    }
    if (best == 0) {
        rateVotes_ = 0;
        return;
    }
    if (best != rateCandidate_) {
        rateCandidate_ = best;
        rateVotes_ = 0;
    }
    if (++rateVotes_ >= RateVotesNeeded && best != ticksPerMs_) {
        ticksPerMs_ = best;
        stats_.ticksPerMs = best;
        // The transit base was measured with the old rate.
        haveTransit_ = false;
    }
}

void JitterBuffer::resetTimingLocked()
{
    haveTransit_ = false;
    jitterMs_ = 0;
    lateExtraMs_ = 0;
}

JitterBuffer::PushResult JitterBuffer::push(const RtpPacketView& packet, Clock::time_point arrival)
{
    std::lock_guard lock(mutex_);
    int64_t sequence;
    int64_t timestamp;
    if (!started_) {
        started_ = true;
        origin_ = arrival;
        lastDecayMs_ = 0;
        // Start well above zero so that early reordering never goes negative.
        sequence = (int64_t{1} << 32) + packet.sequence;
        timestamp = (int64_t{1} << 40) + packet.timestamp;
        highestSequence_ = sequence;
    } else {
        sequence = highestSequence_ +
                   static_cast<int16_t>(packet.sequence - static_cast<uint16_t>(highestSequence_));
        timestamp = lastTimestamp_ +
                    static_cast<int32_t>(packet.timestamp - static_cast<uint32_t>(lastTimestamp_));
        if (std::abs(sequence - highestSequence_) > SequenceJumpLimit) {
            // Not this stream's next packets: start over from this one.
            packets_.clear();
            lastPlayed_.reset();
            playedHistory_ = 0;
            haveRatePrevious_ = false;
            resetTimingLocked();
            ++stats_.resyncs;
        }
    }
    lastTimestamp_ = timestamp;

    if (lastPlayed_ && sequence <= *lastPlayed_) {
        const int64_t age = *lastPlayed_ - sequence;
        if (age < 64 && (playedHistory_ >> age & 1)) {
            ++stats_.duplicates;
            return PushResult::Duplicate;
        }
        ++stats_.late;
        // Wait longer from now on, by at least as much as this one missed its slot.
        const double lateness = haveTransit_ ? msSinceOrigin(arrival) - playoutMs(timestamp) : 0;
        lateExtraMs_ = std::min(lateExtraMs_ + std::max(LateStepMs, lateness + LateMarginMs),
                                static_cast<double>(config_.maxDelay.count()));
        return PushResult::Late;
    }
    if (packets_.count(sequence)) {
        ++stats_.duplicates;
        return PushResult::Duplicate;
    }
    highestSequence_ = std::max(highestSequence_, sequence);

    detectRate(sequence, timestamp, packet.payload.size());
    const double arrivalMs = msSinceOrigin(arrival);
    const double transit = arrivalMs - static_cast<double>(timestamp) / ticksPerMs_;
    if (haveTransit_ &&
        std::abs(transit - lastTransit_) > config_.maxDelay.count() + ResyncMarginMs) {
        // The sender's timestamps leapt (or it paused its clock): measuring that
        // as jitter would hold the delay at its maximum for a long time.
        resetTimingLocked();
        ++stats_.resyncs;
    }
    updateTransit(transit, arrivalMs);
    if (playoutMs(timestamp) > arrivalMs + config_.maxDelay.count() + ResyncMarginMs) {
        resetTimingLocked();
        updateTransit(transit, arrivalMs);
        ++stats_.resyncs;
    }

    PushResult result = PushResult::Queued;
    if (packets_.size() >= config_.maxPackets) {
        packets_.erase(packets_.begin());
        ++stats_.overflows;
        result = PushResult::Overflow;
    }
    Entry entry;
    entry.extendedTimestamp = timestamp;
    entry.frame.sequence = packet.sequence;
    entry.frame.timestamp = packet.timestamp;
    entry.frame.payloadType = packet.payloadType;
    entry.frame.marker = packet.marker;
    entry.frame.payload.assign(packet.payload.begin(), packet.payload.end());
    entry.frame.arrival = arrival;
    packets_.emplace(sequence, std::move(entry));
    ++stats_.queued;
    return result;
}

std::optional<MediaFrame> JitterBuffer::pop(Clock::time_point now)
{
    std::lock_guard lock(mutex_);
    const double nowMs = msSinceOrigin(now);
    if (nowMs - lastDecayMs_ >= 1000) {
        lateExtraMs_ =
            std::max(0.0, lateExtraMs_ - LateDecayPerSecondMs * (nowMs - lastDecayMs_) / 1000);
        lastDecayMs_ = nowMs;
    }
    while (!packets_.empty()) {
        auto it = packets_.begin();
        const double due = playoutMs(it->second.extendedTimestamp);
        if (due > nowMs)
            return std::nullopt;
        const int64_t sequence = it->first;
        uint32_t missing = 0;
        if (lastPlayed_ && sequence > *lastPlayed_ + 1)
            missing =
                static_cast<uint32_t>(std::min<int64_t>(sequence - *lastPlayed_ - 1, UINT32_MAX));
        // The sequence slot is used up whether the packet is played or dropped.
        if (lastPlayed_) {
            const int64_t shift = sequence - *lastPlayed_;
            playedHistory_ = shift >= 64 ? 0 : playedHistory_ << shift;
        }
        lastPlayed_ = sequence;
        playedHistory_ |= 1;
        stats_.lostAtPlayout += missing;

        MediaFrame frame = std::move(it->second.frame);
        packets_.erase(it);
        if (nowMs - due > static_cast<double>(config_.maxDelay.count())) {
            // The reader fell far behind: playing this now would only add delay.
            ++stats_.late;
            ++stats_.lostAtPlayout;
            continue;
        }
        frame.lostBefore = missing;
        frame.playout = origin_ + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double, std::milli>(due));
        const double added = due - msSinceOrigin(frame.arrival);
        ++stats_.played;
        stats_.lastAddedDelayMs = added;
        addedDelaySum_ += added;
        stats_.meanAddedDelayMs = addedDelaySum_ / static_cast<double>(stats_.played);
        return frame;
    }
    return std::nullopt;
}

std::optional<JitterBuffer::Clock::time_point> JitterBuffer::nextPlayout() const
{
    std::lock_guard lock(mutex_);
    if (packets_.empty())
        return std::nullopt;
    const double due = playoutMs(packets_.begin()->second.extendedTimestamp);
    return origin_ + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double, std::milli>(due));
}

void JitterBuffer::reset()
{
    std::lock_guard lock(mutex_);
    packets_.clear();
    started_ = false;
    lastPlayed_.reset();
    playedHistory_ = 0;
    haveRatePrevious_ = false;
    rateVotes_ = 0;
    rateCandidate_ = 0;
    ticksPerMs_ = config_.clockRate / 1000.0;
    stats_.ticksPerMs = ticksPerMs_;
    resetTimingLocked();
}

JitterStatistics JitterBuffer::statistics() const
{
    std::lock_guard lock(mutex_);
    JitterStatistics s = stats_;
    s.held = packets_.size();
    s.targetDelayMs =
        std::clamp(3 * jitterMs_ + lateExtraMs_, static_cast<double>(config_.minDelay.count()),
                   static_cast<double>(config_.maxDelay.count()));
    return s;
}

} // namespace voip::rtp
