#include "tools/common/capture.h"

#include <gtest/gtest.h>

#include <set>

#include "tools/common/packet.h"
#include "tools/common/pcapwriter.h"

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

Bytes payload(std::size_t n, std::uint8_t seed)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed ^ (i * 13));
    return b;
}

void putU32(Bytes& out, std::uint32_t v, bool big)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (big ? 24 - 8 * i : 8 * i)));
}

void putU16(Bytes& out, std::uint16_t v, bool big)
{
    out.push_back(static_cast<std::uint8_t>(big ? v >> 8 : v));
    out.push_back(static_cast<std::uint8_t>(big ? v : v >> 8));
}

// A classic pcap of the given frames written by hand, in either byte order.
Bytes pcapFile(const std::vector<Bytes>& frames, bool big, bool nano, std::uint32_t link)
{
    Bytes out;
    putU32(out, nano ? 0xa1b23c4d : 0xa1b2c3d4, big);
    putU16(out, 2, big);
    putU16(out, 4, big);
    putU32(out, 0, big);
    putU32(out, 0, big);
    putU32(out, 65535, big);
    putU32(out, link, big);
    std::uint32_t t = 5;
    for (const auto& f : frames) {
        putU32(out, 1000, big);
        putU32(out, t++, big);
        putU32(out, static_cast<std::uint32_t>(f.size()), big);
        putU32(out, static_cast<std::uint32_t>(f.size() + 3), big);
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

void putBlock(Bytes& out, std::uint32_t type, const Bytes& body, bool big)
{
    Bytes padded = body;
    while (padded.size() % 4)
        padded.push_back(0);
    const auto length = static_cast<std::uint32_t>(12 + padded.size());
    putU32(out, type, big);
    putU32(out, length, big);
    out.insert(out.end(), padded.begin(), padded.end());
    putU32(out, length, big);
}

// A pcapng section: header, one interface (link type, optional nanosecond resolution),
// an enhanced packet block per frame and one simple packet block for the last frame.
Bytes pcapngSection(const std::vector<Bytes>& frames, bool big, std::uint16_t link, bool nano)
{
    Bytes out;
    Bytes shb;
    putU32(shb, 0x1a2b3c4d, big);
    putU16(shb, 1, big);
    putU16(shb, 0, big);
    for (int i = 0; i < 8; ++i)
        shb.push_back(0xff);
    putBlock(out, 0x0a0d0d0a, shb, big);
    Bytes idb;
    putU16(idb, link, big);
    putU16(idb, 0, big);
    putU32(idb, 0, big);
    if (nano) {
        putU16(idb, 9, big);
        putU16(idb, 1, big);
        idb.insert(idb.end(), {9, 0, 0, 0});
        putU32(idb, 0, big); // end of options
    }
    putBlock(out, 1, idb, big);
    std::uint64_t units = 3'000'000'123;
    for (const auto& f : frames) {
        Bytes epb;
        putU32(epb, 0, big);
        putU32(epb, static_cast<std::uint32_t>(units >> 32), big);
        putU32(epb, static_cast<std::uint32_t>(units), big);
        putU32(epb, static_cast<std::uint32_t>(f.size()), big);
        putU32(epb, static_cast<std::uint32_t>(f.size()), big);
        epb.insert(epb.end(), f.begin(), f.end());
        putBlock(out, 6, epb, big);
        ++units;
    }
    Bytes spb;
    putU32(spb, static_cast<std::uint32_t>(frames.back().size()), big);
    spb.insert(spb.end(), frames.back().begin(), frames.back().end());
    putBlock(out, 3, spb, big);
    return out;
}

// The frames (link-layer bytes) of a writer's output.
std::vector<Bytes> framesOf(const PcapWriter& writer)
{
    std::vector<Bytes> out;
    for (auto& f : readCapture(writer.bytes()).frames)
        out.push_back(f.data);
    return out;
}

} // namespace

TEST(Capture, WriterOutputReadsBackAsTheSameTraffic)
{
    PcapWriter writer(100);
    const Endpoint a = ep("10.0.0.1", 40000), b = ep("10.0.0.2", 1720);
    const Bytes first = payload(250, 1), second = payload(10, 2);
    writer.addTcp(a, b, first); // handshake + 3 segments
    writer.addTcp(b, a, second);
    writer.addUdp(ep("::1", 5000), ep("::2", 1719), payload(33, 3));
    ASSERT_EQ(writer.frameCount(), 8u);

    auto contents = readCapture(writer.bytes());
    ASSERT_FALSE(contents.error) << *contents.error;
    ASSERT_EQ(contents.frames.size(), 8u);
    EXPECT_EQ(contents.frames[0].number, 1u);
    EXPECT_EQ(contents.frames[7].number, 8u);
    EXPECT_LT(contents.frames[0].timestampNs, contents.frames[1].timestampNs);

    auto syn = parsePacket(contents.frames[0].linkType, contents.frames[0].data);
    ASSERT_EQ(syn.kind, ParsedPacket::Kind::Packet);
    EXPECT_EQ(syn.packet.flags, tcpflag::Syn);
    EXPECT_EQ(syn.packet.source, a);
    auto synAck = parsePacket(1, contents.frames[1].data);
    EXPECT_EQ(synAck.packet.acknowledgement, syn.packet.sequence + 1);

    Bytes joined;
    std::uint32_t expected = syn.packet.sequence + 1;
    for (int i = 3; i < 6; ++i) {
        auto p = parsePacket(1, contents.frames[static_cast<std::size_t>(i)].data);
        ASSERT_EQ(p.kind, ParsedPacket::Kind::Packet) << p.reason;
        EXPECT_EQ(p.packet.sequence, expected);
        expected += static_cast<std::uint32_t>(p.packet.payload.size());
        joined.insert(joined.end(), p.packet.payload.begin(), p.packet.payload.end());
    }
    EXPECT_EQ(joined, first);

    auto udp = parsePacket(1, contents.frames[7].data);
    ASSERT_EQ(udp.kind, ParsedPacket::Kind::Packet);
    EXPECT_EQ(udp.packet.transport, Transport::Udp);
    EXPECT_EQ(udp.packet.source.toString(), "[::1]:5000");
    EXPECT_EQ(udp.packet.destination.port, 1719);
    EXPECT_EQ(Bytes(udp.packet.payload.begin(), udp.packet.payload.end()), payload(33, 3));
}

TEST(Capture, PcapInBothByteOrdersAndResolutions)
{
    PcapWriter writer;
    writer.addUdp(ep("192.0.2.1", 1), ep("192.0.2.2", 2), payload(20, 9));
    writer.addUdp(ep("192.0.2.1", 1), ep("192.0.2.2", 2), payload(21, 9));
    const auto frames = framesOf(writer);
    for (bool big : {false, true}) {
        for (bool nano : {false, true}) {
            auto contents = readCapture(pcapFile(frames, big, nano, linktype::Ethernet));
            ASSERT_FALSE(contents.error) << *contents.error;
            ASSERT_EQ(contents.frames.size(), 2u);
            EXPECT_EQ(contents.frames[1].data, frames[1]);
            EXPECT_EQ(contents.frames[1].originalLength, frames[1].size() + 3);
            EXPECT_EQ(contents.frames[0].linkType, linktype::Ethernet);
            EXPECT_EQ(contents.frames[0].timestampNs, 1000'000'000'000 + (nano ? 5 : 5000))
                << big << nano;
        }
    }
}

TEST(Capture, PcapngSectionsInBothByteOrders)
{
    PcapWriter writer;
    writer.addUdp(ep("192.0.2.1", 1), ep("192.0.2.2", 2), payload(19, 4));
    writer.addUdp(ep("192.0.2.1", 1), ep("192.0.2.2", 2), payload(22, 5));
    const auto frames = framesOf(writer);
    Bytes file = pcapngSection(frames, false, 1, false);
    const Bytes second = pcapngSection(frames, true, 1, true);
    file.insert(file.end(), second.begin(), second.end());

    auto contents = readCapture(file);
    ASSERT_FALSE(contents.error) << *contents.error;
    ASSERT_EQ(contents.frames.size(), 6u);
    EXPECT_EQ(contents.frames[0].timestampNs, 3'000'000'123'000); // microsecond units
    EXPECT_EQ(contents.frames[3].timestampNs, 3'000'000'123);     // nanosecond units
    EXPECT_EQ(contents.frames[2].data, frames[1]);                // simple packet block
    EXPECT_EQ(contents.frames[5].data, frames[1]);
    EXPECT_EQ(contents.frames[5].number, 6u);
    for (const auto& f : contents.frames) {
        auto p = parsePacket(f.linkType, f.data);
        EXPECT_EQ(p.kind, ParsedPacket::Kind::Packet) << p.reason;
    }
}

TEST(Capture, CorruptFilesEndInAnErrorNotACrash)
{
    PcapWriter writer;
    writer.addTcp(ep("10.0.0.1", 1), ep("10.0.0.2", 1720), payload(300, 7));
    const auto frames = framesOf(writer);
    const Bytes pcap = writer.bytes();
    const Bytes ng = pcapngSection(frames, false, 1, true);
    // Offsets where a record or block ends: a file cut exactly there is shorter but sound;
    // a cut anywhere else must be reported.
    std::set<std::size_t> pcapEnds{24}, ngEnds{0};
    for (std::size_t at = 24, i = 0; i < frames.size(); ++i)
        pcapEnds.insert(at += 16 + frames[i].size());
    for (std::size_t at = 0; at + 8 <= ng.size();)
        ngEnds.insert(at += ng[at + 4] | (ng[at + 5] << 8));
    for (const auto& [file, ends] : {std::pair{&pcap, &pcapEnds}, std::pair{&ng, &ngEnds}}) {
        const std::size_t complete = readCapture(*file).frames.size();
        for (std::size_t size = 4; size < file->size(); ++size) {
            auto contents = readCapture(std::span(*file).first(size));
            EXPECT_LE(contents.frames.size(), complete);
            EXPECT_EQ(contents.error.has_value(), !ends->contains(size)) << "size " << size;
        }
    }
    // Record lengths beyond the file or the limit.
    Bytes big = pcapFile({payload(10, 1)}, false, false, 1);
    big[24 + 8] = 0xff;
    big[24 + 9] = 0xff;
    big[24 + 10] = 0xff;
    auto contents = readCapture(big);
    ASSERT_TRUE(contents.error);
    EXPECT_NE(contents.error->find("exceeds the limit"), std::string::npos);

    Bytes badBlock = ng;
    badBlock[4] = 13; // section header length not a multiple of 4
    EXPECT_TRUE(readCapture(badBlock).error);
    Bytes noInterface = ng;
    noInterface[*std::next(ngEnds.begin(), 2) + 8] = 5; // first packet names interface 5
    EXPECT_TRUE(readCapture(noInterface).error);

    EXPECT_TRUE(readCapture(Bytes{1, 2, 3}).error);
    EXPECT_TRUE(readCapture(Bytes(64, 0x42)).error);
    EXPECT_TRUE(readCaptureFile("/nonexistent/file.pcap").error);
}

TEST(Capture, TruncatedRecordIsReportedWithTheFramesBeforeIt)
{
    const Bytes file = pcapFile({payload(40, 1), payload(40, 2)}, false, false, 1);
    auto contents = readCapture(std::span(file).first(file.size() - 1));
    ASSERT_TRUE(contents.error);
    EXPECT_EQ(contents.frames.size(), 1u);
    EXPECT_NE(contents.error->find("truncated"), std::string::npos);
}
