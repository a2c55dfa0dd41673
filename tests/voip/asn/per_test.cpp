#include <gtest/gtest.h>

#include "voip/asn/per.h"
#include "test_util.h"

namespace voip::asn {
namespace {

using test::bits;
using test::hex;
using test::toHex;

std::string constrained(std::int64_t v, std::int64_t lb, std::int64_t ub, bool prefixBit = false)
{
    std::vector<std::uint8_t> out;
    PerWriter w(out);
    if (prefixBit) {
        w.writeBit(true);
    }
    w.writeConstrained(v, lb, ub);
    return toHex(out);
}

TEST(PerPrimitives, ConstrainedWholeNumberTakesTheSmallestForm)
{
    // Bit-field for ranges up to 255, no alignment.
    EXPECT_EQ(constrained(5, 0, 7), "a0");
    EXPECT_EQ(constrained(5, 0, 7, true), "d0");
    EXPECT_EQ(constrained(254, 0, 254, true), "ff00"); // 8 bits after the prefix bit
    EXPECT_EQ(constrained(3, 3, 3, true), "80");       // a range of one takes no bits
    // One aligned octet for a range of 256.
    EXPECT_EQ(constrained(200, 0, 255, true), "80c8");
    EXPECT_EQ(constrained(-128, -128, 127), "00");
    // Two aligned octets up to 64K.
    EXPECT_EQ(constrained(0x1234, 0, 65535, true), "801234");
    EXPECT_EQ(constrained(65536, 1, 65536), "ffff");
    EXPECT_EQ(constrained(256, 0, 256), "0100");
    // Indefinite-length case above 64K: length in a bit-field, then aligned octets.
    EXPECT_EQ(constrained(0x10, 0, 65536), "0010");
    EXPECT_EQ(constrained(65536, 0, 65536), "80010000");
    EXPECT_EQ(constrained(0, 0, 4294967295LL), "0000");
    EXPECT_EQ(constrained(4294967295LL, 0, 4294967295LL), "c0ffffffff");
    EXPECT_EQ(constrained(256, 0, 4294967295LL, true), "a00100");
}

TEST(PerPrimitives, ConstrainedWholeNumberReadsBackAndRejectsOutOfRange)
{
    const std::int64_t ranges[][2] = {{0, 1},   {0, 7},     {-3, 250},  {0, 255},
                                      {0, 256}, {1, 65536}, {0, 65536}, {0, 4294967295LL}};
    for (const auto& r : ranges) {
        for (std::int64_t v : {r[0], r[0] + 1, (r[0] + r[1]) / 2, r[1] - 1, r[1]}) {
            std::vector<std::uint8_t> out;
            PerWriter w(out);
            w.writeBit(true);
            w.writeConstrained(v, r[0], r[1]);
            PerReader rd(out);
            bool b = false;
            std::int64_t back = 0;
            ASSERT_TRUE(rd.readBit(b));
            ASSERT_TRUE(rd.readConstrained(r[0], r[1], back)) << v;
            EXPECT_EQ(back, v);
        }
    }
    // 3 bits can hold 6 and 7, which lie outside 0..5.
    const auto bad = bits("110");
    PerReader rd(bad);
    std::int64_t v = 0;
    EXPECT_FALSE(rd.readConstrained(0, 5, v));
    EXPECT_STREQ(rd.failure(), "value out of range");
}

TEST(PerPrimitives, SemiConstrainedUnconstrainedAndNormallySmall)
{
    auto write = [](auto fn) {
        std::vector<std::uint8_t> out;
        PerWriter w(out);
        fn(w);
        return toHex(out);
    };
    EXPECT_EQ(write([](PerWriter& w) { w.writeSemiConstrained(0, 0); }), "0100");
    EXPECT_EQ(write([](PerWriter& w) { w.writeSemiConstrained(256, 0); }), "020100");
    EXPECT_EQ(write([](PerWriter& w) { w.writeSemiConstrained(-5, -5); }), "0100");
    EXPECT_EQ(write([](PerWriter& w) { w.writeUnconstrained(-1); }), "01ff");
    EXPECT_EQ(write([](PerWriter& w) { w.writeUnconstrained(127); }), "017f");
    EXPECT_EQ(write([](PerWriter& w) { w.writeUnconstrained(128); }), "020080");
    EXPECT_EQ(write([](PerWriter& w) { w.writeUnconstrained(-128); }), "0180");
    EXPECT_EQ(write([](PerWriter& w) { w.writeUnconstrained(-129); }), "02ff7f");
    EXPECT_EQ(write([](PerWriter& w) { w.writeNormallySmall(5); }), toHex(bits("0 000101")));
    EXPECT_EQ(write([](PerWriter& w) { w.writeNormallySmall(63); }), toHex(bits("0 111111")));
    EXPECT_EQ(write([](PerWriter& w) { w.writeNormallySmall(64); }), "800140");
    EXPECT_EQ(write([](PerWriter& w) { w.writeNormallySmallLength(1); }), "00");
    EXPECT_EQ(write([](PerWriter& w) { w.writeNormallySmallLength(64); }), "7e");
    EXPECT_EQ(write([](PerWriter& w) { w.writeNormallySmallLength(65); }), "8041");

    for (std::int64_t v :
         std::initializer_list<std::int64_t>{INT64_MIN, -70000, -1, 0, 1, 255, 65536, INT64_MAX}) {
        std::vector<std::uint8_t> out;
        PerWriter w(out);
        w.writeUnconstrained(v);
        PerReader r(out);
        std::int64_t back = 0;
        ASSERT_TRUE(r.readUnconstrained(back));
        EXPECT_EQ(back, v);
    }
    // A semi-constrained number of nine octets does not fit: an error, not a wrap.
    const auto nine = hex("09 01 00 00 00 00 00 00 00 00");
    PerReader r(nine);
    std::int64_t v = 0;
    EXPECT_FALSE(r.readSemiConstrained(0, v));
    EXPECT_STREQ(r.failure(), "integer too large");
}

TEST(PerPrimitives, UnconstrainedLengthsAndFragments)
{
    auto length = [](std::size_t n, std::size_t& follows) {
        std::vector<std::uint8_t> out;
        PerWriter w(out);
        follows = w.writeUnconstrainedLength(n);
        return toHex(out);
    };
    std::size_t follows = 0;
    EXPECT_EQ(length(0, follows), "00");
    EXPECT_EQ(length(127, follows), "7f");
    EXPECT_EQ(follows, 127u);
    EXPECT_EQ(length(128, follows), "8080");
    EXPECT_EQ(length(16383, follows), "bfff");
    EXPECT_EQ(follows, 16383u);
    EXPECT_EQ(length(16384, follows), "c1");
    EXPECT_EQ(follows, 16384u);
    EXPECT_EQ(length(49151, follows), "c2");
    EXPECT_EQ(follows, 32768u);
    EXPECT_EQ(length(65536, follows), "c4");
    EXPECT_EQ(follows, 65536u);
    EXPECT_EQ(length(300000, follows), "c4");

    const auto in = hex("c3 8080 05");
    PerReader r(in);
    std::size_t n = 0;
    bool more = false;
    ASSERT_TRUE(r.readUnconstrainedLength(n, more));
    EXPECT_EQ(n, 49152u);
    EXPECT_TRUE(more);
    ASSERT_TRUE(r.readUnconstrainedLength(n, more));
    EXPECT_EQ(n, 128u);
    EXPECT_FALSE(more);
    // 0xC5 announces five 16K blocks, which X.691 does not allow.
    const auto bad = hex("c5");
    PerReader rb(bad);
    EXPECT_FALSE(rb.readUnconstrainedLength(n, more));
}

TEST(PerPrimitives, ReaderNeverReadsPastTheEnd)
{
    const auto one = hex("ff");
    PerReader r(one);
    std::uint64_t v = 0;
    EXPECT_TRUE(r.readBits(7, v));
    EXPECT_FALSE(r.readBits(2, v));
    EXPECT_TRUE(r.failed());
    bool b = false;
    EXPECT_FALSE(r.readBit(b)); // stays failed
    std::string s;
    PerReader r2(one);
    EXPECT_FALSE(r2.readOctets(2, s));
    EXPECT_TRUE(s.empty());
    PerReader r3(std::span<const std::uint8_t>{});
    std::size_t n = 0;
    bool more = false;
    EXPECT_FALSE(r3.readUnconstrainedLength(n, more));
    const auto lengthOnly = hex("02");
    PerReader r4(lengthOnly);
    std::int64_t x = 0;
    EXPECT_FALSE(r4.readUnconstrained(x));
}

TEST(PerPrimitives, BitsForRange)
{
    EXPECT_EQ(bitsForRange(1), 0u);
    EXPECT_EQ(bitsForRange(2), 1u);
    EXPECT_EQ(bitsForRange(3), 2u);
    EXPECT_EQ(bitsForRange(11), 4u);
    EXPECT_EQ(bitsForRange(128), 7u);
    EXPECT_EQ(bitsForRange(129), 8u);
    EXPECT_EQ(bitsForRange(65536), 16u);
}

} // namespace
} // namespace voip::asn
