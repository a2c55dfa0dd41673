#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "voip/asn/nodepool.h"
#include "voip/asn/schema.h"

namespace voip::asn {

/// Whether a component or alternative named that its type does not have is a fault of the
/// program (it reads as absent, and writes nowhere): when on, the accessors by name print
/// the type and the name, and abort.  Off by default; on when the environment has
/// KX_ASN_STRICT=1 (the test suite's runs), or by this call.
void setStrictNames(bool strict);
bool strictNames();

/// A decoded or to-be-encoded value of a schema type: a small tree that mirrors the type.
///
/// SEQUENCE: one child per known component (root and known additions), each present or
/// absent; unknown extension additions of a decoded value are kept as raw open-type bytes.
/// CHOICE: the chosen index and one child; an unknown extension alternative keeps its raw
/// bytes. SEQUENCE OF: the elements. Scalars: integers (int64), booleans, enumeration
/// index, octets, bits, character strings as UTF-8, OIDs (kept as their BER contents).
///
/// Reading with operator[] never changes the value: a missing component or an alternative
/// that is not chosen reads as an absent value (type() == nullptr, present() == false).
/// Building uses field() (makes the component present) and choose().
class Value
{
public:
    /// Children of a constructed value (components, the chosen alternative, elements).
    using List = std::vector<Value, NodeAllocator<Value>>;

    /// An absent value of no type. (User-provided, so that building a list of values does
    /// not zero each one before constructing it.)
    Value() noexcept {}
    /// A default value of the type: sequences with their mandatory components set to
    /// defaults and optional ones absent, choices with no alternative chosen yet, zero/empty
    /// scalars.
    explicit Value(const Type& type);
    Value(const Value& other);
    Value& operator=(const Value& other);
    Value(Value&&) noexcept = default;
    Value& operator=(Value&&) noexcept = default;
    ~Value() = default;

    const Type* type() const { return type_; }
    Kind kind() const { return type_ ? type_->kind : Kind::Null; }
    bool present() const { return present_; }

    // ---- SEQUENCE ----
    /// Component by name; an absent value if the name is unknown, the component is absent
    /// or this is a CHOICE whose chosen alternative has another name.
    const Value& operator[](std::string_view name) const;
    /// Component by index (Type::indexOf); same rules as by name.
    const Value& operator[](int index) const;
    bool has(std::string_view name) const;
    bool has(int index) const;
    /// The component when this value's type has one by that name; an absent value when it
    /// has not (never reported as a fault): for code that reads a field from whichever of
    /// several types it is given.
    const Value& find(std::string_view name) const;
    /// The component made present (default value if it was absent) for writing. On a
    /// CHOICE, the same as choose(). Returns an absent placeholder for an unknown name,
    /// which encode() rejects; check Type::indexOf when names come from outside.
    Value& field(std::string_view name);
    Value& field(int index);
    /// Makes a component absent.
    void remove(std::string_view name);
    void remove(int index);
    /// Unknown extension additions kept from decoding: (addition index, raw encoding).
    using UnknownAdditions = std::vector<std::pair<std::size_t, std::string>>;
    const UnknownAdditions& unknownAdditions() const;

    // ---- CHOICE ----
    /// Chooses an alternative (a fresh default value unless it is already the chosen one).
    Value& choose(std::string_view name);
    Value& choose(int index);
    /// Index of the chosen alternative, -1 if none. May be >= the number of known
    /// alternatives for an unknown extension alternative (its bytes: rawBytes()).
    int choiceIndex() const { return type_ && type_->kind == Kind::Choice ? index_ : -1; }
    /// Name of the chosen alternative, empty if none or unknown.
    std::string_view choiceName() const;
    const Value& chosen() const;
    Value& chosen();
    bool is(std::string_view alternative) const;

    // ---- SEQUENCE OF ----
    std::size_t size() const { return children_.size(); }
    const Value& at(std::size_t i) const { return children_[i]; }
    Value& at(std::size_t i) { return children_[i]; }
    /// Appends a default element and returns it.
    Value& append();
    void clear() { children_.clear(); }
    const List& elements() const { return children_; }

    // ---- scalars ----
    bool boolean() const { return integer_ != 0; }
    void setBoolean(bool b) { integer_ = b ? 1 : 0; }

    std::int64_t integer() const { return integer_; }
    void setInteger(std::int64_t v) { integer_ = v; }

    /// ENUMERATED: index into Type::items.
    std::size_t enumIndex() const { return static_cast<std::size_t>(integer_); }
    std::string_view enumName() const;
    /// False (and no change) if the name is not an item of the enumeration.
    bool setEnum(std::string_view name);
    void setEnumIndex(std::size_t i) { integer_ = static_cast<std::int64_t>(i); }

    /// OCTET STRING, GeneralString and open types: the octets. Character strings: UTF-8.
    std::string_view bytes() const { return bytes_; }
    std::span<const std::uint8_t> octets() const
    {
        return {reinterpret_cast<const std::uint8_t*>(bytes_.data()), bytes_.size()};
    }
    void setBytes(std::string_view b) { bytes_.assign(b); }
    void setOctets(std::span<const std::uint8_t> b)
    {
        bytes_.assign(reinterpret_cast<const char*>(b.data()), b.size());
    }
    std::string_view text() const { return bytes_; }
    void setText(std::string_view utf8) { bytes_.assign(utf8); }

    /// BIT STRING: bits packed from the most significant bit of the first octet.
    std::size_t bitCount() const { return static_cast<std::size_t>(integer_); }
    bool bit(std::size_t i) const;
    void setBits(std::string_view packed, std::size_t count);
    void setBit(std::size_t i, bool on);

    /// OBJECT IDENTIFIER arcs; empty if the stored contents are malformed.
    std::vector<std::uint64_t> oid() const;
    /// False if there are fewer than two arcs or the first two are out of range.
    bool setOid(std::span<const std::uint64_t> arcs);
    bool setOid(std::initializer_list<std::uint64_t> arcs)
    {
        return setOid(std::span<const std::uint64_t>(arcs.begin(), arcs.size()));
    }
    /// "0.0.8.2250.0.4"
    std::string oidText() const;

    /// Deep equality of present content (unknown additions included).
    bool operator==(const Value& other) const;

    /// Internal access for the codec.
    List& children() { return children_; }
    const List& children() const { return children_; }
    std::string& rawBytes() { return bytes_; }
    const std::string& rawBytes() const { return bytes_; }
    UnknownAdditions& unknownAdditions();
    /// SEQUENCE: length of the extension bitmap read by the decoder (0 if none), so that
    /// re-encoding a decoded value gives the same bytes.
    std::size_t decodedAdditionCount() const
    {
        return kind() == Kind::Sequence ? static_cast<std::size_t>(integer_) : 0;
    }
    void setDecodedAdditionCount(std::size_t n) { integer_ = static_cast<std::int64_t>(n); }
    /// Whether the decoder found this value as an open type of zero octets (some encoders
    /// send an empty encoding that way instead of one zero octet); kept for re-encoding.
    bool emptyOpenType() const { return emptyOpenType_; }
    void setEmptyOpenType(bool e) { emptyOpenType_ = e; }
    void setChoiceIndex(int i) { index_ = i; }
    void setPresent(bool p) { present_ = p; }
    /// Resets to the default value of a type (see the constructor).
    void reset(const Type& type);
    /// Resets to an empty value of a type, all components absent (for the decoder).
    void resetEmpty(const Type& type);

    /// An absent component of a type (for the decoder).
    struct AbsentTag
    {};
    Value(const Type* type, AbsentTag) noexcept
        : type_(type)
    {}

private:
    void initialise(const Type& type, int depth);

    // What only some decoded SEQUENCE values need, kept out of line to keep nodes small.
    struct Extra
    {
        UnknownAdditions unknownAdditions;
    };

    const Type* type_ = nullptr;
    std::int64_t integer_ = 0; // also a SEQUENCE's decoded extension bitmap length
    std::string bytes_;
    List children_;
    std::unique_ptr<Extra> extra_;
    std::int32_t index_ = -1;
    bool present_ = false;
    bool emptyOpenType_ = false;
};

/// Encodes OID arcs as BER contents octets (X.690 8.19); empty on invalid arcs.
std::string oidContents(std::span<const std::uint64_t> arcs);
/// Decodes BER contents octets of an OID; nullopt when malformed.
std::optional<std::vector<std::uint64_t>> oidArcs(std::string_view contents);

} // namespace voip::asn
