// User input, indications, flow control and the call's bandwidth on an H.323 connection.

#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"

#include <thread>

#include "voip/base/trace.h"
#include "voip/core/call.h"
#include "voip/h323/capabilitymap.h"
#include "voip/core/manager.h"

namespace voip::h323 {

using namespace detail;

namespace {

constexpr std::size_t MaxUserInputLength = 256;

} // namespace

bool Connection::sendUserInputString(const std::string& value)
{
    if (value.empty() || value.size() > MaxUserInputLength)
        return false;
    return holdUntilH245Complete([this, value] { sendUserInputNow(value); }, value);
}

void Connection::sendUserInputNow(const std::string& value)
{
    if (released_)
        return;
    userInput_->send(value, capabilities_->remote());
    flushTunnelled();
}

bool Connection::sendMiscellaneousIndication(std::uint16_t channel, std::string_view type)
{
    return sendH245(h245::buildMiscellaneousIndication(channel, type));
}

bool Connection::indicateAudioMuted(bool muted)
{
    if (isReleased())
        return false;
    onNetwork([this, muted] {
        muteWanted_ = muted;
        if (h245Complete_)
            sendWantedMuteIndication();
        flushTunnelled();
    });
    return true;
}

void Connection::sendWantedMuteIndication()
{
    if (!muteWanted_ || released_ || !h245Complete_)
        return;
    for (const auto& channel : channels_) {
        if (channel->fromRemote || !channel->open || channel->proposal ||
            channel->sessionId != AudioSessionId)
            continue;
        queueH245(h245::buildMiscellaneousIndication(
            channel->number, *muteWanted_ ? "logicalChannelInactive" : "logicalChannelActive"));
        muteWanted_.reset();
        return;
    }
    // No audio transmit channel yet: the indication goes out once it opens.
}

bool Connection::sendVideoFastUpdatePicture(unsigned sessionId)
{
    auto channel = findLogicalChannel(sessionId, true);
    if (!channel)
        return false;
    return sendH245(h245::buildVideoFastUpdatePicture(channel->number));
}

void Connection::OnVideoFastUpdatePicture(std::uint16_t channel)
{
    VOIP_TRACE(3, "H323\tvideoFastUpdatePicture for channel " << channel);
    ++videoUpdates_;
    // The far end names the channel it receives on: one of ours that transmit.
    for (const auto& info : logicalChannels()) {
        if (info.number == channel && !info.fromRemote) {
            if (auto other = otherParty())
                other->OnVideoUpdateRequested(info.sessionId);
            return;
        }
    }
}

void Connection::handleFlowControl(const h245::FlowControl& flow)
{
    // A limit for the whole multiplex falls on video, the one medium that can follow it.
    for (const auto& channel : channels_) {
        if (channel->fromRemote || !channel->open || channel->proposal)
            continue;
        const bool named = flow.logicalChannel != 0 && channel->number == flow.logicalChannel;
        const bool whole = flow.logicalChannel == 0 && channel->sessionId == VideoSessionId;
        if (!named && !whole)
            continue;
        // Never above what the channel was opened with; no restriction gives that back.
        const auto opened = static_cast<std::uint64_t>(
            std::max<std::int64_t>(0, channel->format.integerOption(option::MaxBitRate, 0)));
        std::uint64_t allowed = opened;
        if (flow.maximumBitRate)
            allowed = std::min<std::uint64_t>(opened, std::uint64_t{*flow.maximumBitRate} * 100);
        VOIP_TRACE(2, "H323\tFlow control: channel " << channel->number << " to " << allowed
                                                     << " bit/s on " << describe());
        channel->flowLimit = allowed;
        channel->farEndLimit = flow.maximumBitRate ? allowed : 0;
        if (auto other = otherParty())
            other->OnMediaFlowControl(channel->sessionId, allowed);
    }
    reviewBandwidth();
}

std::uint64_t Connection::plannedRate() const
{
    // The best of each medium we offer, one channel each: what one direction will carry
    // (content comes only with a presentation, which asks for its own share).
    std::uint64_t rate = 0;
    for (const MediaType type : {MediaType::Audio, MediaType::Video, MediaType::H224}) {
        std::uint64_t best = 0;
        for (const auto& format : mediaFormatsToOffer())
            if (format.mediaType() == type && !isContentFormat(format))
                best = std::max(best, bitRateOf(format));
        rate += best;
    }
    return rate;
}

std::uint32_t Connection::callBandwidth() const
{
    std::uint64_t total = 0;
    for (const auto& channel : channels_) {
        if (!channel->open || channel->proposal)
            continue;
        total += channel->rate();
    }
    return std::uint32_t(std::min<std::uint64_t>((total + 99) / 100, 0xFFFFFFFFu));
}

void Connection::reviewBandwidth()
{
    if (!admittedBy_ || released_ || bandwidthAsked_)
        return;
    const std::uint32_t wanted = callBandwidth();
    if (wanted == 0 || wanted == grantedBandwidth_ || wanted == askedBandwidth_)
        return;
    // Channels open and close in bursts: one request for the burst.
    runAfter(bandwidthTimer_, std::chrono::milliseconds(300),
             [](Connection& connection) { connection.askBandwidth(); });
}

void Connection::askBandwidth()
{
    const std::uint32_t wanted = callBandwidth();
    if (!admittedBy_ || released_ || bandwidthAsked_ || wanted == 0 ||
        wanted == grantedBandwidth_ || wanted == askedBandwidth_)
        return;
    bandwidthAsked_ = true;
    askedBandwidth_ = wanted;
    admittedBy_->changeBandwidth(
        admittedAs_, wanted,
        fromGatekeeper<RasClient::BandwidthAnswer>([wanted](
                                                       const std::shared_ptr<Connection>& keep,
                                                       const RasClient::BandwidthAnswer& answer) {
            keep->bandwidthAsked_ = false;
            if (keep->released_)
                return;
            if (answer.granted) {
                // A gatekeeper may confirm less than asked: that is the call's allowance.
                keep->grantedBandwidth_ = answer.bandwidth ? answer.bandwidth : wanted;
                if (keep->grantedBandwidth_ < wanted)
                    keep->keepWithin(keep->grantedBandwidth_);
            } else if (answer.answered) {
                // Refused.  The allowed figure may be what the gatekeeper's zone has left
                // rather than this call's allowance: never more than what the call was
                // granted before, the allowed figure where that is less.
                const std::uint32_t allowance = std::min(keep->grantedBandwidth_, answer.bandwidth);
                if (allowance > 0 && keep->callBandwidth() > allowance)
                    keep->keepWithin(allowance);
            }
            // Otherwise (no answer) the call goes on as it is, and asks again when its rate
            // changes.
            keep->reviewBandwidth();
        }));
}

namespace {

/// Video below this is not worth sending.
constexpr std::uint64_t LeastVideoRate = 32000;

} // namespace

std::uint64_t Connection::Channel::rate() const
{
    const std::uint64_t opened = bitRateOf(format);
    return flowLimit ? std::min(opened, flowLimit) : opened;
}

void Connection::applyVideoLimit(Channel& channel)
{
    VOIP_TRACE(2, "H323\tGatekeeper bandwidth: " << (channel.fromRemote ? "far end's" : "our")
                                                 << " video at " << channel.rate() << " bit/s on "
                                                 << describe());
    if (channel.fromRemote) {
        // No limit left: the far end may send at the full rate again.
        h245::FlowControl flow{channel.number, {}};
        if (channel.flowLimit)
            flow.maximumBitRate = std::uint32_t(channel.flowLimit / 100);
        queueH245(h245::buildFlowControlCommand(flow));
        flushTunnelled();
    } else if (auto other = otherParty()) {
        other->OnMediaFlowControl(channel.sessionId, channel.rate());
    }
}

void Connection::cutVideo(bool incoming, std::uint64_t excess)
{
    for (const auto& channel : channels_) {
        if (channel->fromRemote != incoming || !channel->open || channel->proposal ||
            channel->sessionId != VideoSessionId)
            continue;
        const std::uint64_t rate = channel->rate();
        channel->flowLimit = rate > excess + LeastVideoRate ? rate - excess : LeastVideoRate;
        applyVideoLimit(*channel);
        return;
    }
}

void Connection::restoreVideo(std::uint64_t surplus)
{
    // The far end's video first, as it was cut last; then ours.
    for (const bool incoming : {true, false}) {
        for (const auto& channel : channels_) {
            if (surplus == 0)
                return;
            if (channel->fromRemote != incoming || !channel->open || channel->proposal ||
                channel->sessionId != VideoSessionId || channel->flowLimit == 0)
                continue;
            const std::uint64_t opened = bitRateOf(channel->format);
            const std::uint64_t ceiling =
                !incoming && channel->farEndLimit ? std::min(opened, channel->farEndLimit) : opened;
            if (channel->flowLimit >= ceiling)
                continue;
            const std::uint64_t raised = std::min(ceiling, channel->flowLimit + surplus);
            surplus -= raised - channel->flowLimit;
            // Back to the full rate: the limit goes (ours stays the far end's, if any).
            channel->flowLimit = raised == opened ? 0 : raised;
            applyVideoLimit(*channel);
        }
    }
}

std::uint32_t Connection::keepWithin(std::uint32_t allowed)
{
    if (const std::uint32_t now = callBandwidth(); now > allowed)
        cutVideo(false, std::uint64_t{now - allowed} * 100);
    if (const std::uint32_t now = callBandwidth(); now > allowed)
        cutVideo(true, std::uint64_t{now - allowed} * 100);
    if (const std::uint32_t now = callBandwidth(); now < allowed)
        restoreVideo(std::uint64_t{allowed - now} * 100);
    // What the call now uses is what the gatekeeper holds for it: no request follows.
    const std::uint32_t now = callBandwidth();
    grantedBandwidth_ = now;
    return now;
}

bool Connection::measureRoundTripDelay()
{
    if (!h245Ready_ || isReleased())
        return false;
    onNetwork([this] {
        if (released_)
            return;
        roundTrip_->measure();
        flushTunnelled();
    });
    return true;
}

std::optional<std::chrono::microseconds> Connection::roundTripDelay() const
{
    return roundTrip_->delay();
}

} // namespace voip::h323
