#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "voip/h245/message.h"
#include "voip/h323/controllink.h"
#include "voip/rtp/rateadapter.h"

namespace voip::h323 {

/// The limits on one channel's rate, kept with the channel.  0: no limit.
struct RateLimits
{
    /// Ours: bit/s we may send, by the far end's flow control or the gatekeeper's
    /// bandwidth.  The far end's: what we asked it to keep to.
    std::uint64_t flow = 0;
    /// Ours: the far end's own limit alone, the most a gatekeeper's give-back may restore.
    std::uint64_t farEnd = 0;
};

/// One open logical channel of the call, as bandwidth control sees it.
struct RatedChannel
{
    std::uint16_t number = 0;
    unsigned sessionId = 0;
    bool incoming = false;           ///< the far end sends on it
    bool video = false;              ///< of the video session: the one medium whose rate can follow
    std::uint64_t opened = 0;        ///< bit/s it was opened with
    std::uint64_t formatMaximum = 0; ///< its format's own maximum: no flow control allows more
    RateLimits* limits = nullptr;

    /// bit/s it carries: the rate it was opened with, within its flow limit.
    std::uint64_t rate() const { return limits->flow ? std::min(opened, limits->flow) : opened; }
};

/// What bandwidth control needs of the call besides its H.245 link.
class CallRates
{
public:
    virtual ~CallRates() = default;
    /// The call's open channels (unanswered fastStart proposals are not).
    virtual std::vector<RatedChannel> openChannels() = 0;
    /// Puts a channel's new rate into effect: ours goes to our encoder at `rate`; the far
    /// end is asked to keep its channel within its flow limit (or told it may use all).
    virtual void applyRate(const RatedChannel& channel, std::uint64_t rate) = 0;
    /// Whether a gatekeeper admitted the call and the call is up.
    virtual bool admitted() const = 0;
    /// Asks the gatekeeper for `wanted` (units of 100 bit/s); its answer comes back through
    /// BandwidthControl::answered.
    virtual void askGatekeeper(std::uint32_t wanted) = 0;
};

/// The call's bit rate: the far end's flow control on our channels, and the gatekeeper's
/// bandwidth.  When the channels' rate changes, the gatekeeper is asked for the new figure
/// once they have settled, one request at a time; what it allows is kept by bringing
/// video down (ours first, then the far end's by flow control) and given back when it
/// allows more.
///
/// Network thread.
class BandwidthControl
{
public:
    BandwidthControl(ControlLink& link, CallRates& rates);

    /// The gatekeeper admitted the call with `bandwidth` (units of 100 bit/s).
    void granted(std::uint32_t bandwidth) { granted_ = bandwidth; }
    /// The rate of the call's open channels both ways, in units of 100 bit/s.
    std::uint32_t callBandwidth();

    /// The far end limits one of our channels, or (channel 0) our video.
    void onFlowControl(const h245::FlowControl& flow);
    /// What arrived of the far end's video on `sessionId` since our last report of it.
    /// When loss shows its path cannot carry what it sends, and it does not come down by
    /// itself within a few reports, it is told to keep under what the path carries (a flow
    /// control command); when the path carries everything again, the limit rises slowly
    /// and at last goes.  Loss that stays whatever the rate is the path's own, and moves
    /// nothing.
    void onArrival(unsigned sessionId, double fractionLost, double arrivedBitRate);
    /// The channels changed: asks the gatekeeper for their rate when it differs.
    void review();
    /// The gatekeeper asks the call to use at most `allowed` (units of 100 bit/s): our
    /// video gives up what it can, then the far end's; when it allows more than the call
    /// uses, video cut before is given back.  The rate the call then uses.
    std::uint32_t keepWithin(std::uint32_t allowed);

    struct Answer
    {
        bool answered = false; ///< the gatekeeper confirmed or refused
        bool granted = false;
        std::uint32_t bandwidth = 0;
    };
    /// The gatekeeper's answer to our request for `wanted`.
    void answered(std::uint32_t wanted, const Answer& answer);

    /// Whether a request to the gatekeeper waits for its answer.
    bool asking() const { return asking_; }

private:
    /// The figure to ask the gatekeeper for now: the call's rate when a gatekeeper admitted
    /// the call, no request waits, and it is news; else 0.
    std::uint32_t toAsk();
    void ask();
    /// Lowers the video's rate by `excess` bit/s (not below a usable minimum): ours, or
    /// the far end's (`incoming`).
    void cutVideo(bool incoming, std::uint64_t excess);
    /// Gives video cut for the gatekeeper's sake back, up to `surplus` bit/s more: the far
    /// end's first, then ours (never above what the far end allows us).
    void restoreVideo(std::uint64_t surplus);
    void apply(const RatedChannel& channel);

    /// What the path from the far end carries of one of its video channels.
    struct Arrival
    {
        int lossy = 0;              ///< reports in a row with more loss than the path's own
        int clean = 0;              ///< reports in a row with next to none
        double tolerated = rtp::RateAdapter::CutLoss; ///< loss the path shows whatever is sent
        std::uint64_t limited = 0;  ///< the limit we set for the path's sake, while it holds
        double lossWhenLimited = 0; ///< the loss that limit answered
    };

    ControlLink& link_;
    CallRates& rates_;
    std::map<unsigned, Arrival> arrivals_; ///< by session
    std::unique_ptr<ControlTimer> settle_;
    std::uint32_t granted_ = 0; ///< by the gatekeeper, units of 100 bit/s
    std::uint32_t asked_ = 0;   ///< in the last request
    bool asking_ = false;       ///< a request is on its way
};

} // namespace voip::h323
