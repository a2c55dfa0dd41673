#include "voip/rtp/rtcp.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "voip/base/byteorder.h"

namespace voip::rtp {

namespace {

constexpr uint8_t SenderReportType = 200;
constexpr uint8_t ReceiverReportType = 201;
constexpr uint8_t SdesType = 202;
constexpr uint8_t ByeType = 203;
constexpr uint8_t TransportFeedbackType = 205; ///< RFC 4585 RTPFB
constexpr uint8_t GenericNackFormat = 1;
constexpr uint8_t PayloadFeedbackType = 206; ///< RFC 4585 PSFB
constexpr uint8_t ApplicationFeedbackFormat = 15;
constexpr uint8_t PathEstimateName[] = {'R', 'E', 'M', 'B'};
constexpr uint8_t CnameItem = 1;

/// Writes the common header; the length is patched by finishPacket.
std::size_t startPacket(std::vector<uint8_t>& out, uint8_t count, uint8_t type)
{
    const std::size_t start = out.size();
    out.push_back(static_cast<uint8_t>(0x80 | (count & 0x1f)));
    out.push_back(type);
    put16(out, 0);
    return start;
}

void finishPacket(std::vector<uint8_t>& out, std::size_t start)
{
    while ((out.size() - start) % 4 != 0)
        out.push_back(0);
    const auto words = static_cast<uint16_t>((out.size() - start) / 4 - 1);
    out[start + 2] = static_cast<uint8_t>(words >> 8);
    out[start + 3] = static_cast<uint8_t>(words);
}

void putBlocks(std::vector<uint8_t>& out, std::span<const ReportBlock> blocks)
{
    for (const auto& b : blocks) {
        put32(out, b.ssrc);
        const int32_t lost = std::clamp(b.cumulativeLost, -0x800000, 0x7fffff);
        put32(out, static_cast<uint32_t>(b.fractionLost) << 24 |
                       (static_cast<uint32_t>(lost) & 0xffffff));
        put32(out, b.extendedHighestSequence);
        put32(out, b.jitter);
        put32(out, b.lastSenderReport);
        put32(out, b.delaySinceLastSenderReport);
    }
}

bool readBlocks(const uint8_t* p, std::size_t size, unsigned count,
                std::vector<ReportBlock>& blocks)
{
    if (size < 24u * count)
        return false;
    for (unsigned i = 0; i < count; ++i, p += 24) {
        ReportBlock b;
        b.ssrc = read32(p);
        b.fractionLost = p[4];
        uint32_t lost = read32(p + 4) & 0xffffff;
        if (lost & 0x800000)
            lost |= 0xff000000u;
        b.cumulativeLost = static_cast<int32_t>(lost);
        b.extendedHighestSequence = read32(p + 8);
        b.jitter = read32(p + 12);
        b.lastSenderReport = read32(p + 16);
        b.delaySinceLastSenderReport = read32(p + 20);
        blocks.push_back(b);
    }
    return true;
}

/// RFC 3550 6.5: chunks of SSRC + items, each chunk ends with a null item and
/// is padded to a 32-bit boundary.
bool readSdes(const uint8_t* p, std::size_t size, unsigned count, RtcpCompound& compound)
{
    std::size_t pos = 0;
    for (unsigned chunk = 0; chunk < count; ++chunk) {
        if (pos + 4 > size)
            return false;
        const uint32_t ssrc = read32(p + pos);
        pos += 4;
        for (;;) {
            if (pos >= size)
                return false;
            const uint8_t type = p[pos];
            if (type == 0) {
                pos = (pos + 4) & ~std::size_t{3};
                break;
            }
            if (pos + 2 > size || pos + 2 + p[pos + 1] > size)
                return false;
            const uint8_t length = p[pos + 1];
            if (type == CnameItem)
                compound.cnames.emplace_back(
                    ssrc, std::string(reinterpret_cast<const char*>(p + pos + 2), length));
            pos += 2 + length;
        }
    }
    return true;
}

} // namespace

RtcpError parseRtcp(std::span<const uint8_t> datagram, RtcpCompound& compound)
{
    compound = {};
    if (datagram.size() < 4)
        return RtcpError::TooShort;
    std::size_t pos = 0;
    bool first = true;
    while (pos < datagram.size()) {
        if (datagram.size() - pos < 4)
            return RtcpError::TooShort;
        const uint8_t* p = datagram.data() + pos;
        if ((p[0] >> 6) != 2)
            return RtcpError::BadVersion;
        const std::size_t length = 4 * (std::size_t{read16(p + 2)} + 1);
        if (length > datagram.size() - pos)
            return RtcpError::LengthBeyondPacket;
        const bool padded = p[0] & 0x20;
        const bool last = pos + length == datagram.size();
        if (padded && !last)
            return RtcpError::PaddingNotLast;
        std::size_t bodySize = length - 4;
        if (padded) {
            const std::size_t padding = p[length - 1];
            if (padding == 0 || padding > bodySize)
                return RtcpError::LengthBeyondPacket;
            bodySize -= padding;
        }
        const uint8_t type = p[1];
        const unsigned count = p[0] & 0x1f;
        if (first && type != SenderReportType && type != ReceiverReportType)
            return RtcpError::BadFirstPacket;
        first = false;
        const uint8_t* body = p + 4;

        switch (type) {
        case SenderReportType: {
            if (bodySize < 24)
                return RtcpError::CountBeyondLength;
            Report report;
            report.ssrc = read32(body);
            SenderInfo info;
            info.ntpTimestamp = static_cast<uint64_t>(read32(body + 4)) << 32 | read32(body + 8);
            info.rtpTimestamp = read32(body + 12);
            info.packetCount = read32(body + 16);
            info.octetCount = read32(body + 20);
            report.sender = info;
            if (!readBlocks(body + 24, bodySize - 24, count, report.blocks))
                return RtcpError::CountBeyondLength;
            compound.reports.push_back(std::move(report));
            break;
        }
        case ReceiverReportType: {
            if (bodySize < 4)
                return RtcpError::CountBeyondLength;
            Report report;
            report.ssrc = read32(body);
            if (!readBlocks(body + 4, bodySize - 4, count, report.blocks))
                return RtcpError::CountBeyondLength;
            compound.reports.push_back(std::move(report));
            break;
        }
        case SdesType:
            if (!readSdes(body, bodySize, count, compound))
                return RtcpError::CountBeyondLength;
            break;
        case ByeType:
            if (bodySize < 4u * count)
                return RtcpError::CountBeyondLength;
            for (unsigned i = 0; i < count; ++i)
                compound.byes.push_back(read32(body + 4 * i));
            break;
        case TransportFeedbackType: {
            if (count != GenericNackFormat)
                break;
            if (bodySize < 8)
                return RtcpError::CountBeyondLength;
            Nack nack;
            nack.mediaSsrc = read32(body + 4);
            std::size_t taken = 0;
            for (const auto& other : compound.nacks)
                taken += other.sequences.size();
            for (std::size_t at = 8; at + 4 <= bodySize; at += 4) {
                const uint16_t first = read16(body + at);
                const uint16_t following = read16(body + at + 2);
                for (unsigned bit = 0; bit <= 16; ++bit) {
                    if (bit > 0 && !(following & (1u << (bit - 1))))
                        continue;
                    if (taken++ >= MaxNackedPerPacket)
                        break;
                    nack.sequences.push_back(uint16_t(first + bit));
                }
            }
            compound.nacks.push_back(std::move(nack));
            break;
        }
        case PayloadFeedbackType: {
            // Sender and media SSRCs, the name, then the count of SSRCs, the exponent
            // (6 bits) and the mantissa (18 bits), then the SSRCs.
            if (count != ApplicationFeedbackFormat || bodySize < 16 ||
                !std::equal(std::begin(PathEstimateName), std::end(PathEstimateName), body + 8))
                break;
            const unsigned ssrcs = body[12];
            if (bodySize < 16 + 4u * ssrcs)
                return RtcpError::CountBeyondLength;
            const unsigned exponent = body[13] >> 2;
            const uint64_t mantissa = uint64_t(body[13] & 0x03) << 16 | read16(body + 14);
            PathEstimate estimate;
            // Past 2^46 no rate is real: taken as no limit at all.
            estimate.bitRate = exponent > 46 ? UINT64_MAX : mantissa << exponent;
            for (unsigned i = 0; i < ssrcs; ++i)
                estimate.ssrcs.push_back(read32(body + 16 + 4 * i));
            compound.estimates.push_back(std::move(estimate));
            break;
        }
        default:
            break;
        }
        pos += length;
    }
    return RtcpError::None;
}

void appendSenderReport(std::vector<uint8_t>& out, uint32_t ssrc, const SenderInfo& info,
                        std::span<const ReportBlock> blocks)
{
    blocks = blocks.first(std::min<std::size_t>(blocks.size(), 31));
    const std::size_t start =
        startPacket(out, static_cast<uint8_t>(blocks.size()), SenderReportType);
    put32(out, ssrc);
    put32(out, static_cast<uint32_t>(info.ntpTimestamp >> 32));
    put32(out, static_cast<uint32_t>(info.ntpTimestamp));
    put32(out, info.rtpTimestamp);
    put32(out, info.packetCount);
    put32(out, info.octetCount);
    putBlocks(out, blocks);
    finishPacket(out, start);
}

void appendReceiverReport(std::vector<uint8_t>& out, uint32_t ssrc,
                          std::span<const ReportBlock> blocks)
{
    blocks = blocks.first(std::min<std::size_t>(blocks.size(), 31));
    const std::size_t start =
        startPacket(out, static_cast<uint8_t>(blocks.size()), ReceiverReportType);
    put32(out, ssrc);
    putBlocks(out, blocks);
    finishPacket(out, start);
}

void appendSdesCname(std::vector<uint8_t>& out, uint32_t ssrc, std::string_view cname)
{
    cname = cname.substr(0, 255);
    const std::size_t start = startPacket(out, 1, SdesType);
    put32(out, ssrc);
    out.push_back(CnameItem);
    out.push_back(static_cast<uint8_t>(cname.size()));
    out.insert(out.end(), cname.begin(), cname.end());
    // The null item that ends the chunk, then padding to a word boundary.
    out.push_back(0);
    finishPacket(out, start);
}

void appendBye(std::vector<uint8_t>& out, uint32_t ssrc)
{
    const std::size_t start = startPacket(out, 1, ByeType);
    put32(out, ssrc);
    finishPacket(out, start);
}

void appendNack(std::vector<uint8_t>& out, uint32_t ssrc, uint32_t mediaSsrc,
                std::span<const uint16_t> sequences)
{
    const std::size_t start = startPacket(out, GenericNackFormat, TransportFeedbackType);
    put32(out, ssrc);
    put32(out, mediaSsrc);
    for (std::size_t i = 0; i < sequences.size();) {
        const uint16_t first = sequences[i++];
        uint16_t following = 0;
        while (i < sequences.size()) {
            const auto after = uint16_t(sequences[i] - first);
            if (after == 0 || after > 16)
                break;
            following |= uint16_t(1u << (after - 1));
            ++i;
        }
        put16(out, first);
        put16(out, following);
    }
    finishPacket(out, start);
}

void appendPathEstimate(std::vector<uint8_t>& out, uint32_t ssrc, uint64_t bitRate,
                        std::span<const uint32_t> ssrcs)
{
    ssrcs = ssrcs.first(std::min<std::size_t>(ssrcs.size(), 255));
    unsigned exponent = 0;
    while (bitRate >= (1u << 18)) {
        bitRate >>= 1;
        ++exponent;
    }
    const std::size_t start = startPacket(out, ApplicationFeedbackFormat, PayloadFeedbackType);
    put32(out, ssrc);
    put32(out, 0); // no media source of its own
    out.insert(out.end(), std::begin(PathEstimateName), std::end(PathEstimateName));
    out.push_back(static_cast<uint8_t>(ssrcs.size()));
    out.push_back(static_cast<uint8_t>(exponent << 2 | bitRate >> 16));
    put16(out, static_cast<uint16_t>(bitRate));
    for (const uint32_t each : ssrcs)
        put32(out, each);
    finishPacket(out, start);
}

const char* toString(RtcpError error)
{
    switch (error) {
    case RtcpError::None:
        return "ok";
    case RtcpError::TooShort:
        return "too short";
    case RtcpError::BadVersion:
        return "wrong version";
    case RtcpError::LengthBeyondPacket:
        return "length beyond packet";
    case RtcpError::BadFirstPacket:
        return "compound does not start with a report";
    case RtcpError::PaddingNotLast:
        return "padding before the last packet";
    case RtcpError::CountBeyondLength:
        return "count beyond length";
    }
    return "?";
}

} // namespace voip::rtp
