#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "voip/asn/value.h"

namespace voip::h245 {

/// A unicast IPv4 or IPv6 transport address of a media or media-control channel.
struct MediaAddress
{
    bool ipv6 = false;
    std::array<std::uint8_t, 16> ip{}; ///< the first 4 octets for IPv4
    std::uint16_t port = 0;

    bool operator==(const MediaAddress&) const = default;
};

/// Builds a TransportAddress value (unicastAddress iPAddress or iP6Address) into `out`.
void setTransportAddress(asn::Value& out, const MediaAddress& address);
/// Reads a unicast iPAddress/iP6Address TransportAddress; nullopt for any other form.
std::optional<MediaAddress> readTransportAddress(const asn::Value& transportAddress);

} // namespace voip::h245
