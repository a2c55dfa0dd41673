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

TEST(DialAddress, ReadsTheTransportFormWithThePortAfterTheLastColon)
{
    auto v6 = parseDialAddress("h323:room@ip$2001:db8::1:1721");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->alias, "room");
    EXPECT_EQ(v6->host, "2001:db8::1");
    EXPECT_TRUE(v6->ipv6Literal);
    EXPECT_EQ(v6->port, 1721);

    auto v4 = parseDialAddress("IP$10.0.0.5:1730");
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->host, "10.0.0.5");
    EXPECT_FALSE(v4->ipv6Literal);
    EXPECT_EQ(v4->port, 1730);

    auto bracketed = parseDialAddress("ip$[::1]:1722");
    ASSERT_TRUE(bracketed);
    EXPECT_EQ(bracketed->host, "::1");
    EXPECT_EQ(bracketed->port, 1722);
}

TEST(DialAddress, PartyTextHoldsNoBracketsAndDialsBackToTheSameAddress)
{
    for (const char* dialled : {"[2001:db8::1]:1721", "[::1]", "[fe80::1%3]:5000",
                                "alias@[::1]:1721", "10.0.0.5:1730", "room@host.example:1720"}) {
        auto address = parseDialAddress(dialled);
        ASSERT_TRUE(address) << dialled;
        const std::string party = address->partyText();
        EXPECT_EQ(party.find_first_of("[]"), std::string::npos) << party;
        auto again = parseDialAddress(party);
        ASSERT_TRUE(again) << party;
        EXPECT_EQ(again->alias, address->alias) << party;
        EXPECT_EQ(again->host, address->host) << party;
        EXPECT_EQ(again->port, address->port) << party;
        EXPECT_EQ(again->ipv6Literal, address->ipv6Literal) << party;
    }
    // The default port leaves the IPv6 literal bare; another port takes the transport form.
    EXPECT_EQ(parseDialAddress("[2001:db8::1]")->partyText(), "2001:db8::1");
    EXPECT_EQ(parseDialAddress("[::1]:1721")->partyText(), "ip$::1:1721");
    // The default port is left out for every host; another port stays.
    EXPECT_EQ(parseDialAddress("10.0.0.5")->partyText(), "10.0.0.5");
    EXPECT_EQ(parseDialAddress("10.0.0.5:1720")->partyText(), "10.0.0.5");
    EXPECT_EQ(parseDialAddress("10.0.0.5:1730")->partyText(), "10.0.0.5:1730");
    EXPECT_EQ(parseDialAddress("h323:room@host.example:1720")->partyText(), "room@host.example");
    EXPECT_EQ(parseDialAddress("room@host.example:1721")->partyText(), "room@host.example:1721");
}

asio::ip::tcp::endpoint endpoint(const char* ip, std::uint16_t port)
{
    return {asio::ip::make_address(ip), port};
}

/// The party text of a caller seen from `peer` that announced `announced`.
std::string callerText(const asio::ip::tcp::endpoint& peer,
                       const std::optional<asio::ip::tcp::endpoint>& announced)
{
    return callerDialAddress(peer, announced).partyText();
}

TEST(CallerDialAddress, TakesTheAnnouncedPortOnlyWhenTheAnnouncedAddressIsTheCallers)
{
    const auto peer = endpoint("10.0.0.5", 54321);
    // The caller's listener, on the address its connection comes from.
    EXPECT_EQ(callerText(peer, endpoint("10.0.0.5", 1721)), "10.0.0.5:1721");
    EXPECT_EQ(callerText(peer, endpoint("10.0.0.5", 1720)), "10.0.0.5");
    // Nothing announced, or nothing usable: the IP alone, never the source port.
    EXPECT_EQ(callerText(peer, std::nullopt), "10.0.0.5");
    EXPECT_EQ(callerText(peer, endpoint("10.0.0.5", 0)), "10.0.0.5");
    // Another address of the local network is not trusted: its port may be anyone's.
    EXPECT_EQ(callerText(peer, endpoint("10.0.0.6", 1721)), "10.0.0.5");
    EXPECT_EQ(callerText(endpoint("198.51.100.4", 40000), endpoint("203.0.113.9", 1721)),
              "198.51.100.4");
    // A local peer announcing a public address is not behind a NAT either.
    EXPECT_EQ(callerText(peer, endpoint("203.0.113.9", 1721)), "10.0.0.5");
}

TEST(CallerDialAddress, ACallerBehindNatIsReachedAtItsNatWithTheAnnouncedPort)
{
    // It announced its private address; the connection comes from the NAT's public one.
    const auto nat = endpoint("203.0.113.7", 61000);
    EXPECT_EQ(callerText(nat, endpoint("192.168.1.20", 1721)), "203.0.113.7:1721");
    EXPECT_EQ(callerText(nat, endpoint("172.16.0.3", 1720)), "203.0.113.7");
    EXPECT_EQ(callerText(nat, endpoint("0.0.0.0", 1722)), "203.0.113.7:1722");
}

TEST(CallerDialAddress, ReadsIpv6AndMappedAddressesAndDialsBack)
{
    // An IPv4 caller on a dual-stack listener arrives as an IPv4-mapped address.
    const auto mapped = endpoint("::ffff:10.0.0.5", 50000);
    EXPECT_EQ(callerText(mapped, endpoint("10.0.0.5", 1721)), "10.0.0.5:1721");
    EXPECT_EQ(callerText(endpoint("10.0.0.5", 50000), endpoint("::ffff:10.0.0.5", 1721)),
              "10.0.0.5:1721");
    EXPECT_EQ(callerText(mapped, std::nullopt), "10.0.0.5");

    const auto v6 = endpoint("2001:db8::5", 50000);
    EXPECT_EQ(callerText(v6, endpoint("2001:db8::5", 1721)), "ip$2001:db8::5:1721");
    EXPECT_EQ(callerText(v6, endpoint("2001:db8::5", 1720)), "2001:db8::5");
    EXPECT_EQ(callerText(v6, endpoint("2001:db8::6", 1721)), "2001:db8::5");
    EXPECT_EQ(callerText(v6, std::nullopt), "2001:db8::5");
    // A link-local caller keeps its scope as a number; the Setup carries none.
    auto linkLocal = asio::ip::make_address_v6("fe80::5");
    linkLocal.scope_id(3);
    const asio::ip::tcp::endpoint scoped(linkLocal, 50000);
    EXPECT_EQ(callerText(scoped, endpoint("fe80::5", 1721)), "ip$fe80::5%3:1721");

    // Every form parses back to the address it was made from.
    for (const auto& [peer, announced] :
         {std::pair{v6, std::optional{endpoint("2001:db8::5", 1721)}},
          std::pair{v6, std::optional<asio::ip::tcp::endpoint>{}},
          std::pair{mapped, std::optional{endpoint("10.0.0.5", 1721)}},
          std::pair{endpoint("203.0.113.7", 61000), std::optional{endpoint("192.168.1.20", 1730)}},
          std::pair{mapped, std::optional<asio::ip::tcp::endpoint>{}},
          std::pair{scoped, std::optional{endpoint("fe80::5", 1722)}}}) {
        const DialAddress caller = callerDialAddress(peer, announced);
        const std::string text = caller.partyText();
        auto parsed = parseDialAddress(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(parsed->host, caller.host) << text;
        EXPECT_EQ(parsed->port, caller.port) << text;
        EXPECT_EQ(parsed->ipv6Literal, caller.ipv6Literal) << text;
        EXPECT_TRUE(parsed->alias.empty()) << text;
    }
}

TEST(DialAddress, RefusesWhatCannotBeDialled)
{
    for (const char* bad : {"", "h323:", "alias@", "host:0", "host:65536", "host:12x", "[::1",
                            "[::1]x", "[]", "bad host", "host/../x", "[::1]:99999", "ip$", "ip$::1",
                            "ip$2001:db8::1:99999", "ip$2001:db8::1:x"})
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
