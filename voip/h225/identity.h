#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "voip/asn/value.h"

namespace voip::h225 {

/// The H.225.0 version we announce: protocolIdentifier {itu-t(0) recommendation(0) h(8)
/// h225-0(2250) version(0) 6}.
inline constexpr std::uint64_t kProtocolVersion = 6;
inline constexpr std::array<std::uint64_t, 6> kProtocolIdentifier{0,    0, 8,
                                                                  2250, 0, kProtocolVersion};

/// Sets a ProtocolIdentifier value to ours.
void setProtocolIdentifier(asn::Value& protocolIdentifier);
/// The version number of a received ProtocolIdentifier {0 0 8 2250 0 N}; 0 when it is not
/// an H.225.0 identifier.
std::uint64_t protocolVersion(const asn::Value& protocolIdentifier);

/// A 16-octet globally unique identifier (RFC 4122 version 4, random), as used for
/// CallIdentifier.guid and ConferenceIdentifier. Thread-safe.
using Guid = std::array<std::uint8_t, 16>;
Guid newGuid();
/// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"
std::string guidText(const Guid& guid);
/// Sets an OCTET STRING (SIZE (16)) value (ConferenceIdentifier, CallIdentifier.guid).
void setGuid(asn::Value& octets16, const Guid& guid);
/// Reads one; all zeros when the value is not 16 octets.
Guid guidOf(const asn::Value& octets16);

/// What this product says about itself in EndpointType.vendor.
struct ProductIdentity
{
    unsigned t35CountryCode = 0xB5; // ITU-T T.35 country code (United States)
    unsigned t35Extension = 0;
    unsigned manufacturerCode = 0x4B58; // "KX"
    std::string productId = "Kestrovia";
    std::string versionId = "1.0";
};

/// Fills an EndpointType value as a terminal with our VendorIdentifier (mc and
/// undefinedNode false).
void setEndpointType(asn::Value& endpointType, const ProductIdentity& identity = {});
/// Fills a VendorIdentifier value.
void setVendorIdentifier(asn::Value& vendorIdentifier, const ProductIdentity& identity = {});
/// Reads "productId versionId" of a peer's EndpointType (empty parts left out).
std::string productText(const asn::Value& endpointType);

} // namespace voip::h225
