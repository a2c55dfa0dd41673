// Every type reachable from MultimediaSystemControlMessage, with every CHOICE alternative
// (root and extension) and every SEQUENCE with all and with no optional components, goes
// through the PER codec and back unchanged: a peer's message of any shape decodes.
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "voip/asn/codec.h"
#include "voip/h245/schema.h"

namespace voip::h245 {
namespace {

class Filler
{
public:
    explicit Filler(std::uint32_t seed)
        : rng_(seed)
    {}

    enum class Optionals
    {
        All,
        None,
        Random,
    };

    /// Fills `value` of `type` with values inside every constraint. `forcedAlternative`
    /// chooses the top-level alternative of a CHOICE.
    void fill(asn::Value& value, const asn::Type& type, int depth, Optionals optionals,
              int forcedAlternative = -1)
    {
        switch (type.kind) {
        case asn::Kind::Boolean:
            value.setBoolean(random(2) == 1);
            break;
        case asn::Kind::Null:
            break;
        case asn::Kind::Integer:
            value.setInteger(pick(type.range, 1000));
            break;
        case asn::Kind::Enumerated:
            value.setEnumIndex(static_cast<std::size_t>(random(static_cast<int>(type.rootCount))));
            break;
        case asn::Kind::BitString: {
            const auto bits = static_cast<std::size_t>(length(type.size));
            value.setBits(std::string((bits + 7) / 8, '\x5a'), bits);
            break;
        }
        case asn::Kind::OctetString:
        case asn::Kind::GeneralString:
        case asn::Kind::Open:
            value.setBytes(std::string(static_cast<std::size_t>(length(type.size)), 'k'));
            break;
        case asn::Kind::CharString: {
            std::string text;
            const std::int64_t n = length(type.size);
            for (std::int64_t i = 0; i < n; ++i) {
                if (!type.alphabet.empty())
                    text += static_cast<char>(
                        type.alphabet[random(static_cast<int>(type.alphabet.size()))]);
                else if (type.charSet == asn::CharSet::Numeric)
                    text += static_cast<char>('0' + random(10));
                else
                    text += static_cast<char>('a' + random(26));
            }
            value.setText(text);
            break;
        }
        case asn::Kind::ObjectIdentifier:
            value.setOid({0, 0, 8, 245, 0, static_cast<std::uint64_t>(random(20))});
            break;
        case asn::Kind::SequenceOf: {
            std::int64_t n = type.size.hasLower ? type.size.lower : 0;
            if (depth < 6 && n < 2)
                n = std::max<std::int64_t>(n, random(3));
            if (type.size.hasUpper)
                n = std::min(n, type.size.upper);
            for (std::int64_t i = 0; i < n; ++i)
                fill(value.append(), *type.element, depth + 1, Optionals::Random);
            break;
        }
        case asn::Kind::Sequence:
            for (std::size_t i = 0; i < type.components.size(); ++i) {
                const asn::Component& component = type.components[i];
                const int index = static_cast<int>(i);
                if (component.optional || component.extension) {
                    const bool take = optionals == Optionals::All ||
                                      (optionals == Optionals::Random && depth < 6 && random(2));
                    if (!take) {
                        value.remove(index);
                        continue;
                    }
                }
                fill(value.field(index), *component.type, depth + 1, Optionals::Random);
            }
            break;
        case asn::Kind::Choice: {
            const int count = static_cast<int>(type.components.size());
            int index = forcedAlternative >= 0 ? forcedAlternative : random(count);
            // Deep down, prefer a leaf alternative so that recursive types end.
            if (forcedAlternative < 0 && depth > 8)
                for (int k = 0; k < count; ++k)
                    if (isLeaf(*type.components[k].type)) {
                        index = k;
                        break;
                    }
            fill(value.choose(index), *type.components[index].type, depth + 1, Optionals::Random);
            break;
        }
        }
    }

private:
    static bool isLeaf(const asn::Type& type)
    {
        return type.kind != asn::Kind::Sequence && type.kind != asn::Kind::Choice &&
               type.kind != asn::Kind::SequenceOf;
    }

    int random(int n) { return n <= 0 ? 0 : static_cast<int>(rng_() % static_cast<unsigned>(n)); }

    std::int64_t pick(const asn::Bounds& bounds, int span)
    {
        const std::int64_t lower = bounds.hasLower ? bounds.lower : -span;
        if (!bounds.hasUpper)
            return lower + random(span);
        switch (random(3)) {
        case 0:
            return lower;
        case 1:
            return bounds.upper;
        default:
            return lower + static_cast<std::int64_t>(
                               rng_() % static_cast<std::uint64_t>(bounds.upper - lower + 1));
        }
    }

    std::int64_t length(const asn::Bounds& size)
    {
        const std::int64_t n = pick(size, 8);
        // Long fixed sizes stay as they are; long ranges are cut short.
        return std::max<std::int64_t>(size.hasLower ? size.lower : 0,
                                      std::min<std::int64_t>(n, 40));
    }

    std::mt19937 rng_;
};

void collect(const asn::Type* type, std::set<const asn::Type*>& seen,
             std::vector<const asn::Type*>& order)
{
    if (!type || !seen.insert(type).second)
        return;
    order.push_back(type);
    collect(type->element, seen, order);
    for (const asn::Component& component : type->components)
        collect(component.type, seen, order);
}

void expectRoundTrip(const asn::Value& value, const std::string& what)
{
    auto bytes = asn::encode(value);
    ASSERT_TRUE(bytes.ok()) << what << ": " << bytes.error().toString();
    auto decoded = asn::decode(*value.type(), *bytes);
    ASSERT_TRUE(decoded.ok()) << what << ": " << decoded.error().toString();
    EXPECT_TRUE(*decoded == value) << what;
    auto again = asn::encode(*decoded);
    ASSERT_TRUE(again.ok()) << what;
    EXPECT_EQ(*again, *bytes) << what;
}

TEST(H245SchemaWalk, EveryAlternativeAndEveryOptionalRoundTrips)
{
    ASSERT_NE(messageType(), nullptr);
    std::set<const asn::Type*> seen;
    std::vector<const asn::Type*> types;
    collect(messageType(), seen, types);
    // The whole module hangs off the message type.
    EXPECT_GT(types.size(), 600u);

    Filler filler(2450);
    std::size_t alternatives = 0;
    std::size_t choices = 0;
    std::size_t sequences = 0;
    for (const asn::Type* type : types) {
        const std::string name = type->displayName();
        if (type->kind == asn::Kind::Choice) {
            ++choices;
            for (int i = 0; i < static_cast<int>(type->components.size()); ++i) {
                asn::Value value(*type);
                filler.fill(value, *type, 0, Filler::Optionals::Random, i);
                expectRoundTrip(value, name + "." + type->components[i].name);
                ++alternatives;
            }
        } else if (type->kind == asn::Kind::Sequence) {
            ++sequences;
            for (const auto optionals : {Filler::Optionals::All, Filler::Optionals::None}) {
                asn::Value value(*type);
                filler.fill(value, *type, 0, optionals);
                expectRoundTrip(value, name);
            }
        }
    }
    // The counts of the H.245 version 15 module: all of it is reachable and nothing is lost.
    EXPECT_EQ(choices, 168u);
    EXPECT_EQ(alternatives, 819u);
    EXPECT_EQ(sequences, 276u);
}

TEST(H245SchemaWalk, RandomMessagesRoundTrip)
{
    ASSERT_NE(messageType(), nullptr);
    Filler filler(7);
    for (int i = 0; i < 2000; ++i) {
        asn::Value message(*messageType());
        filler.fill(message, *messageType(), 0, Filler::Optionals::Random);
        expectRoundTrip(message, "message " + std::to_string(i));
    }
}

} // namespace
} // namespace voip::h245
