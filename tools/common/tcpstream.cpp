#include "tools/common/tcpstream.h"

namespace kx::capture {

TcpReassembler::TcpReassembler(std::size_t maxHeldBytes, std::size_t maxHeldSegments)
    : maxHeldBytes_(maxHeldBytes)
    , maxHeldSegments_(maxHeldSegments)
{}

std::vector<StreamData> TcpReassembler::add(const Packet& packet)
{
    std::vector<StreamData> pieces(1);
    StreamData& out = pieces.back();
    out.flow = FlowKey{packet.source, packet.destination};
    Direction& direction = flows_[out.flow];
    std::uint32_t sequence = packet.sequence;
    if (packet.flags & tcpflag::Syn) {
        // A SYN starts the stream one past its number.  The same SYN again is a
        // retransmission; one with another number is a new connection on the same ports.
        if (!direction.started || direction.start != sequence + 1) {
            direction = Direction{};
            direction.started = true;
            direction.start = sequence + 1;
        }
        ++sequence;
    } else if (!direction.started) {
        // Without the SYN, the first segment with data fixes the start: a bare
        // acknowledgement may carry the number of data that was never captured.
        if (packet.payload.empty())
            return pieces;
        direction.started = true;
        direction.start = sequence;
    }
    if (packet.payload.empty())
        return pieces;

    // Sequence numbers wrap at 2^32 (RFC 793 3.3): place the segment by its signed distance
    // from the next expected octet.
    const std::uint32_t next = direction.start + static_cast<std::uint32_t>(direction.delivered);
    const std::int64_t ahead = static_cast<std::int32_t>(sequence - next);
    const std::int64_t offset = static_cast<std::int64_t>(direction.delivered) + ahead;
    std::span<const std::uint8_t> payload = packet.payload;
    if (offset < 0) {
        // Data from before the stream start: keep only what reaches into the stream.
        const auto before = static_cast<std::uint64_t>(-offset);
        if (before >= payload.size())
            return pieces;
        payload = payload.subspan(before);
    }
    const std::uint64_t at = offset < 0 ? 0 : static_cast<std::uint64_t>(offset);
    if (at + payload.size() <= direction.delivered)
        return pieces; // a retransmission of delivered data

    auto& slot = direction.held[at];
    if (payload.size() > slot.size()) {
        direction.heldBytes += payload.size() - slot.size();
        slot.assign(payload.begin(), payload.end());
    }
    deliverHeld(direction, out);
    while (direction.heldBytes > maxHeldBytes_ || direction.held.size() > maxHeldSegments_) {
        StreamData& after = pieces.emplace_back();
        after.flow = pieces.front().flow;
        skipToFirstHeld(direction, after);
        deliverHeld(direction, after);
    }
    return pieces;
}

void TcpReassembler::deliverHeld(Direction& direction, StreamData& out)
{
    while (!direction.held.empty()) {
        auto first = direction.held.begin();
        if (first->first > direction.delivered)
            return;
        const std::vector<std::uint8_t>& bytes = first->second;
        const std::uint64_t overlap = direction.delivered - first->first;
        if (overlap < bytes.size()) {
            out.bytes.insert(out.bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(overlap),
                             bytes.end());
            direction.delivered += bytes.size() - overlap;
        }
        direction.heldBytes -= bytes.size();
        direction.held.erase(first);
    }
}

void TcpReassembler::skipToFirstHeld(Direction& direction, StreamData& out)
{
    if (direction.held.empty())
        return;
    const std::uint64_t first = direction.held.begin()->first;
    if (first > direction.delivered) {
        out.skipped += first - direction.delivered;
        direction.delivered = first;
    }
}

std::vector<StreamData> TcpReassembler::skipGap(const FlowKey& flow)
{
    std::vector<StreamData> out;
    auto it = flows_.find(flow);
    if (it == flows_.end() || it->second.held.empty())
        return out;
    StreamData& data = out.emplace_back();
    data.flow = flow;
    skipToFirstHeld(it->second, data);
    deliverHeld(it->second, data);
    return out;
}

std::vector<StreamData> TcpReassembler::flush()
{
    std::vector<StreamData> out;
    for (auto& [flow, direction] : flows_) {
        while (!direction.held.empty()) {
            StreamData data;
            data.flow = flow;
            skipToFirstHeld(direction, data);
            deliverHeld(direction, data);
            out.push_back(std::move(data));
        }
    }
    return out;
}

} // namespace kx::capture
