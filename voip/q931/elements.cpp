#include "voip/q931/elements.h"

#include <cstdio>

#include "voip/q931/cause.h"

namespace voip::q931 {
namespace {

constexpr std::uint8_t kExtension = 0x80;

// Q.931 4.5.1: an octet group continues while bit 8 of its last octet read is 0.  Returns
// the index just past the group that starts at `at`, or npos when it runs off the end.
std::size_t skipGroup(std::span<const std::uint8_t> contents, std::size_t at)
{
    while (at < contents.size()) {
        if (contents[at++] & kExtension)
            return at;
    }
    return std::string::npos;
}

// Text for one line of output: control characters shown as \xNN.
std::string printable(const std::string& text)
{
    std::string out;
    char part[8];
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == '\\' || c == '"') {
            std::snprintf(part, sizeof part, "\\x%02x", c);
            out += part;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string hexDump(std::span<const std::uint8_t> bytes)
{
    std::string text;
    char part[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(part, sizeof part, "%02x", b);
        text += part;
    }
    return text.empty() ? "(empty)" : text;
}

} // namespace

Result<BearerCapability> decodeBearerCapability(std::span<const std::uint8_t> contents)
{
    if (contents.size() < 2)
        return makeError("bearer capability shorter than two octets", contents.size());
    BearerCapability value;
    value.codingStandard = (contents[0] >> 5) & 0x03;
    value.transferCapability = contents[0] & 0x1f;
    std::size_t at = skipGroup(contents, 0);
    if (at == std::string::npos || at >= contents.size())
        return makeError("bearer capability ends before its transfer mode", contents.size());
    value.transferMode = (contents[at] >> 5) & 0x03;
    value.transferRate = contents[at] & 0x1f;
    at = skipGroup(contents, at);
    if (at == std::string::npos)
        return makeError("bearer capability ends inside octet 4", contents.size());
    if (value.transferRate == BearerCapability::Multirate) {
        if (at >= contents.size())
            return makeError("multirate bearer capability without its rate multiplier", at);
        value.rateMultiplier = contents[at] & 0x7f;
        ++at;
    }
    // Octets 5, 6 and 7 carry their layer number in bits 7-6; only layer 1 is read.
    while (at < contents.size()) {
        const std::uint8_t layer = (contents[at] >> 5) & 0x03;
        if (layer == 1 && !value.layer1Protocol)
            value.layer1Protocol = contents[at] & 0x1f;
        at = skipGroup(contents, at);
        if (at == std::string::npos)
            return makeError("bearer capability ends inside a layer octet group", contents.size());
    }
    return value;
}

std::vector<std::uint8_t> encodeBearerCapability(const BearerCapability& value)
{
    std::vector<std::uint8_t> out;
    out.push_back(static_cast<std::uint8_t>(kExtension | ((value.codingStandard & 0x03) << 5) |
                                            (value.transferCapability & 0x1f)));
    out.push_back(static_cast<std::uint8_t>(kExtension | ((value.transferMode & 0x03) << 5) |
                                            (value.transferRate & 0x1f)));
    if (value.transferRate == BearerCapability::Multirate)
        out.push_back(
            static_cast<std::uint8_t>(kExtension | (value.rateMultiplier.value_or(1) & 0x7f)));
    if (value.layer1Protocol)
        out.push_back(
            static_cast<std::uint8_t>(kExtension | 0x20 | (*value.layer1Protocol & 0x1f)));
    return out;
}

Result<Cause> decodeCause(std::span<const std::uint8_t> contents)
{
    if (contents.size() < 2)
        return makeError("cause shorter than two octets", contents.size());
    Cause value;
    value.codingStandard = (contents[0] >> 5) & 0x03;
    value.location = contents[0] & 0x0f;
    std::size_t at = 1;
    if (!(contents[0] & kExtension)) {
        value.recommendation = contents[1] & 0x7f;
        at = skipGroup(contents, 1);
        if (at == std::string::npos || at >= contents.size())
            return makeError("cause ends before its value", contents.size());
    }
    value.value = contents[at] & 0x7f;
    ++at;
    value.diagnostics.assign(contents.begin() + static_cast<std::ptrdiff_t>(at), contents.end());
    return value;
}

std::vector<std::uint8_t> encodeCause(const Cause& value)
{
    std::vector<std::uint8_t> out;
    const std::uint8_t octet3 =
        static_cast<std::uint8_t>(((value.codingStandard & 0x03) << 5) | (value.location & 0x0f));
    if (value.recommendation) {
        out.push_back(octet3);
        out.push_back(static_cast<std::uint8_t>(kExtension | (*value.recommendation & 0x7f)));
    } else {
        out.push_back(static_cast<std::uint8_t>(kExtension | octet3));
    }
    out.push_back(static_cast<std::uint8_t>(kExtension | (value.value & 0x7f)));
    out.insert(out.end(), value.diagnostics.begin(), value.diagnostics.end());
    return out;
}

Result<ProgressIndicator> decodeProgressIndicator(std::span<const std::uint8_t> contents)
{
    if (contents.size() < 2)
        return makeError("progress indicator shorter than two octets", contents.size());
    ProgressIndicator value;
    value.codingStandard = (contents[0] >> 5) & 0x03;
    value.location = contents[0] & 0x0f;
    value.description = contents[1] & 0x7f;
    return value;
}

std::vector<std::uint8_t> encodeProgressIndicator(const ProgressIndicator& value)
{
    return {static_cast<std::uint8_t>(kExtension | ((value.codingStandard & 0x03) << 5) |
                                      (value.location & 0x0f)),
            static_cast<std::uint8_t>(kExtension | (value.description & 0x7f))};
}

Result<NotificationIndicator> decodeNotificationIndicator(std::span<const std::uint8_t> contents)
{
    if (contents.empty())
        return makeError("empty notification indicator", 0);
    NotificationIndicator value;
    value.description = contents[0] & 0x7f;
    value.information.assign(contents.begin() + 1, contents.end());
    return value;
}

std::vector<std::uint8_t> encodeNotificationIndicator(const NotificationIndicator& value)
{
    std::vector<std::uint8_t> out{
        static_cast<std::uint8_t>(kExtension | (value.description & 0x7f))};
    out.insert(out.end(), value.information.begin(), value.information.end());
    return out;
}

Result<std::string> decodeIa5Text(std::span<const std::uint8_t> contents)
{
    std::string text;
    text.reserve(contents.size());
    for (std::size_t i = 0; i < contents.size(); ++i) {
        if (contents[i] & 0x80)
            return makeError("octet with bit 8 set in IA5 text", i);
        text.push_back(static_cast<char>(contents[i]));
    }
    return text;
}

Result<std::vector<std::uint8_t>> encodeIa5Text(std::string_view text)
{
    if (text.size() > 0xff)
        return makeError("text of " + std::to_string(text.size()) + " characters is too long");
    std::vector<std::uint8_t> out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<std::uint8_t>(text[i]);
        if (c & 0x80)
            return makeError("character outside IA5 in text", i);
        out.push_back(c);
    }
    return out;
}

Result<std::uint8_t> decodeSignal(std::span<const std::uint8_t> contents)
{
    if (contents.size() != 1)
        return makeError("signal of " + std::to_string(contents.size()) + " octets (expected 1)",
                         0);
    return contents[0];
}

std::vector<std::uint8_t> encodeSignal(std::uint8_t value)
{
    return {value};
}

std::string signalName(std::uint8_t value)
{
    switch (value) {
    case 0x00:
        return "dial tone on";
    case 0x01:
        return "ring back tone on";
    case 0x02:
        return "intercept tone on";
    case 0x03:
        return "network congestion tone on";
    case 0x04:
        return "busy tone on";
    case 0x05:
        return "confirm tone on";
    case 0x06:
        return "answer tone on";
    case 0x07:
        return "call waiting tone on";
    case 0x08:
        return "off-hook warning tone on";
    case 0x09:
        return "preemption tone on";
    case 0x3f:
        return "tones off";
    case 0x4f:
        return "alerting off";
    default:
        break;
    }
    if (value >= 0x40 && value <= 0x47)
        return "alerting on - pattern " + std::to_string(value - 0x40);
    return "reserved " + std::to_string(value);
}

Result<PartyNumber> decodePartyNumber(std::span<const std::uint8_t> contents)
{
    if (contents.empty())
        return makeError("empty party number", 0);
    PartyNumber value;
    value.typeOfNumber = (contents[0] >> 4) & 0x07;
    value.numberingPlan = contents[0] & 0x0f;
    std::size_t at = 1;
    if (!(contents[0] & kExtension)) {
        if (contents.size() < 2)
            return makeError("party number ends inside octet 3a", 1);
        value.presentation = (contents[1] >> 5) & 0x03;
        value.screening = contents[1] & 0x03;
        at = skipGroup(contents, 1);
        if (at == std::string::npos)
            return makeError("party number ends inside octet 3", contents.size());
    }
    auto digits = decodeIa5Text(contents.subspan(at));
    if (!digits)
        return makeError("party number digits: " + digits.error().message,
                         at + digits.error().offset);
    value.digits = std::move(*digits);
    return value;
}

Result<std::vector<std::uint8_t>> encodePartyNumber(const PartyNumber& value)
{
    auto digits = encodeIa5Text(value.digits);
    if (!digits)
        return digits.error();
    std::vector<std::uint8_t> out;
    const std::uint8_t octet3 = static_cast<std::uint8_t>(((value.typeOfNumber & 0x07) << 4) |
                                                          (value.numberingPlan & 0x0f));
    if (value.presentation || value.screening) {
        out.push_back(octet3);
        out.push_back(static_cast<std::uint8_t>(kExtension |
                                                ((value.presentation.value_or(0) & 0x03) << 5) |
                                                (value.screening.value_or(0) & 0x03)));
    } else {
        out.push_back(static_cast<std::uint8_t>(kExtension | octet3));
    }
    if (out.size() + digits->size() > 0xff)
        return makeError("party number too long");
    out.insert(out.end(), digits->begin(), digits->end());
    return out;
}

Result<std::span<const std::uint8_t>> userUserPdu(const Message& message)
{
    const InformationElement* element = message.find(ie::UserUser);
    if (!element)
        return makeError("message has no User-user element");
    if (element->contents.empty())
        return makeError("empty User-user element");
    if (element->contents[0] != kUserUserProtocolX208)
        return makeError("User-user protocol discriminator " +
                         std::to_string(element->contents[0]) + " (expected 5)");
    return std::span<const std::uint8_t>(element->contents).subspan(1);
}

Result<bool> setUserUserPdu(Message& message, std::span<const std::uint8_t> pdu)
{
    if (pdu.size() + 1 > kMaxUserUserContents)
        return makeError("H.225.0 PDU of " + std::to_string(pdu.size()) +
                         " octets does not fit the User-user element");
    std::vector<std::uint8_t> contents;
    contents.reserve(pdu.size() + 1);
    contents.push_back(kUserUserProtocolX208);
    contents.insert(contents.end(), pdu.begin(), pdu.end());
    message.set(ie::UserUser, std::move(contents));
    return true;
}

std::string describeElement(const InformationElement& element)
{
    const std::span<const std::uint8_t> contents(element.contents);
    switch (element.id) {
    case ie::BearerCapability:
        if (auto v = decodeBearerCapability(contents)) {
            std::string text = "transfer capability " + std::to_string(v->transferCapability) +
                               ", mode " + std::to_string(v->transferMode) + ", rate " +
                               std::to_string(v->transferRate);
            if (v->rateMultiplier)
                text += ", multiplier " + std::to_string(*v->rateMultiplier);
            if (v->layer1Protocol)
                text += ", layer 1 protocol " + std::to_string(*v->layer1Protocol);
            return text;
        }
        break;
    case ie::Cause:
        if (auto v = decodeCause(contents))
            return "cause " + std::to_string(v->value) + " (" + causeText(v->value) +
                   "), location " + std::to_string(v->location);
        break;
    case ie::ProgressIndicator:
        if (auto v = decodeProgressIndicator(contents))
            return "description " + std::to_string(v->description) + ", location " +
                   std::to_string(v->location);
        break;
    case ie::NotificationIndicator:
        if (auto v = decodeNotificationIndicator(contents))
            return "description " + std::to_string(v->description);
        break;
    case ie::Display:
    case ie::Keypad:
        if (auto v = decodeIa5Text(contents))
            return "\"" + printable(*v) + "\"";
        break;
    case ie::Signal:
        if (auto v = decodeSignal(contents))
            return signalName(*v);
        break;
    case ie::CallingPartyNumber:
    case ie::CalledPartyNumber:
    case ie::ConnectedNumber:
        if (auto v = decodePartyNumber(contents))
            return "\"" + printable(v->digits) + "\", type " + std::to_string(v->typeOfNumber) +
                   ", plan " + std::to_string(v->numberingPlan);
        break;
    case ie::UserUser:
        if (!contents.empty())
            return "protocol discriminator " + std::to_string(contents[0]) + ", " +
                   std::to_string(contents.size() - 1) + " octets";
        break;
    default:
        if (isSingleOctetElement(element.id))
            return "(single octet)";
        return hexDump(contents);
    }
    return "malformed: " + hexDump(contents);
}

} // namespace voip::q931
