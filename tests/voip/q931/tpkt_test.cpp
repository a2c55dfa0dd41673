#include "voip/q931/tpkt.h"

#include <gtest/gtest.h>

#include <numeric>

using voip::q931::tpktFrame;
using voip::q931::TpktSplitter;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes pattern(std::size_t size, std::uint8_t seed)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

std::vector<Bytes> drain(TpktSplitter& splitter)
{
    std::vector<Bytes> out;
    while (auto next = splitter.next()) {
        EXPECT_TRUE(next->ok()) << next->error().toString();
        if (!next->ok())
            break;
        out.push_back(next->value());
    }
    return out;
}

} // namespace

TEST(Tpkt, FramesWithVersionReservedAndLengthIncludingHeader)
{
    const Bytes pdu = pattern(300, 1);
    auto framed = tpktFrame(pdu);
    ASSERT_TRUE(framed.ok());
    ASSERT_EQ(framed->size(), 304u);
    EXPECT_EQ((*framed)[0], 3);
    EXPECT_EQ((*framed)[1], 0);
    EXPECT_EQ((*framed)[2], 0x01);
    EXPECT_EQ((*framed)[3], 0x30);
    EXPECT_TRUE(std::equal(pdu.begin(), pdu.end(), framed->begin() + 4));

    EXPECT_TRUE(tpktFrame(Bytes(65531)).ok());
    EXPECT_FALSE(tpktFrame(Bytes(65532)).ok());
}

TEST(Tpkt, SplitsAnyChunkingIntoTheSamePdus)
{
    const std::vector<Bytes> pdus{pattern(10, 1), pattern(0, 2), pattern(1000, 3), pattern(1, 4)};
    Bytes stream;
    for (const auto& pdu : pdus) {
        auto framed = tpktFrame(pdu);
        ASSERT_TRUE(framed.ok());
        stream.insert(stream.end(), framed->begin(), framed->end());
    }
    for (std::size_t chunk :
         {std::size_t{1}, std::size_t{3}, std::size_t{5}, std::size_t{17}, std::size_t{4096}}) {
        TpktSplitter splitter;
        std::vector<Bytes> got;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            const std::size_t n = std::min(chunk, stream.size() - at);
            splitter.feed(std::span(stream).subspan(at, n));
            for (auto& pdu : drain(splitter))
                got.push_back(std::move(pdu));
        }
        EXPECT_EQ(got, pdus) << "chunk size " << chunk;
        EXPECT_EQ(splitter.buffered(), 0u);
        EXPECT_EQ(splitter.consumed(), stream.size());
    }
}

TEST(Tpkt, HoldsAnIncompletePacketUntilItsLastByte)
{
    auto framed = tpktFrame(pattern(50, 9));
    ASSERT_TRUE(framed.ok());
    TpktSplitter splitter;
    splitter.feed(std::span(*framed).first(53));
    EXPECT_FALSE(splitter.next().has_value());
    EXPECT_EQ(splitter.buffered(), 53u);
    splitter.feed(std::span(*framed).subspan(53));
    auto pdu = splitter.next();
    ASSERT_TRUE(pdu.has_value());
    ASSERT_TRUE(pdu->ok());
    EXPECT_EQ(pdu->value(), pattern(50, 9));
}

TEST(Tpkt, RejectsBadHeadersAndStaysFailedUntilReset)
{
    struct Case
    {
        Bytes header;
        std::size_t cap;
        const char* what;
    };
    const std::vector<Case> cases{
        {{2, 0, 0, 8, 1, 2, 3, 4}, 65535, "version"},
        {{3, 0, 0, 3}, 65535, "shorter"},
        {{3, 0, 0, 0}, 65535, "shorter"},
        {{3, 0, 0x10, 0x01}, 4096, "exceeds"},
        {{3, 0, 0xff, 0xff}, 1000, "exceeds"},
    };
    for (const auto& c : cases) {
        TpktSplitter splitter(c.cap);
        splitter.feed(Bytes{3, 0, 0, 5, 42});
        splitter.feed(c.header);
        auto first = splitter.next();
        ASSERT_TRUE(first && first->ok());
        EXPECT_EQ(first->value(), Bytes{42});
        auto bad = splitter.next();
        ASSERT_TRUE(bad.has_value()) << c.what;
        ASSERT_FALSE(bad->ok()) << c.what;
        EXPECT_NE(bad->error().message.find(c.what), std::string::npos) << bad->error().message;
        EXPECT_GE(bad->error().offset, 5u);
        EXPECT_TRUE(splitter.failed());
        // Further bytes are refused until the owner resynchronises.
        splitter.feed(Bytes{3, 0, 0, 5, 7});
        auto again = splitter.next();
        ASSERT_TRUE(again.has_value());
        EXPECT_FALSE(again->ok());

        splitter.reset();
        EXPECT_FALSE(splitter.failed());
        splitter.feed(Bytes{3, 0, 0, 5, 7});
        auto fresh = splitter.next();
        ASSERT_TRUE(fresh && fresh->ok());
        EXPECT_EQ(fresh->value(), Bytes{7});
    }
}

TEST(Tpkt, LengthAtTheCapIsAccepted)
{
    TpktSplitter splitter(104);
    auto framed = tpktFrame(pattern(100, 5));
    ASSERT_TRUE(framed.ok());
    splitter.feed(*framed);
    auto pdu = splitter.next();
    ASSERT_TRUE(pdu && pdu->ok());
    EXPECT_EQ(pdu->value().size(), 100u);
}
