#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "voip/q931/message.h"
#include "voip/q931/result.h"

namespace voip::q931 {

/// Each typed element reads from and writes to the contents of an InformationElement
/// (the octets after the identifier and length).  Readers check every octet they touch
/// and skip extension octets they do not interpret.

/// Q.931 4.5.5 Bearer capability.
struct BearerCapability
{
    enum : std::uint8_t
    {
        Speech = 0x00,
        UnrestrictedDigital = 0x08,
        Audio3k1 = 0x10,
        Video = 0x18,
    };
    enum : std::uint8_t
    {
        Rate64k = 0x10,
        Multirate = 0x18,
    };
    std::uint8_t codingStandard = 0; // 0 = ITU-T
    std::uint8_t transferCapability = UnrestrictedDigital;
    std::uint8_t transferMode = 0; // 0 = circuit mode, 2 = packet mode
    std::uint8_t transferRate = Rate64k;
    /// Octet 4.1, present exactly when the rate is multirate.
    std::optional<std::uint8_t> rateMultiplier;
    /// User information layer 1 protocol (octet 5), e.g. 5 = H.221 and H.242, 2 = G.711
    /// u-law, 3 = G.711 A-law.
    std::optional<std::uint8_t> layer1Protocol;

    bool operator==(const BearerCapability&) const = default;
};
Result<BearerCapability> decodeBearerCapability(std::span<const std::uint8_t> contents);
std::vector<std::uint8_t> encodeBearerCapability(const BearerCapability& value);

/// Q.931 4.5.12 Cause.
struct Cause
{
    std::uint8_t codingStandard = 0;
    /// 0 user, 1 private network serving the local user, 2 public network serving the local
    /// user, 3 transit network, 4 public network serving the remote user, 5 private network
    /// serving the remote user, 7 international network, 10 beyond an interworking point.
    std::uint8_t location = 0;
    std::optional<std::uint8_t> recommendation;
    std::uint8_t value = 16;
    std::vector<std::uint8_t> diagnostics;

    bool operator==(const Cause&) const = default;
};
Result<Cause> decodeCause(std::span<const std::uint8_t> contents);
std::vector<std::uint8_t> encodeCause(const Cause& value);

/// Q.931 4.5.23 Progress indicator.
struct ProgressIndicator
{
    std::uint8_t codingStandard = 0;
    std::uint8_t location = 0;
    /// 1 not end-to-end ISDN, 2 destination not ISDN, 3 origination not ISDN, 4 returned to
    /// ISDN, 5 interworking, 8 in-band information available.
    std::uint8_t description = 8;

    bool operator==(const ProgressIndicator&) const = default;
};
Result<ProgressIndicator> decodeProgressIndicator(std::span<const std::uint8_t> contents);
std::vector<std::uint8_t> encodeProgressIndicator(const ProgressIndicator& value);

/// Q.931 4.5.22 Notification indicator: the description and any octets after it.
struct NotificationIndicator
{
    std::uint8_t description = 0; // 0 user suspended, 1 user resumed, 2 bearer service change
    std::vector<std::uint8_t> information;

    bool operator==(const NotificationIndicator&) const = default;
};
Result<NotificationIndicator> decodeNotificationIndicator(std::span<const std::uint8_t> contents);
std::vector<std::uint8_t> encodeNotificationIndicator(const NotificationIndicator& value);

/// Display (4.5.16) and Keypad facility (4.5.18): IA5 text.  Reading fails on octets with
/// bit 8 set; writing fails on text that is not IA5 or longer than the element allows.
Result<std::string> decodeIa5Text(std::span<const std::uint8_t> contents);
Result<std::vector<std::uint8_t>> encodeIa5Text(std::string_view text);

/// Q.931 4.5.28 Signal values.
enum class SignalValue : std::uint8_t
{
    DialToneOn = 0x00,
    RingBackToneOn = 0x01,
    InterceptToneOn = 0x02,
    NetworkCongestionToneOn = 0x03,
    BusyToneOn = 0x04,
    ConfirmToneOn = 0x05,
    AnswerToneOn = 0x06,
    CallWaitingToneOn = 0x07,
    OffHookWarningToneOn = 0x08,
    PreemptionToneOn = 0x09,
    TonesOff = 0x3f,
    AlertingOnPattern0 = 0x40,
    AlertingOff = 0x4f,
};
Result<std::uint8_t> decodeSignal(std::span<const std::uint8_t> contents);
std::vector<std::uint8_t> encodeSignal(std::uint8_t value);
std::string signalName(std::uint8_t value);

/// Calling party number (4.5.10) and Called party number (4.5.8).
struct PartyNumber
{
    /// 0 unknown, 1 international, 2 national, 3 network specific, 4 subscriber,
    /// 6 abbreviated.
    std::uint8_t typeOfNumber = 0;
    /// 0 unknown, 1 ISDN/telephony (E.164), 3 data (X.121), 4 telex, 8 national, 9 private.
    std::uint8_t numberingPlan = 1;
    /// Octet 3a (calling party only): presentation and screening indicators.
    std::optional<std::uint8_t> presentation;
    std::optional<std::uint8_t> screening;
    std::string digits;

    bool operator==(const PartyNumber&) const = default;
};
Result<PartyNumber> decodePartyNumber(std::span<const std::uint8_t> contents);
Result<std::vector<std::uint8_t>> encodePartyNumber(const PartyNumber& value);

/// Q.931 4.5.30 User-user as H.225.0 uses it: protocol discriminator 5 ("X.208 and X.209
/// coded user information") followed by the H323-UserInformation PDU.
inline constexpr std::uint8_t kUserUserProtocolX208 = 0x05;
inline constexpr std::size_t kMaxUserUserContents = 65535;

/// The PDU a message's User-user element carries.  Fails when the element is absent,
/// empty, or carries another protocol discriminator than 5.
Result<std::span<const std::uint8_t>> userUserPdu(const Message& message);
/// Sets the User-user element to protocol discriminator 5 and this PDU.  Fails when the
/// PDU does not fit the 16-bit length.
Result<bool> setUserUserPdu(Message& message, std::span<const std::uint8_t> pdu);

/// One-line reading of an element's contents for describeMessage ("cause 16 (normal call
/// clearing), location 0"), or a hex dump for elements that are not interpreted.
std::string describeElement(const InformationElement& element);

} // namespace voip::q931
