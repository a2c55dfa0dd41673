#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "voip/asn/result.h"
#include "voip/asn/schema.h"
#include "voip/asn/value.h"

namespace voip::asn {

/// Hard limits applied while decoding untrusted input; each is checked before allocating.
struct Limits
{
    std::size_t maxDepth = 64;            ///< nesting of constructed types
    std::size_t maxElements = 65536;      ///< elements of one SEQUENCE OF
    std::size_t maxStringBytes = 1 << 20; ///< octets/characters of one string or open type
    std::size_t maxNodes = 100000;        ///< values in one decoded message
};

/// Decodes a complete aligned-PER encoding of `type`. Trailing octets after the value are
/// ignored (see decodedBits for how much was used). Never reads outside `bytes`.
Result<Value> decode(const Type& type, std::span<const std::uint8_t> bytes,
                     const Limits& limits = {});
/// As decode, also reporting the number of bits the value used.
Result<Value> decode(const Type& type, std::span<const std::uint8_t> bytes,
                     std::size_t& decodedBits, const Limits& limits = {});

/// Encodes a value (its own type) in aligned PER, padded to whole octets; a value whose
/// encoding is empty gives one zero octet (X.691 11.1).
Result<std::vector<std::uint8_t>> encode(const Value& value);
/// Appends the encoding to `out`.
Status encode(const Value& value, std::vector<std::uint8_t>& out);

} // namespace voip::asn
