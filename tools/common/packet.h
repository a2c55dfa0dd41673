#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <span>
#include <string>

namespace kx::capture {

/// An IPv4 or IPv6 address as the packet carried it.
struct Address
{
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{}; ///< IPv4 uses the first four

    static Address ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
    /// Parses "10.0.0.1" or an IPv6 text ("::1", "fe80::2"); false when it is neither.
    static bool parse(const std::string& text, Address& out);
    std::string toString() const;
    auto operator<=>(const Address&) const = default;
};

/// An address and a port; prints as "10.0.0.1:1720" or "[::1]:1720".
struct Endpoint
{
    Address address;
    std::uint16_t port = 0;

    std::string toString() const;
    auto operator<=>(const Endpoint&) const = default;
};

enum class Transport
{
    Tcp,
    Udp,
};

/// TCP flag bits.
namespace tcpflag {
inline constexpr std::uint8_t Fin = 0x01;
inline constexpr std::uint8_t Syn = 0x02;
inline constexpr std::uint8_t Rst = 0x04;
inline constexpr std::uint8_t Psh = 0x08;
inline constexpr std::uint8_t Ack = 0x10;
} // namespace tcpflag

/// The transport-level view of one frame.  payload points into the frame's data.
struct Packet
{
    Transport transport = Transport::Tcp;
    Endpoint source;
    Endpoint destination;
    std::uint32_t sequence = 0; ///< TCP only
    std::uint32_t acknowledgement = 0;
    std::uint8_t flags = 0;
    std::span<const std::uint8_t> payload;
    /// The capture kept fewer octets than the packet had (snapshot length).
    bool truncated = false;
};

/// What parsePacket found.
struct ParsedPacket
{
    enum class Kind
    {
        Packet,    ///< a TCP segment or UDP datagram: `packet` is set
        Ignored,   ///< something else (ARP, ICMP, a later IP fragment, ...): `reason` says what
        Malformed, ///< a header that contradicts itself or runs past the data: `reason`
    };
    Kind kind = Kind::Ignored;
    Packet packet;
    std::string reason;
};

/// Walks the link layer (Ethernet with VLAN tags, Linux cooked SLL and SLL2, raw IP,
/// BSD/OpenBSD loopback), IPv4 or IPv6 (extension headers skipped) and TCP or UDP headers.
/// Lengths are checked against the frame; nothing is read outside `frame`.
ParsedPacket parsePacket(std::uint32_t linkType, std::span<const std::uint8_t> frame);

} // namespace kx::capture
