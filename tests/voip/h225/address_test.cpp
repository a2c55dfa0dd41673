#include <set>

#include <gtest/gtest.h>

#include "voip/h225/address.h"
#include "voip/h225/identity.h"
#include "voip/h225/schema.h"

namespace voip::h225 {
namespace {

const asn::Type& aliasType()
{
    return *findType("AliasAddress");
}

TEST(H225Address, AliasTextBothWays)
{
    asn::Value alias(aliasType());
    ASSERT_TRUE(setAlias(alias, "0123456789#*,"));
    EXPECT_EQ(aliasKind(alias), AliasKind::DialledDigits);
    ASSERT_TRUE(setAlias(alias, "Anh Nguy\xe1\xbb\x85n")); // BMP text
    EXPECT_EQ(aliasKind(alias), AliasKind::H323Id);
    EXPECT_EQ(aliasToText(alias), "Anh Nguy\xe1\xbb\x85n");
    ASSERT_TRUE(setAlias(alias, "h323:room1", AliasKind::Url));
    EXPECT_EQ(alias.choiceName(), "url-ID");
    EXPECT_EQ(aliasToText(alias), "h323:room1");
    ASSERT_TRUE(setAlias(alias, "a@b.c", AliasKind::Email));
    EXPECT_EQ(alias.choiceName(), "email-ID");
    ASSERT_TRUE(setAlias(alias, "10.1.2.3:1720", AliasKind::Transport));
    EXPECT_EQ(aliasKind(alias), AliasKind::Transport);
    EXPECT_EQ(aliasToText(alias), "10.1.2.3:1720");

    // Refused: the alias keeps its last value.
    EXPECT_FALSE(setAlias(alias, ""));
    EXPECT_FALSE(setAlias(alias, std::string(129, '1'), AliasKind::DialledDigits));
    EXPECT_FALSE(setAlias(alias, "12a", AliasKind::DialledDigits));
    EXPECT_FALSE(setAlias(alias, std::string(257, 'x')));
    EXPECT_FALSE(setAlias(alias, "\xf0\x9f\x98\x80", AliasKind::H323Id)); // beyond the BMP
    EXPECT_FALSE(setAlias(alias, "\xc3(", AliasKind::H323Id));            // not UTF-8
    EXPECT_FALSE(setAlias(alias, "caf\xc3\xa9", AliasKind::Url));         // not IA5
    EXPECT_FALSE(setAlias(alias, "host:1720", AliasKind::Transport));
    EXPECT_EQ(aliasToText(alias), "10.1.2.3:1720");
    // 256 BMP characters fit, counted as characters, not octets.
    std::string longName;
    for (int i = 0; i < 256; ++i) {
        longName += "\xc3\xa9";
    }
    EXPECT_TRUE(setAlias(alias, longName));

    asn::Value party(aliasType());
    asn::Value& number = party.choose("partyNumber").choose("e164Number");
    number.field("publicTypeOfNumber").choose("unknown");
    number.field("publicNumberDigits").setText("4930123");
    EXPECT_EQ(aliasKind(party), AliasKind::PartyNumber);
    EXPECT_EQ(aliasToText(party), "4930123");
    EXPECT_EQ(aliasToText(asn::Value(aliasType())), ""); // nothing chosen
}

TEST(H225Address, IpAddressPortParsing)
{
    auto v4 = IpAddressPort::parse("10.0.0.5:1721");
    ASSERT_TRUE(v4);
    EXPECT_FALSE(v4->ipv6);
    EXPECT_EQ(v4->port, 1721);
    EXPECT_EQ(v4->addressText(), "10.0.0.5");
    EXPECT_EQ(IpAddressPort::parse("10.0.0.5", 1720)->port, 1720);
    auto v6 = IpAddressPort::parse("[::1]:1720");
    ASSERT_TRUE(v6);
    EXPECT_TRUE(v6->ipv6);
    EXPECT_EQ(v6->toString(), "[::1]:1720");
    EXPECT_EQ(IpAddressPort::parse("fe80::1", 5)->toString(), "[fe80::1]:5");
    for (const char* bad : {"", "10.0.0.5:", "10.0.0.5:65536", "10.0.0.5:x", "10.0.0:1", "[::1",
                            "[::1]x", "[10.0.0.1]:5", "host:1720", "1.2.3.4:-1"}) {
        EXPECT_FALSE(IpAddressPort::parse(bad)) << bad;
    }
}

TEST(H225Address, TransportAddressBothWays)
{
    const asn::Type& type = *findType("TransportAddress");
    asn::Value t(type);
    EXPECT_FALSE(transportAddressOf(t));
    setTransportAddress(t, *IpAddressPort::parse("192.0.2.1:1720"));
    EXPECT_EQ(t.choiceName(), "ipAddress");
    EXPECT_EQ(t.chosen()["ip"].bytes(), std::string("\xc0\x00\x02\x01", 4));
    EXPECT_EQ(transportAddressOf(t)->toString(), "192.0.2.1:1720");
    setTransportAddress(t, *IpAddressPort::parse("[2001:db8::1]:1"));
    EXPECT_EQ(t.choiceName(), "ip6Address");
    EXPECT_EQ(transportAddressOf(t)->toString(), "[2001:db8::1]:1");
    t.choose("netBios");
    EXPECT_FALSE(transportAddressOf(t));
    asn::Value route(type);
    asn::Value& r = route.choose("ipSourceRoute");
    r.field("ip").setBytes(std::string("\x7f\x00\x00\x01", 4));
    r.field("port").setInteger(99);
    EXPECT_EQ(transportAddressOf(route)->toString(), "127.0.0.1:99");
}

TEST(H225Identity, GuidsAreVersion4AndDistinct)
{
    std::set<Guid> seen;
    for (int i = 0; i < 1000; ++i) {
        const Guid g = newGuid();
        EXPECT_EQ(g[6] >> 4, 4);
        EXPECT_EQ(g[8] >> 6, 2);
        seen.insert(g);
    }
    EXPECT_EQ(seen.size(), 1000u);
    const Guid g{0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0x4d, 0xef, 0x80, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(guidText(g), "12345678-9abc-4def-8001-020304050607");
    asn::Value octets(*findType("GloballyUniqueID"));
    setGuid(octets, g);
    EXPECT_EQ(guidOf(octets), g);
    octets.setBytes("short");
    EXPECT_EQ(guidOf(octets), Guid{});
}

TEST(H225Identity, ProtocolIdentifierAndVendor)
{
    asn::Value id(*findType("ProtocolIdentifier"));
    setProtocolIdentifier(id);
    EXPECT_EQ(protocolVersion(id), 6u);
    EXPECT_GE(kProtocolVersion, 4u);
    id.setOid({0, 0, 8, 245, 0, 13});
    EXPECT_EQ(protocolVersion(id), 0u);

    asn::Value endpoint(*findType("EndpointType"));
    ProductIdentity identity;
    identity.versionId.clear();
    setEndpointType(endpoint, identity);
    EXPECT_EQ(productText(endpoint), "Kestrovia");
    EXPECT_EQ(endpoint["vendor"]["vendor"]["t35CountryCode"].integer(), 0xB5);
    EXPECT_EQ(endpoint["vendor"]["vendor"]["manufacturerCode"].integer(), 0x4B58);
    EXPECT_FALSE(endpoint["vendor"].has("versionId"));
    endpoint.field("vendor").field("productId").setBytes(std::string("Peer\0", 5));
    endpoint.field("vendor").field("versionId").setBytes("2.1");
    EXPECT_EQ(productText(endpoint), "Peer 2.1");
}

} // namespace
} // namespace voip::h225
