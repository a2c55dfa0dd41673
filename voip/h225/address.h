#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "voip/asn/value.h"

namespace voip::h225 {

/// An IPv4 or IPv6 address with a port, as carried in a TransportAddress.
struct IpAddressPort
{
    std::array<std::uint8_t, 16> address{}; ///< IPv4 uses the first 4 octets
    bool ipv6 = false;
    std::uint16_t port = 0;

    /// "10.0.0.5:1720" or "[2001:db8::1]:1720".
    std::string toString() const;
    /// The address alone: "10.0.0.5" or "2001:db8::1".
    std::string addressText() const;
    /// Parses "a.b.c.d:port", "[v6]:port", or an address without port (then `defaultPort`).
    static std::optional<IpAddressPort> parse(std::string_view text, std::uint16_t defaultPort = 0);

    bool operator==(const IpAddressPort&) const = default;
};

/// The IP address and port of a TransportAddress value (ipAddress, ip6Address or
/// ipSourceRoute); nullopt for the other alternatives or a malformed value.
std::optional<IpAddressPort> transportAddressOf(const asn::Value& transportAddress);
/// Makes a TransportAddress value hold the address (ipAddress or ip6Address).
void setTransportAddress(asn::Value& transportAddress, const IpAddressPort& address);

/// The kinds of AliasAddress the client reads and writes.
enum class AliasKind
{
    DialledDigits, ///< "0123456789#*," up to 128 characters
    H323Id,        ///< BMP text up to 256 characters
    Url,           ///< url-ID, IA5 up to 512
    Email,         ///< email-ID, IA5 up to 512
    Transport,     ///< transportID, an IP address and port
    PartyNumber,   ///< partyNumber (read only: its digits)
    Other,         ///< another alternative
};

/// Which kind of alias a value holds.
AliasKind aliasKind(const asn::Value& alias);

/// Text of an AliasAddress: the digits, the h323-ID text, the URL or e-mail address, or
/// "ip:port" of a transportID; empty for an alias without a text form.
std::string aliasToText(const asn::Value& alias);

/// Sets an AliasAddress value from text: dialledDigits when every character is a digit,
/// '#', '*' or ',', else h323-ID. False (value unchanged) when the text is empty or too long.
bool setAlias(asn::Value& alias, std::string_view text);
/// Sets an AliasAddress of the given kind; false (value unchanged) when the text does not
/// fit it (characters, length, or an unparsable address for Transport).
bool setAlias(asn::Value& alias, std::string_view text, AliasKind kind);

} // namespace voip::h225
