#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "tools/common/packet.h"

namespace kx::capture {

/// One direction of a TCP connection: source endpoint to destination endpoint.
struct FlowKey
{
    Endpoint source;
    Endpoint destination;
    auto operator<=>(const FlowKey&) const = default;
};

/// Bytes that became contiguous in one direction after a segment arrived.
struct StreamData
{
    FlowKey flow;
    std::vector<std::uint8_t> bytes;
    /// Octets that were never seen and were skipped before `bytes` (0 when none).
    std::uint64_t skipped = 0;
};

/// Puts TCP segments back in order, per direction, by sequence number.
///
/// The SYN (or, without one, the first segment with data) fixes where a direction starts.
/// Retransmitted and overlapping bytes are delivered once; a segment that arrives ahead of a gap is
/// held until the gap fills.  The held data is bounded: when more than maxHeldBytes or
/// maxHeldSegments wait, the gap is given up and reported through `skipped`.
class TcpReassembler
{
public:
    explicit TcpReassembler(std::size_t maxHeldBytes = 1 << 20, std::size_t maxHeldSegments = 1024);

    /// Takes one TCP packet; returns the bytes it made contiguous: usually one piece
    /// (empty when nothing became contiguous), more when a gap had to be given up.
    std::vector<StreamData> add(const Packet& packet);

    /// Gives up the first gap of one direction (a segment that was never captured) and
    /// returns what was held behind it; nothing when that direction has no gap.
    std::vector<StreamData> skipGap(const FlowKey& flow);

    /// Gives up every gap still open and returns what was held behind them, in order.
    std::vector<StreamData> flush();

    std::size_t flowCount() const { return flows_.size(); }

private:
    struct Direction
    {
        bool started = false;
        std::uint32_t start = 0;     ///< sequence number of the first stream octet
        std::uint64_t delivered = 0; ///< stream octets delivered or skipped so far
        std::map<std::uint64_t, std::vector<std::uint8_t>> held; ///< by stream offset
        std::size_t heldBytes = 0;
    };

    static void deliverHeld(Direction& direction, StreamData& out);
    static void skipToFirstHeld(Direction& direction, StreamData& out);

    std::size_t maxHeldBytes_;
    std::size_t maxHeldSegments_;
    std::map<FlowKey, Direction> flows_;
};

} // namespace kx::capture
