#include "voip/rtp/jitterbuffer.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace voip::rtp;
using namespace std::chrono_literals;
using Clock = JitterBuffer::Clock;

namespace {

/// Feeds packets with chosen arrival times into a buffer and plays it out
/// with a reader that polls every millisecond of simulated time.
class JitterFixture : public ::testing::Test
{
protected:
    Clock::time_point t0 = Clock::now();
    std::vector<uint8_t> payload;
    std::vector<MediaFrame> played;

    RtpPacketView packet(uint16_t sequence, uint32_t timestamp, std::size_t size = 160)
    {
        payload.assign(size, static_cast<uint8_t>(sequence));
        RtpPacketView p;
        p.sequence = sequence;
        p.timestamp = timestamp;
        p.payloadType = 8;
        p.payload = payload;
        return p;
    }

    Clock::time_point at(double ms)
    {
        return t0 + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double, std::milli>(ms));
    }

    void playUntil(JitterBuffer& buffer, double fromMs, double toMs)
    {
        for (double ms = fromMs; ms <= toMs; ms += 1)
            while (auto frame = buffer.pop(at(ms)))
                played.push_back(std::move(*frame));
    }

    struct Arrival
    {
        double ms;
        uint16_t sequence;
        uint32_t timestamp;
        std::size_t size = 160;
    };

    /// Runs simulated time in 1 ms steps: packets enter the buffer at their
    /// arrival time and the reader polls after them.
    void run(JitterBuffer& buffer, std::vector<Arrival> arrivals, double endMs)
    {
        std::stable_sort(arrivals.begin(), arrivals.end(),
                         [](const Arrival& a, const Arrival& b) { return a.ms < b.ms; });
        std::size_t next = 0;
        for (double ms = 0; ms <= endMs; ms += 1) {
            while (next < arrivals.size() && arrivals[next].ms <= ms) {
                const Arrival& a = arrivals[next++];
                buffer.push(packet(a.sequence, a.timestamp, a.size), at(a.ms));
            }
            while (auto frame = buffer.pop(at(ms)))
                played.push_back(std::move(*frame));
        }
    }

    double addedDelayMs(const MediaFrame& f) const
    {
        return std::chrono::duration<double, std::milli>(f.playout - f.arrival).count();
    }
};

} // namespace

TEST_F(JitterFixture, CleanPathPlaysAtTheMinimumDelay)
{
    JitterBuffer buffer;
    std::vector<Arrival> arrivals;
    for (int i = 0; i < 100; ++i)
        arrivals.push_back({20.0 * i, static_cast<uint16_t>(1000 + i), 160u * i});
    run(buffer, arrivals, 2100);
    ASSERT_EQ(played.size(), 100u);
    for (std::size_t i = 0; i < played.size(); ++i) {
        EXPECT_EQ(played[i].sequence, 1000 + i);
        EXPECT_NEAR(addedDelayMs(played[i]), 50, 1) << i;
        EXPECT_EQ(played[i].lostBefore, 0u);
    }
    // Nothing is handed out before its playout time.
    JitterBuffer fresh;
    fresh.push(packet(1, 0), at(0));
    EXPECT_FALSE(fresh.pop(at(49)));
    EXPECT_TRUE(fresh.pop(at(50)));
    const auto stats = buffer.statistics();
    EXPECT_EQ(stats.late, 0u);
    EXPECT_EQ(stats.lostAtPlayout, 0u);
    EXPECT_NEAR(stats.meanAddedDelayMs, 50, 1);
    EXPECT_DOUBLE_EQ(stats.targetDelayMs, 50);
}

TEST_F(JitterFixture, RestoresOrderAndCountsLossAndDuplicates)
{
    JitterBuffer buffer;
    // Sequence 2 comes after 3; 5 never comes; 4 arrives twice.
    run(buffer,
        {{20, 1, 160},
         {60, 3, 480},
         {65, 2, 320},
         {80, 4, 640},
         {81, 4, 640},
         {120, 6, 960},
         {140, 7, 1120}},
        400);
    std::vector<uint16_t> sequences;
    for (const auto& f : played)
        sequences.push_back(f.sequence);
    EXPECT_EQ(sequences, (std::vector<uint16_t>{1, 2, 3, 4, 6, 7}));
    EXPECT_EQ(played[4].lostBefore, 1u);
    const auto stats = buffer.statistics();
    EXPECT_EQ(stats.duplicates, 1u);
    EXPECT_EQ(stats.lostAtPlayout, 1u);

    // After playout: a copy of a played packet is a duplicate, the missing one is late.
    EXPECT_EQ(buffer.push(packet(6, 960), at(500)), JitterBuffer::PushResult::Duplicate);
    EXPECT_EQ(buffer.push(packet(5, 800), at(500)), JitterBuffer::PushResult::Late);
    EXPECT_EQ(buffer.statistics().late, 1u);
}

TEST_F(JitterFixture, LatePacketsRaiseTheDelayWithinItsBounds)
{
    JitterBuffer buffer(JitterConfig{50ms, 120ms});
    std::vector<Arrival> arrivals;
    for (int i = 0; i < 100; ++i) {
        // Every tenth packet is held up 90 ms in the network.
        const double arrival = 20.0 * i + (i % 10 == 5 ? 90 : 0);
        arrivals.push_back({arrival, static_cast<uint16_t>(i), 160u * i});
    }
    run(buffer, arrivals, 2300);
    const auto stats = buffer.statistics();
    EXPECT_GT(stats.late, 0u);
    EXPECT_GT(stats.targetDelayMs, 50);
    EXPECT_LE(stats.targetDelayMs, 120);
    // Once the delay has grown, the later held-up packets make it in time.
    EXPECT_LT(stats.late, 4u);
    EXPECT_EQ(played.size() + stats.late, 100u);
}

TEST_F(JitterFixture, SenderClockDriftKeepsTheDelayBounded)
{
    // One sender's clock runs 1 % slow, the other's 1 % fast, for a minute.
    for (double rate : {0.99, 1.01}) {
        JitterBuffer buffer;
        played.clear();
        std::vector<Arrival> arrivals;
        for (int i = 0; i < 3000; ++i)
            arrivals.push_back({20.0 * i / rate, static_cast<uint16_t>(i), 160u * i});
        run(buffer, arrivals, 61000);
        const auto stats = buffer.statistics();
        EXPECT_EQ(played.size(), 3000u) << rate;
        EXPECT_EQ(stats.late, 0u) << rate;
        double worst = 0;
        for (const auto& f : played)
            worst = std::max(worst, addedDelayMs(f));
        // The playout base follows the smallest transit of the last two to four
        // seconds: at 1 % that is at most 40 ms behind.
        EXPECT_LE(worst, 91) << rate;
        EXPECT_GE(worst, 49) << rate;
    }
}

TEST_F(JitterFixture, DelayBoundsAreOrdered)
{
    JitterBuffer buffer;
    buffer.setDelayBounds(200ms, 100ms);
    buffer.push(packet(1, 0), at(0));
    EXPECT_FALSE(buffer.pop(at(199)));
    EXPECT_TRUE(buffer.pop(at(200)));
}

TEST_F(JitterFixture, G722On16kHzClockIn1msPacketsPlaysInRealTime)
{
    // 8 bytes of G.722 per millisecond, timestamps advancing 16 per packet.
    JitterConfig config;
    config.payloadBytesPerMs = 8;
    JitterBuffer buffer(config);
    std::vector<Arrival> arrivals;
    for (int i = 0; i < 2000; ++i) {
        // The sender hands them out in bursts of 20 every 20 ms.
        arrivals.push_back({20.0 * (i / 20) + 19, static_cast<uint16_t>(i), 16u * i, 8});
    }
    run(buffer, arrivals, 2400);
    const auto stats = buffer.statistics();
    EXPECT_DOUBLE_EQ(stats.ticksPerMs, 16);
    EXPECT_EQ(stats.late, 0u);
    EXPECT_EQ(stats.overflows, 0u);
    ASSERT_EQ(played.size(), 2000u);
    // Played one per millisecond of media, so never more than the 250 ms maximum late.
    for (std::size_t i = 100; i < played.size(); ++i) {
        const double step =
            std::chrono::duration<double, std::milli>(played[i].playout - played[i - 1].playout)
                .count();
        EXPECT_NEAR(step, 1, 0.01) << i;
        EXPECT_LE(addedDelayMs(played[i]), 250);
    }
    const double first =
        std::chrono::duration<double, std::milli>(played[100].playout - t0).count();
    const double last =
        std::chrono::duration<double, std::milli>(played[1999].playout - t0).count();
    EXPECT_NEAR(last - first, 1899, 1);
}

TEST_F(JitterFixture, StandardG722ClockStaysAt8kHz)
{
    JitterConfig config;
    config.payloadBytesPerMs = 8;
    JitterBuffer buffer(config);
    std::vector<Arrival> arrivals;
    for (int i = 0; i < 50; ++i)
        arrivals.push_back({20.0 * i, static_cast<uint16_t>(i), 160u * i});
    run(buffer, arrivals, 999);
    EXPECT_DOUBLE_EQ(buffer.statistics().ticksPerMs, 8);
    EXPECT_EQ(played.size(), 48u);
}

TEST_F(JitterFixture, LargeG711PacketsPlayBackToBack)
{
    JitterConfig config;
    config.payloadBytesPerMs = 8;
    JitterBuffer buffer(config);
    std::vector<Arrival> arrivals;
    for (int i = 0; i < 10; ++i)
        arrivals.push_back({240.0 * i, static_cast<uint16_t>(i), 1920u * i, 1920});
    run(buffer, arrivals, 2400);
    ASSERT_EQ(played.size(), 10u);
    for (std::size_t i = 0; i < played.size(); ++i) {
        EXPECT_NEAR(addedDelayMs(played[i]), 50, 1);
        EXPECT_EQ(played[i].payload.size(), 1920u);
    }
    EXPECT_EQ(buffer.statistics().late, 0u);
}

TEST_F(JitterFixture, SequenceWrapIsNotLoss)
{
    JitterBuffer buffer;
    std::vector<Arrival> arrivals;
    for (int i = 0; i < 20; ++i)
        arrivals.push_back({20.0 * i, static_cast<uint16_t>(65530 + i), 0xfffff000u + 160u * i});
    run(buffer, arrivals, 500);
    ASSERT_EQ(played.size(), 20u);
    EXPECT_EQ(played.back().sequence, 13);
    EXPECT_EQ(buffer.statistics().lostAtPlayout, 0u);
}

TEST_F(JitterFixture, MemoryIsBoundedWhenNobodyReads)
{
    JitterConfig config;
    config.maxPackets = 10;
    JitterBuffer buffer(config);
    for (int i = 0; i < 25; ++i)
        buffer.push(packet(static_cast<uint16_t>(i), 160u * i), at(20.0 * i));
    auto stats = buffer.statistics();
    EXPECT_EQ(stats.held, 10u);
    EXPECT_EQ(stats.overflows, 15u);
    // A reader that comes back much later does not get a burst of stale audio.
    playUntil(buffer, 5000, 5000);
    EXPECT_TRUE(played.empty());
    EXPECT_EQ(buffer.statistics().held, 0u);
}

TEST_F(JitterFixture, StreamRestartAndTimestampJumpResync)
{
    JitterBuffer buffer;
    for (int i = 0; i < 5; ++i)
        buffer.push(packet(static_cast<uint16_t>(i), 160u * i), at(20.0 * i));
    playUntil(buffer, 0, 200);
    // A sender that restarts with new numbers and timestamps.
    for (int i = 0; i < 5; ++i)
        buffer.push(packet(static_cast<uint16_t>(30000 + i), 0x70000000u + 160u * i),
                    at(300 + 20.0 * i));
    playUntil(buffer, 300, 500);
    ASSERT_EQ(played.size(), 10u);
    EXPECT_EQ(played[5].sequence, 30000);
    EXPECT_NEAR(addedDelayMs(played[9]), 50, 1);
    EXPECT_GE(buffer.statistics().resyncs, 1u);

    // Same sequence run, but the timestamp leaps a day ahead.
    buffer.push(packet(30005, 0x70000000u + 800 + 8000u * 86400), at(520));
    playUntil(buffer, 520, 600);
    ASSERT_EQ(played.size(), 11u);
    EXPECT_NEAR(addedDelayMs(played[10]), 50, 1);
}

TEST_F(JitterFixture, ResetForgetsEverything)
{
    JitterBuffer buffer;
    buffer.push(packet(1, 0), at(0));
    buffer.reset();
    EXPECT_EQ(buffer.statistics().held, 0u);
    EXPECT_FALSE(buffer.nextPlayout());
    buffer.push(packet(1, 0), at(100));
    EXPECT_TRUE(buffer.pop(at(150)));
}
