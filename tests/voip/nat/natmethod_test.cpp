#include "voip/nat/fixedmethod.h"
#include "voip/nat/natmethod.h"
#include "voip/nat/stunmethod.h"

#include <gtest/gtest.h>

using namespace voip::nat;
using asio::ip::make_address;

TEST(NatMethod, LocalAddresses)
{
    for (const char* local :
         {"127.0.0.1", "127.1.2.3", "10.20.30.40", "172.16.0.1", "172.31.255.255", "192.168.1.10",
          "169.254.3.4", "0.0.0.0", "::1", "fe80::1", "fd00::5", "::", "::ffff:192.168.0.1"})
        EXPECT_TRUE(isLocalAddress(make_address(local))) << local;
    for (const char* outside : {"8.8.8.8", "172.15.255.255", "172.32.0.1", "192.169.0.1",
                                "198.51.100.7", "11.0.0.1", "2001:db8::1", "::ffff:8.8.4.4"})
        EXPECT_FALSE(isLocalAddress(make_address(outside))) << outside;
}

TEST(NatMethod, FixedReportsItsConfiguredAddress)
{
    FixedMethod fixed;
    EXPECT_EQ(fixed.name(), "Fixed");
    EXPECT_FALSE(fixed.externalAddress(NatMethod::AnyAge));
    ASSERT_TRUE(fixed.setServer("203.0.113.9"));
    EXPECT_EQ(fixed.server(), "203.0.113.9");
    EXPECT_EQ(fixed.externalAddress(std::chrono::milliseconds(0)), make_address("203.0.113.9"));
    EXPECT_EQ(fixed.natType(NatMethod::AnyAge), NatType::Unknown);

    // Text that is no address is refused and the old address stays.
    EXPECT_FALSE(fixed.setServer("not an address"));
    EXPECT_FALSE(fixed.setServer(""));
    EXPECT_EQ(fixed.externalAddress(NatMethod::AnyAge), make_address("203.0.113.9"));
    // The manager's "0.0.0.0" for an invalid setting means: no public address.
    ASSERT_TRUE(fixed.setServer("0.0.0.0"));
    EXPECT_FALSE(fixed.externalAddress(NatMethod::AnyAge));
    ASSERT_TRUE(fixed.setServer("2001:db8::7"));
    EXPECT_EQ(fixed.externalAddress(NatMethod::AnyAge), make_address("2001:db8::7"));
}

TEST(NatMethod, StunServerText)
{
    StunMethod stun;
    EXPECT_EQ(stun.name(), "STUN");
    EXPECT_TRUE(stun.setServer("stun.example.org"));
    EXPECT_TRUE(stun.setServer("127.0.0.1"));
    EXPECT_TRUE(stun.setServer("127.0.0.1:3479"));
    EXPECT_TRUE(stun.setServer("[::1]:3479"));
    EXPECT_TRUE(stun.setServer("2001:db8::1"));
    EXPECT_EQ(stun.server(), "2001:db8::1");
    for (const char* bad :
         {"", ":3478", "host:", "host:0", "host:65536", "host:12ab", "[::1", "[::1]x", "[]:5"})
        EXPECT_FALSE(stun.setServer(bad)) << bad;
    EXPECT_EQ(stun.server(), "2001:db8::1");
}

TEST(NatMethod, ListFindsByNameAndTranslatesForOutsidePeers)
{
    NatMethodList list;
    list.add(std::make_unique<StunMethod>());
    list.add(std::make_unique<FixedMethod>());
    list.add(nullptr);
    ASSERT_EQ(list.methods().size(), 2u);
    ASSERT_NE(list.find("STUN"), nullptr);
    ASSERT_NE(list.find("Fixed"), nullptr);
    EXPECT_EQ(list.find("UPnP"), nullptr);

    NatMethod& fixed = *list.find("Fixed");
    ASSERT_TRUE(fixed.setServer("203.0.113.9"));
    const auto local = make_address("192.168.1.20");
    const auto outside = make_address("198.51.100.7");
    const auto inside = make_address("192.168.1.30");

    EXPECT_EQ(list.translate(local, outside), local) << "inactive method";
    fixed.activate(true);
    EXPECT_EQ(list.translate(local, outside), make_address("203.0.113.9"));
    EXPECT_EQ(list.translate(local, inside), local);
    EXPECT_EQ(list.translate(local, make_address("127.0.0.1")), local);
    fixed.activate(false);
    EXPECT_EQ(list.translate(local, outside), local);
}
