#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "voip/asn/value.h"
#include "voip/h245/message.h"

namespace voip::h245::test {

/// Encodes, decodes and re-encodes a message: the decoded value equals the original and the
/// second encoding equals the first. Returns the decoded message (absent on failure).
inline asn::Value roundTrip(const asn::Value& message, std::vector<std::uint8_t>* bytes = nullptr)
{
    EXPECT_TRUE(message.present());
    auto encoded = encodeMessage(message);
    EXPECT_TRUE(encoded.ok()) << (encoded.ok() ? "" : encoded.error().toString());
    if (!encoded.ok())
        return {};
    auto decoded = decodeMessage(*encoded);
    EXPECT_TRUE(decoded.ok()) << (decoded.ok() ? "" : decoded.error().toString());
    if (!decoded.ok())
        return {};
    EXPECT_TRUE(*decoded == message);
    auto again = encodeMessage(*decoded);
    EXPECT_TRUE(again.ok());
    if (again.ok()) {
        EXPECT_EQ(*again, *encoded);
    }
    if (bytes)
        *bytes = *encoded;
    return std::move(decoded).value();
}

inline std::string hex(const std::vector<std::uint8_t>& bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

inline std::vector<std::uint8_t> unhex(std::string_view text)
{
    std::vector<std::uint8_t> out;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(nibble(text[i]) * 16 + nibble(text[i + 1])));
    return out;
}

} // namespace voip::h245::test
