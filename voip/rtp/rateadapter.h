#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace voip::rtp {

/// Why the rate we send at is what it is.
enum class RateReason
{
    Start,   ///< nothing reported yet: the channel's rate
    Loss,    ///< cut: the far end lost what the path could not carry
    Delay,   ///< cut: the round trip grew, a queue on the path is filling
    Rising,  ///< the path carries what we send: going up again
    Holding, ///< some loss, not enough to cut: staying
    Full,    ///< at the channel's rate
};

std::string_view rateReasonName(RateReason reason);

/// One of the far end's reports of our stream, with what we sent since the report before.
struct PathReport
{
    double fractionLost = 0;           ///< of the packets sent in the interval, 0 to 1
    std::optional<double> roundTripMs; ///< measured with this report
    /// What reached the far end over the interval (bit/s), when known.
    std::optional<double> deliveredBitRate;
    /// Whether the far end measured it (rather than our estimate from its counts).
    bool deliveredMeasured = false;
    /// The packets we sent over the interval, when known: a fraction of a few is noise.
    std::optional<std::uint64_t> packetsSent;
};

/// The rate a sender keeps to, steered by what the far end reports: down at once to what
/// got through when loss shows the path is full (never lower: a report that still counts
/// loss from before a cut does not cut again), or when the round trip grows well beyond
/// the least seen (a queue filling before it drops); up slowly, a few percent a second,
/// while the path carries everything, staying a while just under the rate it last lost at
/// and probing past it at half the pace; never below a floor a picture still needs nor
/// above the ceiling the channel allows.
///
/// Loss counts when two reports in a row show it (the lesser of the two): one report's
/// alone is an outage, a burst, or a second's few packets; but heavy loss with the far
/// end's own measure of what arrived (never sent after an outage) counts at once.  Loss that does
/// not fall when the rate did is the path's own (a radio link, a lossy line), not a sign that we
/// send too much: that much loss is tolerated from then on, so the rate does not sink to the floor
/// for nothing.  Not thread-safe: its owner locks.
class RateAdapter
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::uint32_t Floor = 64000;
    /// Loss above this (or above what the path showed it loses anyway) cuts the rate.
    static constexpr double CutLoss = 0.10;
    /// Loss under this (plus what the path loses anyway) lets the rate rise.
    static constexpr double RiseLoss = 0.02;
    /// No path loses more than this "anyway": beyond it, loss always cuts.
    static constexpr double MostTolerated = 0.30;
    static constexpr double RisePerSecond = 0.08;
    /// After a cut, the rate stays this long before it may rise.
    static constexpr std::chrono::milliseconds HoldAfterCut{2000};
    /// Near what the path carried when it last lost, the rate stays this long before it
    /// probes beyond (a path's limit seldom moves, and each probe past it costs a burst
    /// of loss).
    static constexpr std::chrono::seconds ProbeAfter{10};
    /// Heavy loss in one report counts at once only over at least this many packets.
    static constexpr std::uint64_t OneReportPackets = 20;

    explicit RateAdapter(std::uint32_t ceiling);

    /// The most the channel allows (bit/s); the rate comes down to it at once.
    void setCeiling(std::uint32_t ceiling);
    std::uint32_t rate() const { return rate_; }
    RateReason reason() const { return reason_; }
    /// Loss up to this much is taken as the path's own.
    double toleratedLoss() const { return tolerated_; }

    /// Takes one report; true when the rate changed.
    bool onReport(const PathReport& report, Clock::time_point now);

private:
    void cut(std::uint32_t to, RateReason why, double loss, Clock::time_point now,
             std::optional<double> delivered = {});

    std::uint32_t ceiling_;
    std::uint32_t rate_;
    RateReason reason_ = RateReason::Start;
    double tolerated_ = CutLoss;
    std::optional<double> leastRoundTripMs_;
    std::optional<double> capacity_; ///< what the path delivered when it last lost
    Clock::time_point capacityAt_;
    std::optional<Clock::time_point> lastCut_;
    std::optional<Clock::time_point> lastReport_;
    double previousLoss_ = 0; ///< the report before's
    double lossAtCut_ = 0;    ///< what the last loss cut answered, until it is judged
    /// Reports until a cut for loss is judged: the first after it is passed over.
    int reportsToJudge_ = 0;
};

} // namespace voip::rtp
