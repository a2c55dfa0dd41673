#include "tools/common/packet.h"

#include <gtest/gtest.h>

#include "tools/common/capture.h"
#include "tools/common/pcapwriter.h"
#include "tools/common/tcpstream.h"

using namespace kx::capture;
using Bytes = std::vector<std::uint8_t>;

namespace {

Endpoint ep(const char* text, std::uint16_t port)
{
    Endpoint e;
    EXPECT_TRUE(Address::parse(text, e.address)) << text;
    e.port = port;
    return e;
}

// The link-layer frame of one UDP datagram written by PcapWriter.
Bytes udpFrame(const char* from, const char* to, const Bytes& data)
{
    PcapWriter writer;
    writer.addUdp(ep(from, 1111), ep(to, 2222), data);
    return readCapture(writer.bytes()).frames.at(0).data;
}

Bytes ipPart(const Bytes& ethernet)
{
    return Bytes(ethernet.begin() + 14, ethernet.end());
}

Packet tcp(std::uint32_t seq, const Bytes& data, std::uint8_t flags = tcpflag::Ack)
{
    Packet p;
    p.source = ep("10.0.0.1", 1000);
    p.destination = ep("10.0.0.2", 1720);
    p.sequence = seq;
    p.flags = flags;
    p.payload = data;
    return p;
}

Bytes joined(const std::vector<StreamData>& pieces)
{
    Bytes out;
    for (const auto& piece : pieces)
        out.insert(out.end(), piece.bytes.begin(), piece.bytes.end());
    return out;
}

} // namespace

TEST(Packet, EveryLinkTypeLeadsToTheSameDatagram)
{
    const Bytes data{1, 2, 3, 4, 5};
    const Bytes eth = udpFrame("192.0.2.1", "192.0.2.9", data);
    const Bytes ip = ipPart(eth);

    Bytes vlan(eth.begin(), eth.begin() + 12);
    vlan.insert(vlan.end(), {0x81, 0x00, 0x00, 0x05, 0x81, 0x00, 0x00, 0x06, 0x08, 0x00});
    vlan.insert(vlan.end(), ip.begin(), ip.end());
    Bytes sll(14, 0);
    sll.insert(sll.end(), {0x08, 0x00});
    sll.insert(sll.end(), ip.begin(), ip.end());
    Bytes sll2{0x08, 0x00};
    sll2.resize(20, 0);
    sll2.insert(sll2.end(), ip.begin(), ip.end());
    Bytes nullLittle{2, 0, 0, 0};
    nullLittle.insert(nullLittle.end(), ip.begin(), ip.end());
    Bytes loopBig{0, 0, 0, 2};
    loopBig.insert(loopBig.end(), ip.begin(), ip.end());
    Bytes padded = eth;
    padded.insert(padded.end(), 10, 0); // Ethernet padding after the IP packet

    const std::vector<std::pair<std::uint32_t, Bytes>> cases{
        {linktype::Ethernet, eth}, {linktype::Ethernet, vlan},  {linktype::Ethernet, padded},
        {linktype::LinuxSll, sll}, {linktype::LinuxSll2, sll2}, {linktype::Raw, ip},
        {linktype::RawAlt, ip},    {linktype::Ipv4, ip},        {linktype::Null, nullLittle},
        {linktype::Loop, loopBig},
    };
    for (const auto& [link, frame] : cases) {
        auto parsed = parsePacket(link, frame);
        ASSERT_EQ(parsed.kind, ParsedPacket::Kind::Packet) << link << ": " << parsed.reason;
        EXPECT_EQ(parsed.packet.transport, Transport::Udp);
        EXPECT_EQ(parsed.packet.source.toString(), "192.0.2.1:1111");
        EXPECT_EQ(parsed.packet.destination.toString(), "192.0.2.9:2222");
        EXPECT_EQ(Bytes(parsed.packet.payload.begin(), parsed.packet.payload.end()), data);
    }
    EXPECT_EQ(parsePacket(999, eth).kind, ParsedPacket::Kind::Ignored);
}

TEST(Packet, Ipv6ExtensionHeadersAreSkipped)
{
    const Bytes data{9, 8, 7};
    Bytes ip = ipPart(udpFrame("2001:db8::1", "2001:db8::2", data));
    // Insert hop-by-hop (8 octets) and destination options (16 octets) before UDP.
    Bytes withHeaders(ip.begin(), ip.begin() + 40);
    withHeaders[6] = 0; // hop-by-hop next
    withHeaders.insert(withHeaders.end(), {60, 0, 1, 4, 0, 0, 0, 0});
    withHeaders.insert(withHeaders.end(), {17, 1, 1, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    withHeaders.insert(withHeaders.end(), ip.begin() + 40, ip.end());
    const std::size_t payloadLength = withHeaders.size() - 40;
    withHeaders[4] = static_cast<std::uint8_t>(payloadLength >> 8);
    withHeaders[5] = static_cast<std::uint8_t>(payloadLength);
    auto parsed = parsePacket(linktype::Raw, withHeaders);
    ASSERT_EQ(parsed.kind, ParsedPacket::Kind::Packet) << parsed.reason;
    EXPECT_EQ(parsed.packet.source.toString(), "[2001:db8::1]:1111");
    EXPECT_EQ(Bytes(parsed.packet.payload.begin(), parsed.packet.payload.end()), data);

    // An extension header whose length runs past the packet.
    Bytes broken = withHeaders;
    broken[41] = 200;
    EXPECT_EQ(parsePacket(linktype::Raw, broken).kind, ParsedPacket::Kind::Malformed);
    // A later fragment is left alone.
    Bytes fragment(ip.begin(), ip.begin() + 40);
    fragment[6] = 44;
    fragment.insert(fragment.end(), {17, 0, 0x00, 0x10, 0, 0, 0, 1});
    fragment.insert(fragment.end(), ip.begin() + 40, ip.end());
    fragment[5] = static_cast<std::uint8_t>(fragment.size() - 40);
    EXPECT_EQ(parsePacket(linktype::Raw, fragment).kind, ParsedPacket::Kind::Ignored);
}

TEST(Packet, BrokenHeadersAreMalformedAtEveryLength)
{
    PcapWriter writer;
    writer.addTcp(ep("10.1.1.1", 5), ep("10.1.1.2", 1720), Bytes(40, 1));
    const Bytes frame = readCapture(writer.bytes()).frames.at(3).data;
    auto whole = parsePacket(linktype::Ethernet, frame);
    ASSERT_EQ(whole.kind, ParsedPacket::Kind::Packet);
    EXPECT_EQ(whole.packet.payload.size(), 40u);
    EXPECT_FALSE(whole.packet.truncated);
    // Cut inside the headers: malformed.  Cut inside the payload: a truncated capture.
    for (std::size_t size = 0; size < frame.size(); ++size) {
        auto parsed = parsePacket(linktype::Ethernet, std::span(frame).first(size));
        if (size < 14 + 20 + 20) {
            EXPECT_EQ(parsed.kind, ParsedPacket::Kind::Malformed) << size;
        } else {
            ASSERT_EQ(parsed.kind, ParsedPacket::Kind::Packet) << size;
            EXPECT_TRUE(parsed.packet.truncated);
            EXPECT_EQ(parsed.packet.payload.size(), size - 54);
        }
    }
    Bytes badIhl = frame;
    badIhl[14] = 0x4f; // 60-octet header in a shorter packet
    badIhl.resize(14 + 50);
    EXPECT_EQ(parsePacket(linktype::Ethernet, badIhl).kind, ParsedPacket::Kind::Malformed);
    Bytes badTcp = frame;
    badTcp[14 + 20 + 12] = 0x20; // TCP data offset 8 octets
    EXPECT_EQ(parsePacket(linktype::Ethernet, badTcp).kind, ParsedPacket::Kind::Malformed);
    Bytes fragment = frame;
    fragment[14 + 6] = 0x20; // more fragments
    EXPECT_EQ(parsePacket(linktype::Ethernet, fragment).kind, ParsedPacket::Kind::Ignored);
}

TEST(TcpReassembly, InOrderOutOfOrderAndRetransmitted)
{
    TcpReassembler reassembler;
    EXPECT_TRUE(joined(reassembler.add(tcp(99, {}, tcpflag::Syn))).empty());
    EXPECT_EQ(joined(reassembler.add(tcp(100, {1, 2, 3}))), (Bytes{1, 2, 3}));
    // Ahead of a gap: held.
    EXPECT_TRUE(joined(reassembler.add(tcp(106, {7, 8}))).empty());
    EXPECT_TRUE(joined(reassembler.add(tcp(108, {9}))).empty());
    // Fills the gap with an overlap into delivered data.
    EXPECT_EQ(joined(reassembler.add(tcp(102, {3, 4, 5, 6}))), (Bytes{4, 5, 6, 7, 8, 9}));
    // Pure retransmission.
    EXPECT_TRUE(joined(reassembler.add(tcp(100, {1, 2, 3}))).empty());
    // Partly new.
    EXPECT_EQ(joined(reassembler.add(tcp(108, {9, 10, 11}))), (Bytes{10, 11}));
    // The other direction is a stream of its own.
    const Bytes answer{42};
    Packet back = tcp(5000, answer);
    std::swap(back.source, back.destination);
    auto pieces = reassembler.add(back);
    EXPECT_EQ(joined(pieces), Bytes{42});
    EXPECT_EQ(pieces.front().flow.source.port, 1720);
    EXPECT_EQ(reassembler.flowCount(), 2u);
}

TEST(TcpReassembly, RepeatedSynIsARetransmissionAndANewOneRestarts)
{
    TcpReassembler reassembler;
    reassembler.add(tcp(99, {}, tcpflag::Syn));
    EXPECT_EQ(joined(reassembler.add(tcp(100, {1, 2}))), (Bytes{1, 2}));
    // The whole exchange seen again (a capture taken on two ports): nothing new.
    EXPECT_TRUE(joined(reassembler.add(tcp(99, {}, tcpflag::Syn))).empty());
    EXPECT_TRUE(joined(reassembler.add(tcp(100, {1, 2}))).empty());
    EXPECT_EQ(joined(reassembler.add(tcp(102, {3}))), Bytes{3});
    // A new connection on the same ports with another initial number.
    reassembler.add(tcp(5000, {}, tcpflag::Syn));
    EXPECT_EQ(joined(reassembler.add(tcp(5001, {7}))), Bytes{7});
}

TEST(TcpReassembly, SequenceNumbersWrapAround)
{
    TcpReassembler reassembler;
    reassembler.add(tcp(0xfffffffe, {}, tcpflag::Syn));
    EXPECT_EQ(joined(reassembler.add(tcp(0xffffffff, {1, 2}))), (Bytes{1, 2}));
    EXPECT_TRUE(joined(reassembler.add(tcp(3, {5}))).empty());
    EXPECT_EQ(joined(reassembler.add(tcp(1, {3, 4}))), (Bytes{3, 4, 5}));
}

TEST(TcpReassembly, HeldDataIsBoundedAndGapsAreReported)
{
    TcpReassembler reassembler(10, 4);
    reassembler.add(tcp(0, {0}));
    EXPECT_TRUE(joined(reassembler.add(tcp(5, {5, 6, 7, 8, 9, 10}))).empty());
    // 12 held octets exceed the cap of 10: the gap before offset 5 is given up.
    auto pieces = reassembler.add(tcp(20, {20, 21, 22, 23, 24, 25}));
    ASSERT_GE(pieces.size(), 2u);
    EXPECT_EQ(pieces[1].skipped, 4u);
    EXPECT_EQ(pieces[1].bytes, (Bytes{5, 6, 7, 8, 9, 10}));

    // What is still held behind a gap comes out on flush.
    auto rest = reassembler.flush();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].skipped, 9u);
    EXPECT_EQ(rest[0].bytes, (Bytes{20, 21, 22, 23, 24, 25}));
    EXPECT_TRUE(reassembler.flush().empty());

    TcpReassembler segments(1 << 20, 3);
    segments.add(tcp(0, {0}));
    for (std::uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(segments.add(tcp(10 + 2 * i, {1})).size(), 1u);
    auto skipped = segments.add(tcp(30, {1}));
    ASSERT_EQ(skipped.size(), 2u);
    EXPECT_EQ(skipped[1].skipped, 9u);
    EXPECT_EQ(skipped[1].bytes, Bytes{1});
}

TEST(TcpReassembly, SkipGapGivesUpOneDirectionsFirstGap)
{
    TcpReassembler reassembler;
    const Bytes a{1}, b{2}, c{3};
    reassembler.add(tcp(0, a));
    EXPECT_TRUE(joined(reassembler.add(tcp(5, b))).empty());
    EXPECT_TRUE(joined(reassembler.add(tcp(9, c))).empty());
    auto first = reassembler.skipGap(FlowKey{tcp(0, a).source, tcp(0, a).destination});
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].skipped, 4u);
    EXPECT_EQ(first[0].bytes, Bytes{2});
    auto second = reassembler.skipGap(FlowKey{tcp(0, a).source, tcp(0, a).destination});
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].skipped, 3u);
    EXPECT_EQ(second[0].bytes, Bytes{3});
    EXPECT_TRUE(reassembler.skipGap(FlowKey{tcp(0, a).source, tcp(0, a).destination}).empty());
    EXPECT_TRUE(reassembler.skipGap(FlowKey{}).empty());
}

TEST(TcpReassembly, BareAcknowledgementsDoNotFixTheStart)
{
    TcpReassembler reassembler;
    const Bytes none, data{4, 5};
    reassembler.add(tcp(100, none));
    EXPECT_EQ(joined(reassembler.add(tcp(300, data))), data);
}
