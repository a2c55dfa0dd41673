#include "voip/h245/channels.h"

#include <algorithm>

#include "voip/asn/codec.h"
#include "voip/h245/schema.h"

#include "voip/h245/message.h"

namespace voip::h245 {
namespace {

asn::Error error(std::string message)
{
    return asn::Error{std::move(message), 0, {}};
}

std::uint16_t channelNumber(const asn::Value& sequence)
{
    return static_cast<std::uint16_t>(sequence["forwardLogicalChannelNumber"].integer());
}

void setOptionalAddress(asn::Value& sequence, std::string_view name,
                        const std::optional<MediaAddress>& address)
{
    if (address)
        setTransportAddress(sequence.field(name), *address);
}

std::optional<MediaAddress> readOptionalAddress(const asn::Value& sequence, std::string_view name)
{
    if (!sequence.has(name))
        return std::nullopt;
    return readTransportAddress(sequence[name]);
}

template <class T>
void setOptionalNumber(asn::Value& sequence, std::string_view name, const std::optional<T>& v)
{
    if (v)
        sequence.field(name).setInteger(*v);
}

template <class T>
std::optional<T> readOptionalNumber(const asn::Value& sequence, std::string_view name)
{
    if (!sequence.has(name))
        return std::nullopt;
    return static_cast<T>(sequence[name].integer());
}

void buildH2250Parameters(asn::Value& h2250, const LogicalChannel& channel)
{
    h2250.field("sessionID").setInteger(channel.sessionId);
    setOptionalNumber(h2250, "associatedSessionID", channel.associatedSessionId);
    setOptionalAddress(h2250, "mediaChannel", channel.mediaChannel);
    setOptionalNumber(h2250, "mediaGuaranteedDelivery", channel.mediaGuaranteedDelivery);
    setOptionalAddress(h2250, "mediaControlChannel", channel.mediaControlChannel);
    setOptionalNumber(h2250, "mediaControlGuaranteedDelivery",
                      channel.mediaControlGuaranteedDelivery);
    setOptionalNumber(h2250, "silenceSuppression", channel.silenceSuppression);
    if (channel.dynamicRtpPayloadType)
        h2250.field("dynamicRTPPayloadType")
            .setInteger(std::clamp<int>(*channel.dynamicRtpPayloadType, 96, 127));
    if (channel.h264PacketizationMode) {
        asn::Value& payload = h2250.field("mediaPacketization").choose("rtpPayloadType");
        payload.field("payloadDescriptor")
            .choose("oid")
            .setOid(h264PacketizationIdentifier(*channel.h264PacketizationMode));
        if (channel.dynamicRtpPayloadType)
            payload.field("payloadType").setInteger(*channel.dynamicRtpPayloadType);
    }
}

void readH2250Parameters(const asn::Value& h2250, LogicalChannel& channel)
{
    channel.sessionId = static_cast<std::uint8_t>(h2250["sessionID"].integer());
    channel.associatedSessionId = readOptionalNumber<std::uint8_t>(h2250, "associatedSessionID");
    channel.mediaChannel = readOptionalAddress(h2250, "mediaChannel");
    channel.mediaGuaranteedDelivery = readOptionalNumber<bool>(h2250, "mediaGuaranteedDelivery");
    channel.mediaControlChannel = readOptionalAddress(h2250, "mediaControlChannel");
    channel.mediaControlGuaranteedDelivery =
        readOptionalNumber<bool>(h2250, "mediaControlGuaranteedDelivery");
    channel.silenceSuppression = readOptionalNumber<bool>(h2250, "silenceSuppression");
    channel.dynamicRtpPayloadType =
        readOptionalNumber<std::uint8_t>(h2250, "dynamicRTPPayloadType");
    channel.h264PacketizationMode.reset();
    if (h2250.has("mediaPacketization") && h2250["mediaPacketization"].is("rtpPayloadType")) {
        const asn::Value& descriptor = h2250["mediaPacketization"].chosen()["payloadDescriptor"];
        if (descriptor.is("oid"))
            channel.h264PacketizationMode = h264PacketizationModeOf(descriptor.chosen().oid());
    }
}

// Chooses a NULL-valued alternative by name; false if there is none of that name.
bool chooseNull(asn::Value& choice, std::string_view name)
{
    const asn::Type* type = choice.type();
    const int index = type ? type->indexOf(name) : -1;
    if (index < 0 || type->components[index].type->kind != asn::Kind::Null)
        return false;
    choice.choose(index);
    return true;
}

asn::Value numberedMessage(MessageCategory category, std::string_view name, std::uint16_t number)
{
    asn::Value message = newMessage(category, name);
    if (message.present())
        messageBody(message).field("forwardLogicalChannelNumber").setInteger(number);
    return message;
}

} // namespace

void setTransportAddress(asn::Value& out, const MediaAddress& address)
{
    asn::Value& unicast = out.choose("unicastAddress");
    asn::Value& ip = unicast.choose(address.ipv6 ? "iP6Address" : "iPAddress");
    ip.field("network").setOctets(std::span(address.ip.data(), address.ipv6 ? 16 : 4));
    ip.field("tsapIdentifier").setInteger(address.port);
}

std::optional<MediaAddress> readTransportAddress(const asn::Value& transportAddress)
{
    if (!transportAddress.is("unicastAddress"))
        return std::nullopt;
    const asn::Value& unicast = transportAddress.chosen();
    MediaAddress address;
    if (unicast.is("iP6Address"))
        address.ipv6 = true;
    else if (!unicast.is("iPAddress"))
        return std::nullopt;
    const auto network = unicast.chosen()["network"].octets();
    if (network.size() != (address.ipv6 ? 16u : 4u))
        return std::nullopt;
    std::copy(network.begin(), network.end(), address.ip.begin());
    address.port = static_cast<std::uint16_t>(unicast.chosen()["tsapIdentifier"].integer());
    return address;
}

asn::Value buildOpenLogicalChannel(const LogicalChannel& channel)
{
    std::string alternative;
    asn::Value media = buildMediaCapability(channel.dataType, alternative);
    if (!media.present())
        return {};
    asn::Value message = newMessage(MessageCategory::Request, "openLogicalChannel");
    if (!message.present())
        return message;
    asn::Value& olc = messageBody(message);
    olc.field("forwardLogicalChannelNumber").setInteger(channel.number);
    asn::Value& forward = olc.field("forwardLogicalChannelParameters");
    forward.field("dataType").choose(alternative) = media;
    buildH2250Parameters(
        forward.field("multiplexParameters").choose("h2250LogicalChannelParameters"), channel);
    if (channel.bidirectional) {
        asn::Value& reverse = olc.field("reverseLogicalChannelParameters");
        reverse.field("dataType").choose(alternative) = std::move(media);
        reverse.field("multiplexParameters")
            .choose("h2250LogicalChannelParameters")
            .field("sessionID")
            .setInteger(channel.sessionId);
    }
    return message;
}

asn::Result<LogicalChannel> readOpenLogicalChannel(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Request, "openLogicalChannel");
    if (!body)
        return body.error();
    const asn::Value& olc = **body;
    LogicalChannel channel;
    channel.number = channelNumber(olc);
    const asn::Value& forward = olc["forwardLogicalChannelParameters"];
    const asn::Value& dataType = forward["dataType"];
    if (dataType.is("audioData") || dataType.is("videoData") || dataType.is("data")) {
        channel.dataType = readMediaCapability(dataType.chosen());
    } else {
        channel.dataType = Capability{};
        channel.dataType.otherName =
            dataType.choiceName().empty() ? "unknown" : std::string(dataType.choiceName());
    }
    const asn::Value& multiplex = forward["multiplexParameters"];
    if (!multiplex.is("h2250LogicalChannelParameters"))
        return error("openLogicalChannel without H.225.0 channel parameters");
    readH2250Parameters(multiplex.chosen(), channel);
    channel.bidirectional = olc.has("reverseLogicalChannelParameters");
    return channel;
}

asn::Result<std::vector<std::uint8_t>> encodeFastStartChannel(const FastStartChannel& proposal)
{
    const asn::Type* type = findType("OpenLogicalChannel");
    if (!type)
        return loadSchema().error();
    std::string alternative;
    asn::Value media = buildMediaCapability(proposal.channel.dataType, alternative);
    if (!media.present())
        return error("fast-start channel without a media data type");
    asn::Value olc(*type);
    olc.field("forwardLogicalChannelNumber").setInteger(proposal.channel.number);
    asn::Value& forward = olc.field("forwardLogicalChannelParameters");
    if (proposal.receive) {
        forward.field("dataType").choose("nullData");
        forward.field("multiplexParameters").choose("none");
        asn::Value& reverse = olc.field("reverseLogicalChannelParameters");
        reverse.field("dataType").choose(alternative) = std::move(media);
        buildH2250Parameters(
            reverse.field("multiplexParameters").choose("h2250LogicalChannelParameters"),
            proposal.channel);
    } else {
        forward.field("dataType").choose(alternative) = std::move(media);
        buildH2250Parameters(
            forward.field("multiplexParameters").choose("h2250LogicalChannelParameters"),
            proposal.channel);
    }
    return asn::encode(olc);
}

asn::Result<FastStartChannel> decodeFastStartChannel(std::span<const std::uint8_t> bytes)
{
    const asn::Type* type = findType("OpenLogicalChannel");
    if (!type)
        return loadSchema().error();
    auto decoded = asn::decode(*type, bytes);
    if (!decoded)
        return decoded.error();
    const asn::Value& olc = *decoded;
    FastStartChannel proposal;
    proposal.channel.number = channelNumber(olc);
    const asn::Value& forward = olc["forwardLogicalChannelParameters"];
    proposal.receive = forward["dataType"].is("nullData");
    const asn::Value& parameters =
        proposal.receive ? olc["reverseLogicalChannelParameters"] : forward;
    const asn::Value& dataType = parameters["dataType"];
    if (dataType.is("audioData") || dataType.is("videoData") || dataType.is("data")) {
        proposal.channel.dataType = readMediaCapability(dataType.chosen());
    } else {
        proposal.channel.dataType.otherName =
            dataType.choiceName().empty() ? "unknown" : std::string(dataType.choiceName());
    }
    const asn::Value& multiplex = parameters["multiplexParameters"];
    if (!multiplex.is("h2250LogicalChannelParameters"))
        return error("fast-start channel without H.225.0 channel parameters");
    readH2250Parameters(multiplex.chosen(), proposal.channel);
    return proposal;
}

asn::Value buildOpenLogicalChannelAck(const LogicalChannelAck& ack)
{
    asn::Value message =
        numberedMessage(MessageCategory::Response, "openLogicalChannelAck", ack.number);
    if (!message.present())
        return message;
    asn::Value& body = messageBody(message);
    if (ack.reverseNumber) {
        asn::Value& reverse = body.field("reverseLogicalChannelParameters");
        reverse.field("reverseLogicalChannelNumber").setInteger(*ack.reverseNumber);
    }
    asn::Value& h2250 =
        body.field("forwardMultiplexAckParameters").choose("h2250LogicalChannelAckParameters");
    if (ack.sessionId && *ack.sessionId > 0)
        h2250.field("sessionID").setInteger(*ack.sessionId);
    setOptionalAddress(h2250, "mediaChannel", ack.mediaChannel);
    setOptionalAddress(h2250, "mediaControlChannel", ack.mediaControlChannel);
    if (ack.dynamicRtpPayloadType)
        h2250.field("dynamicRTPPayloadType")
            .setInteger(std::clamp<int>(*ack.dynamicRtpPayloadType, 96, 127));
    return message;
}

asn::Result<LogicalChannelAck> readOpenLogicalChannelAck(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Response, "openLogicalChannelAck");
    if (!body)
        return body.error();
    const asn::Value& olcAck = **body;
    LogicalChannelAck ack;
    ack.number = channelNumber(olcAck);
    if (olcAck.has("reverseLogicalChannelParameters"))
        ack.reverseNumber = static_cast<std::uint16_t>(
            olcAck["reverseLogicalChannelParameters"]["reverseLogicalChannelNumber"].integer());
    const asn::Value& parameters = olcAck["forwardMultiplexAckParameters"];
    if (parameters.is("h2250LogicalChannelAckParameters")) {
        const asn::Value& h2250 = parameters.chosen();
        ack.sessionId = readOptionalNumber<std::uint8_t>(h2250, "sessionID");
        ack.mediaChannel = readOptionalAddress(h2250, "mediaChannel");
        ack.mediaControlChannel = readOptionalAddress(h2250, "mediaControlChannel");
        ack.dynamicRtpPayloadType =
            readOptionalNumber<std::uint8_t>(h2250, "dynamicRTPPayloadType");
    }
    return ack;
}

asn::Value buildOpenLogicalChannelReject(std::uint16_t number, std::string_view cause)
{
    asn::Value message =
        numberedMessage(MessageCategory::Response, "openLogicalChannelReject", number);
    if (!message.present() || !chooseNull(messageBody(message).field("cause"), cause))
        return {};
    return message;
}

asn::Result<ChannelCause> readOpenLogicalChannelReject(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Response, "openLogicalChannelReject");
    if (!body)
        return body.error();
    return ChannelCause{channelNumber(**body), std::string((**body)["cause"].choiceName())};
}

asn::Value buildOpenLogicalChannelConfirm(std::uint16_t number)
{
    return numberedMessage(MessageCategory::Indication, "openLogicalChannelConfirm", number);
}

asn::Value buildCloseLogicalChannel(std::uint16_t number, std::string_view reason)
{
    asn::Value message = numberedMessage(MessageCategory::Request, "closeLogicalChannel", number);
    if (!message.present())
        return message;
    asn::Value& body = messageBody(message);
    body.field("source").choose("user");
    // reason is a mandatory extension addition: "unknown" when none is given.
    if (!chooseNull(body.field("reason"), reason.empty() ? "unknown" : reason))
        return {};
    return message;
}

asn::Result<ChannelCause> readCloseLogicalChannel(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Request, "closeLogicalChannel");
    if (!body)
        return body.error();
    return ChannelCause{channelNumber(**body), std::string((**body)["reason"].choiceName())};
}

asn::Value buildCloseLogicalChannelAck(std::uint16_t number)
{
    return numberedMessage(MessageCategory::Response, "closeLogicalChannelAck", number);
}

asn::Value buildRequestChannelClose(std::uint16_t number, std::string_view reason)
{
    asn::Value message = numberedMessage(MessageCategory::Request, "requestChannelClose", number);
    if (!message.present())
        return message;
    if (!chooseNull(messageBody(message).field("reason"), reason.empty() ? "unknown" : reason))
        return {};
    return message;
}

asn::Result<ChannelCause> readRequestChannelClose(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Request, "requestChannelClose");
    if (!body)
        return body.error();
    return ChannelCause{channelNumber(**body), std::string((**body)["reason"].choiceName())};
}

asn::Value buildRequestChannelCloseAck(std::uint16_t number)
{
    return numberedMessage(MessageCategory::Response, "requestChannelCloseAck", number);
}

asn::Value buildRequestChannelCloseReject(std::uint16_t number)
{
    asn::Value message =
        numberedMessage(MessageCategory::Response, "requestChannelCloseReject", number);
    if (message.present())
        messageBody(message).field("cause").choose("unspecified");
    return message;
}

asn::Value buildRequestChannelCloseRelease(std::uint16_t number)
{
    return numberedMessage(MessageCategory::Indication, "requestChannelCloseRelease", number);
}

asn::Result<std::uint16_t> readChannelNumber(const asn::Value& message)
{
    if (!kindOf(message))
        return error("not an H.245 message");
    const asn::Value& body = messageBody(message);
    if (!body.type() || body.type()->indexOf("forwardLogicalChannelNumber") < 0)
        return error("message without a forwardLogicalChannelNumber");
    return channelNumber(body);
}

} // namespace voip::h245
