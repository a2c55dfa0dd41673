#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace voip::h235 {

/// Octets of the 1024-bit group's numbers as the tokens carry them: big-endian, left-padded.
inline constexpr std::size_t GroupOctets = 128;
using GroupNumber = std::array<std::uint8_t, GroupOctets>;
/// An AES-128 key: a media key, or the key that wraps media keys for the far end.
using Key = std::array<std::uint8_t, 16>;

/// The 1024-bit MODP group (RFC 2409's second Oakley group) and generator 2, the one
/// group media encryption is agreed in.
const GroupNumber& groupPrime();
const GroupNumber& groupGenerator();

/// One side's Diffie-Hellman agreement for a call: a private exponent, the half key sent
/// to the far end, and the secret agreed from the far end's half key.
class KeyAgreement
{
public:
    /// A fresh private exponent from the system's random source; nothing when that fails.
    static std::optional<KeyAgreement> generate();
    /// The agreement of a known private exponent (big-endian, at most GroupOctets octets):
    /// for checking against recorded calls.
    static std::optional<KeyAgreement> fromPrivate(std::span<const std::uint8_t> exponent);

    /// g^x mod p, as sent.
    const GroupNumber& halfKey() const { return halfKey_; }
    /// (far end's half key)^x mod p.  Nothing for a half key outside 2..p-2 (which would
    /// give a secret an eavesdropper knows) or of more than GroupOctets octets.
    std::optional<GroupNumber> secret(std::span<const std::uint8_t> theirHalfKey) const;

private:
    KeyAgreement() = default;
    std::vector<std::uint8_t> exponent_;
    GroupNumber halfKey_{};
};

/// The key that wraps media keys: the last 16 octets (the least significant 128 bits) of
/// the agreed secret, as other stacks take it.
Key wrappingKey(const GroupNumber& secret);
/// A media key as it travels in the channel's encryptionSync (one AES-128 block, zero IV),
/// and back.
Key wrapKey(const Key& wrapping, const Key& mediaKey);
Key unwrapKey(const Key& wrapping, const Key& wrapped);
/// A new random media key; nothing when the random source fails.
std::optional<Key> newMediaKey();

} // namespace voip::h235
