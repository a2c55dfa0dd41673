#pragma once

#include "voip/rtp/rtppacket.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace voip::rtp {

/// Bounds and clock of a jitter buffer.
struct JitterConfig
{
    std::chrono::milliseconds minDelay{50};
    std::chrono::milliseconds maxDelay{250};
    /// Nominal RTP clock rate of the payload (8000 for G.711 and G.722, 90000 for video).
    uint32_t clockRate = 8000;
    /// Bytes of payload per millisecond of media, when the payload has a constant
    /// bit rate (8 for G.711 and G.722).  When set, the buffer measures the rate
    /// at which the sender's timestamps really advance and plays by that rate: some
    /// peers stamp G.722 with a 16 kHz clock although RFC 3551 says 8 kHz.  0 = off.
    double payloadBytesPerMs = 0;
    /// Memory bound: the oldest packet is dropped when more than this are held.
    std::size_t maxPackets = 2000;
};

/// A packet taken out of the buffer at its playout time.
struct MediaFrame
{
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint8_t payloadType = 0;
    bool marker = false;
    /// Packets missing (lost, or too late) right before this one.
    uint32_t lostBefore = 0;
    std::vector<uint8_t> payload;
    std::chrono::steady_clock::time_point arrival;
    std::chrono::steady_clock::time_point playout;
};

/// Counters and the current state of a jitter buffer.
struct JitterStatistics
{
    uint64_t queued = 0;
    uint64_t played = 0;
    uint64_t duplicates = 0;
    uint64_t late = 0;          ///< arrived after their place was played, or stale
    uint64_t lostAtPlayout = 0; ///< sequence numbers never played
    uint64_t overflows = 0;     ///< dropped because the buffer was full
    uint64_t resyncs = 0;
    std::size_t held = 0;
    double targetDelayMs = 0;
    double lastAddedDelayMs = 0; ///< playout minus arrival of the last frame played
    double meanAddedDelayMs = 0;
    double ticksPerMs = 0; ///< timestamp rate in use
};

/// Adaptive jitter buffer.  Packets are ordered by sequence number and played at
/// their media time (RTP timestamp) plus the smallest transit seen recently plus a
/// target delay.  The target sits at the minimum delay on a clean path and grows
/// (up to the maximum) with the measured jitter and after late packets.
///
/// Thread-safe: `push` is called by the receive thread, `pop` by the reader;
/// one mutex guards all members.
class JitterBuffer
{
public:
    using Clock = std::chrono::steady_clock;
    enum class PushResult
    {
        Queued,
        Duplicate,
        Late,
        Overflow, ///< queued, but the oldest packet was dropped to make room
    };

    explicit JitterBuffer(JitterConfig config = {});

    /// Changes the delay bounds (the manager sets them per call); min is raised to
    /// max when given the other way round.
    void setDelayBounds(std::chrono::milliseconds minDelay, std::chrono::milliseconds maxDelay);
    void setPayloadBytesPerMs(double bytesPerMs);
    void setClockRate(uint32_t clockRate);

    PushResult push(const RtpPacketView& packet, Clock::time_point arrival);

    /// The next packet in sequence order if its playout time has come.  Packets
    /// more than the maximum delay past their playout time are dropped as late.
    std::optional<MediaFrame> pop(Clock::time_point now);

    /// When the first held packet is due, if any.
    std::optional<Clock::time_point> nextPlayout() const;

    /// Forgets every packet and the timing (new source, new SSRC).
    void reset();

    JitterStatistics statistics() const;

private:
    struct Entry
    {
        MediaFrame frame;
        int64_t extendedTimestamp = 0;
    };

    double msSinceOrigin(Clock::time_point t) const;
    double playoutMs(int64_t extendedTimestamp) const;
    void updateTransit(double transit, double arrivalMs);
    void detectRate(int64_t extendedSequence, int64_t extendedTimestamp, std::size_t payloadSize);
    void resetTimingLocked();

    mutable std::mutex mutex_;
    JitterConfig config_;
    std::map<int64_t, Entry> packets_;
    JitterStatistics stats_;

    bool started_ = false;
    Clock::time_point origin_;
    int64_t highestSequence_ = 0;
    int64_t lastTimestamp_ = 0;
    std::optional<int64_t> lastPlayed_;
    uint64_t playedHistory_ = 0; ///< bit i set: sequence lastPlayed_ - i was played

    double ticksPerMs_ = 8;
    // Transit (arrival minus media time) minimum over the current and previous
    // two-second windows: the base of the playout clock.
    bool haveTransit_ = false;
    double windowStartMs_ = 0;
    double currentMin_ = 0;
    double previousMin_ = 0;
    double lastTransit_ = 0;
    double jitterMs_ = 0;
    double lateExtraMs_ = 0;
    double lastDecayMs_ = 0;
    double addedDelaySum_ = 0;

    // Rate detection: the previous packet in arrival order and the votes.
    bool haveRatePrevious_ = false;
    int64_t ratePreviousSequence_ = 0;
    int64_t ratePreviousTimestamp_ = 0;
    std::size_t ratePreviousSize_ = 0;
    double rateCandidate_ = 0;
    int rateVotes_ = 0;
};

} // namespace voip::rtp
