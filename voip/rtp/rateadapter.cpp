#include "voip/rtp/rateadapter.h"

#include <algorithm>

namespace voip::rtp {

namespace {

/// A round trip beyond this is no measurement of a real path.
constexpr double MostRoundTripMs = 10000;
/// A queue: the round trip this much above the least seen, and at least twice it.
constexpr double QueueingMs = 150;
/// Cuts for delay come no oftener than this (the queue takes a while to drain).
constexpr std::chrono::milliseconds DelayCutSpacing{1000};

} // namespace

std::string_view rateReasonName(RateReason reason)
{
    switch (reason) {
    case RateReason::Start:
        return "start";
    case RateReason::Loss:
        return "loss";
    case RateReason::Delay:
        return "delay";
    case RateReason::Rising:
        return "rising";
    case RateReason::Holding:
        return "holding";
    case RateReason::Full:
        return "full";
    }
    return "start";
}

RateAdapter::RateAdapter(std::uint32_t ceiling)
    : ceiling_(std::max(ceiling, Floor))
    , rate_(ceiling_)
{}

void RateAdapter::setCeiling(std::uint32_t ceiling)
{
    ceiling_ = std::max(ceiling, Floor);
    if (rate_ > ceiling_ || reason_ == RateReason::Start || reason_ == RateReason::Full)
        rate_ = ceiling_;
}

void RateAdapter::cut(std::uint32_t to, RateReason why, double loss, Clock::time_point now,
                      std::optional<double> delivered)
{
    to = std::clamp(to, Floor, rate_);
    reason_ = why;
    // Barely less is no cut: the loss goes on being that of a queue still draining (and
    // what arrived meanwhile is no measure of the path).
    if (to > rate_ * 0.95)
        return;
    if (delivered) {
        capacity_ = delivered;
        capacityAt_ = now;
    }
    rate_ = to;
    lastCut_ = now;
    reportsToJudge_ = why == RateReason::Loss ? 2 : 0;
    lossAtCut_ = loss;
}

bool RateAdapter::onReport(const PathReport& report, Clock::time_point now)
{
    const std::uint32_t before = rate_;
    // (A report of what cannot be, NaN among them, counts as none lost.)
    const double reported = report.fractionLost >= 0 ? std::min(report.fractionLost, 1.0) : 0.0;
    // Loss counts when two reports in a row show it: one alone is an outage or a burst,
    // which no rate would have spared.  Unless the far end measured what arrived while
    // it lost more than any lossy line does: that is a full path.
    const bool full = report.deliveredMeasured && reported > MostTolerated &&
                      report.packetsSent.value_or(0) >= OneReportPackets;
    const double loss = full ? reported : std::min(reported, previousLoss_);
    previousLoss_ = reported;
    const double seconds =
        lastReport_
            ? std::clamp(std::chrono::duration<double>(now - *lastReport_).count(), 0.0, 5.0)
            : 1.0;
    lastReport_ = now;

    std::optional<double> roundTrip;
    if (report.roundTripMs && *report.roundTripMs >= 0 && *report.roundTripMs < MostRoundTripMs) {
        roundTrip = report.roundTripMs;
        leastRoundTripMs_ = std::min(leastRoundTripMs_.value_or(*roundTrip), *roundTrip);
    }
    // The first report after a cut for loss covers what was sent, or queued, before it:
    // the cut is judged by the one after.
    if (reportsToJudge_ == 2) {
        reportsToJudge_ = 1;
        return false;
    }
    if (reportsToJudge_ == 1) {
        // Sending less did not lose less: the path loses this much whatever we send.
        reportsToJudge_ = 0;
        if (loss >= 0.8 * lossAtCut_)
            tolerated_ = std::clamp(loss + 0.05, tolerated_, MostTolerated);
    } else if (loss < tolerated_ / 2) {
        tolerated_ = std::max(CutLoss, tolerated_ - 0.01 * seconds);
    }
    const bool queueing = roundTrip && *roundTrip > *leastRoundTripMs_ + QueueingMs &&
                          *roundTrip > 2 * *leastRoundTripMs_;

    if (loss > tolerated_) {
        // Down to what got through, with a margin for the queue to drain (from our own
        // estimate, a quarter of the rate at most in one step, as a short burst of loss may
        // exaggerate); without that figure, by half the loss.
        const double through = report.deliveredBitRate ? *report.deliveredBitRate * 0.85
                                                       : double(rate_) * (1 - loss / 2);
        const double least = report.deliveredMeasured ? 0 : double(rate_) * 0.25;
        cut(std::uint32_t(std::max(least, through)), RateReason::Loss, loss, now,
            report.deliveredBitRate);
    } else if (queueing && (!lastCut_ || now - *lastCut_ >= DelayCutSpacing)) {
        cut(std::uint32_t(double(rate_) * 0.85), RateReason::Delay, loss, now);
    } else if (loss < RiseLoss + (tolerated_ - CutLoss)) {
        if (lastCut_ && now - *lastCut_ < HoldAfterCut)
            return rate_ != before;
        // Near what the path carried when it last lost, the rate stays a while, then rises
        // at half the pace: each probe past it costs a burst of loss.  Past it without
        // loss, that figure is stale.
        if (capacity_ && rate_ > *capacity_ * 1.1)
            capacity_.reset();
        const bool near = capacity_ && rate_ >= *capacity_ * 0.9;
        if (near && now - capacityAt_ < ProbeAfter) {
            reason_ = RateReason::Holding;
            return rate_ != before;
        }
        const double rise = near ? RisePerSecond / 2 : RisePerSecond;
        const double raised = double(rate_) * (1 + rise * seconds) + 1000;
        rate_ = std::uint32_t(std::min<double>(raised, ceiling_));
        reason_ = rate_ >= ceiling_ ? RateReason::Full : RateReason::Rising;
    } else if (reason_ == RateReason::Rising || reason_ == RateReason::Full ||
               reason_ == RateReason::Start) {
        reason_ = RateReason::Holding;
    }
    return rate_ != before;
}

} // namespace voip::rtp
