#include "voip/h245/channels.h"

#include <algorithm>

#include "voip/asn/codec.h"
#include "voip/h245/schema.h"

#include "voip/h245/message.h"
#include "voip/h245/field.h"

namespace voip::h245 {
namespace {

asn::Error error(std::string message)
{
    return asn::Error{std::move(message), 0, {}};
}

std::uint16_t channelNumber(const asn::Value& sequence)
{
    return static_cast<std::uint16_t>(sequence[field::forwardLogicalChannelNumber].integer());
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
    h2250.field(field::sessionID).setInteger(channel.sessionId);
    setOptionalNumber(h2250, "associatedSessionID", channel.associatedSessionId);
    setOptionalAddress(h2250, "mediaChannel", channel.mediaChannel);
    setOptionalNumber(h2250, "mediaGuaranteedDelivery", channel.mediaGuaranteedDelivery);
    setOptionalAddress(h2250, "mediaControlChannel", channel.mediaControlChannel);
    setOptionalNumber(h2250, "mediaControlGuaranteedDelivery",
                      channel.mediaControlGuaranteedDelivery);
    setOptionalNumber(h2250, "silenceSuppression", channel.silenceSuppression);
    if (channel.dynamicRtpPayloadType)
        h2250.field(field::dynamicRTPPayloadType)
            .setInteger(std::clamp<int>(*channel.dynamicRtpPayloadType, 96, 127));
    if (channel.h264PacketizationMode) {
        asn::Value& payload = h2250.field(field::mediaPacketization).choose(field::rtpPayloadType);
        payload.field(field::payloadDescriptor)
            .choose(field::oid)
            .setOid(h264PacketizationIdentifier(*channel.h264PacketizationMode));
        if (channel.dynamicRtpPayloadType)
            payload.field(field::payloadType).setInteger(*channel.dynamicRtpPayloadType);
    }
}

void readH2250Parameters(const asn::Value& h2250, LogicalChannel& channel)
{
    channel.sessionId = static_cast<std::uint8_t>(h2250[field::sessionID].integer());
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
    if (h2250.has(field::mediaPacketization) &&
        h2250[field::mediaPacketization].is(field::rtpPayloadType)) {
        const asn::Value& descriptor =
            h2250[field::mediaPacketization].chosen()[field::payloadDescriptor];
        if (descriptor.is(field::oid))
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
        messageBody(message).field(field::forwardLogicalChannelNumber).setInteger(number);
    return message;
}

} // namespace

void setTransportAddress(asn::Value& out, const MediaAddress& address)
{
    asn::Value& unicast = out.choose(field::unicastAddress);
    asn::Value& ip = unicast.choose(address.ipv6 ? field::iP6Address : field::iPAddress);
    ip.field(field::network).setOctets(std::span(address.ip.data(), address.ipv6 ? 16 : 4));
    ip.field(field::tsapIdentifier).setInteger(address.port);
}

std::optional<MediaAddress> readTransportAddress(const asn::Value& transportAddress)
{
    if (!transportAddress.is(field::unicastAddress))
        return std::nullopt;
    const asn::Value& unicast = transportAddress.chosen();
    MediaAddress address;
    if (unicast.is(field::iP6Address))
        address.ipv6 = true;
    else if (!unicast.is(field::iPAddress))
        return std::nullopt;
    const auto network = unicast.chosen()[field::network].octets();
    if (network.size() != (address.ipv6 ? 16u : 4u))
        return std::nullopt;
    std::copy(network.begin(), network.end(), address.ip.begin());
    address.port = static_cast<std::uint16_t>(unicast.chosen()[field::tsapIdentifier].integer());
    return address;
}

namespace {

/// Sets a DataType to the media, wrapped as AES-128-CBC encrypted when asked.
void setDataType(asn::Value& dataType, const std::string& alternative, const asn::Value& media,
                 bool encrypted)
{
    if (!encrypted) {
        dataType.choose(alternative) = media;
        return;
    }
    asn::Value& wrapped = dataType.choose(field::h235Media);
    setAes128Cbc(wrapped.field(field::encryptionAuthenticationAndIntegrity));
    wrapped.field(field::mediaType).choose(alternative) = media;
}

void setEncryptionSync(asn::Value& parent, const EncryptionSync& sync)
{
    asn::Value& value = parent.field(field::encryptionSync);
    value.field(field::synchFlag).setInteger(sync.synchFlag);
    value.field(field::h235Key).setOctets(sync.h235Key);
}

std::optional<EncryptionSync> readEncryptionSync(const asn::Value& parent)
{
    if (!parent.has(field::encryptionSync))
        return std::nullopt;
    const asn::Value& value = parent[field::encryptionSync];
    const auto key = value[field::h235Key].octets();
    return EncryptionSync{std::uint8_t(value[field::synchFlag].integer()),
                          std::vector<std::uint8_t>(key.begin(), key.end())};
}

} // namespace

asn::Value buildOpenLogicalChannel(const LogicalChannel& channel)
{
    std::string alternative;
    asn::Value media = buildMediaCapability(channel.dataType, alternative);
    if (!media.present())
        return {};
    asn::Value message = newMessage(MessageCategory::Request, field::openLogicalChannel);
    if (!message.present())
        return message;
    asn::Value& olc = messageBody(message);
    olc.field(field::forwardLogicalChannelNumber).setInteger(channel.number);
    asn::Value& forward = olc.field(field::forwardLogicalChannelParameters);
    setDataType(forward.field(field::dataType), alternative, media, channel.encrypted);
    buildH2250Parameters(
        forward.field(field::multiplexParameters).choose(field::h2250LogicalChannelParameters),
        channel);
    if (channel.bidirectional) {
        asn::Value& reverse = olc.field(field::reverseLogicalChannelParameters);
        setDataType(reverse.field(field::dataType), alternative, media, channel.encrypted);
        reverse.field(field::multiplexParameters)
            .choose(field::h2250LogicalChannelParameters)
            .field(field::sessionID)
            .setInteger(channel.sessionId);
    }
    if (channel.encryptionSync)
        setEncryptionSync(olc, *channel.encryptionSync);
    if (channel.traversal)
        addMediaTraversal(olc.field(field::genericInformation), *channel.traversal);
    return message;
}

asn::Result<LogicalChannel> readOpenLogicalChannel(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Request, field::openLogicalChannel);
    if (!body)
        return body.error();
    const asn::Value& olc = **body;
    LogicalChannel channel;
    channel.number = channelNumber(olc);
    const asn::Value& forward = olc[field::forwardLogicalChannelParameters];
    const asn::Value* dataType = &forward[field::dataType];
    if (dataType->is(field::h235Media)) {
        // Encrypted media: the cipher is ours only when AES-128-CBC is among those named.
        const asn::Value& wrapped = dataType->chosen();
        if (!namesAes128Cbc(wrapped[field::encryptionAuthenticationAndIntegrity]))
            return error("encrypted channel with a cipher other than AES-128-CBC");
        channel.encrypted = true;
        dataType = &wrapped[field::mediaType];
    }
    if (dataType->is(field::audioData) || dataType->is(field::videoData) ||
        dataType->is(field::data)) {
        channel.dataType = readMediaCapability(dataType->chosen());
    } else {
        channel.dataType = Capability{};
        channel.dataType.otherName =
            dataType->choiceName().empty() ? "unknown" : std::string(dataType->choiceName());
    }
    const asn::Value& multiplex = forward[field::multiplexParameters];
    if (!multiplex.is(field::h2250LogicalChannelParameters))
        return error("openLogicalChannel without H.225.0 channel parameters");
    readH2250Parameters(multiplex.chosen(), channel);
    channel.bidirectional = olc.has(field::reverseLogicalChannelParameters);
    channel.encryptionSync = readEncryptionSync(olc);
    if (olc.has(field::genericInformation))
        channel.traversal = readMediaTraversal(olc[field::genericInformation]);
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
    olc.field(field::forwardLogicalChannelNumber).setInteger(proposal.channel.number);
    asn::Value& forward = olc.field(field::forwardLogicalChannelParameters);
    if (proposal.receive) {
        forward.field(field::dataType).choose(field::nullData);
        forward.field(field::multiplexParameters).choose(field::none);
        asn::Value& reverse = olc.field(field::reverseLogicalChannelParameters);
        reverse.field(field::dataType).choose(alternative) = std::move(media);
        buildH2250Parameters(
            reverse.field(field::multiplexParameters).choose(field::h2250LogicalChannelParameters),
            proposal.channel);
    } else {
        forward.field(field::dataType).choose(alternative) = std::move(media);
        buildH2250Parameters(
            forward.field(field::multiplexParameters).choose(field::h2250LogicalChannelParameters),
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
    const asn::Value& forward = olc[field::forwardLogicalChannelParameters];
    proposal.receive = forward[field::dataType].is(field::nullData);
    const asn::Value& parameters =
        proposal.receive ? olc[field::reverseLogicalChannelParameters] : forward;
    const asn::Value& dataType = parameters[field::dataType];
    if (dataType.is(field::audioData) || dataType.is(field::videoData) ||
        dataType.is(field::data)) {
        proposal.channel.dataType = readMediaCapability(dataType.chosen());
    } else {
        proposal.channel.dataType.otherName =
            dataType.choiceName().empty() ? "unknown" : std::string(dataType.choiceName());
    }
    const asn::Value& multiplex = parameters[field::multiplexParameters];
    if (!multiplex.is(field::h2250LogicalChannelParameters))
        return error("fast-start channel without H.225.0 channel parameters");
    readH2250Parameters(multiplex.chosen(), proposal.channel);
    return proposal;
}

asn::Value buildOpenLogicalChannelAck(const LogicalChannelAck& ack)
{
    asn::Value message =
        numberedMessage(MessageCategory::Response, field::openLogicalChannelAck, ack.number);
    if (!message.present())
        return message;
    asn::Value& body = messageBody(message);
    if (ack.reverseNumber) {
        asn::Value& reverse = body.field(field::reverseLogicalChannelParameters);
        reverse.field(field::reverseLogicalChannelNumber).setInteger(*ack.reverseNumber);
    }
    asn::Value& h2250 = body.field(field::forwardMultiplexAckParameters)
                            .choose(field::h2250LogicalChannelAckParameters);
    if (ack.sessionId && *ack.sessionId > 0)
        h2250.field(field::sessionID).setInteger(*ack.sessionId);
    setOptionalAddress(h2250, "mediaChannel", ack.mediaChannel);
    setOptionalAddress(h2250, "mediaControlChannel", ack.mediaControlChannel);
    if (ack.dynamicRtpPayloadType)
        h2250.field(field::dynamicRTPPayloadType)
            .setInteger(std::clamp<int>(*ack.dynamicRtpPayloadType, 96, 127));
    if (ack.encryptionSync)
        setEncryptionSync(body, *ack.encryptionSync);
    if (ack.traversal)
        addMediaTraversal(body.field(field::genericInformation), *ack.traversal);
    return message;
}

asn::Result<LogicalChannelAck> readOpenLogicalChannelAck(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Response, field::openLogicalChannelAck);
    if (!body)
        return body.error();
    const asn::Value& olcAck = **body;
    LogicalChannelAck ack;
    ack.number = channelNumber(olcAck);
    if (olcAck.has(field::reverseLogicalChannelParameters))
        ack.reverseNumber = static_cast<std::uint16_t>(
            olcAck[field::reverseLogicalChannelParameters][field::reverseLogicalChannelNumber]
                .integer());
    const asn::Value& parameters = olcAck[field::forwardMultiplexAckParameters];
    if (parameters.is(field::h2250LogicalChannelAckParameters)) {
        const asn::Value& h2250 = parameters.chosen();
        ack.sessionId = readOptionalNumber<std::uint8_t>(h2250, "sessionID");
        ack.mediaChannel = readOptionalAddress(h2250, "mediaChannel");
        ack.mediaControlChannel = readOptionalAddress(h2250, "mediaControlChannel");
        ack.dynamicRtpPayloadType =
            readOptionalNumber<std::uint8_t>(h2250, "dynamicRTPPayloadType");
    }
    ack.encryptionSync = readEncryptionSync(olcAck);
    if (olcAck.has(field::genericInformation))
        ack.traversal = readMediaTraversal(olcAck[field::genericInformation]);
    return ack;
}

asn::Value buildOpenLogicalChannelReject(std::uint16_t number, std::string_view cause)
{
    asn::Value message =
        numberedMessage(MessageCategory::Response, field::openLogicalChannelReject, number);
    if (!message.present() || !chooseNull(messageBody(message).field(field::cause), cause))
        return {};
    return message;
}

asn::Result<ChannelCause> readOpenLogicalChannelReject(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Response, field::openLogicalChannelReject);
    if (!body)
        return body.error();
    return ChannelCause{channelNumber(**body), std::string((**body)[field::cause].choiceName())};
}

asn::Value buildOpenLogicalChannelConfirm(std::uint16_t number)
{
    return numberedMessage(MessageCategory::Indication, field::openLogicalChannelConfirm, number);
}

asn::Value buildCloseLogicalChannel(std::uint16_t number, std::string_view reason)
{
    asn::Value message =
        numberedMessage(MessageCategory::Request, field::closeLogicalChannel, number);
    if (!message.present())
        return message;
    asn::Value& body = messageBody(message);
    body.field(field::source).choose(field::user);
    // reason is a mandatory extension addition: "unknown" when none is given.
    if (!chooseNull(body.field(field::reason), reason.empty() ? "unknown" : reason))
        return {};
    return message;
}

asn::Result<ChannelCause> readCloseLogicalChannel(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Request, field::closeLogicalChannel);
    if (!body)
        return body.error();
    return ChannelCause{channelNumber(**body), std::string((**body)[field::reason].choiceName())};
}

asn::Value buildCloseLogicalChannelAck(std::uint16_t number)
{
    return numberedMessage(MessageCategory::Response, field::closeLogicalChannelAck, number);
}

asn::Value buildRequestChannelClose(std::uint16_t number, std::string_view reason)
{
    asn::Value message =
        numberedMessage(MessageCategory::Request, field::requestChannelClose, number);
    if (!message.present())
        return message;
    if (!chooseNull(messageBody(message).field(field::reason), reason.empty() ? "unknown" : reason))
        return {};
    return message;
}

asn::Result<ChannelCause> readRequestChannelClose(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Request, field::requestChannelClose);
    if (!body)
        return body.error();
    return ChannelCause{channelNumber(**body), std::string((**body)[field::reason].choiceName())};
}

asn::Value buildRequestChannelCloseAck(std::uint16_t number)
{
    return numberedMessage(MessageCategory::Response, field::requestChannelCloseAck, number);
}

asn::Value buildRequestChannelCloseReject(std::uint16_t number)
{
    asn::Value message =
        numberedMessage(MessageCategory::Response, field::requestChannelCloseReject, number);
    if (message.present())
        messageBody(message).field(field::cause).choose(field::unspecified);
    return message;
}

asn::Value buildRequestChannelCloseRelease(std::uint16_t number)
{
    return numberedMessage(MessageCategory::Indication, field::requestChannelCloseRelease, number);
}

asn::Result<std::uint16_t> readChannelNumber(const asn::Value& message)
{
    if (!kindOf(message))
        return error("not an H.245 message");
    const asn::Value& body = messageBody(message);
    if (!body.type() || body.type()->indexOf(field::forwardLogicalChannelNumber) < 0)
        return error("message without a forwardLogicalChannelNumber");
    return channelNumber(body);
}

namespace {

asn::Value newMiscellaneousCommand(std::uint16_t channel, asn::Value*& type)
{
    asn::Value message = newMessage(MessageCategory::Command, field::miscellaneousCommand);
    asn::Value& body = messageBody(message);
    body.field(field::logicalChannelNumber).setInteger(channel);
    type = &body.field(field::type);
    return message;
}

} // namespace

asn::Value buildEncryptionUpdateRequest(std::uint16_t channel)
{
    asn::Value* type = nullptr;
    asn::Value message = newMiscellaneousCommand(channel, type);
    type->choose(field::encryptionUpdateRequest);
    return message;
}

asn::Value buildEncryptionUpdate(std::uint16_t channel, const EncryptionSync& sync)
{
    asn::Value* type = nullptr;
    asn::Value message = newMiscellaneousCommand(channel, type);
    asn::Value& value = type->choose(field::encryptionUpdate);
    value.field(field::synchFlag).setInteger(sync.synchFlag);
    value.field(field::h235Key).setOctets(sync.h235Key);
    return message;
}

asn::Value buildEncryptionUpdateAck(std::uint16_t channel, std::uint8_t synchFlag)
{
    asn::Value* type = nullptr;
    asn::Value message = newMiscellaneousCommand(channel, type);
    type->choose(field::encryptionUpdateAck).field(field::synchFlag).setInteger(synchFlag);
    return message;
}

asn::Result<EncryptionUpdate> readEncryptionUpdate(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Command, field::miscellaneousCommand);
    if (!body)
        return body.error();
    EncryptionUpdate update;
    update.channel = static_cast<std::uint16_t>((**body)[field::logicalChannelNumber].integer());
    const asn::Value& type = (**body)[field::type];
    if (type.is(field::encryptionUpdateRequest))
        return update;
    const asn::Value* holder = &**body;
    if (type.is(field::encryptionUpdateCommand)) {
        update.command = true;
        holder = &type.chosen();
    } else if (type.is(field::encryptionUpdate)) {
        const asn::Value& sync = type.chosen();
        const auto key = sync[field::h235Key].octets();
        update.sync = EncryptionSync{std::uint8_t(sync[field::synchFlag].integer()),
                                     std::vector<std::uint8_t>(key.begin(), key.end())};
        return update;
    } else {
        return error("not a key renewal");
    }
    update.sync = readEncryptionSync(*holder);
    if (!update.sync)
        return error("encryptionUpdateCommand without its key");
    return update;
}

} // namespace voip::h245
