#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "voip/q931/result.h"

namespace voip::q931 {

/// Q.931 4.2: the protocol discriminator of user-network call control messages.
inline constexpr std::uint8_t kProtocolDiscriminator = 0x08;

/// Q.931 4.4, message types H.225.0 uses.
enum class MessageType : std::uint8_t
{
    Alerting = 0x01,
    CallProceeding = 0x02,
    Progress = 0x03,
    Setup = 0x05,
    Connect = 0x07,
    SetupAcknowledge = 0x0d,
    ConnectAcknowledge = 0x0f,
    UserInformation = 0x20,
    Disconnect = 0x45,
    Release = 0x4d,
    ReleaseComplete = 0x5a,
    Restart = 0x46,
    RestartAcknowledge = 0x4e,
    Segment = 0x60,
    Facility = 0x62,
    Notify = 0x6e,
    StatusEnquiry = 0x75,
    Information = 0x7b,
    Status = 0x7d,
};

/// The Q.931 name of a message type ("Setup", "Release complete"), or "unknown 0xNN".
std::string messageTypeName(std::uint8_t type);

/// Information element identifiers (Q.931 4.5, codeset 0) that H.225.0 uses.
namespace ie {
inline constexpr std::uint8_t Shift = 0x90;           // single octet, 0x90..0x9f
inline constexpr std::uint8_t MoreData = 0xa0;        // single octet
inline constexpr std::uint8_t SendingComplete = 0xa1; // single octet
inline constexpr std::uint8_t BearerCapability = 0x04;
inline constexpr std::uint8_t Cause = 0x08;
inline constexpr std::uint8_t CallState = 0x14;
inline constexpr std::uint8_t Facility = 0x1c;
inline constexpr std::uint8_t ProgressIndicator = 0x1e;
inline constexpr std::uint8_t NotificationIndicator = 0x27;
inline constexpr std::uint8_t Display = 0x28;
inline constexpr std::uint8_t DateTime = 0x29;
inline constexpr std::uint8_t Keypad = 0x2c;
inline constexpr std::uint8_t Signal = 0x34;
inline constexpr std::uint8_t ConnectedNumber = 0x4c;
inline constexpr std::uint8_t CallingPartyNumber = 0x6c;
inline constexpr std::uint8_t CallingPartySubaddress = 0x6d;
inline constexpr std::uint8_t CalledPartyNumber = 0x70;
inline constexpr std::uint8_t CalledPartySubaddress = 0x71;
inline constexpr std::uint8_t RedirectingNumber = 0x74;
inline constexpr std::uint8_t UserUser = 0x7e;
} // namespace ie

/// The name of an information element identifier ("Bearer capability"), or "unknown 0xNN".
std::string elementName(std::uint8_t id);

/// Q.931 4.5.1: identifiers with bit 8 set are single-octet elements with no contents.
inline bool isSingleOctetElement(std::uint8_t id)
{
    return (id & 0x80) != 0;
}

/// One information element as it stood in the message.  For a single-octet element, id
/// holds the whole octet and contents is empty.  Elements this code does not interpret are
/// kept as they are, so a message re-encodes to the same octets.
struct InformationElement
{
    std::uint8_t id = 0;
    std::vector<std::uint8_t> contents;

    bool operator==(const InformationElement&) const = default;
};

/// A Q.931 message as H.225.0 carries it over TPKT: protocol discriminator, call
/// reference (H.225.0 7.2.2: two octets, 15-bit value, flag set by the side that did not
/// originate the call), message type and information elements in message order.
struct Message
{
    std::uint8_t protocolDiscriminator = kProtocolDiscriminator;
    /// Octets the call reference value takes (0 for the dummy call reference, 1 or 2).
    std::uint8_t callReferenceLength = 2;
    /// 15 bits with a 2-octet call reference, 7 bits with a 1-octet one.
    std::uint16_t callReference = 0;
    /// Q.931 4.3: false in messages sent by the side that originated the call reference.
    bool fromDestination = false;
    std::uint8_t type = static_cast<std::uint8_t>(MessageType::Setup);
    std::vector<InformationElement> elements;

    bool operator==(const Message&) const = default;

    MessageType messageType() const { return static_cast<MessageType>(type); }

    /// The first element with this identifier, or nullptr.
    const InformationElement* find(std::uint8_t id) const;
    /// Replaces the first element with this identifier, or inserts it where Q.931 4.5.1
    /// puts it (ascending identifier order among variable-length elements).
    void set(std::uint8_t id, std::vector<std::uint8_t> contents);
    /// Removes every element with this identifier; returns how many were removed.
    std::size_t remove(std::uint8_t id);
};

/// Upper bound on the number of information elements read from one message.
inline constexpr std::size_t kMaxElements = 256;

/// Reads one message.  Every length is checked against the input; an element that runs
/// past the end, a call reference longer than two octets or more than kMaxElements
/// elements give an error with the offset of the fault.  The User-user element takes a
/// 16-bit length (H.225.0 7.2.2.10); every other variable-length element an 8-bit one.
Result<Message> decodeMessage(std::span<const std::uint8_t> bytes);

/// Writes a message.  Fails when an element's contents do not fit its length field, when
/// the call reference does not fit its length, or on a single-octet identifier with
/// contents.
Result<std::vector<std::uint8_t>> encodeMessage(const Message& message);

/// Multi-line readable text of a message: header, then one line per element with the
/// typed reading of the elements this library knows.
std::string describeMessage(const Message& message);

} // namespace voip::q931
