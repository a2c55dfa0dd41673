#include "voip/h245/h239.h"

#include <array>

#include "voip/h245/generic.h"
#include "voip/h245/message.h"
#include "voip/h245/field.h"

namespace voip::h245 {
namespace {

constexpr std::array<std::uint64_t, 5> h239MessageIdentifier{0, 0, 8, 239, 2};

constexpr int parameterBitRate = 41;
constexpr int parameterChannelId = 42;
constexpr int parameterSymmetryBreaking = 43;
constexpr int parameterTerminalLabel = 44;
constexpr int parameterAcknowledge = 126;
constexpr int parameterReject = 127;

struct Placement
{
    MessageCategory category;
    std::string_view alternative;
};

Placement placementOf(H239MessageType type)
{
    switch (type) {
    case H239MessageType::FlowControlReleaseRequest:
    case H239MessageType::PresentationTokenRequest:
        return {MessageCategory::Request, field::genericRequest};
    case H239MessageType::FlowControlReleaseResponse:
    case H239MessageType::PresentationTokenResponse:
        return {MessageCategory::Response, field::genericResponse};
    case H239MessageType::PresentationTokenRelease:
        return {MessageCategory::Command, field::genericCommand};
    case H239MessageType::PresentationTokenIndicateOwner:
        return {MessageCategory::Indication, field::genericIndication};
    }
    return {MessageCategory::Request, field::genericRequest};
}

const asn::Value* genericBody(const asn::Value& message)
{
    const auto kind = kindOf(message);
    if (!kind)
        return nullptr;
    static constexpr std::array<std::string_view, 4> names{"genericRequest", "genericResponse",
                                                           "genericCommand", "genericIndication"};
    if (kind->name != names[static_cast<std::size_t>(kind->category)])
        return nullptr;
    const asn::Value& body = messageBody(message);
    if (!detail::isStandardIdentifier(body[field::messageIdentifier], h239MessageIdentifier))
        return nullptr;
    return &body;
}

} // namespace

asn::Value buildH239Message(const H239Message& h239)
{
    const Placement placement = placementOf(h239.type);
    asn::Value message = newMessage(placement.category, placement.alternative);
    if (!message.present())
        return message;
    asn::Value& generic = messageBody(message);
    detail::setStandardIdentifier(generic.field(field::messageIdentifier), h239MessageIdentifier);
    generic.field(field::subMessageIdentifier).setInteger(static_cast<int>(h239.type));
    asn::Value& content = generic.field(field::messageContent);
    // Numeric parameters travel as unsignedMin (0..65535) or unsigned32Min for the bit rate.
    if (h239.acknowledged)
        detail::addParameter(content, *h239.acknowledged ? parameterAcknowledge : parameterReject,
                             "logical");
    if (h239.bitRate)
        detail::addParameter(content, parameterBitRate, "unsigned32Min", *h239.bitRate);
    if (h239.channelId)
        detail::addParameter(content, parameterChannelId, "unsignedMin", *h239.channelId);
    if (h239.symmetryBreaking)
        detail::addParameter(content, parameterSymmetryBreaking, "unsignedMin",
                             *h239.symmetryBreaking);
    if (h239.terminalLabel)
        detail::addParameter(content, parameterTerminalLabel, "unsignedMin", *h239.terminalLabel);
    if (content.size() == 0)
        generic.remove(field::messageContent);
    return message;
}

bool isH239Message(const asn::Value& message)
{
    return genericBody(message) != nullptr;
}

asn::Result<H239Message> readH239Message(const asn::Value& message)
{
    const asn::Value* body = genericBody(message);
    if (!body)
        return asn::Error{"not an H.239 message", 0, {}};
    const asn::Value& sub = (*body)[field::subMessageIdentifier];
    if (!sub.present() || sub.integer() < 1 || sub.integer() > 6)
        return asn::Error{"unknown H.239 subMessageIdentifier", 0, {}};
    H239Message h239;
    h239.type = static_cast<H239MessageType>(sub.integer());
    const asn::Value& content = (*body)[field::messageContent];
    h239.bitRate = detail::parameterNumber(content, parameterBitRate);
    // A value too large for its field reads as absent rather than as a wrapped-around
    // channel or label that would act on the wrong channel.
    h239.channelId =
        detail::narrow<std::uint16_t>(detail::parameterNumber(content, parameterChannelId));
    h239.symmetryBreaking =
        detail::narrow<std::uint8_t>(detail::parameterNumber(content, parameterSymmetryBreaking));
    h239.terminalLabel =
        detail::narrow<std::uint16_t>(detail::parameterNumber(content, parameterTerminalLabel));
    if (detail::findParameter(content, parameterAcknowledge))
        h239.acknowledged = true;
    else if (detail::findParameter(content, parameterReject))
        h239.acknowledged = false;
    return h239;
}

} // namespace voip::h245
