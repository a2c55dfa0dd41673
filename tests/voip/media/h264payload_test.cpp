// H.264 over RTP: access units cut into single units, STAP-A and FU-A and put back
// together, what loss, a missing fragment and bad packets do, and tshark's reading of
// what we send.

#include "voip/media/h264payload.h"

#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "tests/tools/tshark_util.h"
#include "tools/common/pcapwriter.h"
#include "voip/rtp/rtppacket.h"
#include "tests/support/toolskip.h"

namespace voip::h264 {
namespace {

/// A NAL unit of `type` and `size` octets whose body never holds a start code.
std::vector<uint8_t> nalUnit(uint8_t type, std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> unit(size);
    unit[0] = uint8_t(0x60 | type);
    for (std::size_t i = 1; i < size; ++i)
        unit[i] = uint8_t(1 + random() % 255);
    return unit;
}

std::vector<uint8_t> annexB(const std::vector<std::vector<uint8_t>>& units)
{
    std::vector<uint8_t> stream;
    for (const auto& unit : units) {
        stream.insert(stream.end(), {0, 0, 0, 1});
        stream.insert(stream.end(), unit.begin(), unit.end());
    }
    return stream;
}

/// An IDR access unit: SPS, PPS and a large slice.
std::vector<uint8_t> keyFrame(unsigned seed, std::size_t sliceSize = 5000)
{
    return annexB({nalUnit(7, 12, seed), nalUnit(8, 4, seed + 1), nalUnit(5, sliceSize, seed + 2)});
}

struct Sender
{
    Packetiser packetiser{1200};
    uint16_t sequence = 1000;
    uint32_t timestamp = 90000;

    struct Packet
    {
        std::vector<uint8_t> payload;
        uint16_t sequence;
        uint32_t timestamp;
        bool marker;
    };
    std::vector<Packet> send(const std::vector<uint8_t>& accessUnit)
    {
        std::vector<std::vector<uint8_t>> payloads;
        packetiser.packetise(accessUnit, payloads);
        std::vector<Packet> packets;
        for (std::size_t i = 0; i < payloads.size(); ++i)
            packets.push_back({payloads[i], sequence++, timestamp, i + 1 == payloads.size()});
        timestamp += 3600;
        return packets;
    }
};

DepacketiseResult receive(Depacketiser& receiver, const std::vector<Sender::Packet>& packets)
{
    DepacketiseResult last = DepacketiseResult::Pending;
    for (const auto& p : packets) {
        const auto result = receiver.add(p.payload, p.sequence, p.timestamp, p.marker);
        if (result != DepacketiseResult::Pending)
            last = result;
    }
    return last;
}

TEST(H264Payload, AccessUnitsSurviveTheTripInModeOne)
{
    Sender sender;
    Depacketiser receiver;
    for (unsigned picture = 0; picture < 5; ++picture) {
        // Key frames, small frames (one packet) and a slice exactly one payload long.
        std::vector<uint8_t> unit = picture % 2 == 0 ? keyFrame(picture)
                                    : picture == 1   ? annexB({nalUnit(1, 300, picture)})
                                                     : annexB({nalUnit(1, 1200, picture)});
        const auto packets = sender.send(unit);
        for (const auto& p : packets) {
            EXPECT_LE(p.payload.size(), 1200u);
            // A receiver can tell a key frame on its way from any of its packets.
            EXPECT_EQ(carriesKeyFrame(p.payload), picture % 2 == 0);
        }
        if (picture % 2 == 0) {
            // SPS and PPS share a STAP-A; the slice goes in FU-As.
            EXPECT_EQ(packets[0].payload[0] & 0x1F, StapA);
            EXPECT_EQ(packets[1].payload[0] & 0x1F, FuA);
            EXPECT_EQ(packets[1].payload[1], 0x80 | 5);
            EXPECT_EQ(packets.back().payload[1], 0x40 | 5);
            // NRI of the indicator is the unit's own.
            EXPECT_EQ(packets[1].payload[0] & 0x60, 0x60);
        } else {
            EXPECT_EQ(packets.size(), 1u);
        }
        ASSERT_EQ(receive(receiver, packets), DepacketiseResult::Picture);
        std::vector<uint8_t> received;
        uint32_t timestamp = 0;
        ASSERT_TRUE(receiver.takePicture(received, timestamp));
        EXPECT_EQ(received, unit);
        EXPECT_EQ(timestamp, packets[0].timestamp);
        EXPECT_FALSE(receiver.takePicture(received, timestamp));
    }
    EXPECT_EQ(receiver.pictures(), 5u);
    EXPECT_EQ(receiver.damaged(), 0u);
    for (const std::vector<uint8_t> cut : {std::vector<uint8_t>{}, {FuA}, {StapA, 0, 2}})
        EXPECT_FALSE(carriesKeyFrame(cut));
}

TEST(H264Payload, SplitAnnexBTakesBothStartCodesAndSkipsEmptyUnits)
{
    const std::vector<uint8_t> stream = {0, 0, 1, 0x67, 1, 2, 0, 0,    0, 1, 0x68,
                                         3, 0, 0, 1,    0, 0, 1, 0x65, 4, 5, 0};
    const auto units = splitAnnexB(stream);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(units[0].begin(), units[0].end()),
              (std::vector<uint8_t>{0x67, 1, 2}));
    EXPECT_EQ(std::vector<uint8_t>(units[1].begin(), units[1].end()),
              (std::vector<uint8_t>{0x68, 3}));
    EXPECT_EQ(std::vector<uint8_t>(units[2].begin(), units[2].end()),
              (std::vector<uint8_t>{0x65, 4, 5}));
    EXPECT_TRUE(splitAnnexB({}).empty());
}

TEST(H264Payload, LossAndAMissingFragmentEndDamageOnlyTheirPicture)
{
    Sender sender;
    Depacketiser receiver;
    const auto unit = keyFrame(1);
    std::vector<uint8_t> picture;
    uint32_t timestamp = 0;

    // A fragment lost in the middle.
    auto packets = sender.send(unit);
    packets.erase(packets.begin() + 2);
    EXPECT_EQ(receive(receiver, packets), DepacketiseResult::Damaged);
    EXPECT_FALSE(receiver.takePicture(picture, timestamp));

    // The last fragment (with the marker) lost: the next picture's timestamp ends it.
    packets = sender.send(unit);
    packets.pop_back();
    EXPECT_EQ(receive(receiver, packets), DepacketiseResult::Pending);
    const auto small = annexB({nalUnit(1, 200, 9)});
    packets = sender.send(small);
    EXPECT_EQ(receive(receiver, packets), DepacketiseResult::Damaged);
    // The small picture itself came through whole.
    ASSERT_TRUE(receiver.takePicture(picture, timestamp));
    EXPECT_EQ(picture, small);

    // A new FU start while the last one is open, within one picture.
    packets = sender.send(unit);
    auto restart = packets[1];
    packets.insert(packets.begin() + 3, restart);
    for (std::size_t i = 0; i < packets.size(); ++i)
        packets[i].sequence = uint16_t(5000 + i);
    EXPECT_EQ(receive(receiver, packets), DepacketiseResult::Damaged);

    // Intact pictures afterwards come through whole, across a sequence wrap.
    sender.sequence = 65534;
    receiver.add({}, 65533, 1, false); // resynchronise the expected sequence
    packets = sender.send(unit);
    EXPECT_EQ(receive(receiver, packets), DepacketiseResult::Picture);
    ASSERT_TRUE(receiver.takePicture(picture, timestamp));
    EXPECT_EQ(picture, unit);
}

TEST(H264Payload, BadPacketsAreRefusedAndBounded)
{
    const auto expectDamaged = [](std::vector<uint8_t> payload) {
        Depacketiser receiver;
        EXPECT_EQ(receiver.add(payload, 1, 100, true), DepacketiseResult::Damaged)
            << int(payload.empty() ? -1 : payload[0]);
    };
    expectDamaged({});                                // empty
    expectDamaged({0x80 | 0x65, 1, 2});               // F bit set by the sender
    expectDamaged({0x78, 0x00, 0x09, 0x67, 1});       // STAP-A length beyond the packet
    expectDamaged({0x78, 0x00, 0x02, 0x67, 1, 0x00}); // a trailing half length
    expectDamaged({0x78, 0x00, 0x00});                // a zero length
    expectDamaged({0x7C, 0xC5, 1, 2});                // FU-A with start and end
    expectDamaged({0x7C, 0x45, 1, 2});                // FU-A end without its start
    expectDamaged({0x7C, 0x85});                      // FU-A without data
    for (uint8_t type : {0, 25, 26, 27, 29, 30, 31})
        expectDamaged({uint8_t(0x60 | type), 1, 2}); // not in modes 0 and 1

    // A picture may not grow past the bound.
    Depacketiser small(1000);
    Sender sender;
    EXPECT_EQ(receive(small, sender.send(keyFrame(3, 3000))), DepacketiseResult::Damaged);
    EXPECT_EQ(receive(small, sender.send(annexB({nalUnit(1, 500, 4)}))),
              DepacketiseResult::Picture);
}

TEST(H264Payload, ModeZeroSingleUnitsEachWithAMarker)
{
    Depacketiser receiver;
    const auto unit = nalUnit(5, 900, 5);
    EXPECT_EQ(receiver.add(unit, 7, 3000, true), DepacketiseResult::Picture);
    std::vector<uint8_t> picture;
    uint32_t timestamp = 0;
    ASSERT_TRUE(receiver.takePicture(picture, timestamp));
    EXPECT_EQ(picture, annexB({unit}));
    // A picture without a marker ends when the timestamp moves on.
    EXPECT_EQ(receiver.add(unit, 8, 6000, false), DepacketiseResult::Pending);
    EXPECT_EQ(receiver.add(unit, 9, 9000, true), DepacketiseResult::Picture);
    ASSERT_TRUE(receiver.takePicture(picture, timestamp));
    EXPECT_EQ(timestamp, 6000u);
    ASSERT_TRUE(receiver.takePicture(picture, timestamp));
    EXPECT_EQ(timestamp, 9000u);
}

TEST(H264Payload, ModeZeroSendsEveryUnitAloneAndLeavesOutLargeSupplementalInformation)
{
    Sender sender;
    const auto sps = nalUnit(7, 12, 1), pps = nalUnit(8, 4, 2), sei = nalUnit(6, 900, 3);
    const auto small = nalUnit(6, 20, 4), slice = nalUnit(5, 1100, 5), big = nalUnit(1, 3000, 6);
    sender.packetiser = Packetiser(800, 0);
    const auto packets = sender.send(annexB({sps, pps, sei, small, slice, big}));
    // No STAP-A, no FU-A: each unit is its own payload; the SEI too large is left out, a
    // slice too large still goes (IP fragments it) rather than losing the picture.
    ASSERT_EQ(packets.size(), 5u);
    EXPECT_EQ(packets[0].payload, sps);
    EXPECT_EQ(packets[1].payload, pps);
    EXPECT_EQ(packets[2].payload, small);
    EXPECT_EQ(packets[3].payload, slice);
    EXPECT_EQ(packets[4].payload, big);
    EXPECT_TRUE(packets[4].marker);
    Depacketiser receiver;
    EXPECT_EQ(receive(receiver, packets), DepacketiseResult::Picture);
    std::vector<uint8_t> picture;
    uint32_t timestamp = 0;
    ASSERT_TRUE(receiver.takePicture(picture, timestamp));
    EXPECT_EQ(picture, annexB({sps, pps, small, slice, big}));
}

TEST(H264Payload, TsharkReadsOurPacketsAsH264WithoutMalformedMarks)
{
    if (!kx::testutil::haveTshark())
        KX_SKIP_WITHOUT_TOOL() << "tshark not installed";
    Sender sender;
    kx::capture::PcapWriter pcap;
    const kx::capture::Endpoint from{kx::capture::Address::ipv4(127, 0, 0, 1), 5004};
    const kx::capture::Endpoint to{kx::capture::Address::ipv4(127, 0, 0, 2), 5006};
    std::vector<uint8_t> datagram;
    std::size_t sent = 0;
    for (unsigned picture = 0; picture < 3; ++picture) {
        // An access unit delimiter (a real one: primary_pic_type 7 and the stop bit) and a
        // small slice share a STAP-A; tshark parses the units' own syntax too, which a
        // random SPS would not pass.
        const std::vector<uint8_t> delimiter = {0x09, 0xF0};
        const auto unit =
            annexB({delimiter, nalUnit(1, 30, picture), nalUnit(5, 5000, picture + 7)});
        for (const auto& p : sender.send(unit)) {
            rtp::RtpHeader header;
            header.payloadType = 96;
            header.marker = p.marker;
            header.sequence = p.sequence;
            header.timestamp = p.timestamp;
            header.ssrc = 0x1234;
            rtp::buildRtp(header, p.payload, datagram);
            pcap.addUdp(from, to, datagram);
            ++sent;
        }
    }
    const auto file = std::filesystem::temp_directory_path() / "kx_h264_payload.pcap";
    ASSERT_TRUE(pcap.save(file.string()));
    const auto frames = kx::testutil::tsharkFields(
        file, "h264",
        {"h264.nal_unit_hdr", "h264.nalu_size", "h264.start.bit", "h264.end.bit", "_ws.malformed"},
        "-d udp.port==5006,rtp -d rtp.pt==96,h264");
    std::filesystem::remove(file);
    ASSERT_EQ(frames.size(), sent);
    const auto values = [](const auto& fields, const std::string& name) {
        std::vector<std::string> found;
        if (auto it = fields.find(name); it != fields.end())
            for (const auto& value : it->second)
                if (!value.empty())
                    found.push_back(value);
        return found;
    };
    std::size_t starts = 0, ends = 0, staps = 0;
    for (const auto& [number, fields] : frames) {
        EXPECT_TRUE(values(fields, "_ws.malformed").empty()) << "frame " << number;
        const auto type = values(fields, "h264.nal_unit_hdr");
        ASSERT_FALSE(type.empty()) << "frame " << number;
        if (type.front() == "24") {
            ++staps;
            EXPECT_EQ(values(fields, "h264.nalu_size"), (std::vector<std::string>{"2", "30"}));
        } else {
            EXPECT_EQ(type.front(), "28") << "frame " << number;
            starts += values(fields, "h264.start.bit") == std::vector<std::string>{"1"};
            ends += values(fields, "h264.end.bit") == std::vector<std::string>{"1"};
        }
    }
    EXPECT_EQ(staps, 3u);
    EXPECT_EQ(starts, 3u);
    EXPECT_EQ(ends, 3u);
}

} // namespace
} // namespace voip::h264
