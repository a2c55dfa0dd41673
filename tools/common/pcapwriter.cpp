#include "tools/common/pcapwriter.h"

#include <algorithm>
#include <fstream>

namespace kx::capture {
namespace {

void putBe16(std::vector<std::uint8_t>& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void putBe32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    putBe16(out, static_cast<std::uint16_t>(v >> 16));
    putBe16(out, static_cast<std::uint16_t>(v));
}

void putLe32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void putLe16(std::vector<std::uint8_t>& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

// RFC 1071 ones' complement sum, folded later.
std::uint32_t sum16(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0)
{
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2)
        sum += static_cast<std::uint32_t>((bytes[i] << 8) | bytes[i + 1]);
    if (i < bytes.size())
        sum += static_cast<std::uint32_t>(bytes[i] << 8);
    return sum;
}

std::uint16_t fold(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::span<const std::uint8_t> addressBytes(const Address& a)
{
    return std::span<const std::uint8_t>(a.bytes).first(a.v6 ? 16 : 4);
}

} // namespace

PcapWriter::PcapWriter(std::size_t segmentSize)
    : segmentSize_(segmentSize == 0 ? 1400 : std::min<std::size_t>(segmentSize, 65000))
{
    putLe32(file_, 0xa1b2c3d4);
    putLe16(file_, 2);
    putLe16(file_, 4);
    putLe32(file_, 0);      // GMT offset
    putLe32(file_, 0);      // timestamp accuracy
    putLe32(file_, 262144); // snapshot length
    putLe32(file_, 1);      // Ethernet
}

void PcapWriter::addFrame(const Endpoint& from, const Endpoint& to, std::uint8_t protocol,
                          std::span<const std::uint8_t> transport)
{
    std::vector<std::uint8_t> frame;
    frame.reserve(14 + 40 + transport.size());
    // Locally administered MAC addresses derived from nothing in particular.
    const std::uint8_t dst[6] = {0x02, 0, 0, 0, 0, 0x02};
    const std::uint8_t src[6] = {0x02, 0, 0, 0, 0, 0x01};
    frame.insert(frame.end(), dst, dst + 6);
    frame.insert(frame.end(), src, src + 6);
    const bool v6 = from.address.v6;
    putBe16(frame, v6 ? 0x86dd : 0x0800);

    // Checksum over the pseudo header (RFC 793 3.1, RFC 8200 8.1) and the segment, with the
    // checksum field (at 16 for TCP, 6 for UDP) still zero.
    std::vector<std::uint8_t> segment(transport.begin(), transport.end());
    std::uint32_t sum = sum16(addressBytes(from.address));
    sum = sum16(addressBytes(to.address), sum);
    sum += protocol;
    sum += static_cast<std::uint32_t>(segment.size() & 0xffff);
    sum += static_cast<std::uint32_t>(segment.size() >> 16);
    std::uint16_t checksum = fold(sum16(segment, sum));
    if (protocol == 17 && checksum == 0)
        checksum = 0xffff;
    const std::size_t at = protocol == 6 ? 16 : 6;
    segment[at] = static_cast<std::uint8_t>(checksum >> 8);
    segment[at + 1] = static_cast<std::uint8_t>(checksum);

    if (v6) {
        putBe32(frame, 0x60000000);
        putBe16(frame, static_cast<std::uint16_t>(segment.size()));
        frame.push_back(protocol);
        frame.push_back(64);
        auto s = addressBytes(from.address), d = addressBytes(to.address);
        frame.insert(frame.end(), s.begin(), s.end());
        frame.insert(frame.end(), d.begin(), d.end());
    } else {
        std::vector<std::uint8_t> ip;
        ip.push_back(0x45);
        ip.push_back(0);
        putBe16(ip, static_cast<std::uint16_t>(20 + segment.size()));
        putBe16(ip, ipId_++);
        putBe16(ip, 0x4000); // don't fragment
        ip.push_back(64);
        ip.push_back(protocol);
        putBe16(ip, 0);
        auto s = addressBytes(from.address), d = addressBytes(to.address);
        ip.insert(ip.end(), s.begin(), s.end());
        ip.insert(ip.end(), d.begin(), d.end());
        const std::uint16_t headerSum = fold(sum16(ip));
        ip[10] = static_cast<std::uint8_t>(headerSum >> 8);
        ip[11] = static_cast<std::uint8_t>(headerSum);
        frame.insert(frame.end(), ip.begin(), ip.end());
    }
    frame.insert(frame.end(), segment.begin(), segment.end());

    clockMicros_ += 1000;
    putLe32(file_, static_cast<std::uint32_t>(clockMicros_ / 1'000'000));
    putLe32(file_, static_cast<std::uint32_t>(clockMicros_ % 1'000'000));
    putLe32(file_, static_cast<std::uint32_t>(frame.size()));
    putLe32(file_, static_cast<std::uint32_t>(frame.size()));
    file_.insert(file_.end(), frame.begin(), frame.end());
    ++frames_;
}

void PcapWriter::addTcpSegment(const Endpoint& from, const Endpoint& to, std::uint8_t flags,
                               std::span<const std::uint8_t> payload)
{
    TcpState& mine = tcp_[{from, to}];
    TcpState& theirs = tcp_[{to, from}];
    std::vector<std::uint8_t> segment;
    putBe16(segment, from.port);
    putBe16(segment, to.port);
    putBe32(segment, mine.next);
    putBe32(segment, (flags & tcpflag::Ack) ? theirs.next : 0);
    segment.push_back(5 << 4);
    segment.push_back(flags);
    putBe16(segment, 65535); // window
    putBe16(segment, 0);     // checksum, filled in by addFrame
    putBe16(segment, 0);     // urgent pointer
    segment.insert(segment.end(), payload.begin(), payload.end());
    mine.next += static_cast<std::uint32_t>(payload.size()) + ((flags & tcpflag::Syn) ? 1 : 0);
    addFrame(from, to, 6, segment);
}

std::uint64_t PcapWriter::addTcp(const Endpoint& from, const Endpoint& to,
                                 std::span<const std::uint8_t> payload)
{
    if (!tcp_.contains({from, to}) && !tcp_.contains({to, from})) {
        // Initial sequence numbers that differ per connection, as real stacks choose them.
        tcp_[{from, to}].next = 0x10000000u + static_cast<std::uint32_t>(frames_) * 7919u;
        tcp_[{to, from}].next = 0x20000000u + static_cast<std::uint32_t>(frames_) * 104729u;
        addTcpSegment(from, to, tcpflag::Syn, {});
        addTcpSegment(to, from, tcpflag::Syn | tcpflag::Ack, {});
        addTcpSegment(from, to, tcpflag::Ack, {});
    }
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(segmentSize_, payload.size() - at);
        addTcpSegment(from, to, tcpflag::Ack | tcpflag::Psh, payload.subspan(at, n));
        at += n;
    } while (at < payload.size());
    return frames_;
}

std::uint64_t PcapWriter::addUdp(const Endpoint& from, const Endpoint& to,
                                 std::span<const std::uint8_t> payload)
{
    payload = payload.first(std::min<std::size_t>(payload.size(), 65507));
    std::vector<std::uint8_t> datagram;
    putBe16(datagram, from.port);
    putBe16(datagram, to.port);
    putBe16(datagram, static_cast<std::uint16_t>(8 + payload.size()));
    putBe16(datagram, 0);
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    addFrame(from, to, 17, datagram);
    return frames_;
}

bool PcapWriter::save(const std::string& path, std::string* error) const
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(file_.data()),
               static_cast<std::streamsize>(file_.size()));
    file.close();
    if (!file) {
        if (error)
            *error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace kx::capture
