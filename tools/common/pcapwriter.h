#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/packet.h"

namespace kx::capture {

/// Builds a pcap file (Ethernet link type, microsecond timestamps) from application
/// payloads, with IPv4 or IPv6, TCP or UDP headers whose lengths, sequence numbers and
/// checksums are correct, so that Wireshark's dissectors read it as real traffic.
///
/// The first payload between two TCP endpoints is preceded by a three-way handshake;
/// payloads larger than the segment size are cut into several segments.
class PcapWriter
{
public:
    explicit PcapWriter(std::size_t segmentSize = 1400);

    /// Appends the segments that carry `payload` from `from` to `to`.  Returns the number
    /// of the last frame written (frames are numbered from 1).
    std::uint64_t addTcp(const Endpoint& from, const Endpoint& to,
                         std::span<const std::uint8_t> payload);
    /// Appends one UDP datagram (at most 65507 payload octets; longer ones are cut).
    std::uint64_t addUdp(const Endpoint& from, const Endpoint& to,
                         std::span<const std::uint8_t> payload);

    std::uint64_t frameCount() const { return frames_; }
    const std::vector<std::uint8_t>& bytes() const { return file_; }
    /// Writes the file; returns false with a message when it cannot be written.
    bool save(const std::string& path, std::string* error = nullptr) const;

private:
    struct TcpState
    {
        std::uint32_t next = 0;
    };
    void addFrame(const Endpoint& from, const Endpoint& to, std::uint8_t protocol,
                  std::span<const std::uint8_t> transport);
    void addTcpSegment(const Endpoint& from, const Endpoint& to, std::uint8_t flags,
                       std::span<const std::uint8_t> payload);

    std::size_t segmentSize_;
    std::vector<std::uint8_t> file_;
    std::uint64_t frames_ = 0;
    std::uint64_t clockMicros_ = 1'700'000'000ull * 1'000'000ull;
    std::uint16_t ipId_ = 1;
    std::map<std::pair<Endpoint, Endpoint>, TcpState> tcp_;
};

} // namespace kx::capture
