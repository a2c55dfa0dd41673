// Every type reachable from MultimediaSystemControlMessage, with every CHOICE alternative
// (root and extension) and every SEQUENCE with all and with no optional components, goes
// through the PER codec and back unchanged: a peer's message of any shape decodes.
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "filler.h"
#include "voip/asn/codec.h"
#include "voip/h245/schema.h"

namespace voip::h245 {
namespace {

using test::Filler;

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
