#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "voip/asn/result.h"
#include "voip/asn/value.h"
#include "voip/h245/mediaaddress.h"

namespace voip::h245 {

/// What a media traversal server and its client say about one channel (H.460.19's
/// TraversalParameters): where keep-alives go and how often, the payload type they carry,
/// and the multiplexed channel the engine reads but never uses.
struct TraversalParameters
{
    std::optional<MediaAddress> multiplexedMediaChannel;
    std::optional<MediaAddress> multiplexedMediaControlChannel;
    std::optional<std::uint32_t> multiplexId;
    /// The relay's RTP port that keep-alives open the way from; RTCP is the next port.
    std::optional<MediaAddress> keepAliveChannel;
    std::optional<std::uint8_t> keepAlivePayloadType; ///< 0..127
    std::optional<std::uint32_t> keepAliveInterval;   ///< seconds, 1..2^32-1

    bool operator==(const TraversalParameters&) const = default;
};

/// The PER octets of TraversalParameters, as they travel in an octet string.
asn::Result<std::vector<std::uint8_t>> encodeTraversalParameters(const TraversalParameters& value);
/// Reads TraversalParameters; an error when the octets do not decode.  Addresses other
/// than unicast IPv4 or IPv6 are left out.
asn::Result<TraversalParameters> decodeTraversalParameters(std::span<const std::uint8_t> bytes);

/// The media traversal entry of an OpenLogicalChannel or its Ack: there when the message
/// carries H.460.19's generic information (0.0.8.460.19.0.1), with the parameters when it
/// holds them.
struct MediaTraversal
{
    std::optional<TraversalParameters> parameters;
    /// Parameters were there but did not decode: they are left out.
    bool malformed = false;

    bool operator==(const MediaTraversal&) const = default;
};

/// Appends the entry to a SEQUENCE OF GenericInformation: the identifier alone, or with the
/// parameters as parameter 1.
void addMediaTraversal(asn::Value& genericInformation, const MediaTraversal& traversal);
/// The entry in a SEQUENCE OF GenericInformation; nothing when there is none.
std::optional<MediaTraversal> readMediaTraversal(const asn::Value& genericInformation);

} // namespace voip::h245
