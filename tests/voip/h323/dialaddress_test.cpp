#include "voip/h323/dialaddress.h"

#include <gtest/gtest.h>

namespace voip::h323 {
namespace {

TEST(DialAddress, ReadsEveryAcceptedForm)
{
    auto host = parseDialAddress("h323:10.0.0.5");
    ASSERT_TRUE(host);
    EXPECT_EQ(host->host, "10.0.0.5");
    EXPECT_EQ(host->port, 1720);
    EXPECT_TRUE(host->alias.empty());

    auto withPort = parseDialAddress("room.example.org:1721");
    ASSERT_TRUE(withPort);
    EXPECT_EQ(withPort->host, "room.example.org");
    EXPECT_EQ(withPort->port, 1721);

    auto alias = parseDialAddress("H323:1234@10.0.0.5:1730");
    ASSERT_TRUE(alias);
    EXPECT_EQ(alias->alias, "1234");
    EXPECT_EQ(alias->host, "10.0.0.5");
    EXPECT_EQ(alias->port, 1730);

    auto mailAlias = parseDialAddress("bob@example.org@gw.example.org");
    ASSERT_TRUE(mailAlias);
    EXPECT_EQ(mailAlias->alias, "bob@example.org");
    EXPECT_EQ(mailAlias->host, "gw.example.org");

    auto v6 = parseDialAddress("[2001:db8::1]:1721");
    ASSERT_TRUE(v6);
    EXPECT_TRUE(v6->ipv6Literal);
    EXPECT_EQ(v6->host, "2001:db8::1");
    EXPECT_EQ(v6->port, 1721);
    EXPECT_EQ(v6->toString(), "[2001:db8::1]:1721");

    auto bareV6 = parseDialAddress("::1");
    ASSERT_TRUE(bareV6);
    EXPECT_EQ(bareV6->host, "::1");
    EXPECT_EQ(bareV6->port, 1720);
    EXPECT_EQ(alias->toString(), "1234@10.0.0.5:1730");
}

TEST(DialAddress, RefusesWhatCannotBeDialled)
{
    for (const char* bad : {"", "h323:", "alias@", "host:0", "host:65536", "host:12x", "[::1",
                            "[::1]x", "[]", "bad host", "host/../x", "[::1]:99999"})
        EXPECT_FALSE(parseDialAddress(bad)) << bad;
    EXPECT_FALSE(parseDialAddress(std::string(300, 'a')));
}

TEST(ForwardTarget, CombinesAliasAndHostAsTheClientExpects)
{
    EXPECT_EQ(forwardTarget("room1", "10.0.0.5"), "room1@10.0.0.5");
    EXPECT_EQ(forwardTarget("bob@10.0.0.9", "10.0.0.5"), "bob@10.0.0.9");
    EXPECT_EQ(forwardTarget("", "10.0.0.5:1720"), "10.0.0.5:1720");
    EXPECT_EQ(forwardTarget("h323:room1", ""), "room1");
    EXPECT_EQ(forwardTarget("", ""), "");
}

} // namespace
} // namespace voip::h323
