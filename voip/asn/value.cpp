#include "voip/asn/value.h"

#include <atomic>
#include <cstdlib>
#include <iostream>

namespace voip::asn {

namespace {

const Value& absent()
{
    static const Value kAbsent;
    return kAbsent;
}

// Where writes to an unknown component go: never part of a tree, cleared at each use.
Value& scratch()
{
    thread_local Value kScratch;
    kScratch = Value();
    return kScratch;
}

constexpr int kMaxInitDepth = 64;

} // namespace

Value::Value(const Type& type)
{
    initialise(type, 0);
}

Value::Value(const Value& other)
    : type_(other.type_)
    , integer_(other.integer_)
    , bytes_(other.bytes_)
    , children_(other.children_)
    , extra_(other.extra_ ? std::make_unique<Extra>(*other.extra_) : nullptr)
    , index_(other.index_)
    , present_(other.present_)
    , emptyOpenType_(other.emptyOpenType_)
{}

Value& Value::operator=(const Value& other)
{
    if (this != &other) {
        Value copy(other);
        *this = std::move(copy);
    }
    return *this;
}

const Value::UnknownAdditions& Value::unknownAdditions() const
{
    static const UnknownAdditions kNone;
    return extra_ ? extra_->unknownAdditions : kNone;
}

Value::UnknownAdditions& Value::unknownAdditions()
{
    if (!extra_) {
        extra_ = std::make_unique<Extra>();
    }
    return extra_->unknownAdditions;
}

void Value::reset(const Type& type)
{
    initialise(type, 0);
}

void Value::resetEmpty(const Type& type)
{
    type_ = &type;
    present_ = true;
    emptyOpenType_ = false;
    index_ = -1;
    integer_ = 0;
    bytes_.clear();
    children_.clear();
    extra_.reset();
    if (type.kind == Kind::Sequence) {
        children_.reserve(type.components.size());
        for (const Component& c : type.components) {
            children_.emplace_back(c.type, AbsentTag{});
        }
    }
}

void Value::initialise(const Type& type, int depth)
{
    resetEmpty(type);
    switch (type.kind) {
    case Kind::Sequence:
        if (depth < kMaxInitDepth) {
            for (std::size_t i = 0; i < type.components.size(); ++i) {
                const Component& c = type.components[i];
                if (!c.optional) {
                    children_[i].initialise(*c.type, depth + 1);
                }
            }
        }
        break;
    case Kind::Integer:
        if (!type.range.contains(0)) {
            integer_ = type.range.hasLower ? type.range.lower : type.range.upper;
        }
        break;
    case Kind::BitString:
        if (type.size.fixed()) {
            integer_ = type.size.lower;
            bytes_.assign(static_cast<std::size_t>((type.size.lower + 7) / 8), '\0');
        }
        break;
    case Kind::OctetString:
        if (type.size.fixed()) {
            bytes_.assign(static_cast<std::size_t>(type.size.lower), '\0');
        }
        break;
    default:
        break;
    }
}

namespace {

std::atomic<bool>& strictNamesFlag()
{
    static std::atomic<bool> strict{[] {
        const char* value = std::getenv("KX_ASN_STRICT");
        return value && std::string_view(value) == "1";
    }()};
    return strict;
}

/// The index of `name` in `type`; a name the type does not have is reported when strict.
int indexIn(const Type& type, std::string_view name)
{
    const int index = type.indexOf(name);
    if (index < 0 && strictNamesFlag().load(std::memory_order_relaxed)) {
        std::cerr << "asn: " << type.displayName() << " has no component or alternative \"" << name
                  << "\"" << std::endl;
        std::abort();
    }
    return index;
}

} // namespace

void setStrictNames(bool strict)
{
    strictNamesFlag() = strict;
}

bool strictNames()
{
    return strictNamesFlag();
}

bool Value::is(std::string_view alternative) const
{
    if (type_ && type_->kind == Kind::Choice)
        indexIn(*type_, alternative);
    return choiceName() == alternative;
}

const Value& Value::operator[](std::string_view name) const
{
    if (!type_) {
        return absent();
    }
    return (*this)[indexIn(*type_, name)];
}

const Value& Value::operator[](int index) const
{
    if (!type_ || index < 0) {
        return absent();
    }
    if (type_->kind == Kind::Sequence) {
        if (static_cast<std::size_t>(index) < children_.size() && children_[index].present_) {
            return children_[index];
        }
        return absent();
    }
    if (type_->kind == Kind::Choice && index == index_ && children_.size() == 1) {
        return children_[0];
    }
    return absent();
}

const Value& Value::find(std::string_view name) const
{
    return type_ ? (*this)[type_->indexOf(name)] : absent();
}

bool Value::has(std::string_view name) const
{
    return (*this)[name].present_;
}

bool Value::has(int index) const
{
    return (*this)[index].present_;
}

Value& Value::field(std::string_view name)
{
    if (!type_) {
        return scratch();
    }
    return field(indexIn(*type_, name));
}

Value& Value::field(int index)
{
    if (!type_ || index < 0 || static_cast<std::size_t>(index) >= type_->components.size()) {
        return scratch();
    }
    if (type_->kind == Kind::Choice) {
        return choose(index);
    }
    if (type_->kind != Kind::Sequence) {
        return scratch();
    }
    Value& child = children_[index];
    if (!child.present_) {
        child.initialise(*type_->components[index].type, 0);
    }
    return child;
}

void Value::remove(std::string_view name)
{
    if (type_) {
        remove(indexIn(*type_, name));
    }
}

void Value::remove(int index)
{
    if (type_ && type_->kind == Kind::Sequence && index >= 0 &&
        static_cast<std::size_t>(index) < children_.size()) {
        children_[index].present_ = false;
    }
}

Value& Value::choose(std::string_view name)
{
    if (!type_) {
        return scratch();
    }
    return choose(indexIn(*type_, name));
}

Value& Value::choose(int index)
{
    if (!type_ || type_->kind != Kind::Choice || index < 0 ||
        static_cast<std::size_t>(index) >= type_->components.size()) {
        return scratch();
    }
    if (index_ != index || children_.size() != 1) {
        index_ = index;
        bytes_.clear();
        children_.clear();
        children_.emplace_back(*type_->components[index].type);
    }
    return children_[0];
}

std::string_view Value::choiceName() const
{
    if (!type_ || type_->kind != Kind::Choice || index_ < 0 ||
        static_cast<std::size_t>(index_) >= type_->components.size()) {
        return {};
    }
    return type_->components[index_].name;
}

const Value& Value::chosen() const
{
    if (type_ && type_->kind == Kind::Choice && children_.size() == 1) {
        return children_[0];
    }
    return absent();
}

Value& Value::chosen()
{
    if (type_ && type_->kind == Kind::Choice && children_.size() == 1) {
        return children_[0];
    }
    return scratch();
}

Value& Value::append()
{
    if (!type_ || type_->kind != Kind::SequenceOf) {
        return scratch();
    }
    children_.emplace_back(*type_->element);
    return children_.back();
}

std::string_view Value::enumName() const
{
    if (!type_ || type_->kind != Kind::Enumerated || integer_ < 0 ||
        static_cast<std::size_t>(integer_) >= type_->items.size()) {
        return {};
    }
    return type_->items[static_cast<std::size_t>(integer_)];
}

bool Value::setEnum(std::string_view name)
{
    if (!type_ || type_->kind != Kind::Enumerated) {
        return false;
    }
    const int i = type_->indexOf(name);
    if (i < 0) {
        return false;
    }
    integer_ = i;
    return true;
}

bool Value::bit(std::size_t i) const
{
    if (i >= bitCount() || i / 8 >= bytes_.size()) {
        return false;
    }
    return (static_cast<unsigned char>(bytes_[i / 8]) >> (7 - i % 8)) & 1;
}

void Value::setBits(std::string_view packed, std::size_t count)
{
    const std::size_t octets = (count + 7) / 8;
    bytes_.assign(packed.substr(0, octets));
    bytes_.resize(octets, '\0');
    if (count % 8 != 0) {
        bytes_.back() =
            static_cast<char>(static_cast<unsigned char>(bytes_.back()) & (0xFF00u >> (count % 8)));
    }
    integer_ = static_cast<std::int64_t>(count);
}

void Value::setBit(std::size_t i, bool on)
{
    if (i >= bitCount()) {
        integer_ = static_cast<std::int64_t>(i + 1);
        bytes_.resize((i + 8) / 8, '\0');
    }
    auto octet = static_cast<unsigned char>(bytes_[i / 8]);
    const unsigned mask = 0x80u >> (i % 8);
    octet = static_cast<unsigned char>(on ? (octet | mask) : (octet & ~mask));
    bytes_[i / 8] = static_cast<char>(octet);
}

std::vector<std::uint64_t> Value::oid() const
{
    auto arcs = oidArcs(bytes_);
    return arcs ? std::move(*arcs) : std::vector<std::uint64_t>{};
}

bool Value::setOid(std::span<const std::uint64_t> arcs)
{
    std::string contents = oidContents(arcs);
    if (contents.empty()) {
        return false;
    }
    bytes_ = std::move(contents);
    return true;
}

std::string Value::oidText() const
{
    std::string s;
    for (std::uint64_t arc : oid()) {
        if (!s.empty()) {
            s += '.';
        }
        s += std::to_string(arc);
    }
    return s;
}

bool Value::operator==(const Value& other) const
{
    if (present_ != other.present_) {
        return false;
    }
    if (!present_) {
        return true;
    }
    if (kind() != other.kind()) {
        return false;
    }
    switch (kind()) {
    case Kind::Null:
        return true;
    case Kind::Boolean:
        return boolean() == other.boolean();
    case Kind::Integer:
    case Kind::Enumerated:
        return integer_ == other.integer_;
    case Kind::BitString:
        return integer_ == other.integer_ && bytes_ == other.bytes_;
    case Kind::Choice:
        return index_ == other.index_ && bytes_ == other.bytes_ && children_ == other.children_;
    case Kind::Sequence:
        return children_ == other.children_ && unknownAdditions() == other.unknownAdditions();
    case Kind::SequenceOf:
        return children_ == other.children_;
    default:
        return bytes_ == other.bytes_;
    }
}

std::string oidContents(std::span<const std::uint64_t> arcs)
{
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40) ||
        arcs[1] > (~std::uint64_t{0}) - 80) {
        return {};
    }
    std::string out;
    auto put = [&out](std::uint64_t v) {
        char buf[10];
        int n = 0;
        do {
            buf[n++] = static_cast<char>(v & 0x7F);
            v >>= 7;
        } while (v != 0);
        while (n > 0) {
            --n;
            out.push_back(static_cast<char>(buf[n] | (n > 0 ? 0x80 : 0)));
        }
    };
    put(arcs[0] * 40 + arcs[1]);
    for (std::size_t i = 2; i < arcs.size(); ++i) {
        put(arcs[i]);
    }
    return out;
}

std::optional<std::vector<std::uint64_t>> oidArcs(std::string_view contents)
{
    if (contents.empty()) {
        return std::nullopt;
    }
    std::vector<std::uint64_t> arcs;
    std::uint64_t v = 0;
    bool inArc = false;
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const auto b = static_cast<unsigned char>(contents[i]);
        if (!inArc && b == 0x80) {
            return std::nullopt; // X.690 8.19.2: no leading 0x80 octets
        }
        if (v > ((~std::uint64_t{0}) >> 7)) {
            return std::nullopt;
        }
        v = (v << 7) | (b & 0x7F);
        inArc = true;
        if ((b & 0x80) == 0) {
            if (arcs.empty()) {
                const std::uint64_t first = v < 40 ? 0 : (v < 80 ? 1 : 2);
                arcs.push_back(first);
                arcs.push_back(v - first * 40);
            } else {
                arcs.push_back(v);
            }
            v = 0;
            inArc = false;
        }
    }
    if (inArc) {
        return std::nullopt;
    }
    return arcs;
}

} // namespace voip::asn
