// User input, indications, flow control and the call's bandwidth on an H.323 connection.

#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"

#include "voip/base/trace.h"
#include "voip/core/call.h"
#include "voip/h323/capabilitymap.h"
#include "voip/core/manager.h"
#include "voip/h323/fields.h"

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
    for (const auto& channel : channels_->list()) {
        if (channel->fromRemote || !channel->open || channel->proposal ||
            channel->sessionId != AudioSessionId)
            continue;
        queueH245(h245::buildMiscellaneousIndication(channel->number,
                                                     *muteWanted_ ? f245::logicalChannelInactive
                                                                  : f245::logicalChannelActive));
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

// --- the channels' rates ---

std::vector<RatedChannel> Connection::Rates::openChannels()
{
    std::vector<RatedChannel> open;
    for (const auto& channel : connection_.channels_->list()) {
        if (!channel->open || channel->proposal)
            continue;
        RatedChannel rated;
        rated.number = channel->number;
        rated.sessionId = channel->sessionId;
        rated.incoming = channel->fromRemote;
        rated.video = channel->sessionId == VideoSessionId;
        rated.opened = bitRateOf(channel->format);
        rated.formatMaximum = static_cast<std::uint64_t>(
            std::max<std::int64_t>(0, channel->format.integerOption(option::MaxBitRate, 0)));
        rated.limits = &channel->limits;
        open.push_back(rated);
    }
    return open;
}

void Connection::Rates::applyRate(const RatedChannel& channel, std::uint64_t rate)
{
    if (channel.incoming) {
        // No limit left: the far end may send at the full rate again.
        h245::FlowControl flow{channel.number, {}};
        if (channel.limits->flow)
            flow.maximumBitRate = std::uint32_t(channel.limits->flow / 100);
        connection_.queueH245(h245::buildFlowControlCommand(flow));
        connection_.flushTunnelled();
    } else if (auto other = connection_.otherParty()) {
        other->OnMediaFlowControl(channel.sessionId, rate);
    }
}

void Connection::Rates::askGatekeeper(std::uint32_t wanted)
{
    connection_.admittedBy_->changeBandwidth(
        connection_.admittedAs_, wanted,
        connection_.fromGatekeeper<
            RasClient::BandwidthAnswer>([wanted](const std::shared_ptr<Connection>& keep,
                                                 const RasClient::BandwidthAnswer& answer) {
            keep->bandwidth_->answered(wanted, {answer.answered, answer.granted, answer.bandwidth});
        }));
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
