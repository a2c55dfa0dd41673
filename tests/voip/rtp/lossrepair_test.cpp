// Repairing lost packets by sending them again: the ask on the wire (read back by us and by
// tshark), what a sender keeps and how much it sends again, what a receiver asks for, and
// two real sessions through a lossy path.

#include "voip/rtp/lossrepair.h"
#include "voip/rtp/rtcp.h"
#include "voip/rtp/rtpsession.h"

#include <atomic>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/eventually.h"
#include "tests/support/toolskip.h"
#include "tests/support/impairedrtp.h"
#include "tests/tools/tshark_util.h"
#include "tools/common/pcapwriter.h"

using namespace voip::rtp;
using namespace std::chrono_literals;

TEST(LossRepair, TheAskReadsBackHereAndInTshark)
{
    // Numbers across the wrap, one beyond an entry's reach of sixteen.
    const std::vector<uint16_t> asked{65534, 65535, 0, 3, 14, 15, 40};
    std::vector<uint8_t> packet;
    appendReceiverReport(packet, 0x1111, {});
    appendNack(packet, 0x1111, 0x2222, asked);
    RtcpCompound compound;
    ASSERT_EQ(parseRtcp(packet, compound), RtcpError::None);
    ASSERT_EQ(compound.nacks.size(), 1u);
    EXPECT_EQ(compound.nacks[0].mediaSsrc, 0x2222u);
    EXPECT_EQ(compound.nacks[0].sequences, asked);

    // Forty entries asking for everything: no more numbers than a packet may ask for.
    std::vector<uint8_t> flood;
    appendReceiverReport(flood, 1, {});
    flood.insert(flood.end(), {0x81, 205, 0, 42, 0, 0, 0, 1, 0, 0, 0, 2});
    for (int entry = 0; entry < 40; ++entry)
        flood.insert(flood.end(), {uint8_t(entry), 0, 0xff, 0xff});
    ASSERT_EQ(parseRtcp(flood, compound), RtcpError::None);
    EXPECT_EQ(compound.nacks.at(0).sequences.size(), MaxNackedPerPacket);
    // An ask cut short is malformed; other feedback is passed over.
    std::vector<uint8_t> cut;
    appendReceiverReport(cut, 1, {});
    cut.insert(cut.end(), {0x81, 205, 0, 1, 0, 0, 0, 1});
    EXPECT_EQ(parseRtcp(cut, compound), RtcpError::CountBeyondLength);
    std::vector<uint8_t> other;
    appendReceiverReport(other, 1, {});
    other.insert(other.end(), {0x83, 205, 0, 2, 0, 0, 0, 1, 0, 0, 0, 2});
    ASSERT_EQ(parseRtcp(other, compound), RtcpError::None);
    EXPECT_TRUE(compound.nacks.empty());

    // What arrived, told beside the report: kept to 18 significant bits.
    std::vector<uint8_t> estimate;
    appendReceiverReport(estimate, 0x1111, {});
    const uint32_t media = 0x2222;
    appendPathEstimate(estimate, 0x1111, 1'234'567, std::span(&media, 1));
    ASSERT_EQ(parseRtcp(estimate, compound), RtcpError::None);
    ASSERT_EQ(compound.estimates.size(), 1u);
    EXPECT_EQ(compound.estimates[0].bitRate, 1'234'560u);
    EXPECT_EQ(compound.estimates[0].ssrcs, std::vector<uint32_t>{0x2222});
    // More SSRCs than the packet holds, an exponent beyond any rate, another name.
    std::vector<uint8_t> odd = estimate;
    odd[odd.size() - 8] = 9; // the count of SSRCs
    EXPECT_EQ(parseRtcp(odd, compound), RtcpError::CountBeyondLength);
    odd = estimate;
    odd[odd.size() - 7] |= 0xFC; // exponent 63
    ASSERT_EQ(parseRtcp(odd, compound), RtcpError::None);
    EXPECT_EQ(compound.estimates.at(0).bitRate, UINT64_MAX);
    odd = estimate;
    odd[odd.size() - 12] = 'X';
    ASSERT_EQ(parseRtcp(odd, compound), RtcpError::None);
    EXPECT_TRUE(compound.estimates.empty());

    if (!kx::testutil::haveTshark())
        KX_SKIP_WITHOUT_TOOL() << "tshark not installed";
    // tshark lists each number an entry asks for, the entry's own and its mask's, and
    // reads the estimate's rate.
    std::vector<uint8_t> plain;
    appendReceiverReport(plain, 0x1111, {});
    appendNack(plain, 0x1111, 0x2222, std::vector<uint16_t>{100, 101, 105, 140});
    appendPathEstimate(plain, 0x1111, 600'000, std::span(&media, 1));
    kx::capture::PcapWriter pcap;
    pcap.addUdp({kx::capture::Address::ipv4(127, 0, 0, 1), 5007},
                {kx::capture::Address::ipv4(127, 0, 0, 2), 5009}, plain);
    const auto file = std::filesystem::temp_directory_path() / "kx_nack.pcap";
    ASSERT_TRUE(pcap.save(file.string()));
    const auto frames =
        kx::testutil::tsharkFields(file, "rtcp",
                                   {"rtcp.rtpfb.fmt", "rtcp.rtpfb.nack_pid", "rtcp.rtpfb.nack_blp",
                                    "rtcp.psfb.remb.fci.br_exp", "rtcp.psfb.remb.fci.br_mantissa",
                                    "rtcp.psfb.remb.fci.ssrc", "_ws.malformed"},
                                   "-d udp.port==5009,rtcp");
    std::filesystem::remove(file);
    ASSERT_EQ(frames.size(), 1u);
    auto fields = frames.begin()->second;
    EXPECT_EQ(fields["rtcp.rtpfb.fmt"], std::vector<std::string>{"1"});
    EXPECT_EQ(fields["rtcp.rtpfb.nack_pid"],
              (std::vector<std::string>{"100", "101", "105", "140"}));
    EXPECT_EQ(fields["rtcp.rtpfb.nack_blp"], (std::vector<std::string>{"0x0011", "0x0000"}));
    // 600,000 = 150,000 << 2
    EXPECT_EQ(fields["rtcp.psfb.remb.fci.br_exp"], std::vector<std::string>{"2"});
    EXPECT_EQ(fields["rtcp.psfb.remb.fci.br_mantissa"], std::vector<std::string>{"150000"});
    EXPECT_EQ(fields["rtcp.psfb.remb.fci.ssrc"], std::vector<std::string>{"0x00002222"});
    EXPECT_TRUE(fields["_ws.malformed"].empty());
}

TEST(LossRepair, ASenderSendsAgainOnlyWhatItKeepsOnceEachWithinItsBudget)
{
    SentHistory history(64);
    for (uint16_t sequence = 0; sequence < 100; ++sequence)
        history.keep(sequence, std::vector<uint8_t>{uint8_t(sequence)});
    // 100 sent: ten may go again.  Those no longer kept (0-35) or never sent are not sent.
    const std::vector<uint16_t> asked{3, 36, 37, 37, 200, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59};
    const auto again = history.take(asked);
    ASSERT_EQ(again.size(), 10u);
    EXPECT_EQ(again.front(), std::vector<uint8_t>{36});
    EXPECT_EQ(again.back(), std::vector<uint8_t>{57});
    for (int sent = 0; sent < 30; ++sent)
        history.keep(uint16_t(100 + sent), std::vector<uint8_t>{1});
    EXPECT_TRUE(history.take(std::vector<uint16_t>{36, 37}).empty()) << "no longer kept";
    EXPECT_TRUE(history.take(std::vector<uint16_t>{128}).size() == 1u);
    EXPECT_TRUE(history.take(std::vector<uint16_t>{128}).empty()) << "once each";
    EXPECT_EQ(history.take(std::vector<uint16_t>{66, 67, 68}).size(), 2u) << "the budget left";
}

TEST(LossRepair, AReceiverAsksForWhatAGapShowsMissingOnceAndTellsOfAnOutage)
{
    GapWatch gaps;
    auto now = GapWatch::Clock::now();
    const auto arrived = [&](uint16_t sequence, std::chrono::milliseconds after = 5ms) {
        now += after;
        return gaps.arrived(sequence, now);
    };
    EXPECT_TRUE(arrived(65533).missing.empty());
    EXPECT_EQ(arrived(1).missing, (std::vector<uint16_t>{65534, 65535, 0}));
    EXPECT_TRUE(arrived(0).missing.empty()) << "a repair";
    EXPECT_TRUE(arrived(2).missing.empty());
    EXPECT_TRUE(arrived(2).missing.empty()) << "a duplicate";
    EXPECT_EQ(gaps.repairWait(), GapWatch::Shortest) << "repairs come at once";
    const auto jump = arrived(500);
    EXPECT_TRUE(jump.missing.empty()) << "too many to ask for";
    EXPECT_FALSE(jump.outage) << "packets kept coming: a full queue, not an outage";
    EXPECT_EQ(arrived(502).missing, std::vector<uint16_t>{501});
    // A repair that waited in a queue: the receiver waits that long for the next.
    arrived(501, 300ms);
    EXPECT_GE(gaps.repairWait(), 300ms);
    EXPECT_LE(gaps.repairWait(), GapWatch::Longest);
    const auto silence = arrived(505, 300ms);
    EXPECT_TRUE(silence.missing.empty()) << "too late to be of use";
    EXPECT_TRUE(silence.outage);
    EXPECT_FALSE(arrived(506, 300ms).outage) << "a pause is no loss";
}

// Two sessions, the media through 5 % loss: with repair nearly everything arrives, and
// the lost packets were asked for and sent again (so the sender is not told of loss that
// needs a key frame); without, the loss stays.
TEST(LossRepair, PacketsLostOnAPathArriveAfterAll)
{
    for (const bool repair : {true, false}) {
        SCOPED_TRACE(repair ? "repair" : "no repair");
        SessionConfig config;
        config.useJitterBuffer = false;
        config.repairLoss = repair;
        config.rtcpInterval = 200ms;
        kxtest::ImpairedRtp pair;
        ASSERT_TRUE(pair.open(config, 77));
        auto& sender = *pair.sender;
        std::atomic<uint32_t> toldLost{0};
        sender.setLossHandler([&](uint32_t lost) { toldLost += lost; });
        auto& receiver = *pair.receiver;
        auto& path = *pair.path;
        path.lossPercent = 5;
        // Repairs on their way when a report goes are not loss to tell.
        path.delay = 100ms;
        const std::vector<uint8_t> payload(800, 0x55);
        for (uint32_t i = 0; i < 400; ++i) {
            ASSERT_TRUE(sender.send(payload, i * 3600, true, 96));
            std::this_thread::sleep_for(4ms);
        }
        std::this_thread::sleep_for(400ms); // the last reports
        const auto received = receiver.statistics();
        const auto sent = sender.statistics();
        EXPECT_GT(path.lost(), 8u);
        if (repair) {
            EXPECT_GE(received.receive.packets, 396u);
            EXPECT_GE(received.repairsAsked, path.lost() - 4);
            EXPECT_GE(sent.repairsSent, path.lost() - 4);
            EXPECT_LE(toldLost, 2u) << "of " << path.lost();
        } else {
            EXPECT_EQ(received.receive.packets, 400u - path.lost());
            EXPECT_EQ(received.repairsAsked, 0u);
            EXPECT_EQ(toldLost, path.lost());
        }
    }
}
