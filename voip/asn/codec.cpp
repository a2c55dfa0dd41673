#include "voip/asn/codec.h"

#include <algorithm>

#include "voip/asn/per.h"
#include "voip/asn/utf8.h"

namespace voip::asn {

namespace {

constexpr std::size_t k16K = 16384;
constexpr std::size_t k64K = 65536;
// Bits of a SEQUENCE extension bitmap we accept; real types have a few dozen additions.
constexpr std::size_t kMaxAdditions = 4096;

// One step of a field path: a component name or an element index.
struct PathStep
{
    std::string_view name;
    std::size_t index = 0;
    bool isIndex = false;
};

std::string pathText(const std::vector<PathStep>& path)
{
    std::string s;
    for (const PathStep& step : path) {
        if (step.isIndex) {
            s += '[';
            s += std::to_string(step.index);
            s += ']';
        } else {
            if (!s.empty()) {
                s += '.';
            }
            s.append(step.name);
        }
    }
    return s;
}

// The SIZE bounds that apply to a value: the root bounds, or none when the extension bit
// says the size lies outside the root (X.691 16.6, 17.3, 27.4).
Bounds effectiveSize(const Bounds& size, bool extended)
{
    return extended ? Bounds{true, false, false, 0, 0} : size;
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Whether a character belongs to the type's permitted alphabet.
bool permitted(const Type& t, char32_t c)
{
    if (!t.alphabet.empty()) {
        return std::binary_search(t.alphabet.begin(), t.alphabet.end(), c);
    }
    switch (t.charSet) {
    case CharSet::IA5:
        return c < 128;
    case CharSet::Visible:
        return c >= 32 && c < 127;
    case CharSet::BMP:
        return c < 65536;
    default:
        return false;
    }
}

// Alignment of the characters of a string of a known-multiplier type (X.691 27.5.7-27.5.8):
// none when the largest possible string fits in 16 bits.
bool charsAligned(const Bounds& eb, unsigned charBits)
{
    if (!eb.hasUpper) {
        return true;
    }
    return static_cast<std::uint64_t>(eb.upper) * charBits > 16;
}

// ---------------------------------------------------------------------------------------

class Decoder
{
public:
    Decoder(std::span<const std::uint8_t> bytes, const Limits& limits)
        : reader_(bytes)
        , limits_(limits)
    {}

    bool run(const Type& type, Value& value) { return decode(type, value, 0); }
    std::size_t position() const { return reader_.position(); }
    Error takeError()
    {
        std::vector<PathStep> path(errorPath_.rbegin(), errorPath_.rend());
        error_.path = pathText(path);
        return std::move(error_);
    }

private:
    bool fail(const std::string& message)
    {
        if (error_.message.empty()) {
            error_.message = message;
            error_.bitOffset = base_ + reader_.position();
        }
        return false;
    }
    // Adds one step of the error path while a failure unwinds (innermost first), so that
    // decoding builds no path unless it fails.
    bool unwind(PathStep step)
    {
        errorPath_.push_back(step);
        return false;
    }
    // A failed primitive read: report its reason.
    bool readFailed() { return fail(reader_.failed() ? reader_.failure() : "decode error"); }

    bool decode(const Type& t, Value& v, std::size_t depth)
    {
        if (depth > limits_.maxDepth) {
            return fail("nesting deeper than " + std::to_string(limits_.maxDepth));
        }
        if (++nodes_ > limits_.maxNodes) {
            return fail("more than " + std::to_string(limits_.maxNodes) + " values");
        }
        v.resetEmpty(t);
        switch (t.kind) {
        case Kind::Boolean: {
            bool b = false;
            if (!reader_.readBit(b)) {
                return readFailed();
            }
            v.setBoolean(b);
            return true;
        }
        case Kind::Null:
            return true;
        case Kind::Integer:
            return decodeInteger(t, v);
        case Kind::Enumerated:
            return decodeEnumerated(t, v);
        case Kind::BitString:
            return decodeBitString(t, v);
        case Kind::OctetString:
            return decodeOctetString(t, v);
        case Kind::ObjectIdentifier:
            if (!readUnconstrainedOctets(v.rawBytes())) {
                return false;
            }
            if (!oidArcs(v.rawBytes())) {
                return fail("malformed object identifier");
            }
            return true;
        case Kind::GeneralString:
        case Kind::Open:
            return readUnconstrainedOctets(v.rawBytes());
        case Kind::CharString:
            return decodeCharString(t, v);
        case Kind::SequenceOf:
            return decodeSequenceOf(t, v, depth);
        case Kind::Sequence:
            return decodeSequence(t, v, depth);
        case Kind::Choice:
            return decodeChoice(t, v, depth);
        }
        return fail("unknown type");
    }

    bool readExtensionBit(bool extensible, bool& extended)
    {
        extended = false;
        if (extensible && !reader_.readBit(extended)) {
            return readFailed();
        }
        return true;
    }

    bool decodeInteger(const Type& t, Value& v)
    {
        bool extended = false;
        if (!readExtensionBit(t.range.extensible, extended)) {
            return false;
        }
        std::int64_t x = 0;
        bool ok = false;
        if (extended || (!t.range.hasLower && !t.range.hasUpper) ||
            (!t.range.hasLower && t.range.hasUpper)) {
            ok = reader_.readUnconstrained(x);
        } else if (t.range.constrained()) {
            ok = reader_.readConstrained(t.range.lower, t.range.upper, x);
        } else {
            ok = reader_.readSemiConstrained(t.range.lower, x);
        }
        if (!ok) {
            return readFailed();
        }
        v.setInteger(x);
        return true;
    }

    bool decodeEnumerated(const Type& t, Value& v)
    {
        bool extended = false;
        if (!readExtensionBit(t.extensible, extended)) {
            return false;
        }
        if (extended) {
            std::uint64_t n = 0;
            if (!reader_.readNormallySmall(n)) {
                return readFailed();
            }
            if (n > k64K) {
                return fail("enumeration index too large");
            }
            v.setEnumIndex(t.rootCount + static_cast<std::size_t>(n));
            return true;
        }
        std::int64_t i = 0;
        if (!reader_.readConstrained(0, static_cast<std::int64_t>(t.rootCount) - 1, i)) {
            return readFailed();
        }
        v.setEnumIndex(static_cast<std::size_t>(i));
        return true;
    }

    // Reads a length of a string or list with SIZE bounds `eb` that is not fixed.
    // For the unconstrained form, only the first (possibly fragment) length is read.
    bool readLength(const Bounds& eb, std::size_t& n, bool& more)
    {
        more = false;
        if (eb.constrained() && eb.upper < static_cast<std::int64_t>(k64K)) {
            if (!reader_.readConstrainedLength(static_cast<std::size_t>(eb.lower),
                                               static_cast<std::size_t>(eb.upper), n)) {
                return readFailed();
            }
            return true;
        }
        if (!reader_.readUnconstrainedLength(n, more)) {
            return readFailed();
        }
        return true;
    }

    bool checkTotal(std::size_t total, std::size_t cap, const char* what)
    {
        if (total > cap) {
            return fail(std::string(what) + " longer than " + std::to_string(cap));
        }
        return true;
    }

    bool checkSize(const Bounds& eb, std::size_t n)
    {
        if (!eb.contains(static_cast<std::int64_t>(n))) {
            return fail("size " + std::to_string(n) + " outside its constraint");
        }
        return true;
    }

    bool readBitsInto(std::size_t count, std::string& packed, std::size_t& have)
    {
        if (count > reader_.remainingBits()) {
            return fail("truncated");
        }
        packed.resize((have + count + 7) / 8, '\0');
        for (std::size_t i = 0; i < count; ++i) {
            bool b = false;
            reader_.readBit(b);
            if (b) {
                const std::size_t at = have + i;
                packed[at / 8] = static_cast<char>(static_cast<unsigned char>(packed[at / 8]) |
                                                   (0x80u >> (at % 8)));
            }
        }
        have += count;
        return true;
    }

    bool decodeBitString(const Type& t, Value& v)
    {
        bool extended = false;
        if (!readExtensionBit(t.size.extensible, extended)) {
            return false;
        }
        const Bounds eb = effectiveSize(t.size, extended);
        std::string packed;
        std::size_t have = 0;
        if (eb.fixed() && eb.upper < static_cast<std::int64_t>(k64K)) {
            const auto n = static_cast<std::size_t>(eb.upper);
            if (n > 16 && !reader_.align()) {
                return readFailed();
            }
            if (!readBitsInto(n, packed, have)) {
                return false;
            }
        } else {
            bool more = true;
            while (more) {
                std::size_t n = 0;
                if (!readLength(eb, n, more)) {
                    return false;
                }
                if (!checkTotal(have + n, limits_.maxStringBytes * 8, "bit string")) {
                    return false;
                }
                if (n > 0 && !reader_.align()) {
                    return readFailed();
                }
                if (!readBitsInto(n, packed, have)) {
                    return false;
                }
            }
            if (!checkSize(eb, have)) {
                return false;
            }
        }
        v.setBits(packed, have);
        return true;
    }

    bool decodeOctetString(const Type& t, Value& v)
    {
        bool extended = false;
        if (!readExtensionBit(t.size.extensible, extended)) {
            return false;
        }
        const Bounds eb = effectiveSize(t.size, extended);
        std::string& out = v.rawBytes();
        if (eb.fixed() && eb.upper < static_cast<std::int64_t>(k64K)) {
            const auto n = static_cast<std::size_t>(eb.upper);
            if (n > 2 && !reader_.align()) {
                return readFailed();
            }
            if (!reader_.readOctets(n, out)) {
                return readFailed();
            }
            return true;
        }
        bool more = true;
        while (more) {
            std::size_t n = 0;
            if (!readLength(eb, n, more)) {
                return false;
            }
            if (!checkTotal(out.size() + n, limits_.maxStringBytes, "octet string")) {
                return false;
            }
            if (n > 0 && (!reader_.align() || !reader_.readOctets(n, out))) {
                return readFailed();
            }
        }
        return checkSize(eb, out.size());
    }

    // Length-prefixed octets with the unconstrained length (open types, OIDs,
    // GeneralString), fragments joined.
    bool readUnconstrainedOctets(std::string& out)
    {
        bool more = true;
        while (more) {
            std::size_t n = 0;
            if (!reader_.readUnconstrainedLength(n, more)) {
                return readFailed();
            }
            if (!checkTotal(out.size() + n, limits_.maxStringBytes, "open type or string")) {
                return false;
            }
            if (!reader_.readOctets(n, out)) {
                return readFailed();
            }
        }
        return true;
    }

    bool readChars(const Type& t, std::size_t n, std::string& out)
    {
        if (static_cast<std::uint64_t>(n) * t.charBits > reader_.remainingBits()) {
            return fail("truncated");
        }
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t code = 0;
            reader_.readBits(t.charBits, code);
            char32_t c = 0;
            if (t.charsAsIndex) {
                if (code >= t.alphabet.size()) {
                    return fail("character index " + std::to_string(code) +
                                " outside the permitted alphabet");
                }
                c = t.alphabet[static_cast<std::size_t>(code)];
            } else {
                c = static_cast<char32_t>(code);
                if (!permitted(t, c)) {
                    return fail("character " + std::to_string(code) +
                                " outside the permitted alphabet");
                }
            }
            if (t.charSet == CharSet::BMP) {
                appendUtf8(out, c);
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
        return true;
    }

    bool decodeCharString(const Type& t, Value& v)
    {
        bool extended = false;
        if (!readExtensionBit(t.size.extensible, extended)) {
            return false;
        }
        const Bounds eb = effectiveSize(t.size, extended);
        std::string& out = v.rawBytes();
        if (eb.fixed() && eb.upper < static_cast<std::int64_t>(k64K)) {
            const auto n = static_cast<std::size_t>(eb.upper);
            if (n * t.charBits > 16 && !reader_.align()) {
                return readFailed();
            }
            return readChars(t, n, out);
        }
        const bool aligned = charsAligned(eb, t.charBits);
        std::size_t total = 0;
        bool more = true;
        while (more) {
            std::size_t n = 0;
            if (!readLength(eb, n, more)) {
                return false;
            }
            total += n;
            if (!checkTotal(total, limits_.maxStringBytes, "character string")) {
                return false;
            }
            if (n > 0 && aligned && !reader_.align()) {
                return readFailed();
            }
            if (!readChars(t, n, out)) {
                return false;
            }
        }
        return checkSize(eb, total);
    }

    bool decodeSequenceOf(const Type& t, Value& v, std::size_t depth)
    {
        bool extended = false;
        if (!readExtensionBit(t.size.extensible, extended)) {
            return false;
        }
        const Bounds eb = effectiveSize(t.size, extended);
        Value::List& elements = v.children();
        bool more = true;
        bool fixed = eb.fixed() && eb.upper < static_cast<std::int64_t>(k64K);
        while (more) {
            std::size_t n = 0;
            if (fixed) {
                n = static_cast<std::size_t>(eb.upper);
                more = false;
            } else if (!readLength(eb, n, more)) {
                return false;
            }
            const std::size_t start = elements.size();
            if (!checkTotal(start + n, limits_.maxElements, "list")) {
                return false;
            }
            if (n > limits_.maxNodes - std::min(nodes_, limits_.maxNodes)) {
                return fail("more than " + std::to_string(limits_.maxNodes) + " values");
            }
            elements.resize(start + n);
            for (std::size_t i = 0; i < n; ++i) {
                if (!decode(*t.element, elements[start + i], depth + 1)) {
                    return unwind({{}, start + i, true});
                }
            }
        }
        return fixed || checkSize(eb, elements.size());
    }

    // Decodes a complete encoding held in an open type (an extension addition or
    // alternative) with the same limits.
    bool decodeNested(const Type& t, Value& v, const std::string& raw, std::size_t startBit,
                      std::size_t depth)
    {
        PerReader saved = reader_;
        const std::size_t savedBase = base_;
        reader_ = PerReader(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size()));
        base_ = startBit;
        const bool ok = decode(t, v, depth);
        if (ok && raw.empty()) {
            v.setEmptyOpenType(true);
        }
        reader_ = saved;
        base_ = savedBase;
        return ok;
    }

    bool decodeSequence(const Type& t, Value& v, std::size_t depth)
    {
        bool extended = false;
        if (!readExtensionBit(t.extensible, extended)) {
            return false;
        }
        std::uint64_t bitmap = 0;
        std::vector<bool> bigBitmap;
        if (t.optionalCount <= 64) {
            if (!reader_.readBits(static_cast<unsigned>(t.optionalCount), bitmap)) {
                return readFailed();
            }
        } else {
            for (std::size_t i = 0; i < t.optionalCount; ++i) {
                bool b = false;
                if (!reader_.readBit(b)) {
                    return readFailed();
                }
                bigBitmap.push_back(b);
            }
        }
        Value::List& children = v.children();
        for (std::size_t i = 0; i < t.rootCount; ++i) {
            const Component& c = t.components[i];
            if (c.optional) {
                const auto bit = static_cast<std::size_t>(c.bitmapIndex);
                const bool present = t.optionalCount <= 64
                                         ? ((bitmap >> (t.optionalCount - 1 - bit)) & 1) != 0
                                         : bigBitmap[bit];
                if (!present) {
                    continue;
                }
            }
            if (!decode(*c.type, children[i], depth + 1)) {
                return unwind({c.name});
            }
        }
        if (!extended) {
            return true;
        }
        std::size_t count = 0;
        if (!reader_.readNormallySmallLength(count)) {
            return readFailed();
        }
        if (count > kMaxAdditions) {
            return fail("extension bitmap of " + std::to_string(count) + " bits");
        }
        std::vector<bool> present(count);
        for (std::size_t j = 0; j < count; ++j) {
            bool b = false;
            if (!reader_.readBit(b)) {
                return readFailed();
            }
            present[j] = b;
        }
        v.setDecodedAdditionCount(count);
        const std::size_t known = t.components.size() - t.rootCount;
        for (std::size_t j = 0; j < count; ++j) {
            if (!present[j]) {
                continue;
            }
            std::string raw;
            if (j < known) {
                const Component& c = t.components[t.rootCount + j];
                if (!readUnconstrainedOctets(raw)) {
                    return unwind({c.name});
                }
                // The length octet(s) precede the contents; point errors at the contents.
                if (!decodeNested(*c.type, children[t.rootCount + j], raw,
                                  base_ + reader_.position() - raw.size() * 8, depth + 1)) {
                    return unwind({c.name});
                }
            } else {
                if (!readUnconstrainedOctets(raw)) {
                    return false;
                }
                v.unknownAdditions().emplace_back(j, std::move(raw));
            }
        }
        return true;
    }

    bool decodeChoice(const Type& t, Value& v, std::size_t depth)
    {
        bool extended = false;
        if (!readExtensionBit(t.extensible, extended)) {
            return false;
        }
        if (!extended) {
            std::int64_t i = 0;
            if (t.rootCount == 0) {
                return fail("choice index outside the root");
            }
            if (!reader_.readConstrained(0, static_cast<std::int64_t>(t.rootCount) - 1, i)) {
                return reader_.failed() &&
                               std::string_view(reader_.failure()) == "value out of range"
                           ? fail("bad choice index")
                           : readFailed();
            }
            const Component& c = t.components[static_cast<std::size_t>(i)];
            v.setChoiceIndex(static_cast<int>(i));
            v.children().resize(1);
            if (!decode(*c.type, v.children()[0], depth + 1)) {
                return unwind({c.name});
            }
            return true;
        }
        std::uint64_t n = 0;
        if (!reader_.readNormallySmall(n)) {
            return readFailed();
        }
        if (n > k64K) {
            return fail("bad choice index");
        }
        const std::size_t index = t.rootCount + static_cast<std::size_t>(n);
        std::string raw;
        if (index < t.components.size()) {
            const Component& c = t.components[index];
            if (!readUnconstrainedOctets(raw)) {
                return unwind({c.name});
            }
            v.setChoiceIndex(static_cast<int>(index));
            v.children().resize(1);
            if (!decodeNested(*c.type, v.children()[0], raw,
                              base_ + reader_.position() - raw.size() * 8, depth + 1)) {
                return unwind({c.name});
            }
            return true;
        }
        if (!readUnconstrainedOctets(raw)) {
            return false;
        }
        v.setChoiceIndex(static_cast<int>(index));
        v.rawBytes() = std::move(raw);
        return true;
    }

    PerReader reader_;
    const Limits& limits_;
    std::size_t nodes_ = 0;
    std::size_t base_ = 0;
    std::vector<PathStep> errorPath_;
    Error error_;
};

// ---------------------------------------------------------------------------------------

class Encoder
{
public:
    explicit Encoder(std::vector<std::uint8_t>& out)
        : writer_(out)
    {}

    bool run(const Value& v)
    {
        if (!v.type() || !v.present()) {
            return fail("nothing to encode: the value has no type");
        }
        return encode(*v.type(), v, 0);
    }
    std::size_t bits() const { return writer_.bitSize(); }
    Error takeError()
    {
        std::vector<PathStep> path(errorPath_.rbegin(), errorPath_.rend());
        error_.path = pathText(path);
        return std::move(error_);
    }

private:
    static constexpr std::size_t kMaxDepth = 64;

    bool fail(const std::string& message)
    {
        if (error_.message.empty()) {
            error_.message = message;
        }
        return false;
    }
    bool failAt(PathStep step, const std::string& message)
    {
        fail(message);
        return unwind(step);
    }
    // Adds one step of the error path while a failure unwinds (innermost first).
    bool unwind(PathStep step)
    {
        errorPath_.push_back(step);
        return false;
    }

    bool encode(const Type& t, const Value& v, std::size_t depth)
    {
        if (depth > kMaxDepth) {
            return fail("nesting deeper than " + std::to_string(kMaxDepth));
        }
        if (v.type() != &t) {
            return fail("value of type " + (v.type() ? v.type()->displayName() : "(none)") +
                        " where " + t.displayName() + " is expected");
        }
        switch (t.kind) {
        case Kind::Boolean:
            writer_.writeBit(v.boolean());
            return true;
        case Kind::Null:
            return true;
        case Kind::Integer:
            return encodeInteger(t, v);
        case Kind::Enumerated:
            return encodeEnumerated(t, v);
        case Kind::BitString:
            return encodeBitString(t, v);
        case Kind::OctetString:
            return encodeOctetString(t, v);
        case Kind::ObjectIdentifier:
            if (!oidArcs(v.rawBytes())) {
                return fail("invalid object identifier");
            }
            writeUnconstrainedOctets(v.rawBytes());
            return true;
        case Kind::GeneralString:
        case Kind::Open:
            writeUnconstrainedOctets(v.rawBytes());
            return true;
        case Kind::CharString:
            return encodeCharString(t, v);
        case Kind::SequenceOf:
            return encodeSequenceOf(t, v, depth);
        case Kind::Sequence:
            return encodeSequence(t, v, depth);
        case Kind::Choice:
            return encodeChoice(t, v, depth);
        }
        return fail("unknown type");
    }

    bool encodeInteger(const Type& t, const Value& v)
    {
        const std::int64_t x = v.integer();
        const bool inRoot = t.range.contains(x);
        if (t.range.extensible) {
            writer_.writeBit(!inRoot);
            if (!inRoot) {
                writer_.writeUnconstrained(x);
                return true;
            }
        } else if (!inRoot) {
            return fail("integer " + std::to_string(x) + " outside its range");
        }
        if (t.range.constrained()) {
            writer_.writeConstrained(x, t.range.lower, t.range.upper);
        } else if (t.range.hasLower) {
            writer_.writeSemiConstrained(x, t.range.lower);
        } else {
            writer_.writeUnconstrained(x);
        }
        return true;
    }

    bool encodeEnumerated(const Type& t, const Value& v)
    {
        const std::size_t i = v.enumIndex();
        if (i < t.rootCount) {
            if (t.extensible) {
                writer_.writeBit(false);
            }
            writer_.writeConstrained(static_cast<std::int64_t>(i), 0,
                                     static_cast<std::int64_t>(t.rootCount) - 1);
            return true;
        }
        if (!t.extensible || i - t.rootCount > k64K) {
            return fail("enumeration index " + std::to_string(i) + " outside the type");
        }
        writer_.writeBit(true);
        writer_.writeNormallySmall(i - t.rootCount);
        return true;
    }

    // Writes the size extension bit; returns the bounds that apply, or false if the size
    // lies outside a non-extensible constraint.
    bool sizePrologue(const Bounds& size, std::size_t n, Bounds& eb)
    {
        const bool inRoot = size.contains(static_cast<std::int64_t>(n));
        if (size.extensible) {
            writer_.writeBit(!inRoot);
        } else if (!inRoot) {
            return fail("size " + std::to_string(n) + " outside its constraint");
        }
        eb = effectiveSize(size, !inRoot);
        return true;
    }

    // Writes a (possibly fragment) length for `remaining` items under bounds `eb` (not
    // fixed) and returns how many items follow it.
    std::size_t writeLength(const Bounds& eb, std::size_t remaining)
    {
        if (eb.constrained() && eb.upper < static_cast<std::int64_t>(k64K)) {
            writer_.writeConstrainedLength(remaining, static_cast<std::size_t>(eb.lower),
                                           static_cast<std::size_t>(eb.upper));
            return remaining;
        }
        return writer_.writeUnconstrainedLength(remaining);
    }

    void writeBitRange(const std::string& packed, std::size_t from, std::size_t count)
    {
        for (std::size_t i = from; i < from + count;) {
            if (i % 8 == 0 && from + count - i >= 8) {
                writer_.writeBits(static_cast<unsigned char>(packed[i / 8]), 8);
                i += 8;
            } else {
                writer_.writeBit((static_cast<unsigned char>(packed[i / 8]) >> (7 - i % 8)) & 1);
                ++i;
            }
        }
    }

    bool encodeBitString(const Type& t, const Value& v)
    {
        const std::size_t n = v.bitCount();
        const std::string& packed = v.rawBytes();
        if (packed.size() < (n + 7) / 8) {
            return fail("bit string shorter than its bit count");
        }
        Bounds eb;
        if (!sizePrologue(t.size, n, eb)) {
            return false;
        }
        if (eb.fixed() && eb.upper < static_cast<std::int64_t>(k64K)) {
            if (n > 16) {
                writer_.align();
            }
            writeBitRange(packed, 0, n);
            return true;
        }
        std::size_t done = 0;
        while (true) {
            const std::size_t chunk = writeLength(eb, n - done);
            if (chunk > 0) {
                writer_.align();
            }
            writeBitRange(packed, done, chunk);
            done += chunk;
            if (chunk < k16K) {
                return true;
            }
        }
    }

    void writeOctetsFragmented(const Bounds& eb, std::string_view octets)
    {
        std::size_t done = 0;
        while (true) {
            const std::size_t chunk = writeLength(eb, octets.size() - done);
            if (chunk > 0) {
                writer_.align();
                writer_.writeOctets(std::span<const std::uint8_t>(
                    reinterpret_cast<const std::uint8_t*>(octets.data()) + done, chunk));
            }
            done += chunk;
            if (chunk < k16K) {
                return;
            }
        }
    }

    void writeUnconstrainedOctets(std::string_view octets)
    {
        writeOctetsFragmented(Bounds{}, octets);
    }

    bool encodeOctetString(const Type& t, const Value& v)
    {
        const std::string& octets = v.rawBytes();
        Bounds eb;
        if (!sizePrologue(t.size, octets.size(), eb)) {
            return false;
        }
        if (eb.fixed() && eb.upper < static_cast<std::int64_t>(k64K)) {
            if (octets.size() > 2) {
                writer_.align();
            }
            writer_.writeOctets(std::span<const std::uint8_t>(
                reinterpret_cast<const std::uint8_t*>(octets.data()), octets.size()));
            return true;
        }
        writeOctetsFragmented(eb, octets);
        return true;
    }

    void writeChars(const Type& t, const std::u32string& chars, std::size_t from, std::size_t count)
    {
        for (std::size_t i = from; i < from + count; ++i) {
            std::uint64_t code = chars[i];
            if (t.charsAsIndex) {
                code = static_cast<std::uint64_t>(
                    std::lower_bound(t.alphabet.begin(), t.alphabet.end(), chars[i]) -
                    t.alphabet.begin());
            }
            writer_.writeBits(code, t.charBits);
        }
    }

    bool encodeCharString(const Type& t, const Value& v)
    {
        std::u32string chars;
        if (t.charSet == CharSet::BMP) {
            if (!utf8ToBmp(v.rawBytes(), chars)) {
                return fail("text is not UTF-8 of the Basic Multilingual Plane");
            }
        } else {
            chars.reserve(v.rawBytes().size());
            for (char c : v.rawBytes()) {
                chars.push_back(static_cast<unsigned char>(c));
            }
        }
        for (char32_t c : chars) {
            if (!permitted(t, c)) {
                return fail("character " + std::to_string(static_cast<std::uint32_t>(c)) +
                            " outside the permitted alphabet");
            }
        }
        Bounds eb;
        if (!sizePrologue(t.size, chars.size(), eb)) {
            return false;
        }
        if (eb.fixed() && eb.upper < static_cast<std::int64_t>(k64K)) {
            if (chars.size() * t.charBits > 16) {
                writer_.align();
            }
            writeChars(t, chars, 0, chars.size());
            return true;
        }
        const bool aligned = charsAligned(eb, t.charBits);
        std::size_t done = 0;
        while (true) {
            const std::size_t chunk = writeLength(eb, chars.size() - done);
            if (chunk > 0 && aligned) {
                writer_.align();
            }
            writeChars(t, chars, done, chunk);
            done += chunk;
            if (chunk < k16K) {
                return true;
            }
        }
    }

    bool encodeSequenceOf(const Type& t, const Value& v, std::size_t depth)
    {
        const Value::List& elements = v.children();
        Bounds eb;
        if (!sizePrologue(t.size, elements.size(), eb)) {
            return false;
        }
        const bool fixed = eb.fixed() && eb.upper < static_cast<std::int64_t>(k64K);
        std::size_t done = 0;
        while (true) {
            const std::size_t chunk =
                fixed ? elements.size() : writeLength(eb, elements.size() - done);
            for (std::size_t i = done; i < done + chunk; ++i) {
                if (!encode(*t.element, elements[i], depth + 1)) {
                    return unwind({{}, i, true});
                }
            }
            done += chunk;
            if (fixed || chunk < k16K) {
                return true;
            }
        }
    }

    // A complete encoding of `v` written as an open type (X.691 11.2).
    bool encodeAsOpenType(const Type& t, const Value& v, std::size_t depth)
    {
        std::vector<std::uint8_t> inner;
        Encoder nested(inner);
        if (!nested.encode(t, v, depth)) {
            error_.message = nested.error_.message;
            errorPath_ = std::move(nested.errorPath_);
            return false;
        }
        if (inner.empty() && !v.emptyOpenType()) {
            inner.push_back(0); // X.691 11.2.2 via 11.1: never an empty open type
        }
        writeUnconstrainedOctets(
            std::string_view(reinterpret_cast<const char*>(inner.data()), inner.size()));
        return true;
    }

    bool encodeSequence(const Type& t, const Value& v, std::size_t depth)
    {
        const Value::List& children = v.children();
        if (children.size() != t.components.size()) {
            return fail("sequence value does not match its type");
        }
        // Which extension additions are present, known or kept from decoding.
        std::size_t last = 0; // one past the last present addition
        for (std::size_t j = t.rootCount; j < children.size(); ++j) {
            if (children[j].present()) {
                last = j - t.rootCount + 1;
            }
        }
        for (const auto& [j, raw] : v.unknownAdditions()) {
            last = std::max(last, j + 1);
        }
        const bool extended = last > 0;
        if (t.extensible) {
            writer_.writeBit(extended);
        } else if (extended) {
            return fail("extension addition in a type without extensions");
        }
        for (std::size_t i = 0; i < t.rootCount; ++i) {
            const Component& c = t.components[i];
            if (c.optional) {
                writer_.writeBit(children[i].present());
            } else if (!children[i].present()) {
                return failAt({c.name}, "mandatory component " + c.name + " is absent");
            }
        }
        for (std::size_t i = 0; i < t.rootCount; ++i) {
            if (!children[i].present()) {
                continue;
            }
            if (!encode(*t.components[i].type, children[i], depth + 1)) {
                return unwind({t.components[i].name});
            }
        }
        if (!extended) {
            return true;
        }
        const std::size_t known = t.components.size() - t.rootCount;
        std::size_t count = v.decodedAdditionCount() > 0 ? v.decodedAdditionCount() : known;
        count = std::max(count, last);
        writer_.writeNormallySmallLength(count);
        auto unknownAt = [&v](std::size_t j) -> const std::string* {
            for (const auto& [k, raw] : v.unknownAdditions()) {
                if (k == j) {
                    return &raw;
                }
            }
            return nullptr;
        };
        for (std::size_t j = 0; j < count; ++j) {
            writer_.writeBit(j < known ? children[t.rootCount + j].present()
                                       : unknownAt(j) != nullptr);
        }
        for (std::size_t j = 0; j < count; ++j) {
            if (j < known) {
                const Value& child = children[t.rootCount + j];
                if (!child.present()) {
                    continue;
                }
                if (!encodeAsOpenType(*t.components[t.rootCount + j].type, child, depth + 1)) {
                    return unwind({t.components[t.rootCount + j].name});
                }
                continue;
            }
            if (const std::string* raw = unknownAt(j)) {
                writeUnconstrainedOctets(*raw);
            }
        }
        return true;
    }

    bool encodeChoice(const Type& t, const Value& v, std::size_t depth)
    {
        const int index = v.choiceIndex();
        if (index < 0) {
            return fail("no alternative chosen");
        }
        const auto i = static_cast<std::size_t>(index);
        if (i < t.rootCount) {
            if (t.extensible) {
                writer_.writeBit(false);
            }
            writer_.writeConstrained(index, 0, static_cast<std::int64_t>(t.rootCount) - 1);
            const Component& c = t.components[i];
            if (v.children().size() != 1) {
                return fail("alternative " + c.name + " has no value");
            }
            if (!encode(*c.type, v.children()[0], depth + 1)) {
                return unwind({c.name});
            }
            return true;
        }
        if (!t.extensible) {
            return fail("choice index " + std::to_string(index) + " outside the type");
        }
        writer_.writeBit(true);
        writer_.writeNormallySmall(i - t.rootCount);
        if (i < t.components.size()) {
            const Component& c = t.components[i];
            if (v.children().size() != 1) {
                return fail("alternative " + c.name + " has no value");
            }
            if (!encodeAsOpenType(*c.type, v.children()[0], depth + 1)) {
                return unwind({c.name});
            }
            return true;
        }
        writeUnconstrainedOctets(v.rawBytes());
        return true;
    }

    PerWriter writer_;
    std::vector<PathStep> errorPath_;
    Error error_;
};

} // namespace

Result<Value> decode(const Type& type, std::span<const std::uint8_t> bytes,
                     std::size_t& decodedBits, const Limits& limits)
{
    Decoder decoder(bytes, limits);
    Value value;
    if (!decoder.run(type, value)) {
        return decoder.takeError();
    }
    decodedBits = decoder.position();
    return value;
}

Result<Value> decode(const Type& type, std::span<const std::uint8_t> bytes, const Limits& limits)
{
    std::size_t bits = 0;
    return decode(type, bytes, bits, limits);
}

Status encode(const Value& value, std::vector<std::uint8_t>& out)
{
    const std::size_t start = out.size();
    Encoder encoder(out);
    if (!encoder.run(value)) {
        out.resize(start);
        return encoder.takeError();
    }
    if (out.size() == start) {
        out.push_back(0); // X.691 11.1: an empty encoding becomes one zero octet
    }
    return {};
}

Result<std::vector<std::uint8_t>> encode(const Value& value)
{
    std::vector<std::uint8_t> out;
    out.reserve(128);
    Status status = encode(value, out);
    if (!status) {
        return status.error();
    }
    return out;
}

} // namespace voip::asn
