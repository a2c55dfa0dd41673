#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "voip/asn/codec.h"
#include "voip/asn/schema.h"

namespace voip::asn::test {

/// Bits written as text ("1 0100 0001", spaces ignored) padded with zeros to octets.
inline std::vector<std::uint8_t> bits(std::string_view text)
{
    std::vector<std::uint8_t> out;
    int n = 0;
    for (char c : text) {
        if (c != '0' && c != '1') {
            continue;
        }
        if (n % 8 == 0) {
            out.push_back(0);
        }
        if (c == '1') {
            out.back() |= static_cast<std::uint8_t>(0x80 >> (n % 8));
        }
        ++n;
    }
    return out;
}

inline std::vector<std::uint8_t> hex(std::string_view text)
{
    std::vector<std::uint8_t> out;
    int nibble = -1;
    for (char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        }
        if (v < 0) {
            continue;
        }
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(nibble * 16 + v));
            nibble = -1;
        }
    }
    return out;
}

inline std::string toHex(const std::vector<std::uint8_t>& bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

/// Loads one module text; fails the test on a load error.
inline std::shared_ptr<const Schema> load(std::string_view text)
{
    const std::array<std::string_view, 1> texts{text};
    auto result = Schema::load(texts);
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().toString());
    return result.ok() ? result.value() : nullptr;
}

/// Encodes, returning hex, or "error: ..." text.
inline std::string encodeHex(const Value& v)
{
    auto bytes = encode(v);
    if (!bytes) {
        return "error: " + bytes.error().toString();
    }
    return toHex(*bytes);
}

} // namespace voip::asn::test
