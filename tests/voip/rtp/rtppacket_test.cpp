#include "voip/rtp/rtppacket.h"

#include <gtest/gtest.h>

using namespace voip::rtp;

namespace {

std::vector<uint8_t> packetWith(std::vector<uint8_t> header, std::size_t payload)
{
    header.resize(header.size() + payload, 0xab);
    return header;
}

} // namespace

TEST(RtpPacket, BuildAndParseKeepEveryField)
{
    RtpHeader header;
    header.payloadType = 9;
    header.marker = true;
    header.sequence = 0xfffe;
    header.timestamp = 0x89abcdef;
    header.ssrc = 0x01020304;
    const std::vector<uint8_t> payload{1, 2, 3, 4, 5};
    std::vector<uint8_t> datagram;
    buildRtp(header, payload, datagram);
    ASSERT_EQ(datagram.size(), 17u);
    EXPECT_EQ(datagram[0], 0x80);
    EXPECT_EQ(datagram[1], 0x89);

    RtpPacketView view;
    ASSERT_EQ(parseRtp(datagram, view), PacketError::None);
    EXPECT_EQ(view.payloadType, 9);
    EXPECT_TRUE(view.marker);
    EXPECT_EQ(view.sequence, 0xfffe);
    EXPECT_EQ(view.timestamp, 0x89abcdefu);
    EXPECT_EQ(view.ssrc, 0x01020304u);
    EXPECT_EQ(std::vector<uint8_t>(view.payload.begin(), view.payload.end()), payload);
}

TEST(RtpPacket, SkipsCsrcExtensionAndPadding)
{
    // Two CSRCs, a one-word extension, 3 payload bytes and 5 bytes of padding.
    std::vector<uint8_t> d{0xb2, 0x00, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3};
    d.insert(d.end(), 8, 0x11);                  // CSRC list
    d.insert(d.end(), {0xbe, 0xde, 0x00, 0x01}); // extension header
    d.insert(d.end(), 4, 0x22);                  // extension data
    d.insert(d.end(), {7, 8, 9});                // payload
    d.insert(d.end(), {0, 0, 0, 0, 5});          // padding, count last
    RtpPacketView view;
    ASSERT_EQ(parseRtp(d, view), PacketError::None);
    EXPECT_EQ(view.csrcCount, 2);
    ASSERT_EQ(view.payload.size(), 3u);
    EXPECT_EQ(view.payload[0], 7);
    EXPECT_EQ(view.payload[2], 9);
}

TEST(RtpPacket, RejectsMalformedDatagrams)
{
    RtpPacketView view;
    const std::vector<uint8_t> shortOne(11, 0x80);
    EXPECT_EQ(parseRtp(shortOne, view), PacketError::TooShort);
    EXPECT_EQ(parseRtp({}, view), PacketError::TooShort);

    EXPECT_EQ(parseRtp(packetWith({0x40, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, 10), view),
              PacketError::BadVersion);
    EXPECT_EQ(parseRtp(packetWith({0x00, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, 10), view),
              PacketError::BadVersion);

    // 15 CSRCs need 60 bytes after the header; only 20 are there.
    EXPECT_EQ(parseRtp(packetWith({0x8f, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, 20), view),
              PacketError::CsrcBeyondPacket);

    // Extension header claims 0xffff words.
    auto ext = packetWith({0x90, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0xbe, 0xde, 0xff, 0xff}, 8);
    EXPECT_EQ(parseRtp(ext, view), PacketError::ExtensionBeyondPacket);
    // Extension bit set, but not even room for the extension header.
    EXPECT_EQ(parseRtp(packetWith({0x90, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, 2), view),
              PacketError::ExtensionBeyondPacket);

    auto padded = packetWith({0xa0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, 4);
    padded.back() = 5; // more padding than the 4 bytes after the header
    EXPECT_EQ(parseRtp(padded, view), PacketError::PaddingBeyondPacket);
    padded.back() = 0; // a zero count is not valid either
    EXPECT_EQ(parseRtp(padded, view), PacketError::PaddingBeyondPacket);
    padded.back() = 4; // all four bytes are padding: an empty payload
    ASSERT_EQ(parseRtp(padded, view), PacketError::None);
    EXPECT_TRUE(view.payload.empty());
}
