// fastStart of an H.323 connection: the channel proposals of a Setup, the answer chosen
// from them, and reading the answer to ours.

#include "voip/h323/faststart.h"

#include <algorithm>

#include "voip/asn/codec.h"
#include "voip/h245/message.h"
#include "voip/h245/schema.h"
#include "voip/h323/capabilitymap.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

namespace {

/// The most proposals looked at in one message (undecodable ones count).
constexpr std::size_t MaxProposals = 256;

/// The data type of a fastStart proposal and whether the proposer receives on it
/// (reverse parameters with a null forward data type).
struct Proposal
{
    std::uint16_t number = 0;
    bool proposerReceives = false;
    h245::Capability capability;
    unsigned sessionId = 0;
    std::optional<h245::MediaAddress> mediaChannel;
    std::optional<h245::MediaAddress> mediaControlChannel;
    std::optional<int> dynamicPayloadType;
    std::optional<std::uint8_t> packetizationMode; ///< H.264 mediaPacketization
    bool valid = false;
};

Proposal readProposal(const asn::Value& olc)
{
    Proposal proposal;
    proposal.number = static_cast<std::uint16_t>(olc[f245::forwardLogicalChannelNumber].integer());
    const asn::Value& forward = olc[f245::forwardLogicalChannelParameters];
    const asn::Value* dataType = &forward[f245::dataType];
    const asn::Value* multiplex = &forward[f245::multiplexParameters];
    if (dataType->is(f245::nullData) && olc.has(f245::reverseLogicalChannelParameters)) {
        proposal.proposerReceives = true;
        dataType = &olc[f245::reverseLogicalChannelParameters][f245::dataType];
        multiplex = &olc[f245::reverseLogicalChannelParameters][f245::multiplexParameters];
    }
    if (!dataType->is(f245::audioData) && !dataType->is(f245::videoData) &&
        !dataType->is(f245::data))
        return proposal;
    proposal.capability = h245::readMediaCapability(dataType->chosen());
    if (!multiplex->is(f245::h2250LogicalChannelParameters))
        return proposal;
    const asn::Value& h2250 = multiplex->chosen();
    proposal.sessionId = static_cast<unsigned>(h2250[f245::sessionID].integer());
    if (h2250.has(f245::mediaChannel))
        proposal.mediaChannel = h245::readTransportAddress(h2250[f245::mediaChannel]);
    if (h2250.has(f245::mediaControlChannel))
        proposal.mediaControlChannel = h245::readTransportAddress(h2250[f245::mediaControlChannel]);
    if (h2250.has(f245::dynamicRTPPayloadType))
        proposal.dynamicPayloadType =
            static_cast<int>(h2250[f245::dynamicRTPPayloadType].integer());
    if (h2250.has(f245::mediaPacketization) &&
        h2250[f245::mediaPacketization].is(f245::rtpPayloadType)) {
        const asn::Value& descriptor =
            h2250[f245::mediaPacketization].chosen()[f245::payloadDescriptor];
        if (descriptor.is(f245::oid))
            proposal.packetizationMode = h245::h264PacketizationModeOf(descriptor.chosen().oid());
    }
    proposal.valid = true;
    return proposal;
}

asn::Value& h2250Of(asn::Value& olc, bool reverse)
{
    if (reverse)
        return olc.field(f245::reverseLogicalChannelParameters)
            .field(f245::multiplexParameters)
            .choose(f245::h2250LogicalChannelParameters);
    return olc.field(f245::forwardLogicalChannelParameters)
        .field(f245::multiplexParameters)
        .choose(f245::h2250LogicalChannelParameters);
}

} // namespace

FastStart::FastStart(LogicalChannels& channels, ChannelMedia& media, FastStartNumbering numbering)
    : channels_(channels)
    , media_(media)
    , numbering_(numbering)
{}

std::vector<std::string> FastStart::offer()
{
    std::vector<std::string> offers;
    for (const auto& format : media_.formatsToOffer()) {
        const unsigned sessionId = sessionOfFormat(format);
        if (sessionId != AudioSessionId && sessionId != VideoSessionId)
            continue;
        auto capability = capabilityOfFormat(format);
        MediaSessionPorts* media = channels_.session(sessionId);
        if (!capability || !media)
            continue;
        for (const bool weReceive : {false, true}) {
            h245::LogicalChannel parameters;
            parameters.number = channels_.newNumber();
            parameters.dataType = *capability;
            parameters.sessionId = static_cast<std::uint8_t>(sessionId);
            parameters.mediaControlChannel = media->rtcpAddress;
            if (weReceive)
                parameters.mediaChannel = media->rtpAddress;
            if (isH264(*capability))
                parameters.h264PacketizationMode = 1;
            auto message = h245::buildOpenLogicalChannel(parameters);
            if (!message.present())
                continue;
            asn::Value olc = h245::messageBody(message);
            if (weReceive) {
                asn::Value& forward = olc.field(f245::forwardLogicalChannelParameters);
                asn::Value& reverse = olc.field(f245::reverseLogicalChannelParameters);
                reverse.field(f245::dataType) = forward[f245::dataType];
                h2250Of(olc, true) = forward[f245::multiplexParameters].chosen();
                forward.field(f245::dataType).choose(f245::nullData);
                forward.field(f245::multiplexParameters).choose(f245::none);
            }
            auto encoded = asn::encode(olc);
            if (!encoded)
                continue;
            offers.emplace_back(encoded->begin(), encoded->end());
            auto channel = std::make_unique<ChannelState>();
            channel->number = parameters.number;
            channel->sessionId = sessionId;
            channel->fromRemote = weReceive;
            channel->proposal = true;
            channel->format = format;
            channel->format.setIntegerOption(option::PacketizationMode, 1);
            channels_.list().push_back(std::move(channel));
        }
    }
    return offers;
}

void FastStart::remember(const asn::Value& elements)
{
    const asn::Type* type = h245::findType("OpenLogicalChannel");
    if (!type)
        return;
    for (std::size_t i = 0; i < elements.size() && i < MaxProposals; ++i) {
        auto olc = asn::decode(*type, elements.at(i).octets());
        if (olc)
            offers_.push_back(std::move(olc.value()));
    }
}

std::vector<std::string> FastStart::answer()
{
    answered_ = true;
    std::vector<std::string> answers;
    const auto offered = media_.formatsToOffer();
    std::vector<std::pair<unsigned, bool>> taken; // (session, we receive)
    // Each answer keeps the number of the proposal it accepts: callers find their proposal
    // by it (some by nothing else) and take the channel we transmit on under that number.
    // Channels we open later through H.245 are numbered above every proposed number, so
    // that neither side can mistake one channel for another.
    for (const auto& offer : offers_)
        channels_.reserveAbove(offer[f245::forwardLogicalChannelNumber].integer());
    // Of the caller's proposals for a direction, the one highest in our own order wins:
    // what we transmit is our choice among what the caller receives.
    auto rank = [&](const asn::Value& offer) {
        const Proposal proposal = readProposal(offer);
        const MediaFormat* format =
            proposal.valid ? formatOfCapability(offered, proposal.capability) : nullptr;
        for (std::size_t i = 0; format && i < offered.size(); ++i) {
            if (offered[i].name() == format->name())
                return i;
        }
        return offered.size();
    };
    std::stable_sort(offers_.begin(), offers_.end(),
                     [&](const asn::Value& a, const asn::Value& b) { return rank(a) < rank(b); });
    for (const auto& offer : offers_) {
        const Proposal proposal = readProposal(offer);
        if (!proposal.valid)
            continue;
        const MediaFormat* format = formatOfCapability(offered, proposal.capability);
        if (!format)
            continue;
        const unsigned sessionId =
            proposal.sessionId != 0 ? proposal.sessionId : sessionOfFormat(*format);
        const bool weReceive = !proposal.proposerReceives;
        if (std::find(taken.begin(), taken.end(), std::pair{sessionId, weReceive}) != taken.end())
            continue;
        if (!weReceive && !proposal.mediaChannel)
            continue; // nowhere to send to
        MediaSessionPorts* media = channels_.session(sessionId);
        if (!media)
            continue;
        asn::Value answer = offer;
        const std::uint16_t number = weReceive || numbering_ == FastStartNumbering::Proposal
                                         ? proposal.number
                                         : channels_.newNumber();
        answer.field(f245::forwardLogicalChannelNumber).setInteger(number);
        asn::Value& h2250 = h2250Of(answer, !weReceive);
        if (weReceive)
            h245::setTransportAddress(h2250.field(f245::mediaChannel), media->rtpAddress);
        h245::setTransportAddress(h2250.field(f245::mediaControlChannel), media->rtcpAddress);
        auto encoded = asn::encode(answer);
        if (!encoded)
            continue;
        answers.emplace_back(encoded->begin(), encoded->end());
        taken.emplace_back(sessionId, weReceive);
        auto channel = std::make_unique<ChannelState>();
        channel->number = number;
        channel->sessionId = sessionId;
        channel->fromRemote = weReceive;
        channel->open = true;
        channel->fastStart = true;
        // What we send is what the caller's proposal says it receives.
        channel->format = weReceive ? *format
                                    : formatToTransmit(*format, proposal.capability,
                                                       proposal.packetizationMode.value_or(0));
        // The payload type the proposal names for its direction is the one on the wire.
        if (proposal.dynamicPayloadType)
            channel->format.setPayloadType(*proposal.dynamicPayloadType);
        if (!weReceive)
            channel->remoteMedia = *proposal.mediaChannel;
        media->updateRemote(weReceive ? std::nullopt : proposal.mediaChannel,
                            proposal.mediaControlChannel);
        channel->stream = media_.openStream(channel->format, sessionId, weReceive);
        channels_.list().push_back(std::move(channel));
    }
    offers_.clear();
    media_.channelsChanged();
    return answers;
}

bool FastStart::readAnswer(const asn::Value& elements)
{
    answered_ = true;
    const asn::Type* type = h245::findType("OpenLogicalChannel");
    bool accepted = false;
    for (std::size_t i = 0; type && i < elements.size() && i < MaxProposals; ++i) {
        auto olc = asn::decode(*type, elements.at(i).octets());
        if (!olc)
            continue;
        const Proposal answer = readProposal(*olc);
        if (!answer.valid)
            continue;
        // The answer to our "we receive" proposal comes back in reverse form.
        const bool weReceive = answer.proposerReceives;
        ChannelState* chosen =
            findAnsweredProposal(answer.number, weReceive, answer.sessionId, answer.capability);
        if (!chosen)
            continue;
        const unsigned sessionId = chosen->sessionId;
        // One channel per session and direction: the first accepted proposal wins, the
        // rest of that session's proposals in that direction are withdrawn.
        for (auto& other : channels_.list()) {
            if (other.get() != chosen && other->proposal && other->fromRemote == weReceive &&
                other->sessionId == sessionId)
                other->withdrawn = true;
        }
        chosen->proposal = false;
        chosen->open = true;
        chosen->fastStart = true;
        if (!weReceive)
            chosen->format = formatToTransmit(chosen->format, answer.capability,
                                              answer.packetizationMode.value_or(0));
        // The channel the far end transmits on carries the far end's own number
        // (H.323 8.1.7.1); it names the channel when the far end closes it.
        chosen->number = answer.number;
        if (!weReceive && answer.mediaChannel)
            chosen->remoteMedia = *answer.mediaChannel;
        if (auto found = channels_.sessions().find(sessionId); found != channels_.sessions().end())
            found->second->updateRemote(weReceive ? std::nullopt : answer.mediaChannel,
                                        answer.mediaControlChannel);
        chosen->stream = media_.openStream(chosen->format, sessionId, weReceive);
        accepted = true;
    }
    std::erase_if(channels_.list(), [](const auto& channel) { return channel->proposal; });
    media_.channelsChanged();
    return accepted;
}

void FastStart::refused()
{
    answered_ = true;
    std::erase_if(channels_.list(), [](const auto& channel) { return channel->proposal; });
}

ChannelState* FastStart::findAnsweredProposal(std::uint16_t number, bool weReceive,
                                              unsigned sessionId,
                                              const h245::Capability& capability)
{
    auto matches = [&](const ChannelState& channel) {
        if (!channel.proposal || channel.withdrawn || channel.fromRemote != weReceive)
            return false;
        if (sessionId != 0 && channel.sessionId != sessionId)
            return false;
        return formatOfCapability(MediaFormatList{channel.format}, capability) != nullptr;
    };
    // Our transmit proposals come back with our numbers.  A received channel is numbered
    // by the far end, so only its session and data type say which proposal it takes.
    if (!weReceive) {
        for (auto& channel : channels_.list()) {
            if (channel->number == number && matches(*channel))
                return channel.get();
        }
    }
    for (auto& channel : channels_.list()) {
        if (matches(*channel))
            return channel.get();
    }
    return nullptr;
}

} // namespace voip::h323
