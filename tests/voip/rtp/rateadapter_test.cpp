#include "voip/rtp/pacer.h"
#include "voip/rtp/rateadapter.h"
#include "voip/rtp/rtpsession.h"
#include "tests/support/eventually.h"
#include "tests/support/impairedrtp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

using namespace voip::rtp;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Reports
{
    RateAdapter adapter{1'000'000};
    Clock::time_point now = Clock::time_point() + 100s;
    std::uint64_t packets = 50; ///< sent in each interval

    /// One report a second later, of a path that delivered what was not lost; whether
    /// the rate changed.
    bool next(double loss, std::optional<double> roundTrip = {},
              std::optional<double> delivered = {}, std::chrono::milliseconds after = 1000ms,
              bool measured = false)
    {
        now += after;
        return adapter.onReport(
            {loss, roundTrip, delivered.value_or(adapter.rate() * (1 - loss)), measured, packets},
            now);
    }
};

} // namespace

TEST(RateAdapter, FallsToWhatGotThroughAtOnceThenRisesAFewPercentASecond)
{
    Reports r;
    EXPECT_EQ(r.adapter.reason(), RateReason::Start);
    // An outage's report alone moves nothing.
    EXPECT_FALSE(r.next(0.9, {}, 100'000));
    EXPECT_FALSE(r.next(0));
    // Sending 1 Mbit/s into a 256 kbit/s path: three quarters lost, report after report.
    EXPECT_FALSE(r.next(0.75, {}, 250'000));
    ASSERT_TRUE(r.next(0.75, {}, 250'000));
    EXPECT_LE(r.adapter.rate(), 256'000u);
    EXPECT_GE(r.adapter.rate(), 200'000u);
    EXPECT_EQ(r.adapter.reason(), RateReason::Loss);
    // A report that still counts loss from before the cut does not cut again.
    EXPECT_FALSE(r.next(0.5, {}, 260'000, 500ms));
    // The path carries it: held for a while, then up slowly, to the channel's rate.
    EXPECT_FALSE(r.next(0));
    std::uint32_t before = r.adapter.rate();
    int seconds = 1;
    while (r.adapter.reason() != RateReason::Full && seconds < 60) {
        r.next(0);
        ++seconds;
        EXPECT_LE(r.adapter.rate(), before * 1.09 + 1000) << "at " << seconds << " s";
        before = r.adapter.rate();
    }
    EXPECT_EQ(r.adapter.rate(), 1'000'000u);
    EXPECT_GT(seconds, 15) << "up slowly";
    EXPECT_LT(seconds, 30);
    // A lower ceiling (the far end's flow control) brings it down at once.
    r.adapter.setCeiling(400'000);
    EXPECT_EQ(r.adapter.rate(), 400'000u);
}

TEST(RateAdapter, WhatTheFarEndMeasuredCutsAtOnceAndTheRateStaysUnderIt)
{
    Reports r;
    // Heavy loss with what arrived measured there: a full path, down to it at once.
    ASSERT_TRUE(r.next(0.75, 20.0, 250'000, 500ms, true));
    EXPECT_EQ(r.adapter.rate(), 212'500u);
    // The queue still drains: what is barely less is no new cut, and no lossy line.
    for (const double loss : {0.4, 0.3, 0.28, 0.28})
        EXPECT_FALSE(r.next(loss, 300.0, 240'000, 500ms, true));
    EXPECT_EQ(r.adapter.toleratedLoss(), RateAdapter::CutLoss);
    // Up to just under what the path carried, held there a while, then probing slowly.
    for (int i = 0; i < 12; ++i)
        r.next(0, 20.0, {}, 500ms);
    EXPECT_EQ(r.adapter.reason(), RateReason::Holding);
    EXPECT_GE(r.adapter.rate(), 0.9 * 250'000);
    EXPECT_LT(r.adapter.rate(), 250'000u);
    for (int i = 0; i < 10; ++i)
        r.next(0, 20.0, {}, 500ms);
    EXPECT_EQ(r.adapter.reason(), RateReason::Rising);
    // An outage's report (no measure) alone still moves nothing, nor one of a few packets.
    Reports outage;
    EXPECT_FALSE(outage.next(0.9, {}, 100'000, 500ms));
    EXPECT_EQ(outage.adapter.rate(), 1'000'000u);
    Reports few;
    few.packets = 3;
    EXPECT_FALSE(few.next(0.34, {}, 40'000, 500ms, true));
}

TEST(RateAdapter, LossThatDoesNotFallWithTheRateIsThePathsOwn)
{
    Reports r;
    for (int i = 0; i < 60; ++i)
        r.next(i % 2 ? 0.12 : 0.13);
    EXPECT_GE(r.adapter.rate(), 600'000u) << "a lossy line is not a full one";
    EXPECT_GT(r.adapter.toleratedLoss(), 0.13);
    // Congestion on top of it still cuts.
    EXPECT_FALSE(r.next(0.45));
    EXPECT_TRUE(r.next(0.45));
    EXPECT_EQ(r.adapter.reason(), RateReason::Loss);
}

TEST(RateAdapter, AGrowingRoundTripCutsBeforeLossDoes)
{
    Reports r;
    for (int i = 0; i < 3; ++i)
        r.next(0, 20.0);
    ASSERT_EQ(r.adapter.reason(), RateReason::Full);
    ASSERT_TRUE(r.next(0, 300.0));
    EXPECT_EQ(r.adapter.reason(), RateReason::Delay);
    EXPECT_EQ(r.adapter.rate(), 850'000u);
    EXPECT_FALSE(r.next(0, 300.0, {}, 500ms)) << "the queue gets time to drain";
    EXPECT_TRUE(r.next(0, 300.0, {}, 500ms));
    EXPECT_FALSE(r.next(0, 60.0)) << "a round trip near the least is no queue";
}

TEST(RateAdapter, AbsurdReportsKeepASaneRate)
{
    Reports r;
    r.next(std::numeric_limits<double>::quiet_NaN(), -5.0);
    r.next(0, 1e9);
    EXPECT_EQ(r.adapter.rate(), 1'000'000u) << "no loss, no round trip worth the name";
    for (int i = 0; i < 50; ++i)
        r.next(i % 2 ? 7.0 : 1.0, {}, 0.0);
    EXPECT_EQ(r.adapter.rate(), RateAdapter::Floor) << "never below what a picture needs";
    EXPECT_EQ(RateAdapter(0).rate(), RateAdapter::Floor);
    // A flood of reports in the same instant moves nothing up.
    Reports flood;
    flood.next(0.5);
    flood.next(0.5);
    const auto cut = flood.adapter.rate();
    for (int i = 0; i < 100; ++i)
        flood.next(0, {}, {}, 0ms);
    EXPECT_EQ(flood.adapter.rate(), cut);
}

// Real sessions through a bottleneck: the far end's reports (with what arrived, as it
// measured) bring what we send just under the cap, and when it lifts the rate rises past
// it again.
TEST(RateAdapter, ASenderFollowsTheReportsUnderACapAndBackUp)
{
    SessionConfig config;
    config.useJitterBuffer = false;
    config.rtcpInterval = SessionConfig::SteeringRtcpInterval;
    config.repairLoss = true;
    config.mediaFormat = "H.264";
    kxtest::ImpairedRtp pair;
    ASSERT_TRUE(pair.open(config));
    auto& sender = *pair.sender;
    auto& path = *pair.path;
    path.rateCap = 300'000;
    std::atomic<std::uint32_t> allowed{1'000'000};
    sender.adaptSendRate(1'000'000, [&](std::uint32_t rate, RateReason) { allowed = rate; });

    std::atomic<bool> stop{false};
    std::thread sending([&] {
        const std::vector<std::uint8_t> payload(1000, 0x41);
        auto next = Clock::now();
        for (std::uint32_t i = 0; !stop; ++i) {
            (void)sender.send(payload, i * 900, true, 96);
            next += std::chrono::microseconds(8'000'000'000ull / allowed.load());
            std::this_thread::sleep_until(next);
        }
    });
    const bool under = kxtest::eventually([&] { return allowed < 300'000; }, 5s);
    std::this_thread::sleep_for(1s);
    const auto capped = sender.statistics().transmit;
    path.rateCap = 0;
    // Held under the rate it lost at for a while, then probing past it.
    const bool rose = under && kxtest::eventually([&] { return allowed > 340'000; },
                                                  RateAdapter::ProbeAfter + 15s);
    stop = true;
    sending.join();
    EXPECT_TRUE(under) << "allowed " << allowed << " through 300 kbit/s";
    EXPECT_LT(capped.allowedBitRate, 300'000u);
    EXPECT_GT(capped.allowedBitRate, 200'000u) << "what the path carries, not far below";
    EXPECT_TRUE(capped.rateReason == RateReason::Loss || capped.rateReason == RateReason::Delay);
    EXPECT_GT(path.overflowed(), 0u);
    EXPECT_TRUE(rose) << "allowed " << allowed << " once the cap lifted";
    const auto lifted = sender.statistics().transmit;
    EXPECT_EQ(lifted.allowedBitRate, allowed.load());
    EXPECT_TRUE(lifted.rateReason == RateReason::Rising || lifted.rateReason == RateReason::Full);
}

// A key frame's burst, paced, passes a narrow path's queue whole; sent at once, its tail is
// dropped.
TEST(RateAdapter, AKeyFramesBurstPacedPassesANarrowPathsQueue)
{
    Pacer pacer;
    const auto start = Pacer::Clock::time_point() + 10s;
    const std::vector<std::uint8_t> packet(1000, 1);
    EXPECT_FALSE(pacer.hold(packet, start)) << "nothing is paced without a rate";
    pacer.setRate(100'000); // paced at 200 kbit/s: 40 ms a packet
    int atOnce = 0;
    for (int i = 0; i < 10; ++i)
        atOnce += !pacer.hold(packet, start);
    EXPECT_EQ(atOnce, 2) << "a picture's time ahead goes at once";
    EXPECT_EQ(pacer.next(), start + 40ms);
    EXPECT_EQ(pacer.due(start + 100ms).size(), 2u);
    EXPECT_EQ(pacer.held(), 6u);
    // Far ahead of the pacing, nothing is held longer: what is kept goes now.
    for (int i = 0; i < 30; ++i)
        pacer.hold(packet, start + 100ms);
    EXPECT_GE(pacer.due(start + 100ms).size(), 20u);

    for (const bool paced : {true, false}) {
        SCOPED_TRACE(paced ? "paced" : "at once");
        kxtest::ImpairedRtp pair;
        ASSERT_TRUE(pair.open(SessionConfig()));
        pair.path->rateCap = 256'000; // its queue takes 12,000 octets
        if (paced)
            pair.sender->adaptSendRate(200'000, {});
        const std::vector<std::uint8_t> slice(1000, 0x41);
        for (int i = 0; i < 20; ++i)
            ASSERT_TRUE(pair.sender->send(slice, 0, i == 19, 96));
        const bool all = kxtest::eventually(
            [&] { return pair.receiver->statistics().receive.packets == 20; }, 2s);
        EXPECT_EQ(all, paced);
        EXPECT_EQ(pair.path->overflowed() == 0, paced);
    }
}
