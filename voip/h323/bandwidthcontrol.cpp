#include "voip/h323/bandwidthcontrol.h"

#include "voip/base/trace.h"

namespace voip::h323 {

namespace {

/// Channels open and close in bursts: one request to the gatekeeper for the burst.
constexpr std::chrono::milliseconds SettleTime{300};
/// Video below this is not worth sending.
constexpr std::uint64_t LeastVideoRate = 32000;
/// Reports of loss the far end gets to bring its rate down by itself before it is told.
constexpr int ArrivalPatience = 3;
/// Reports without loss before a limit set for the path's sake rises.
constexpr int ArrivalRecovery = 5;

} // namespace

BandwidthControl::BandwidthControl(ControlLink& link, CallRates& rates)
    : link_(link)
    , rates_(rates)
    , settle_(link.timer([this] { ask(); }))
{}

std::uint32_t BandwidthControl::callBandwidth()
{
    std::uint64_t total = 0;
    for (const auto& channel : rates_.openChannels())
        total += channel.rate();
    return std::uint32_t(std::min<std::uint64_t>((total + 99) / 100, 0xFFFFFFFFu));
}

void BandwidthControl::onFlowControl(const h245::FlowControl& flow)
{
    // A limit for the whole multiplex falls on video, the one medium that can follow it.
    for (const auto& channel : rates_.openChannels()) {
        if (channel.incoming)
            continue;
        const bool named = flow.logicalChannel != 0 && channel.number == flow.logicalChannel;
        const bool whole = flow.logicalChannel == 0 && channel.video;
        if (!named && !whole)
            continue;
        // Never above what the channel was opened with; no restriction gives that back.
        std::uint64_t allowed = channel.formatMaximum;
        if (flow.maximumBitRate)
            allowed = std::min<std::uint64_t>(allowed, std::uint64_t{*flow.maximumBitRate} * 100);
        VOIP_TRACE(2, "H323\tFlow control: channel " << channel.number << " to " << allowed
                                                     << " bit/s on " << link_.describe());
        channel.limits->flow = allowed;
        channel.limits->farEnd = flow.maximumBitRate ? allowed : 0;
        rates_.applyRate(channel, allowed);
    }
    review();
}

void BandwidthControl::onArrival(unsigned sessionId, double fractionLost, double arrivedBitRate)
{
    for (const auto& channel : rates_.openChannels()) {
        if (!channel.incoming || channel.sessionId != sessionId || !channel.video)
            continue;
        Arrival& arrival = arrivals_[sessionId];
        const double loss = std::clamp(fractionLost, 0.0, 1.0);
        const std::uint64_t limit = channel.limits->flow;
        const bool ours = limit && limit == arrival.limited;
        if (loss > arrival.tolerated) {
            arrival.clean = 0;
            // The far end gets the time to come down by itself.
            if (++arrival.lossy < ArrivalPatience)
                return;
            arrival.lossy = 0;
            if (ours && loss >= 0.8 * arrival.lossWhenLimited) {
                // Our limit did not lessen the loss: the path loses that much anyway.
                arrival.tolerated = std::min(rtp::RateAdapter::MostTolerated, loss + 0.05);
                channel.limits->flow = 0;
                arrival.limited = 0;
            } else {
                const auto carries = std::max<std::uint64_t>(
                    std::uint64_t(arrivedBitRate * 0.9) / 100 * 100, LeastVideoRate);
                if (limit && carries >= limit)
                    return;
                channel.limits->flow = arrival.limited = carries;
                arrival.lossWhenLimited = loss;
            }
        } else if (loss <
                   rtp::RateAdapter::RiseLoss + (arrival.tolerated - rtp::RateAdapter::CutLoss)) {
            arrival.lossy = 0;
            if (!ours || ++arrival.clean < ArrivalRecovery)
                return;
            // The path carries what arrives: the limit rises, and goes at the full rate.
            arrival.clean = 0;
            const std::uint64_t raised = limit * 115 / 100;
            channel.limits->flow = arrival.limited = raised >= channel.opened ? 0 : raised;
        } else {
            arrival.lossy = arrival.clean = 0;
            return;
        }
        VOIP_TRACE(2, "H323\tFar end's video on session "
                          << sessionId << " limited to " << channel.limits->flow
                          << " bit/s (0: none) for loss " << loss << " on " << link_.describe());
        rates_.applyRate(channel, channel.rate());
        review();
        return;
    }
}

std::uint32_t BandwidthControl::toAsk()
{
    if (!rates_.admitted() || asking_)
        return 0;
    const std::uint32_t wanted = callBandwidth();
    return wanted == granted_ || wanted == asked_ ? 0 : wanted;
}

void BandwidthControl::review()
{
    if (toAsk() != 0)
        settle_->start(SettleTime);
}

void BandwidthControl::ask()
{
    const std::uint32_t wanted = toAsk();
    if (wanted == 0)
        return;
    asking_ = true;
    asked_ = wanted;
    rates_.askGatekeeper(wanted);
}

void BandwidthControl::answered(std::uint32_t wanted, const Answer& answer)
{
    asking_ = false;
    if (!rates_.admitted())
        return;
    if (answer.granted) {
        // A gatekeeper may confirm less than asked: that is the call's allowance.
        granted_ = answer.bandwidth ? answer.bandwidth : wanted;
        if (granted_ < wanted)
            keepWithin(granted_);
    } else if (answer.answered) {
        // Refused.  The allowed figure may be what the gatekeeper's zone has left rather
        // than this call's allowance: never more than what the call was granted before,
        // the allowed figure where that is less.
        const std::uint32_t allowance = std::min(granted_, answer.bandwidth);
        if (allowance > 0 && callBandwidth() > allowance)
            keepWithin(allowance);
    }
    // Otherwise (no answer) the call goes on as it is, and asks again when its rate
    // changes.
    review();
}

void BandwidthControl::apply(const RatedChannel& channel)
{
    VOIP_TRACE(2, "H323\tGatekeeper bandwidth: " << (channel.incoming ? "far end's" : "our")
                                                 << " video at " << channel.rate() << " bit/s on "
                                                 << link_.describe());
    rates_.applyRate(channel, channel.rate());
}

void BandwidthControl::cutVideo(bool incoming, std::uint64_t excess)
{
    for (const auto& channel : rates_.openChannels()) {
        if (channel.incoming != incoming || !channel.video)
            continue;
        const std::uint64_t rate = channel.rate();
        channel.limits->flow = rate > excess + LeastVideoRate ? rate - excess : LeastVideoRate;
        apply(channel);
        return;
    }
}

void BandwidthControl::restoreVideo(std::uint64_t surplus)
{
    // The far end's video first, as it was cut last; then ours.
    for (const bool incoming : {true, false}) {
        for (const auto& channel : rates_.openChannels()) {
            if (surplus == 0)
                return;
            if (channel.incoming != incoming || !channel.video || channel.limits->flow == 0)
                continue;
            const std::uint64_t ceiling = !incoming && channel.limits->farEnd
                                              ? std::min(channel.opened, channel.limits->farEnd)
                                              : channel.opened;
            if (channel.limits->flow >= ceiling)
                continue;
            const std::uint64_t raised = std::min(ceiling, channel.limits->flow + surplus);
            surplus -= raised - channel.limits->flow;
            // Back to the full rate: the limit goes (ours stays the far end's, if any).
            channel.limits->flow = raised == channel.opened ? 0 : raised;
            apply(channel);
        }
    }
}

std::uint32_t BandwidthControl::keepWithin(std::uint32_t allowed)
{
    if (const std::uint32_t now = callBandwidth(); now > allowed)
        cutVideo(false, std::uint64_t{now - allowed} * 100);
    if (const std::uint32_t now = callBandwidth(); now > allowed)
        cutVideo(true, std::uint64_t{now - allowed} * 100);
    if (const std::uint32_t now = callBandwidth(); now < allowed)
        restoreVideo(std::uint64_t{allowed - now} * 100);
    // What the call now uses is what the gatekeeper holds for it: no request follows.
    const std::uint32_t now = callBandwidth();
    granted_ = now;
    return now;
}

} // namespace voip::h323
