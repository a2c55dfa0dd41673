// The hashed password of H.235 as gatekeepers check it: the exact octets hashed, and the
// digest a widely deployed gatekeeper expected for a registration in
// gatekeeper-md5-password.pcapng (bob, password "bobpw", time stamp 1796726141).

#include <gtest/gtest.h>

#include "voip/h225/passwordtoken.h"

namespace voip::h225 {
namespace {

std::string hex(std::span<const std::uint8_t> octets)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const auto octet : octets) {
        text += digits[octet >> 4];
        text += digits[octet & 15];
    }
    return text;
}

TEST(PasswordHash, IsMd5OfTheClearTokenWithANulAfterEachText)
{
    auto input = passwordHashInput("bob", "bobpw", 1796726141);
    ASSERT_TRUE(input.ok());
    // ClearToken, aligned PER: the preamble (no extension; timeStamp, password and
    // generalID present) and tokenOID {0 0}; timeStamp in four octets; the password as a
    // BMPString of six characters, "bobpw" and NUL; generalID of four, "bob" and NUL.
    EXPECT_EQ(hex(*input), "6100"
                           "0100"
                           "c06b17dd7c"
                           "0a"
                           "0062006f0062007000770000"
                           "06"
                           "0062006f00620000");
    auto hash = passwordHash("bob", "bobpw", 1796726141);
    ASSERT_TRUE(hash.ok());
    // The digest the gatekeeper expected; without the NULs it was 3ce10179...7619, which
    // it refused.
    EXPECT_EQ(hex(*hash), "b99fa674586f401861b3852839cba4a2");
}

} // namespace
} // namespace voip::h225
