#include "tools/common/capture.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace kx::capture {
namespace {

constexpr std::uint32_t kPcapMicro = 0xa1b2c3d4;
constexpr std::uint32_t kPcapNano = 0xa1b23c4d;
constexpr std::uint32_t kPcapNgSection = 0x0a0d0d0a;
constexpr std::uint32_t kPcapNgByteOrder = 0x1a2b3c4d;
constexpr std::size_t kMaxInterfaces = 1024;

class Reader
{
public:
    explicit Reader(std::span<const std::uint8_t> bytes)
        : bytes_(bytes)
    {}

    bool has(std::size_t at, std::size_t count) const
    {
        return at <= bytes_.size() && count <= bytes_.size() - at;
    }
    std::uint16_t u16(std::size_t at) const
    {
        return swap_ ? static_cast<std::uint16_t>((bytes_[at] << 8) | bytes_[at + 1])
                     : static_cast<std::uint16_t>(bytes_[at] | (bytes_[at + 1] << 8));
    }
    std::uint32_t u32(std::size_t at) const
    {
        const std::uint32_t b0 = bytes_[at], b1 = bytes_[at + 1], b2 = bytes_[at + 2],
                            b3 = bytes_[at + 3];
        return swap_ ? (b0 << 24) | (b1 << 16) | (b2 << 8) | b3
                     : b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
    }
    /// Big-endian files read with swapped order (the readers' natural order is little).
    void setBigEndian(bool big) { swap_ = big; }
    std::span<const std::uint8_t> slice(std::size_t at, std::size_t count) const
    {
        return bytes_.subspan(at, count);
    }
    std::size_t size() const { return bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
    bool swap_ = false;
};

std::uint32_t littleU32(std::span<const std::uint8_t> b)
{
    return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
           (std::uint32_t{b[3]} << 24);
}

std::string at(std::size_t offset)
{
    return " at file offset " + std::to_string(offset);
}

CaptureContents readPcap(std::span<const std::uint8_t> bytes)
{
    CaptureContents out;
    Reader r(bytes);
    if (!r.has(0, 24)) {
        out.error = "pcap file header is truncated";
        return out;
    }
    const std::uint32_t magic = littleU32(bytes);
    bool nano = false;
    if (magic == kPcapMicro || magic == kPcapNano) {
        nano = magic == kPcapNano;
    } else {
        r.setBigEndian(true);
        nano = r.u32(0) == kPcapNano;
    }
    const std::uint32_t linkType = r.u32(20) & 0x0fffffff;
    std::size_t offset = 24;
    std::uint64_t number = 0;
    while (offset < bytes.size()) {
        if (!r.has(offset, 16)) {
            out.error = "packet record header is truncated" + at(offset);
            return out;
        }
        const std::uint32_t seconds = r.u32(offset);
        const std::uint32_t fraction = r.u32(offset + 4);
        const std::uint32_t captured = r.u32(offset + 8);
        const std::uint32_t original = r.u32(offset + 12);
        if (captured > kMaxFrameSize) {
            out.error = "packet record of " + std::to_string(captured) + " octets" + at(offset) +
                        " exceeds the limit";
            return out;
        }
        if (!r.has(offset + 16, captured)) {
            out.error = "packet data is truncated" + at(offset);
            return out;
        }
        Frame frame;
        frame.number = ++number;
        frame.linkType = linkType;
        frame.timestampNs =
            std::int64_t{seconds} * 1'000'000'000 + std::int64_t{fraction} * (nano ? 1 : 1000);
        frame.originalLength = original;
        auto data = r.slice(offset + 16, captured);
        frame.data.assign(data.begin(), data.end());
        out.frames.push_back(std::move(frame));
        offset += 16 + std::size_t{captured};
    }
    return out;
}

struct Interface
{
    std::uint32_t linkType = 0;
    // Units per second of this interface's timestamps (if_tsresol; default microseconds).
    std::uint64_t unitsPerSecond = 1'000'000;
};

std::int64_t toNanoseconds(std::uint64_t units, std::uint64_t unitsPerSecond)
{
    const std::uint64_t seconds = units / unitsPerSecond;
    const std::uint64_t rest = units % unitsPerSecond;
    // rest < unitsPerSecond <= 2^63 keeps this product in range for resolutions up to 1 ns;
    // finer ones are divided first.
    const std::uint64_t nanos = unitsPerSecond <= 1'000'000'000
                                    ? rest * (1'000'000'000 / unitsPerSecond)
                                    : rest / (unitsPerSecond / 1'000'000'000);
    return static_cast<std::int64_t>(seconds * 1'000'000'000 + nanos);
}

// Reads the options of an interface description block (pcapng 4.2) for if_tsresol.
void readInterfaceOptions(const Reader& r, std::size_t at, std::size_t end, Interface& iface)
{
    while (r.has(at, 4) && at + 4 <= end) {
        const std::uint16_t code = r.u16(at);
        const std::uint16_t length = r.u16(at + 2);
        if (code == 0)
            return;
        if (at + 4 + length > end)
            return;
        if (code == 9 && length >= 1) {
            const std::uint8_t resolution = r.slice(at + 4, 1)[0];
            const unsigned exponent = resolution & 0x7f;
            if (resolution & 0x80) {
                if (exponent < 63)
                    iface.unitsPerSecond = std::uint64_t{1} << exponent;
            } else if (exponent <= 18) {
                std::uint64_t units = 1;
                for (unsigned i = 0; i < exponent; ++i)
                    units *= 10;
                iface.unitsPerSecond = units;
            }
        }
        at += 4 + ((std::size_t{length} + 3) & ~std::size_t{3});
    }
}

CaptureContents readPcapNg(std::span<const std::uint8_t> bytes)
{
    CaptureContents out;
    Reader r(bytes);
    std::vector<Interface> interfaces;
    std::size_t offset = 0;
    std::uint64_t number = 0;
    while (offset < bytes.size()) {
        if (!r.has(offset, 12)) {
            out.error = "block header is truncated" + at(offset);
            return out;
        }
        if (littleU32(r.slice(offset, 4)) == kPcapNgSection) {
            // A section header sets the byte order of everything up to the next one.
            if (!r.has(offset, 12)) {
                out.error = "section header is truncated" + at(offset);
                return out;
            }
            const std::uint32_t orderMagic = littleU32(r.slice(offset + 8, 4));
            if (orderMagic == kPcapNgByteOrder) {
                r.setBigEndian(false);
            } else {
                r.setBigEndian(true);
                if (r.u32(offset + 8) != kPcapNgByteOrder) {
                    out.error = "section header has a bad byte-order magic" + at(offset);
                    return out;
                }
            }
            interfaces.clear();
        }
        const std::uint32_t type = r.u32(offset);
        const std::uint32_t length = r.u32(offset + 4);
        if (length < 12 || length % 4 != 0 || length > kMaxBlockSize || !r.has(offset, length)) {
            out.error = "block of length " + std::to_string(length) + at(offset) +
                        " is malformed or truncated";
            return out;
        }
        if (r.u32(offset + length - 4) != length) {
            out.error = "block lengths disagree" + at(offset);
            return out;
        }
        const std::size_t body = offset + 8;
        const std::size_t bodyEnd = offset + length - 4;
        auto packet = [&](std::uint32_t interfaceId, std::uint64_t units, std::size_t dataAt,
                          std::uint32_t captured, std::uint32_t original) -> bool {
            if (interfaceId >= interfaces.size()) {
                out.error = "packet names interface " + std::to_string(interfaceId) +
                            " that was not described" + at(offset);
                return false;
            }
            if (captured > kMaxFrameSize || dataAt + captured > bodyEnd) {
                out.error = "packet data runs past its block" + at(offset);
                return false;
            }
            Frame frame;
            frame.number = ++number;
            frame.linkType = interfaces[interfaceId].linkType;
            frame.timestampNs = toNanoseconds(units, interfaces[interfaceId].unitsPerSecond);
            frame.originalLength = original;
            auto data = r.slice(dataAt, captured);
            frame.data.assign(data.begin(), data.end());
            out.frames.push_back(std::move(frame));
            return true;
        };
        switch (type) {
        case kPcapNgSection:
            if (bodyEnd - body < 16) {
                out.error = "section header is too short" + at(offset);
                return out;
            }
            break;
        case 1: { // interface description
            if (bodyEnd - body < 8) {
                out.error = "interface description is too short" + at(offset);
                return out;
            }
            if (interfaces.size() >= kMaxInterfaces) {
                out.error = "too many interfaces" + at(offset);
                return out;
            }
            Interface iface;
            iface.linkType = r.u16(body);
            readInterfaceOptions(r, body + 8, bodyEnd, iface);
            interfaces.push_back(iface);
            break;
        }
        case 6: { // enhanced packet
            if (bodyEnd - body < 20) {
                out.error = "enhanced packet block is too short" + at(offset);
                return out;
            }
            const std::uint64_t units = (std::uint64_t{r.u32(body + 4)} << 32) | r.u32(body + 8);
            if (!packet(r.u32(body), units, body + 20, r.u32(body + 12), r.u32(body + 16)))
                return out;
            break;
        }
        case 3: { // simple packet: interface 0, no timestamp
            if (bodyEnd - body < 4) {
                out.error = "simple packet block is too short" + at(offset);
                return out;
            }
            const std::uint32_t original = r.u32(body);
            const std::uint32_t captured =
                std::min<std::uint32_t>(original, static_cast<std::uint32_t>(bodyEnd - body - 4));
            if (!packet(0, 0, body + 4, captured, original))
                return out;
            break;
        }
        case 2: { // obsolete packet block
            if (bodyEnd - body < 20) {
                out.error = "packet block is too short" + at(offset);
                return out;
            }
            const std::uint64_t units = (std::uint64_t{r.u32(body + 4)} << 32) | r.u32(body + 8);
            if (!packet(r.u16(body), units, body + 20, r.u32(body + 12), r.u32(body + 16)))
                return out;
            break;
        }
        default: // name resolution, statistics, custom blocks: not needed here
            break;
        }
        offset += length;
    }
    return out;
}

} // namespace

CaptureContents readCapture(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 4) {
        CaptureContents out;
        out.error = "file is too short to be a capture";
        return out;
    }
    const std::uint32_t magic = littleU32(bytes);
    if (magic == kPcapNgSection)
        return readPcapNg(bytes);
    const std::uint32_t swapped =
        (magic >> 24) | ((magic >> 8) & 0xff00) | ((magic << 8) & 0xff0000) | (magic << 24);
    if (magic == kPcapMicro || magic == kPcapNano || swapped == kPcapMicro || swapped == kPcapNano)
        return readPcap(bytes);
    CaptureContents out;
    out.error = "not a pcap or pcapng file";
    return out;
}

CaptureContents readCaptureFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        CaptureContents out;
        out.error = "cannot open " + path;
        return out;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    if (file.bad()) {
        CaptureContents out;
        out.error = "cannot read " + path;
        return out;
    }
    return readCapture(bytes);
}

} // namespace kx::capture
