#include "voip/rtp/rtcp.h"

#include <gtest/gtest.h>

using namespace voip::rtp;

TEST(Rtcp, CompoundRoundTrip)
{
    SenderInfo info{0x0102030405060708ull, 160000, 500, 80000};
    ReportBlock block;
    block.ssrc = 0xcafe;
    block.fractionLost = 25;
    block.cumulativeLost = -3; // duplicates can make it negative (RFC 3550 6.4.1)
    block.extendedHighestSequence = 0x1ffff;
    block.jitter = 77;
    block.lastSenderReport = 0x12345678;
    block.delaySinceLastSenderReport = 65536;
    std::vector<uint8_t> out;
    appendSenderReport(out, 0xbeef, info, std::span(&block, 1));
    appendSdesCname(out, 0xbeef, "user@127.0.0.1");
    appendBye(out, 0xbeef);
    ASSERT_EQ(out.size() % 4, 0u);

    RtcpCompound c;
    ASSERT_EQ(parseRtcp(out, c), RtcpError::None);
    ASSERT_EQ(c.reports.size(), 1u);
    EXPECT_EQ(c.reports[0].ssrc, 0xbeefu);
    ASSERT_TRUE(c.reports[0].sender);
    EXPECT_EQ(c.reports[0].sender->ntpTimestamp, info.ntpTimestamp);
    EXPECT_EQ(c.reports[0].sender->rtpTimestamp, 160000u);
    EXPECT_EQ(c.reports[0].sender->packetCount, 500u);
    EXPECT_EQ(c.reports[0].sender->octetCount, 80000u);
    ASSERT_EQ(c.reports[0].blocks.size(), 1u);
    const ReportBlock& b = c.reports[0].blocks[0];
    EXPECT_EQ(b.ssrc, 0xcafeu);
    EXPECT_EQ(b.fractionLost, 25);
    EXPECT_EQ(b.cumulativeLost, -3);
    EXPECT_EQ(b.extendedHighestSequence, 0x1ffffu);
    EXPECT_EQ(b.jitter, 77u);
    EXPECT_EQ(b.lastSenderReport, 0x12345678u);
    EXPECT_EQ(b.delaySinceLastSenderReport, 65536u);
    ASSERT_EQ(c.cnames.size(), 1u);
    EXPECT_EQ(c.cnames[0].first, 0xbeefu);
    EXPECT_EQ(c.cnames[0].second, "user@127.0.0.1");
    ASSERT_EQ(c.byes.size(), 1u);
    EXPECT_EQ(c.byes[0], 0xbeefu);
}

TEST(Rtcp, ReceiverReportWithoutBlocks)
{
    std::vector<uint8_t> out;
    appendReceiverReport(out, 42, {});
    EXPECT_EQ(out.size(), 8u);
    RtcpCompound c;
    ASSERT_EQ(parseRtcp(out, c), RtcpError::None);
    ASSERT_EQ(c.reports.size(), 1u);
    EXPECT_FALSE(c.reports[0].sender);
    EXPECT_TRUE(c.reports[0].blocks.empty());
}

TEST(Rtcp, RejectsMalformedCompounds)
{
    RtcpCompound c;
    std::vector<uint8_t> rr;
    appendReceiverReport(rr, 42, {});

    EXPECT_EQ(parseRtcp(std::vector<uint8_t>{0x80, 201}, c), RtcpError::TooShort);

    auto wrongVersion = rr;
    wrongVersion[0] = 0x40;
    EXPECT_EQ(parseRtcp(wrongVersion, c), RtcpError::BadVersion);

    auto tooLong = rr;
    tooLong[3] = 50; // claims 204 bytes
    EXPECT_EQ(parseRtcp(tooLong, c), RtcpError::LengthBeyondPacket);

    std::vector<uint8_t> sdesFirst;
    appendSdesCname(sdesFirst, 1, "x");
    EXPECT_EQ(parseRtcp(sdesFirst, c), RtcpError::BadFirstPacket);

    auto countTooBig = rr;
    countTooBig[0] = 0x81; // one report block announced, none present
    EXPECT_EQ(parseRtcp(countTooBig, c), RtcpError::CountBeyondLength);

    auto paddedFirst = rr;
    paddedFirst[0] |= 0x20;
    appendBye(paddedFirst, 42);
    EXPECT_EQ(parseRtcp(paddedFirst, c), RtcpError::PaddingNotLast);

    // An SDES item whose length runs past its packet.
    auto badSdes = rr;
    appendSdesCname(badSdes, 7, "abc");
    badSdes[rr.size() + 9] = 200;
    EXPECT_EQ(parseRtcp(badSdes, c), RtcpError::CountBeyondLength);

    // Trailing bytes that are not a whole packet.
    auto trailing = rr;
    trailing.push_back(0x80);
    EXPECT_EQ(parseRtcp(trailing, c), RtcpError::TooShort);
}

TEST(Rtcp, SkipsUnknownPacketTypes)
{
    std::vector<uint8_t> out;
    appendReceiverReport(out, 42, {});
    // An APP packet (type 204): header, SSRC, name.
    out.insert(out.end(), {0x80, 204, 0, 2, 0, 0, 0, 42, 'T', 'E', 'S', 'T'});
    appendBye(out, 42);
    RtcpCompound c;
    ASSERT_EQ(parseRtcp(out, c), RtcpError::None);
    EXPECT_EQ(c.byes.size(), 1u);
}
