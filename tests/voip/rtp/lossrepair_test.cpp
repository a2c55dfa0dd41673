// Repairing lost packets by sending them again: the ask on the wire (read back by us and by
// tshark), what a sender keeps and how much it sends again, what a receiver asks for, and
// two real sessions through a lossy path.

#include "voip/rtp/lossrepair.h"
#include "voip/rtp/rtcp.h"
#include "voip/rtp/rtpsession.h"

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

    if (!kx::testutil::haveTshark())
        KX_SKIP_WITHOUT_TOOL() << "tshark not installed";
    // tshark lists each number an entry asks for, the entry's own and its mask's.
    std::vector<uint8_t> plain;
    appendReceiverReport(plain, 0x1111, {});
    appendNack(plain, 0x1111, 0x2222, std::vector<uint16_t>{100, 101, 105, 140});
    kx::capture::PcapWriter pcap;
    pcap.addUdp({kx::capture::Address::ipv4(127, 0, 0, 1), 5007},
                {kx::capture::Address::ipv4(127, 0, 0, 2), 5009}, plain);
    const auto file = std::filesystem::temp_directory_path() / "kx_nack.pcap";
    ASSERT_TRUE(pcap.save(file.string()));
    const auto frames = kx::testutil::tsharkFields(
        file, "rtcp",
        {"rtcp.rtpfb.fmt", "rtcp.rtpfb.nack_pid", "rtcp.rtpfb.nack_blp", "_ws.malformed"},
        "-d udp.port==5009,rtcp");
    std::filesystem::remove(file);
    ASSERT_EQ(frames.size(), 1u);
    auto fields = frames.begin()->second;
    EXPECT_EQ(fields["rtcp.rtpfb.fmt"], std::vector<std::string>{"1"});
    EXPECT_EQ(fields["rtcp.rtpfb.nack_pid"],
              (std::vector<std::string>{"100", "101", "105", "140"}));
    EXPECT_EQ(fields["rtcp.rtpfb.nack_blp"], (std::vector<std::string>{"0x0011", "0x0000"}));
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
    const auto jump = arrived(500);
    EXPECT_TRUE(jump.missing.empty());
    EXPECT_TRUE(jump.outage);
    EXPECT_EQ(arrived(502).missing, std::vector<uint16_t>{501});
    const auto silence = arrived(505, 300ms);
    EXPECT_TRUE(silence.missing.empty()) << "too late to be of use";
    EXPECT_TRUE(silence.outage);
    EXPECT_FALSE(arrived(506, 300ms).outage) << "a pause is no loss";
}

// Two sessions, the media through 5 % loss: with repair nearly everything arrives, and
// the lost packets were asked for and sent again; without, the loss stays.
TEST(LossRepair, PacketsLostOnAPathArriveAfterAll)
{
    for (const bool repair : {true, false}) {
        SCOPED_TRACE(repair ? "repair" : "no repair");
        SessionConfig config;
        config.useJitterBuffer = false;
        config.repairLoss = repair;
        kxtest::ImpairedRtp pair;
        ASSERT_TRUE(pair.open(config, 77));
        auto& sender = *pair.sender;
        auto& receiver = *pair.receiver;
        auto& path = *pair.path;
        path.lossPercent = 5;
        const std::vector<uint8_t> payload(800, 0x55);
        for (uint32_t i = 0; i < 400; ++i) {
            ASSERT_TRUE(sender.send(payload, i * 3600, true, 96));
            std::this_thread::sleep_for(4ms);
        }
        std::this_thread::sleep_for(100ms);
        const auto received = receiver.statistics();
        const auto sent = sender.statistics();
        EXPECT_GT(path.lost(), 8u);
        if (repair) {
            EXPECT_GE(received.receive.packets, 396u);
            EXPECT_GE(received.repairsAsked, path.lost() - 2);
            EXPECT_GE(sent.repairsSent, path.lost() - 2);
        } else {
            EXPECT_EQ(received.receive.packets, 400u - path.lost());
            EXPECT_EQ(received.repairsAsked, 0u);
        }
    }
}
