#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace voip::rtp {

/// Why a received datagram was not accepted as an RTP packet.
enum class PacketError
{
    None,
    TooShort,              ///< fewer than the 12 fixed header bytes
    BadVersion,            ///< version field is not 2
    CsrcBeyondPacket,      ///< the CSRC list runs past the end of the datagram
    ExtensionBeyondPacket, ///< the header extension runs past the end of the datagram
    PaddingBeyondPacket,   ///< the padding count is zero or larger than what is left
};

/// A parsed RTP packet.  `payload` points into the datagram it was parsed from.
struct RtpPacketView
{
    uint8_t payloadType = 0;
    bool marker = false;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    uint8_t csrcCount = 0;
    std::span<const uint8_t> payload;
};

/// Checks and parses one RTP datagram (RFC 3550 5.1 and A.1).  Every length is
/// compared with the datagram's size before it is used.
PacketError parseRtp(std::span<const uint8_t> datagram, RtpPacketView& packet);

/// Fields of an RTP packet we send (no CSRC list, no extension, no padding).
struct RtpHeader
{
    uint8_t payloadType = 0;
    bool marker = false;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
};

constexpr std::size_t RtpHeaderSize = 12;

/// Writes the 12-byte header and the payload into `out` (replacing its content).
void buildRtp(const RtpHeader& header, std::span<const uint8_t> payload, std::vector<uint8_t>& out);

/// Short name of a parse error, for traces.
const char* toString(PacketError error);

} // namespace voip::rtp
