#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "voip/asn/result.h"
#include "voip/asn/value.h"

namespace voip::h225 {

/// An MD5 digest.
using Digest = std::array<std::uint8_t, 16>;

Digest md5(std::span<const std::uint8_t> data);

/// The access token's challenge: MD5 over the random octet, the password's octets and the
/// time stamp (four octets, most significant first), as CHAP computes its response.
Digest accessTokenChallenge(std::uint8_t random, std::string_view password,
                            std::uint32_t timeStamp);

/// What the hashed password is computed over: the PER encoding of a ClearToken holding
/// tokenOID {0 0}, the time stamp, the password and the alias as its generalID, each of
/// the two texts with a UCS-2 NUL after it, as H.323 gatekeepers and equipment compute it.
asn::Result<std::vector<std::uint8_t>> passwordHashInput(std::string_view alias,
                                                         std::string_view password,
                                                         std::uint32_t timeStamp);
/// The hashed password: MD5 over passwordHashInput.
asn::Result<Digest> passwordHash(std::string_view alias, std::string_view password,
                                 std::uint32_t timeStamp);

/// Adds our proof of the password to a RAS request's body: an access token in `tokens`
/// (tokenOID 1.2.840.113548.10.1.2.1) and a hashed password (cryptoEPPwdHash, MD5) in
/// `cryptoTokens`, both for `alias` at `timeStamp` (seconds since 1970).  A gatekeeper
/// checks the form it knows and ignores the other.
asn::Status addPasswordTokens(asn::Value& body, std::string_view alias, std::string_view password,
                              std::uint32_t timeStamp, std::uint8_t random);

/// The object identifiers of the two forms, and of MD5.
inline constexpr std::array<std::uint64_t, 8> AccessTokenOid{1, 2, 840, 113548, 10, 1, 2, 1};
inline constexpr std::array<std::uint64_t, 6> Md5Oid{1, 2, 840, 113549, 2, 5};

} // namespace voip::h225
