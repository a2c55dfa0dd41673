#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kxtest {

/// The octets a hex string writes out ("0a1b..."); a trailing odd digit is ignored.
inline std::vector<std::uint8_t> fromHex(std::string_view hex)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(std::uint8_t(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

/// Octets as lower-case hex, for messages that show where two encodings part.
inline std::string toHex(std::span<const std::uint8_t> octets)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const auto octet : octets) {
        out += digits[octet >> 4];
        out += digits[octet & 15];
    }
    return out;
}

} // namespace kxtest
