// libFuzzer target: a datagram as it arrives on an RTP session's ports, read as compound
// RTCP (reports, CNAMEs, BYEs, NACKs, path estimates) and as RTP.  What reads must stay
// within its bounds and write back to the same values; the reports then steer a rate
// adapter, which must keep a sane rate whatever they say.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fuzz/fuzzcheck.h"
#include "voip/rtp/rateadapter.h"
#include "voip/rtp/rtcp.h"
#include "voip/rtp/rtppacket.h"

using kxfuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace voip::rtp;
    const std::span<const std::uint8_t> input(data, size);

    RtpPacketView packet;
    if (parseRtp(input, packet) == PacketError::None) {
        check(packet.payload.data() >= data &&
              packet.payload.data() + packet.payload.size() <= data + size);
        std::vector<std::uint8_t> again;
        buildRtp(
            {packet.payloadType, packet.marker, packet.sequence, packet.timestamp, packet.ssrc},
            packet.payload, again);
        RtpPacketView reread;
        check(parseRtp(again, reread) == PacketError::None);
        check(reread.sequence == packet.sequence && reread.ssrc == packet.ssrc &&
              reread.payload.size() == packet.payload.size());
    }

    RtcpCompound compound;
    if (parseRtcp(input, compound) != RtcpError::None)
        return 0;
    std::size_t nacked = 0;
    for (const auto& nack : compound.nacks)
        nacked += nack.sequences.size();
    check(nacked <= MaxNackedPerPacket);
    // Each estimate writes back to the same rate and sources.
    for (const auto& estimate : compound.estimates) {
        check(estimate.ssrcs.size() <= 255);
        if (estimate.bitRate >= (std::uint64_t(1) << 46))
            continue;
        std::vector<std::uint8_t> written;
        appendReceiverReport(written, 1, {});
        appendPathEstimate(written, 1, estimate.bitRate, estimate.ssrcs);
        RtcpCompound reread;
        check(parseRtcp(written, reread) == RtcpError::None);
        check(reread.estimates.size() == 1 && reread.estimates[0].bitRate == estimate.bitRate &&
              reread.estimates[0].ssrcs == estimate.ssrcs);
    }
    // Whatever the reports say, the rate stays between the floor and the ceiling.
    RateAdapter adapter(1'000'000);
    auto now = RateAdapter::Clock::time_point() + std::chrono::seconds(100);
    for (const auto& report : compound.reports)
        for (const auto& block : report.blocks) {
            now += std::chrono::milliseconds(block.jitter % 2000);
            adapter.onReport({block.fractionLost / 256.0, double(block.delaySinceLastSenderReport),
                              double(block.lastSenderReport), (block.ssrc & 1) != 0,
                              block.extendedHighestSequence},
                             now);
            check(adapter.rate() >= RateAdapter::Floor && adapter.rate() <= 1'000'000);
        }
    return 0;
}
