#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kx::capture {

/// Link-layer header types (www.tcpdump.org/linktypes.html) the packet reader knows.
namespace linktype {
inline constexpr std::uint32_t Null = 0; // BSD loopback, family in host order
inline constexpr std::uint32_t Ethernet = 1;
inline constexpr std::uint32_t RawAlt = 12; // DLT_RAW on most systems
inline constexpr std::uint32_t Raw = 101;
inline constexpr std::uint32_t Loop = 108; // OpenBSD loopback, family in network order
inline constexpr std::uint32_t LinuxSll = 113;
inline constexpr std::uint32_t Ipv4 = 228;
inline constexpr std::uint32_t Ipv6 = 229;
inline constexpr std::uint32_t LinuxSll2 = 276;
} // namespace linktype

/// One captured packet as the file holds it.
struct Frame
{
    std::uint64_t number = 0; ///< 1-based, in file order, as Wireshark numbers frames
    std::uint32_t linkType = linktype::Ethernet;
    std::int64_t timestampNs = 0;
    std::uint32_t originalLength = 0;
    std::vector<std::uint8_t> data;
};

/// What reading a capture gave: every frame read before any fault, and the fault.
struct CaptureContents
{
    std::vector<Frame> frames;
    /// Set when the file is not a capture or is corrupt; frames then holds what came before.
    std::optional<std::string> error;
};

/// The largest captured length accepted for one packet (libpcap's own maximum snapshot).
inline constexpr std::uint32_t kMaxFrameSize = 262144;
/// The largest pcapng block accepted.
inline constexpr std::uint32_t kMaxBlockSize = 16 * 1024 * 1024;

/// Reads a pcap (either byte order, microsecond or nanosecond timestamps) or pcapng
/// (section header, interface description, enhanced, simple and obsolete packet blocks, in
/// either byte order, sections may change byte order) capture from memory.  Every length
/// is checked against the input and the limits above: a corrupt capture ends with an error,
/// never reads outside the buffer.
CaptureContents readCapture(std::span<const std::uint8_t> bytes);

/// Reads a capture file from disk; a file that cannot be read gives an error.
CaptureContents readCaptureFile(const std::string& path);

} // namespace kx::capture
