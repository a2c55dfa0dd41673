#include "tools/common/packet.h"

#include <algorithm>

#include <arpa/inet.h>

#include "tools/common/capture.h"

namespace kx::capture {
namespace {

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherIpv6 = 0x86dd;
constexpr std::uint16_t kEtherVlan = 0x8100;
constexpr std::uint16_t kEtherQinQ = 0x88a8;
constexpr int kMaxVlanTags = 4;
constexpr int kMaxExtensionHeaders = 16;

std::uint16_t be16(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at)
{
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
           (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

ParsedPacket ignored(std::string reason)
{
    ParsedPacket out;
    out.kind = ParsedPacket::Kind::Ignored;
    out.reason = std::move(reason);
    return out;
}

ParsedPacket malformed(std::string reason)
{
    ParsedPacket out;
    out.kind = ParsedPacket::Kind::Malformed;
    out.reason = std::move(reason);
    return out;
}

ParsedPacket parseTransport(std::uint8_t protocol, const Address& source,
                            const Address& destination, std::span<const std::uint8_t> data,
                            bool truncated)
{
    ParsedPacket out;
    out.kind = ParsedPacket::Kind::Packet;
    Packet& p = out.packet;
    p.source.address = source;
    p.destination.address = destination;
    p.truncated = truncated;
    if (protocol == 6) {
        if (data.size() < 20)
            return malformed("TCP header is truncated");
        const std::size_t headerLength = std::size_t{static_cast<std::uint8_t>(data[12] >> 4)} * 4;
        if (headerLength < 20 || headerLength > data.size())
            return malformed("TCP header length " + std::to_string(headerLength) + " is invalid");
        p.transport = Transport::Tcp;
        p.source.port = be16(data, 0);
        p.destination.port = be16(data, 2);
        p.sequence = be32(data, 4);
        p.acknowledgement = be32(data, 8);
        p.flags = data[13];
        p.payload = data.subspan(headerLength);
        return out;
    }
    if (protocol == 17) {
        if (data.size() < 8)
            return malformed("UDP header is truncated");
        const std::size_t length = be16(data, 4);
        if (length < 8)
            return malformed("UDP length " + std::to_string(length) +
                             " is shorter than its header");
        p.transport = Transport::Udp;
        p.source.port = be16(data, 0);
        p.destination.port = be16(data, 2);
        if (length > data.size()) {
            if (!truncated)
                return malformed("UDP length runs past the IP payload");
            p.payload = data.subspan(8);
        } else {
            p.payload = data.subspan(8, length - 8);
        }
        return out;
    }
    return ignored("IP protocol " + std::to_string(protocol));
}

ParsedPacket parseIpv4(std::span<const std::uint8_t> data)
{
    if (data.size() < 20)
        return malformed("IPv4 header is truncated");
    if ((data[0] >> 4) != 4)
        return malformed("IPv4 header with version " + std::to_string(data[0] >> 4));
    const std::size_t headerLength = std::size_t{static_cast<std::uint8_t>(data[0] & 0x0f)} * 4;
    const std::size_t total = be16(data, 2);
    if (headerLength < 20 || headerLength > data.size() || total < headerLength)
        return malformed("IPv4 header lengths are invalid");
    bool truncated = false;
    std::span<const std::uint8_t> packet = data;
    if (total <= data.size())
        packet = data.first(total); // drops Ethernet padding
    else
        truncated = true;
    const std::uint16_t fragment = be16(data, 6);
    if ((fragment & 0x1fff) != 0 || (fragment & 0x2000) != 0)
        return ignored("IPv4 fragment (not reassembled)");
    Address source, destination;
    std::copy_n(data.begin() + 12, 4, source.bytes.begin());
    std::copy_n(data.begin() + 16, 4, destination.bytes.begin());
    return parseTransport(data[9], source, destination, packet.subspan(headerLength), truncated);
}

ParsedPacket parseIpv6(std::span<const std::uint8_t> data)
{
    if (data.size() < 40)
        return malformed("IPv6 header is truncated");
    if ((data[0] >> 4) != 6)
        return malformed("IPv6 header with version " + std::to_string(data[0] >> 4));
    const std::size_t payloadLength = be16(data, 4);
    bool truncated = false;
    std::span<const std::uint8_t> payload = data.subspan(40);
    if (payloadLength <= payload.size())
        payload = payload.first(payloadLength);
    else
        truncated = true;
    Address source, destination;
    source.v6 = destination.v6 = true;
    std::copy_n(data.begin() + 8, 16, source.bytes.begin());
    std::copy_n(data.begin() + 24, 16, destination.bytes.begin());
    std::uint8_t next = data[6];
    for (int count = 0;; ++count) {
        if (count > kMaxExtensionHeaders)
            return malformed("too many IPv6 extension headers");
        std::size_t length = 0;
        switch (next) {
        case 0:  // hop-by-hop options
        case 43: // routing
        case 60: // destination options
            if (payload.size() < 8)
                return malformed("IPv6 extension header is truncated");
            length = (std::size_t{payload[1]} + 1) * 8;
            break;
        case 44: // fragment
            if (payload.size() < 8)
                return malformed("IPv6 fragment header is truncated");
            if ((be16(payload, 2) & 0xfff9) != 0)
                return ignored("IPv6 fragment (not reassembled)");
            length = 8;
            break;
        case 51: // authentication header
            if (payload.size() < 8)
                return malformed("IPv6 authentication header is truncated");
            length = (std::size_t{payload[1]} + 2) * 4;
            break;
        default:
            return parseTransport(next, source, destination, payload, truncated);
        }
        if (length > payload.size())
            return malformed("IPv6 extension header runs past the packet");
        next = payload[0];
        payload = payload.subspan(length);
    }
}

ParsedPacket parseByEtherType(std::uint16_t type, std::span<const std::uint8_t> data)
{
    if (type == kEtherIpv4)
        return parseIpv4(data);
    if (type == kEtherIpv6)
        return parseIpv6(data);
    return ignored("ether type " + std::to_string(type));
}

ParsedPacket parseRawIp(std::span<const std::uint8_t> data)
{
    if (data.empty())
        return malformed("empty IP packet");
    const int version = data[0] >> 4;
    if (version == 4)
        return parseIpv4(data);
    if (version == 6)
        return parseIpv6(data);
    return malformed("IP version " + std::to_string(version));
}

} // namespace

Address Address::ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    Address out;
    out.bytes[0] = a;
    out.bytes[1] = b;
    out.bytes[2] = c;
    out.bytes[3] = d;
    return out;
}

bool Address::parse(const std::string& text, Address& out)
{
    Address parsed;
    if (inet_pton(AF_INET, text.c_str(), parsed.bytes.data()) == 1) {
        out = parsed;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), parsed.bytes.data()) == 1) {
        parsed.v6 = true;
        out = parsed;
        return true;
    }
    return false;
}

std::string Address::toString() const
{
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(v6 ? AF_INET6 : AF_INET, bytes.data(), text, sizeof text);
    return text;
}

std::string Endpoint::toString() const
{
    if (address.v6)
        return "[" + address.toString() + "]:" + std::to_string(port);
    return address.toString() + ":" + std::to_string(port);
}

ParsedPacket parsePacket(std::uint32_t linkType, std::span<const std::uint8_t> frame)
{
    switch (linkType) {
    case linktype::Ethernet: {
        if (frame.size() < 14)
            return malformed("Ethernet header is truncated");
        std::size_t at = 12;
        std::uint16_t type = be16(frame, at);
        for (int tags = 0; type == kEtherVlan || type == kEtherQinQ; ++tags) {
            if (tags >= kMaxVlanTags)
                return malformed("too many VLAN tags");
            at += 4;
            if (frame.size() < at + 2)
                return malformed("VLAN tag is truncated");
            type = be16(frame, at);
        }
        return parseByEtherType(type, frame.subspan(at + 2));
    }
    case linktype::LinuxSll:
        if (frame.size() < 16)
            return malformed("Linux cooked header is truncated");
        return parseByEtherType(be16(frame, 14), frame.subspan(16));
    case linktype::LinuxSll2:
        if (frame.size() < 20)
            return malformed("Linux cooked v2 header is truncated");
        return parseByEtherType(be16(frame, 0), frame.subspan(20));
    case linktype::Raw:
    case linktype::RawAlt:
        return parseRawIp(frame);
    case linktype::Ipv4:
        return parseIpv4(frame);
    case linktype::Ipv6:
        return parseIpv6(frame);
    case linktype::Null:
    case linktype::Loop: {
        if (frame.size() < 4)
            return malformed("loopback header is truncated");
        // The family is in the capturing host's order (Null) or network order (Loop); both
        // are small numbers, so either byte order is recognised by where the value sits.
        const std::uint32_t little = std::uint32_t{frame[0]} | (std::uint32_t{frame[1]} << 8) |
                                     (std::uint32_t{frame[2]} << 16) |
                                     (std::uint32_t{frame[3]} << 24);
        const std::uint32_t family = little > 0xffff ? be32(frame, 0) : little;
        if (family == 2)
            return parseIpv4(frame.subspan(4));
        if (family == 10 || family == 24 || family == 28 || family == 30)
            return parseIpv6(frame.subspan(4));
        return ignored("loopback family " + std::to_string(family));
    }
    default:
        return ignored("link type " + std::to_string(linkType));
    }
}

} // namespace kx::capture
