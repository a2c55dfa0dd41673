#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "voip/asn/result.h"
#include "voip/asn/value.h"

namespace voip::h225 {

/// The token of the 1024-bit Diffie-Hellman group, which carries the half key.
inline constexpr std::array<std::uint64_t, 7> KeyAgreement1024Oid{0, 0, 8, 235, 0, 3, 43};
/// The same group's other name, which other stacks send bare beside it.
inline constexpr std::array<std::uint64_t, 7> KeyAgreement1024OtherOid{0, 0, 8, 235, 0, 3, 24};
/// AES-128 in CBC mode: the media cipher and the key wrap.
inline constexpr std::array<std::uint64_t, 9> Aes128CbcOid{2, 16, 840, 1, 101, 3, 4, 1, 2};

/// The numbers of a key agreement as a token carries them: each big-endian, of the
/// group's size.
struct KeyAgreementOffer
{
    std::vector<std::uint8_t> halfKey;
    std::vector<std::uint8_t> prime;
    std::vector<std::uint8_t> generator;
};

/// Adds the key agreement to a Setup's or Connect's tokens: the group's token with the half
/// key, prime and generator, then its other name, bare (what other stacks send and take).
/// Refused for numbers longer than 2048 bits.
asn::Status addKeyAgreementTokens(asn::Value& body, const KeyAgreementOffer& offer);
/// The far end's offer in a body's tokens: the 1024-bit group's token with its numbers.
/// Nothing when it offers none (a far end that does not encrypt); an error for numbers
/// not of the group's size.
asn::Result<std::optional<KeyAgreementOffer>> readKeyAgreementToken(const asn::Value& body);

/// A wrapped media key as an encryptionSync's h235Key (PER of H235Key: the shared secret
/// choice with AES-128-CBC, empty parameters and the 16 wrapped octets), and back; an error
/// for anything else there.
asn::Result<std::vector<std::uint8_t>> encodeWrappedKey(std::span<const std::uint8_t, 16> wrapped);
asn::Result<std::array<std::uint8_t, 16>> decodeWrappedKey(std::span<const std::uint8_t> h235Key);

} // namespace voip::h225
