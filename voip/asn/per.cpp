#include "voip/asn/per.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace voip::asn {

namespace {

// Octets needed for a non-negative binary integer (at least one).
unsigned octetsFor(std::uint64_t v)
{
    unsigned n = 1;
    while (n < 8 && (v >> (8 * n)) != 0) {
        ++n;
    }
    return n;
}

constexpr std::size_t k16K = 16384;

} // namespace

unsigned bitsForRange(std::uint64_t range)
{
    unsigned bits = 0;
    while (bits < 64 && (std::uint64_t{1} << bits) < range) {
        ++bits;
    }
    return bits;
}

// ---------------------------------------------------------------------------------------
// PerWriter

PerWriter::PerWriter(std::vector<std::uint8_t>& out)
    : out_(out)
    , start_(out.size())
{}

void PerWriter::writeBit(bool bit)
{
    if (bitsUsed_ == 8) {
        out_.push_back(0);
        bitsUsed_ = 0;
    }
    if (bit) {
        out_.back() |= static_cast<std::uint8_t>(0x80u >> bitsUsed_);
    }
    ++bitsUsed_;
}

void PerWriter::writeBits(std::uint64_t value, unsigned count)
{
    while (count > 0) {
        if (bitsUsed_ == 8) {
            out_.push_back(0);
            bitsUsed_ = 0;
        }
        const unsigned space = 8 - bitsUsed_;
        const unsigned take = std::min(space, count);
        const std::uint64_t chunk = (value >> (count - take)) & ((1u << take) - 1);
        out_.back() |= static_cast<std::uint8_t>(chunk << (space - take));
        bitsUsed_ += take;
        count -= take;
    }
}

void PerWriter::align()
{
    bitsUsed_ = 8;
}

void PerWriter::writeOctets(std::span<const std::uint8_t> octets)
{
    if (bitsUsed_ == 8) {
        out_.insert(out_.end(), octets.begin(), octets.end());
        return;
    }
    for (std::uint8_t b : octets) {
        writeBits(b, 8);
    }
}

void PerWriter::writeConstrained(std::int64_t v, std::int64_t lb, std::int64_t ub)
{
    const std::uint64_t range = static_cast<std::uint64_t>(ub) - static_cast<std::uint64_t>(lb) + 1;
    const std::uint64_t offset = static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(lb);
    if (range == 1) {
        return;
    }
    if (range != 0 && range <= 255) {
        writeBits(offset, bitsForRange(range));
    } else if (range == 256) {
        align();
        writeBits(offset, 8);
    } else if (range != 0 && range <= 65536) {
        align();
        writeBits(offset, 16);
    } else {
        // X.691 11.5.7.4: the indefinite-length case; a range of 0 means 2^64.
        const unsigned maxOctets = range == 0 ? 8 : octetsFor(range - 1);
        const unsigned n = octetsFor(offset);
        writeConstrained(n, 1, maxOctets);
        align();
        writeBits(offset, 8 * n);
    }
}

void PerWriter::writeNormallySmall(std::uint64_t n)
{
    if (n <= 63) {
        writeBit(false);
        writeBits(n, 6);
    } else {
        writeBit(true);
        writeSemiConstrained(static_cast<std::int64_t>(n), 0);
    }
}

void PerWriter::writeSemiConstrained(std::int64_t v, std::int64_t lb)
{
    const std::uint64_t offset = static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(lb);
    const unsigned n = octetsFor(offset);
    writeUnconstrainedLength(n);
    writeBits(offset, 8 * n);
}

void PerWriter::writeUnconstrained(std::int64_t v)
{
    unsigned n = 1;
    while (n < 8) {
        const std::int64_t lo = -(std::int64_t{1} << (8 * n - 1));
        const std::int64_t hi = (std::int64_t{1} << (8 * n - 1)) - 1;
        if (v >= lo && v <= hi) {
            break;
        }
        ++n;
    }
    writeUnconstrainedLength(n);
    writeBits(static_cast<std::uint64_t>(v), 8 * n);
}

void PerWriter::writeConstrainedLength(std::size_t n, std::size_t lb, std::size_t ub)
{
    writeConstrained(static_cast<std::int64_t>(n), static_cast<std::int64_t>(lb),
                     static_cast<std::int64_t>(ub));
}

void PerWriter::writeNormallySmallLength(std::size_t n)
{
    if (n >= 1 && n <= 64) {
        writeBit(false);
        writeBits(n - 1, 6);
    } else {
        writeBit(true);
        writeUnconstrainedLength(n);
    }
}

std::size_t PerWriter::writeUnconstrainedLength(std::size_t n)
{
    align();
    if (n < 128) {
        writeBits(n, 8);
        return n;
    }
    if (n < k16K) {
        writeBits(0x8000 | n, 16);
        return n;
    }
    const std::size_t blocks = std::min<std::size_t>(4, n / k16K);
    writeBits(0xC0 | blocks, 8);
    return blocks * k16K;
}

std::size_t PerWriter::bitSize() const
{
    return (out_.size() - start_) * 8 - (8 - bitsUsed_);
}

// ---------------------------------------------------------------------------------------
// PerReader

PerReader::PerReader(std::span<const std::uint8_t> in)
    : in_(in)
{}

bool PerReader::fail(const char* why)
{
    if (!failed_) {
        failed_ = true;
        failure_ = why;
    }
    return false;
}

bool PerReader::readBit(bool& bit)
{
    if (failed_ || pos_ >= in_.size() * 8) {
        return fail("truncated");
    }
    bit = (in_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
    ++pos_;
    return true;
}

bool PerReader::readBits(unsigned count, std::uint64_t& value)
{
    if (failed_ || count > 64 || remainingBits() < count) {
        return fail("truncated");
    }
    if (count == 0) {
        value = 0;
        return true;
    }
    const std::size_t first = pos_ / 8;
    if (count <= 56 && first + 8 <= in_.size()) {
        // Fast path: one big-endian load holds every bit asked for.
        std::uint64_t word = 0;
        std::memcpy(&word, in_.data() + first, sizeof word);
        if constexpr (std::endian::native == std::endian::little) {
            word = __builtin_bswap64(word);
        }
        value = (word << (pos_ % 8)) >> (64 - count);
        pos_ += count;
        return true;
    }
    std::uint64_t v = 0;
    while (count > 0) {
        const unsigned used = pos_ % 8;
        const unsigned avail = 8 - used;
        const unsigned take = std::min(avail, count);
        const unsigned octet = in_[pos_ / 8];
        const unsigned chunk = (octet >> (avail - take)) & ((1u << take) - 1);
        v = (take == 64 ? 0 : (v << take)) | chunk;
        pos_ += take;
        count -= take;
    }
    value = v;
    return true;
}

bool PerReader::align()
{
    if (failed_) {
        return false;
    }
    const std::size_t aligned = (pos_ + 7) / 8 * 8;
    if (aligned > in_.size() * 8) {
        return fail("truncated");
    }
    pos_ = aligned;
    return true;
}

bool PerReader::readOctets(std::size_t count, std::string& out)
{
    if (failed_ || count > remainingBits() / 8) {
        return fail("truncated");
    }
    if (pos_ % 8 == 0) {
        out.append(reinterpret_cast<const char*>(in_.data() + pos_ / 8), count);
        pos_ += count * 8;
        return true;
    }
    out.reserve(out.size() + count);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t b = 0;
        readBits(8, b);
        out.push_back(static_cast<char>(b));
    }
    return true;
}

bool PerReader::readConstrained(std::int64_t lb, std::int64_t ub, std::int64_t& v)
{
    const std::uint64_t range = static_cast<std::uint64_t>(ub) - static_cast<std::uint64_t>(lb) + 1;
    std::uint64_t offset = 0;
    if (range == 1) {
        v = lb;
        return !failed_;
    }
    if (range != 0 && range <= 255) {
        if (!readBits(bitsForRange(range), offset)) {
            return false;
        }
    } else if (range == 256) {
        if (!align() || !readBits(8, offset)) {
            return false;
        }
    } else if (range != 0 && range <= 65536) {
        if (!align() || !readBits(16, offset)) {
            return false;
        }
    } else {
        const unsigned maxOctets = range == 0 ? 8 : octetsFor(range - 1);
        std::int64_t n = 0;
        if (!readConstrained(1, maxOctets, n) || !align() ||
            !readBits(static_cast<unsigned>(8 * n), offset)) {
            return false;
        }
    }
    if (range != 0 && offset > range - 1) {
        return fail("value out of range");
    }
    v = static_cast<std::int64_t>(static_cast<std::uint64_t>(lb) + offset);
    return true;
}

bool PerReader::readNormallySmall(std::uint64_t& n)
{
    bool large = false;
    if (!readBit(large)) {
        return false;
    }
    if (!large) {
        return readBits(6, n);
    }
    std::int64_t v = 0;
    if (!readSemiConstrained(0, v)) {
        return false;
    }
    n = static_cast<std::uint64_t>(v);
    return true;
}

bool PerReader::readSemiConstrained(std::int64_t lb, std::int64_t& v)
{
    std::size_t n = 0;
    bool more = false;
    if (!readUnconstrainedLength(n, more)) {
        return false;
    }
    if (more || n == 0 || n > 8) {
        return fail("integer too large");
    }
    std::uint64_t offset = 0;
    if (!readBits(static_cast<unsigned>(8 * n), offset)) {
        return false;
    }
    std::int64_t result = 0;
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        __builtin_add_overflow(lb, static_cast<std::int64_t>(offset), &result)) {
        return fail("integer too large");
    }
    v = result;
    return true;
}

bool PerReader::readUnconstrained(std::int64_t& v)
{
    std::size_t n = 0;
    bool more = false;
    if (!readUnconstrainedLength(n, more)) {
        return false;
    }
    if (more || n == 0 || n > 8) {
        return fail("integer too large");
    }
    std::uint64_t raw = 0;
    if (!readBits(static_cast<unsigned>(8 * n), raw)) {
        return false;
    }
    if (n < 8 && (raw >> (8 * n - 1)) != 0) {
        raw |= ~std::uint64_t{0} << (8 * n); // sign extension
    }
    v = static_cast<std::int64_t>(raw);
    return true;
}

bool PerReader::readConstrainedLength(std::size_t lb, std::size_t ub, std::size_t& n)
{
    std::int64_t v = 0;
    if (!readConstrained(static_cast<std::int64_t>(lb), static_cast<std::int64_t>(ub), v)) {
        return false;
    }
    n = static_cast<std::size_t>(v);
    return true;
}

bool PerReader::readNormallySmallLength(std::size_t& n)
{
    bool large = false;
    if (!readBit(large)) {
        return false;
    }
    if (!large) {
        std::uint64_t v = 0;
        if (!readBits(6, v)) {
            return false;
        }
        n = static_cast<std::size_t>(v) + 1;
        return true;
    }
    bool more = false;
    if (!readUnconstrainedLength(n, more)) {
        return false;
    }
    if (more) {
        return fail("length too large");
    }
    return true;
}

bool PerReader::readUnconstrainedLength(std::size_t& n, bool& more)
{
    std::uint64_t b = 0;
    if (!align() || !readBits(8, b)) {
        return false;
    }
    more = false;
    if ((b & 0x80) == 0) {
        n = static_cast<std::size_t>(b);
        return true;
    }
    if ((b & 0xC0) == 0x80) {
        std::uint64_t low = 0;
        if (!readBits(8, low)) {
            return false;
        }
        n = static_cast<std::size_t>(((b & 0x3F) << 8) | low);
        return true;
    }
    const std::uint64_t blocks = b & 0x3F;
    if (blocks < 1 || blocks > 4) {
        return fail("bad fragment length");
    }
    n = static_cast<std::size_t>(blocks) * k16K;
    more = true;
    return true;
}

} // namespace voip::asn
