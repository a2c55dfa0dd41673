#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace voip::asn {

/// Bit-level writer of the aligned-PER primitives (ITU-T X.691, ALIGNED variant).
/// Values out of range are the caller's fault: the codec checks them first.
class PerWriter
{
public:
    explicit PerWriter(std::vector<std::uint8_t>& out);

    void writeBit(bool bit);
    /// The low `count` bits of `value`, most significant first (count <= 64).
    void writeBits(std::uint64_t value, unsigned count);
    /// Pads with zero bits to the next octet boundary.
    void align();
    void writeOctets(std::span<const std::uint8_t> octets);

    /// X.691 11.5: constrained whole number lb <= v <= ub.
    void writeConstrained(std::int64_t v, std::int64_t lb, std::int64_t ub);
    /// X.691 11.6: normally small non-negative whole number.
    void writeNormallySmall(std::uint64_t n);
    /// X.691 11.7: semi-constrained whole number v >= lb (length-prefixed octets).
    void writeSemiConstrained(std::int64_t v, std::int64_t lb);
    /// X.691 11.8: unconstrained whole number (two's complement, length-prefixed octets).
    void writeUnconstrained(std::int64_t v);
    /// X.691 11.9.3.3: length with an upper bound below 64K (constrained whole number).
    void writeConstrainedLength(std::size_t n, std::size_t lb, std::size_t ub);
    /// X.691 11.9.3.4: normally small length (n >= 1), used by the extension bitmap.
    void writeNormallySmallLength(std::size_t n);
    /// X.691 11.9.3.5-8: unconstrained length. For n >= 16K writes the fragment header
    /// for the largest block of 16K multiples (at most 64K) and returns the number of items
    /// that must follow before the next length; otherwise writes n and returns n.
    std::size_t writeUnconstrainedLength(std::size_t n);

    /// Bits written since construction.
    std::size_t bitSize() const;

private:
    std::vector<std::uint8_t>& out_;
    std::size_t start_;
    unsigned bitsUsed_ = 8; // bits used in the last octet (8: start a new one)
};

/// Bit-level reader of the aligned-PER primitives. Each read returns false (and sets
/// failed()) instead of reading outside the buffer; later reads keep failing.
class PerReader
{
public:
    explicit PerReader(std::span<const std::uint8_t> in);

    bool readBit(bool& bit);
    bool readBits(unsigned count, std::uint64_t& value);
    bool align();
    /// Octets from an octet boundary or not: copies `count` octets' worth of bits.
    bool readOctets(std::size_t count, std::string& out);

    bool readConstrained(std::int64_t lb, std::int64_t ub, std::int64_t& v);
    bool readNormallySmall(std::uint64_t& n);
    bool readSemiConstrained(std::int64_t lb, std::int64_t& v);
    bool readUnconstrained(std::int64_t& v);
    bool readConstrainedLength(std::size_t lb, std::size_t ub, std::size_t& n);
    bool readNormallySmallLength(std::size_t& n);
    /// One unconstrained length or fragment header: `n` items follow; `more` is true when
    /// this was a fragment (another length follows the items).
    bool readUnconstrainedLength(std::size_t& n, bool& more);

    std::size_t position() const { return pos_; }
    std::size_t remainingBits() const { return in_.size() * 8 - pos_; }
    bool failed() const { return failed_; }
    /// Why the last read failed ("truncated", "integer too large", ...).
    const char* failure() const { return failure_; }

private:
    bool fail(const char* why);
    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
    bool failed_ = false;
    const char* failure_ = "";
};

/// Number of bits needed for values 0..range-1 (0 for a range of 1).
unsigned bitsForRange(std::uint64_t range);

} // namespace voip::asn
