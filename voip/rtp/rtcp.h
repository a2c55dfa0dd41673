#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace voip::rtp {

/// RFC 3550 6.4.1 sender information.
struct SenderInfo
{
    uint64_t ntpTimestamp = 0; ///< 32.32 fixed point seconds since 1900
    uint32_t rtpTimestamp = 0;
    uint32_t packetCount = 0;
    uint32_t octetCount = 0;
};

/// RFC 3550 6.4.1 reception report block.
struct ReportBlock
{
    uint32_t ssrc = 0;
    uint8_t fractionLost = 0;
    int32_t cumulativeLost = 0; ///< 24-bit signed on the wire
    uint32_t extendedHighestSequence = 0;
    uint32_t jitter = 0; ///< in timestamp units
    uint32_t lastSenderReport = 0;
    uint32_t delaySinceLastSenderReport = 0; ///< in 1/65536 s
};

/// A sender report (with `sender`) or a receiver report (without).
struct Report
{
    uint32_t ssrc = 0;
    std::optional<SenderInfo> sender;
    std::vector<ReportBlock> blocks;
};

/// RFC 4585 6.2.1 generic NACK: packets of `mediaSsrc` a receiver asks to be sent again.
struct Nack
{
    uint32_t mediaSsrc = 0;
    std::vector<uint16_t> sequences;
};

/// A receiver's estimate of the most the path to it carries (bit/s), for the streams of
/// `ssrcs`: the payload-specific feedback many video senders take ("REMB").
struct PathEstimate
{
    uint64_t bitRate = 0;
    std::vector<uint32_t> ssrcs;
};

/// What we read from one compound RTCP packet.
struct RtcpCompound
{
    std::vector<Report> reports;
    std::vector<std::pair<uint32_t, std::string>> cnames;
    std::vector<uint32_t> byes;
    std::vector<Nack> nacks;
    std::vector<PathEstimate> estimates;
};

/// The most sequence numbers read from the NACKs of one compound packet; more are ignored.
inline constexpr std::size_t MaxNackedPerPacket = 256;

enum class RtcpError
{
    None,
    TooShort,
    BadVersion,
    LengthBeyondPacket,
    BadFirstPacket, ///< RFC 3550 A.2: a compound packet starts with an SR or RR
    PaddingNotLast, ///< only the last packet of a compound may be padded
    CountBeyondLength,
};

/// Checks a compound RTCP packet (RFC 3550 A.2) and reads its reports, CNAMEs, BYEs,
/// generic NACKs and path estimates.  Unknown packet types (APP, XR, other feedback) are
/// skipped by their length.
RtcpError parseRtcp(std::span<const uint8_t> datagram, RtcpCompound& compound);

/// Appends RTCP packets to a compound packet under construction.
void appendSenderReport(std::vector<uint8_t>& out, uint32_t ssrc, const SenderInfo& info,
                        std::span<const ReportBlock> blocks);
void appendReceiverReport(std::vector<uint8_t>& out, uint32_t ssrc,
                          std::span<const ReportBlock> blocks);
/// CNAMEs longer than 255 bytes are cut (the SDES item length is one octet).
void appendSdesCname(std::vector<uint8_t>& out, uint32_t ssrc, std::string_view cname);
void appendBye(std::vector<uint8_t>& out, uint32_t ssrc);
/// A generic NACK from `ssrc` for `sequences` of `mediaSsrc` (each entry covers a number
/// and the sixteen after it).
void appendNack(std::vector<uint8_t>& out, uint32_t ssrc, uint32_t mediaSsrc,
                std::span<const uint16_t> sequences);

/// A path estimate from `ssrc`; the rate is kept to 18 significant bits, rounded down.
void appendPathEstimate(std::vector<uint8_t>& out, uint32_t ssrc, uint64_t bitRate,
                        std::span<const uint32_t> ssrcs);

const char* toString(RtcpError error);

} // namespace voip::rtp
