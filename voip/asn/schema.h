#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "voip/asn/result.h"

namespace voip::asn {

/// The ASN.1 types the PER runtime knows (after references are resolved).
enum class Kind : std::uint8_t
{
    Boolean,
    Null,
    Integer,
    Enumerated,
    BitString,
    OctetString,
    ObjectIdentifier,
    CharString,    ///< IA5String, NumericString, PrintableString, VisibleString, BMPString
    GeneralString, ///< not-known-multiplier strings: length-prefixed octets
    Open,          ///< open type: length-prefixed octets holding a complete encoding
    SequenceOf,
    Sequence,
    Choice,
};

enum class CharSet : std::uint8_t
{
    IA5,
    Numeric,
    Printable,
    Visible,
    BMP,
};

/// A value range (INTEGER) or a SIZE range, possibly open at either end and possibly
/// extensible ("(0..255, ...)").
struct Bounds
{
    bool hasLower = false;
    bool hasUpper = false;
    bool extensible = false;
    std::int64_t lower = 0;
    std::int64_t upper = 0;

    bool constrained() const { return hasLower && hasUpper; }
    bool fixed() const { return constrained() && lower == upper; }
    bool contains(std::int64_t v) const
    {
        return (!hasLower || v >= lower) && (!hasUpper || v <= upper);
    }
};

struct Type;

/// A SEQUENCE component or a CHOICE alternative.
struct Component
{
    std::string name;
    const Type* type = nullptr;
    bool optional = false; ///< OPTIONAL, or DEFAULT (both take a bit in the presence bitmap)
    bool hasDefault = false;
    std::string defaultValue; ///< the DEFAULT value as written ("true", "0", an identifier)
    bool extension = false;   ///< an extension addition (after the "..." marker)
    /// For root OPTIONAL/DEFAULT components: position in the presence bitmap, else -1.
    int bitmapIndex = -1;
};

/// One node of a resolved type graph. Owned by its Schema; never changes after loading.
struct Type
{
    Kind kind = Kind::Null;
    std::string module;
    /// The defined name ("Setup-UUIE"), or empty for a type written inline.
    std::string name;

    Bounds range; ///< INTEGER value range
    Bounds size;  ///< SIZE of BIT/OCTET/character strings and of SEQUENCE OF

    /// ENUMERATED: item names, root items in PER index order, then extension items.
    std::vector<std::string> items;

    /// Character strings: the set, the sorted permitted alphabet (empty: the whole set),
    /// bits per character in the ALIGNED variant, and whether characters travel as their
    /// index in the alphabet (X.691 27.5.4) rather than as their value.
    CharSet charSet = CharSet::IA5;
    std::u32string alphabet;
    unsigned charBits = 8;
    bool charsAsIndex = false;

    /// SEQUENCE OF: the element type.
    const Type* element = nullptr;

    /// SEQUENCE components or CHOICE alternatives: root first, then extension additions.
    std::vector<Component> components;

    /// ENUMERATED items, SEQUENCE components or CHOICE alternatives in the root.
    std::size_t rootCount = 0;
    /// Holds an extension marker ("...").
    bool extensible = false;
    /// SEQUENCE: number of OPTIONAL/DEFAULT root components (bits in the presence bitmap).
    std::size_t optionalCount = 0;

    /// Index of a component/alternative/enumeration item by name, or -1. Cache the result
    /// on hot paths: it is a hash lookup.
    int indexOf(std::string_view name) const;

    /// "module.Name" for a defined type, or a short description of an inline one.
    std::string displayName() const;

    // Lookup table for indexOf, built once at load.
    std::unordered_map<std::string_view, int> nameIndex;
};

/// A set of schema modules parsed and resolved together. Immutable and thread-safe once
/// loaded. References to modules not in the set are looked up in the base schema.
class Schema
{
public:
    /// Parses the module texts (kxs notation) and resolves every reference. An unknown
    /// reference, a syntax error or a duplicate definition is an Error naming the module,
    /// line and type.
    static Result<std::shared_ptr<const Schema>> load(std::span<const std::string_view> moduleTexts,
                                                      std::shared_ptr<const Schema> base = {});

    /// The defined type, or nullptr.
    const Type* find(std::string_view module, std::string_view name) const;
    /// The defined type given as "module.Name", or nullptr.
    const Type* find(std::string_view qualifiedName) const;

    /// Names of the modules loaded in this set (not the base's).
    std::vector<std::string> modules() const;

    Schema(const Schema&) = delete;
    Schema& operator=(const Schema&) = delete;
    Schema() = default;

private:
    friend class SchemaLoader;
    std::shared_ptr<const Schema> base_;
    std::deque<Type> types_;                               // stable addresses
    std::unordered_map<std::string, const Type*> defined_; // "module.Name" -> type
    std::vector<std::string> moduleNames_;
};

} // namespace voip::asn
