#include "voip/core/portallocator.h"
#include "voip/core/route.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace voip {
namespace {

TEST(RouteTable, TheClientsTwoRoutesSendCallsBothWays)
{
    RouteTable routes;
    ASSERT_TRUE(routes.add("h323:.* = pc:"));
    ASSERT_TRUE(routes.add("pc:.*   = h323:<da>")); // blanks before "=" as the client writes it
    ASSERT_EQ(routes.entries().size(), 2u);
    EXPECT_EQ(routes.entries()[1].pattern, "pc:.*");
    EXPECT_EQ(routes.entries()[1].destination, "h323:<da>");

    EXPECT_EQ(routes.route("h323", "room1"), "pc:");
    EXPECT_EQ(routes.route("h323", ""), "pc:");
    EXPECT_EQ(routes.route("pc", "10.0.0.5"), "h323:10.0.0.5");
    EXPECT_EQ(routes.route("pc", "alias@host:1721"), "h323:alias@host:1721");
    EXPECT_FALSE(routes.route("sip", "x")) << "no rule for this endpoint";
}

TEST(RouteTable, FirstMatchWinsAndPatternsMatchTheWholeText)
{
    RouteTable routes;
    ASSERT_TRUE(routes.add("pc:10\\..* = lan:<da>"));
    ASSERT_TRUE(routes.add("pc:.* = h323:<da>/<da>"));
    EXPECT_EQ(routes.route("pc", "10.1.2.3"), "lan:10.1.2.3");
    EXPECT_EQ(routes.route("pc", "x10.1.2.3"), "h323:x10.1.2.3/x10.1.2.3");
    EXPECT_EQ(routes.route("PC", "host"), "h323:host/host") << "case-insensitive";

    RouteTable exact;
    ASSERT_TRUE(exact.add("pc:abc = h323:abc"));
    EXPECT_FALSE(exact.route("pc", "abcd")) << "a pattern is no prefix match";
}

TEST(RouteTable, BadRulesAreRefusedAndChangeNothing)
{
    RouteTable routes;
    EXPECT_FALSE(routes.add("no equals sign"));
    EXPECT_FALSE(routes.add(" = h323:"));
    EXPECT_FALSE(routes.add("pc:.* = "));
    auto status = routes.add("pc:([ = h323:");
    ASSERT_FALSE(status);
    EXPECT_NE(status.error().find("bad route pattern"), std::string::npos);
    EXPECT_FALSE(routes.add(std::string(RouteTable::MaxPatternLength + 1, 'a') + " = pc:"));
    EXPECT_TRUE(routes.entries().empty());

    ASSERT_TRUE(routes.add("pc:.* = h323:<da>"));
    EXPECT_FALSE(routes.route("pc", std::string(RouteTable::MaxRoutedLength, 'x')))
        << "overlong text is not routed";
    routes.clear();
    EXPECT_FALSE(routes.route("pc", "x"));
}

TEST(RouteTable, SplitPrefixKnowsOnlyEndpointPrefixes)
{
    const std::vector<std::string> prefixes = {"h323", "pc"};
    auto split = splitPrefix("h323:10.0.0.5:1720", prefixes);
    ASSERT_TRUE(split);
    EXPECT_EQ(split->first, "h323");
    EXPECT_EQ(split->second, "10.0.0.5:1720");
    EXPECT_FALSE(splitPrefix("10.0.0.5:1720", prefixes));
    EXPECT_FALSE(splitPrefix("room1", prefixes));
    EXPECT_EQ(splitPrefix("pc:", prefixes)->second, "");
}

TEST(PortAllocator, WalksTheRangeInTurnAndSkipsBusyPorts)
{
    PortAllocator ports;
    ASSERT_TRUE(ports.setRange({5000, 5003}));
    std::vector<std::uint16_t> got;
    for (int i = 0; i < 6; ++i) {
        got.push_back(*ports.allocate([](std::uint16_t) { return true; }));
    }
    EXPECT_EQ(got, (std::vector<std::uint16_t>{5000, 5001, 5002, 5003, 5000, 5001}));

    // A busy port is skipped; the next allocation goes on after the one taken.
    auto port = ports.allocate([](std::uint16_t candidate) { return candidate != 5002; });
    EXPECT_EQ(port, 5003);
    EXPECT_EQ(ports.allocate([](std::uint16_t) { return true; }), 5000);

    // Everything busy: nothing, after trying each port once.
    int tries = 0;
    EXPECT_FALSE(ports.allocate([&](std::uint16_t) {
        ++tries;
        return false;
    }));
    EXPECT_EQ(tries, 4);
}

TEST(PortAllocator, PairsAreEvenAndNextAndStayInTheRange)
{
    PortAllocator ports;
    ASSERT_TRUE(ports.setRange({3231, 3236})); // odd base: first pair 3232/3233
    std::vector<std::pair<std::uint16_t, std::uint16_t>> pairs;
    for (int i = 0; i < 3; ++i) {
        ports.allocatePair([&](std::uint16_t rtp, std::uint16_t rtcp) {
            pairs.emplace_back(rtp, rtcp);
            return true;
        });
    }
    using Pair = std::pair<std::uint16_t, std::uint16_t>;
    EXPECT_EQ(pairs, (std::vector<Pair>{{3232, 3233}, {3234, 3235}, {3232, 3233}}))
        << "3236 has no RTCP port inside the range";

    ASSERT_TRUE(ports.setRange({4000, 4000}));
    EXPECT_FALSE(ports.allocatePair([](std::uint16_t, std::uint16_t) { return true; }));

    ASSERT_TRUE(ports.setRange({0, 0}));
    std::uint16_t offered = 1;
    ports.allocatePair([&](std::uint16_t rtp, std::uint16_t) {
        offered = rtp;
        return true;
    });
    EXPECT_EQ(offered, 0) << "any port: the system picks";
}

TEST(PortAllocator, BadRangesAreRefusedAndTheOldOneKept)
{
    PortAllocator ports;
    ASSERT_TRUE(ports.setRange({3230, 3250}));
    EXPECT_FALSE(ports.setRange({3250, 3230}));
    EXPECT_FALSE(ports.setRange({0, 10}));
    EXPECT_EQ(ports.range(), (PortRange{3230, 3250}));
    EXPECT_TRUE(ports.setRange({65535, 65535}));
    EXPECT_EQ(ports.allocate([](std::uint16_t) { return true; }), 65535);
    EXPECT_FALSE(ports.allocatePair([](std::uint16_t, std::uint16_t) { return true; }));
}

TEST(PortAllocator, ConcurrentUsersNeverShareAPort)
{
    PortAllocator ports;
    ASSERT_TRUE(ports.setRange({20000, 20199}));
    std::mutex mutex;
    std::set<std::uint16_t> bound;
    std::atomic<int> failures{0};
    auto tryBind = [&](std::uint16_t port) {
        std::lock_guard lock(mutex);
        return bound.insert(port).second; // a port bound twice fails, as bind() would
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                if (!ports.allocate(tryBind)) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(bound.size(), 200u);
    EXPECT_FALSE(ports.allocate(tryBind)) << "the range is used up";
}

} // namespace
} // namespace voip
