#include "voip/rtp/rtppacket.h"

#include <algorithm>

#include "voip/base/byteorder.h"

namespace voip::rtp {

PacketError parseRtp(std::span<const uint8_t> datagram, RtpPacketView& packet)
{
    if (datagram.size() < RtpHeaderSize)
        return PacketError::TooShort;
    const uint8_t* data = datagram.data();
    if ((data[0] >> 6) != 2)
        return PacketError::BadVersion;

    const bool hasPadding = data[0] & 0x20;
    const bool hasExtension = data[0] & 0x10;
    const uint8_t csrcCount = data[0] & 0x0f;

    std::size_t offset = RtpHeaderSize + 4u * csrcCount;
    if (offset > datagram.size())
        return PacketError::CsrcBeyondPacket;

    if (hasExtension) {
        // RFC 3550 5.3.1: 16-bit profile word, 16-bit length in 32-bit words.
        if (offset + 4 > datagram.size())
            return PacketError::ExtensionBeyondPacket;
        const std::size_t words = read16(data + offset + 2);
        offset += 4 + 4 * words;
        if (offset > datagram.size())
            return PacketError::ExtensionBeyondPacket;
    }

    std::size_t end = datagram.size();
    if (hasPadding) {
        // RFC 3550 5.1: the last octet counts the padding octets, itself included.
        const std::size_t padding = data[end - 1];
        if (padding == 0 || padding > end - offset)
            return PacketError::PaddingBeyondPacket;
        end -= padding;
    }

    packet.payloadType = data[1] & 0x7f;
    packet.marker = data[1] & 0x80;
    packet.sequence = read16(data + 2);
    packet.timestamp = read32(data + 4);
    packet.ssrc = read32(data + 8);
    packet.csrcCount = csrcCount;
    packet.payload = datagram.subspan(offset, end - offset);
    return PacketError::None;
}

void buildRtp(const RtpHeader& header, std::span<const uint8_t> payload, std::vector<uint8_t>& out)
{
    out.resize(RtpHeaderSize + payload.size());
    uint8_t* p = out.data();
    p[0] = 0x80;
    p[1] = static_cast<uint8_t>((header.marker ? 0x80 : 0) | (header.payloadType & 0x7f));
    p[2] = static_cast<uint8_t>(header.sequence >> 8);
    p[3] = static_cast<uint8_t>(header.sequence);
    for (int i = 0; i < 4; ++i) {
        p[4 + i] = static_cast<uint8_t>(header.timestamp >> (24 - 8 * i));
        p[8 + i] = static_cast<uint8_t>(header.ssrc >> (24 - 8 * i));
    }
    if (!payload.empty())
        std::copy(payload.begin(), payload.end(), p + RtpHeaderSize);
}

const char* toString(PacketError error)
{
    switch (error) {
    case PacketError::None:
        return "ok";
    case PacketError::TooShort:
        return "too short";
    case PacketError::BadVersion:
        return "wrong version";
    case PacketError::CsrcBeyondPacket:
        return "CSRC list beyond packet";
    case PacketError::ExtensionBeyondPacket:
        return "extension beyond packet";
    case PacketError::PaddingBeyondPacket:
        return "padding beyond packet";
    }
    return "?";
}

} // namespace voip::rtp
