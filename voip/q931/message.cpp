#include "voip/q931/message.h"

#include <algorithm>
#include <cstdio>

#include "voip/q931/elements.h"

namespace voip::q931 {
namespace {

std::string hexByte(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

// H.225.0 7.2.2.10: the User-user element is the one element with a two-octet length.
bool hasWideLength(std::uint8_t id)
{
    return id == ie::UserUser;
}

} // namespace

std::string messageTypeName(std::uint8_t type)
{
    switch (static_cast<MessageType>(type)) {
    case MessageType::Alerting:
        return "Alerting";
    case MessageType::CallProceeding:
        return "Call proceeding";
    case MessageType::Progress:
        return "Progress";
    case MessageType::Setup:
        return "Setup";
    case MessageType::Connect:
        return "Connect";
    case MessageType::SetupAcknowledge:
        return "Setup acknowledge";
    case MessageType::ConnectAcknowledge:
        return "Connect acknowledge";
    case MessageType::UserInformation:
        return "User information";
    case MessageType::Disconnect:
        return "Disconnect";
    case MessageType::Release:
        return "Release";
    case MessageType::ReleaseComplete:
        return "Release complete";
    case MessageType::Restart:
        return "Restart";
    case MessageType::RestartAcknowledge:
        return "Restart acknowledge";
    case MessageType::Segment:
        return "Segment";
    case MessageType::Facility:
        return "Facility";
    case MessageType::Notify:
        return "Notify";
    case MessageType::StatusEnquiry:
        return "Status enquiry";
    case MessageType::Information:
        return "Information";
    case MessageType::Status:
        return "Status";
    }
    return "unknown " + hexByte(type);
}

std::string elementName(std::uint8_t id)
{
    if (isSingleOctetElement(id)) {
        switch (id & 0xf0) {
        case 0x90:
            return (id & 0x08) ? "Shift (non-locking)" : "Shift (locking)";
        case 0xb0:
            return "Congestion level";
        case 0xd0:
            return "Repeat indicator";
        default:
            break;
        }
        if (id == ie::MoreData)
            return "More data";
        if (id == ie::SendingComplete)
            return "Sending complete";
        return "unknown single-octet " + hexByte(id);
    }
    switch (id) {
    case ie::BearerCapability:
        return "Bearer capability";
    case ie::Cause:
        return "Cause";
    case ie::CallState:
        return "Call state";
    case ie::Facility:
        return "Facility";
    case ie::ProgressIndicator:
        return "Progress indicator";
    case ie::NotificationIndicator:
        return "Notification indicator";
    case ie::Display:
        return "Display";
    case ie::DateTime:
        return "Date/time";
    case ie::Keypad:
        return "Keypad facility";
    case ie::Signal:
        return "Signal";
    case ie::ConnectedNumber:
        return "Connected number";
    case ie::CallingPartyNumber:
        return "Calling party number";
    case ie::CallingPartySubaddress:
        return "Calling party subaddress";
    case ie::CalledPartyNumber:
        return "Called party number";
    case ie::CalledPartySubaddress:
        return "Called party subaddress";
    case ie::RedirectingNumber:
        return "Redirecting number";
    case ie::UserUser:
        return "User-user";
    default:
        break;
    }
    return "unknown " + hexByte(id);
}

const InformationElement* Message::find(std::uint8_t id) const
{
    for (const auto& element : elements) {
        if (element.id == id)
            return &element;
    }
    return nullptr;
}

void Message::set(std::uint8_t id, std::vector<std::uint8_t> contents)
{
    for (auto& element : elements) {
        if (element.id == id) {
            element.contents = std::move(contents);
            return;
        }
    }
    // Variable-length elements stand in ascending order; single-octet ones (bit 8 set) are
    // left where they are, so insertion stops at the first larger variable-length identifier.
    auto at = std::find_if(elements.begin(), elements.end(), [id](const InformationElement& e) {
        return !isSingleOctetElement(e.id) && e.id > id;
    });
    elements.insert(at, InformationElement{id, std::move(contents)});
}

std::size_t Message::remove(std::uint8_t id)
{
    return std::erase_if(elements, [id](const InformationElement& e) { return e.id == id; });
}

Result<Message> decodeMessage(std::span<const std::uint8_t> bytes)
{
    Message message;
    if (bytes.size() < 2)
        return makeError("message shorter than its header", bytes.size());
    message.protocolDiscriminator = bytes[0];
    if (message.protocolDiscriminator != kProtocolDiscriminator)
        return makeError("protocol discriminator " + hexByte(bytes[0]) + " is not Q.931", 0);
    const std::uint8_t referenceLength = bytes[1] & 0x0f;
    if ((bytes[1] & 0xf0) != 0)
        return makeError("call reference length octet has its spare bits set", 1);
    if (referenceLength > 2)
        return makeError(
            "call reference of " + std::to_string(referenceLength) + " octets (at most 2)", 1);
    std::size_t at = 2;
    if (bytes.size() < at + referenceLength + 1)
        return makeError("message ends inside its header", bytes.size());
    message.callReferenceLength = referenceLength;
    if (referenceLength == 1) {
        message.fromDestination = (bytes[at] & 0x80) != 0;
        message.callReference = bytes[at] & 0x7f;
    } else if (referenceLength == 2) {
        message.fromDestination = (bytes[at] & 0x80) != 0;
        message.callReference =
            static_cast<std::uint16_t>(((bytes[at] & 0x7f) << 8) | bytes[at + 1]);
    }
    at += referenceLength;
    message.type = bytes[at++];
    if (message.type & 0x80)
        return makeError("message type " + hexByte(message.type) + " has bit 8 set", at - 1);

    while (at < bytes.size()) {
        if (message.elements.size() >= kMaxElements)
            return makeError("more than " + std::to_string(kMaxElements) + " information elements",
                             at);
        const std::size_t start = at;
        const std::uint8_t id = bytes[at++];
        if (isSingleOctetElement(id)) {
            message.elements.push_back(InformationElement{id, {}});
            continue;
        }
        std::size_t length = 0;
        if (hasWideLength(id)) {
            if (at + 2 > bytes.size())
                return makeError(elementName(id) + " element ends inside its length", start);
            length = (std::size_t{bytes[at]} << 8) | bytes[at + 1];
            at += 2;
        } else {
            if (at + 1 > bytes.size())
                return makeError(elementName(id) + " element ends inside its length", start);
            length = bytes[at++];
        }
        if (length > bytes.size() - at)
            return makeError(elementName(id) + " element of " + std::to_string(length) +
                                 " octets runs past the end of the message",
                             start);
        message.elements.push_back(InformationElement{
            id,
            std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                      bytes.begin() + static_cast<std::ptrdiff_t>(at + length))});
        at += length;
    }
    return message;
}

Result<std::vector<std::uint8_t>> encodeMessage(const Message& message)
{
    if (message.callReferenceLength > 2)
        return makeError("call reference of more than two octets");
    const std::uint32_t limit = message.callReferenceLength == 0   ? 0
                                : message.callReferenceLength == 1 ? 0x7f
                                                                   : 0x7fff;
    if (message.callReference > limit)
        return makeError("call reference " + std::to_string(message.callReference) +
                         " does not fit " + std::to_string(message.callReferenceLength) +
                         " octets");
    if (message.type & 0x80)
        return makeError("message type " + hexByte(message.type) + " has bit 8 set");

    std::vector<std::uint8_t> out;
    std::size_t total = 3 + message.callReferenceLength;
    for (const auto& element : message.elements)
        total += 3 + element.contents.size();
    out.reserve(total);
    out.push_back(message.protocolDiscriminator);
    out.push_back(message.callReferenceLength);
    const std::uint8_t flag = message.fromDestination ? 0x80 : 0x00;
    if (message.callReferenceLength == 1) {
        out.push_back(static_cast<std::uint8_t>(flag | message.callReference));
    } else if (message.callReferenceLength == 2) {
        out.push_back(static_cast<std::uint8_t>(flag | (message.callReference >> 8)));
        out.push_back(static_cast<std::uint8_t>(message.callReference & 0xff));
    }
    out.push_back(message.type);

    for (const auto& element : message.elements) {
        if (isSingleOctetElement(element.id)) {
            if (!element.contents.empty())
                return makeError("single-octet element " + hexByte(element.id) + " with contents");
            out.push_back(element.id);
            continue;
        }
        const std::size_t length = element.contents.size();
        out.push_back(element.id);
        if (hasWideLength(element.id)) {
            if (length > 0xffff)
                return makeError(elementName(element.id) + " contents of " +
                                 std::to_string(length) + " octets do not fit its length");
            out.push_back(static_cast<std::uint8_t>(length >> 8));
            out.push_back(static_cast<std::uint8_t>(length & 0xff));
        } else {
            if (length > 0xff)
                return makeError(elementName(element.id) + " contents of " +
                                 std::to_string(length) + " octets do not fit its length");
            out.push_back(static_cast<std::uint8_t>(length));
        }
        out.insert(out.end(), element.contents.begin(), element.contents.end());
    }
    return out;
}

std::string describeMessage(const Message& message)
{
    std::string text = "Q.931 " + messageTypeName(message.type) + ", call reference " +
                       std::to_string(message.callReference) +
                       (message.fromDestination ? " (from destination)" : " (from originator)") +
                       "\n";
    for (const auto& element : message.elements)
        text += "  " + elementName(element.id) + ": " + describeElement(element) + "\n";
    return text;
}

} // namespace voip::q931
