// Bandwidth control of a call driven through its link and channel rates alone: the far
// end's flow control, the gatekeeper asked as the rate changes, and its allowance kept by
// cutting video and given back.

#include <map>
#include <vector>

#include <gtest/gtest.h>

#include "voip/h323/bandwidthcontrol.h"

#include "tests/voip/h323/fakelink.h"

namespace {

using namespace voip;
using namespace voip::h323;
using kxtest::FakeLink;
using std::chrono::milliseconds;
using Rate = std::pair<std::uint16_t, std::uint64_t>;

/// A call with audio (64 kbit/s) and video (384 kbit/s) both ways: channels 1 and 3 ours,
/// 2 and 4 the far end's.
struct FakeRates : CallRates
{
    FakeRates()
    {
        add(1, false, false, 64000);
        add(2, true, false, 64000);
        add(3, false, true, 384000);
        add(4, true, true, 384000);
    }
    void add(std::uint16_t number, bool incoming, bool video, std::uint64_t rate)
    {
        RatedChannel channel;
        channel.number = number;
        channel.sessionId = video ? 2 : 1;
        channel.incoming = incoming;
        channel.video = video;
        channel.opened = rate;
        channel.formatMaximum = rate;
        channels[number] = channel;
    }
    std::vector<RatedChannel> openChannels() override
    {
        std::vector<RatedChannel> open;
        for (auto& [number, channel] : channels) {
            channel.limits = &limits[number];
            open.push_back(channel);
        }
        return open;
    }
    void applyRate(const RatedChannel& channel, std::uint64_t rate) override
    {
        applied.emplace_back(channel.number, rate);
    }
    bool admitted() const override { return isAdmitted; }
    void askGatekeeper(std::uint32_t wanted) override { asked.push_back(wanted); }

    std::map<std::uint16_t, RatedChannel> channels;
    std::map<std::uint16_t, RateLimits> limits;
    bool isAdmitted = true;
    std::vector<Rate> applied;
    std::vector<std::uint32_t> asked;
};

struct Bandwidth : testing::Test
{
    void flowControl(std::uint16_t channel, std::optional<std::uint32_t> maximum)
    {
        control.onFlowControl(h245::FlowControl{channel, maximum});
    }
    /// The settling time passes: the one request it holds goes to the gatekeeper.
    void settle()
    {
        auto& timer = link.runningTimer();
        EXPECT_EQ(timer.running, milliseconds(300));
        link.expire(timer);
    }

    FakeLink link;
    FakeRates rates;
    BandwidthControl control{link, rates};
};

TEST_F(Bandwidth, TheFarEndsFlowControlLimitsOurChannelsNeverAboveTheirFormat)
{
    rates.isAdmitted = false;
    EXPECT_EQ(control.callBandwidth(), 8960u);

    flowControl(3, 2560);
    EXPECT_EQ(rates.applied, std::vector{Rate(3, 256000)});
    EXPECT_EQ(rates.limits[3].farEnd, 256000u);
    EXPECT_EQ(control.callBandwidth(), 7680u);

    // The whole multiplex: video alone follows.  A channel of the far end is not ours
    // to limit.  More than the format allows is not given.
    rates.applied.clear();
    flowControl(0, 1000);
    flowControl(4, 100);
    flowControl(1, 5000);
    EXPECT_EQ(rates.applied, (std::vector{Rate(3, 100000), Rate(1, 64000)}));
    EXPECT_EQ(rates.limits[4].flow, 0u);

    // No restriction: the full rate back, and no far-end limit left.
    rates.applied.clear();
    flowControl(3, std::nullopt);
    EXPECT_EQ(rates.applied, std::vector{Rate(3, 384000)});
    EXPECT_EQ(rates.limits[3].farEnd, 0u);
    EXPECT_EQ(control.callBandwidth(), 8960u);
    EXPECT_TRUE(rates.asked.empty()) << "not admitted: no gatekeeper to ask";
    EXPECT_FALSE(link.anyTimerRunning());
}

TEST_F(Bandwidth, TheGatekeeperIsAskedOnceTheRateSettlesOneRequestAtATime)
{
    control.granted(8960);
    control.review();
    EXPECT_FALSE(link.anyTimerRunning()) << "the rate granted";

    flowControl(3, 2560);
    EXPECT_TRUE(rates.asked.empty()) << "not before the channels settle";
    settle();
    EXPECT_EQ(rates.asked, std::vector<std::uint32_t>{7680});
    ASSERT_TRUE(control.asking());

    flowControl(3, 2000);
    EXPECT_FALSE(link.anyTimerRunning()) << "one request at a time";
    control.answered(7680, {true, true, 0});
    settle();
    EXPECT_EQ(rates.asked, (std::vector<std::uint32_t>{7680, 7120}));

    // Confirmed, but for less: our video comes down to fit, and nothing more is asked.
    rates.applied.clear();
    control.answered(7120, {true, true, 6000});
    EXPECT_EQ(rates.applied, std::vector{Rate(3, 88000)});
    EXPECT_EQ(control.callBandwidth(), 6000u);
    EXPECT_FALSE(link.anyTimerRunning());

    // Refused with a figure above what the call holds: the call keeps to what it holds.
    flowControl(3, std::nullopt);
    settle();
    rates.applied.clear();
    control.answered(8960, {true, false, 7000});
    EXPECT_EQ(rates.applied, std::vector{Rate(3, 88000)});
    EXPECT_EQ(control.callBandwidth(), 6000u);

    // No answer: the call goes on as it is, asks nothing for the same rate again, and
    // asks afresh when the rate changes.
    flowControl(3, 2560);
    settle();
    control.answered(7680, {false, false, 0});
    control.review();
    EXPECT_FALSE(link.anyTimerRunning());
    flowControl(1, 320);
    settle();
    EXPECT_EQ(rates.asked.back(), 7360u);
    EXPECT_FALSE(link.failed) << "bandwidth never ends the call";
}

TEST_F(Bandwidth, AnAllowanceCutsOurVideoThenTheFarEndsAndGivesBackInTheOtherOrder)
{
    EXPECT_EQ(control.keepWithin(6000), 6000u);
    EXPECT_EQ(rates.applied, std::vector{Rate(3, 88000)});

    // Ours cannot go below a usable rate: the far end's is asked to send less.
    rates.applied.clear();
    EXPECT_EQ(control.keepWithin(4000), 4000u);
    EXPECT_EQ(rates.applied, (std::vector{Rate(3, 32000), Rate(4, 240000)}));
    EXPECT_EQ(rates.limits[4].flow, 240000u);

    // A little more allowed: the far end's video, cut last, has it first.
    rates.applied.clear();
    EXPECT_EQ(control.keepWithin(4500), 4500u);
    EXPECT_EQ(rates.applied, std::vector{Rate(4, 290000)});

    // The far end limits our video meanwhile: a give-back never goes above its limit.
    flowControl(3, 300);
    rates.applied.clear();
    EXPECT_EQ(control.keepWithin(8960), 8960u - 3840u + 300u);
    EXPECT_EQ(rates.applied, std::vector{Rate(4, 384000)});
    EXPECT_EQ(rates.limits[3].flow, 30000u);
    EXPECT_EQ(rates.limits[4].flow, 0u) << "the far end's full rate: no limit left";
    EXPECT_FALSE(control.asking()) << "what the call uses is what the gatekeeper holds";
}

} // namespace

// What arrives of the far end's video (channel 4, 384 kbit/s), report by report: a far end
// that keeps sending more than the path carries is told to keep under it, a few reports
// on; the limit rises again once the path carries everything, and goes at the full rate.
// Loss that stays whatever the far end sends is the path's own: the limit goes, and that
// much loss moves nothing from then on.
TEST_F(Bandwidth, AFarEndSendingMoreThanThePathCarriesIsToldToKeepUnderIt)
{
    rates.isAdmitted = false;
    for (int report = 0; report < 2; ++report)
        control.onArrival(2, 0.5, 190'000);
    EXPECT_TRUE(rates.applied.empty()) << "time to come down by itself";
    control.onArrival(2, 0.5, 190'000);
    ASSERT_EQ(rates.applied, std::vector{Rate(4, 171000)});
    control.onArrival(1, 0.9, 10'000);
    EXPECT_EQ(rates.applied.size(), 1u) << "audio is not limited";

    rates.applied.clear();
    for (int report = 0; report < 10; ++report)
        control.onArrival(2, 0, 171'000);
    EXPECT_EQ(rates.applied, (std::vector{Rate(4, 196650), Rate(4, 226147)}));
    for (int report = 0; report < 20; ++report)
        control.onArrival(2, 0, 226'000);
    EXPECT_EQ(rates.applied.back(), Rate(4, 384000));
    EXPECT_EQ(rates.limits[4].flow, 0u) << "no limit left";

    // A lossy line: limited once, the loss stays, the limit goes and is not set again.
    rates.applied.clear();
    for (int report = 0; report < 12; ++report)
        control.onArrival(2, 0.15, 320'000);
    EXPECT_EQ(rates.applied, (std::vector{Rate(4, 288000), Rate(4, 384000)}));
}
