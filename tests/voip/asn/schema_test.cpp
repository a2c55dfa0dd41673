#include <array>

#include <gtest/gtest.h>

#include "voip/asn/schema.h"
#include "test_util.h"

namespace voip::asn {
namespace {

Result<std::shared_ptr<const Schema>> loadAll(std::initializer_list<std::string_view> texts,
                                              std::shared_ptr<const Schema> base = {})
{
    std::vector<std::string_view> v(texts);
    return Schema::load(v, std::move(base));
}

TEST(Schema, ResolvesReferencesAcrossModulesInAnyOrder)
{
    auto loaded = loadAll({R"(
module first
use second
A = seq {
  b : second.B opt   # a comment
  self : A2
  ...
}
A2 = A3
A3 = int(0..9)
)",
                           R"(module second
B = choice { x : null  y : bool }
)"});
    ASSERT_TRUE(loaded.ok()) << loaded.error().toString();
    const Type* a = (*loaded)->find("first.A");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->kind, Kind::Sequence);
    EXPECT_EQ(a->name, "A");
    EXPECT_TRUE(a->extensible);
    EXPECT_EQ(a->rootCount, 2u);
    EXPECT_EQ(a->optionalCount, 1u);
    ASSERT_EQ(a->components.size(), 2u);
    EXPECT_EQ(a->components[0].type, (*loaded)->find("second", "B"));
    EXPECT_EQ(a->components[1].type->kind, Kind::Integer);
    EXPECT_EQ(a->components[1].type->range.upper, 9);
    EXPECT_EQ(a->components[1].type, (*loaded)->find("first", "A3"));
    EXPECT_EQ(a->indexOf("self"), 1);
    EXPECT_EQ(a->indexOf("none"), -1);
    EXPECT_EQ((*loaded)->find("first.Nope"), nullptr);
    EXPECT_EQ((*loaded)->find("noDot"), nullptr);

    // A second set built on the first refers to its types.
    auto upper = loadAll({"module third\nuse first\nC = seqof(1..4,...) first.A\n"}, *loaded);
    ASSERT_TRUE(upper.ok()) << upper.error().toString();
    const Type* c = (*upper)->find("third", "C");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->element, a);
    EXPECT_TRUE(c->size.extensible);
    EXPECT_EQ((*upper)->find("first", "A"), a);
}

TEST(Schema, LoadErrorsNameTheProblem)
{
    auto unknown = loadAll({"module m\nA = seq {\n  b : Missing\n}\n"});
    ASSERT_FALSE(unknown.ok());
    EXPECT_NE(unknown.error().message.find("m.Missing"), std::string::npos);
    EXPECT_NE(unknown.error().message.find("m.A"), std::string::npos);
    EXPECT_NE(unknown.error().message.find("line 3"), std::string::npos);

    auto otherModule = loadAll({"module m\nA = x.B\n"});
    ASSERT_FALSE(otherModule.ok());
    EXPECT_NE(otherModule.error().message.find("x.B"), std::string::npos);

    auto syntax = loadAll({"module m\nA = seq {\n  b  int\n}\n"});
    ASSERT_FALSE(syntax.ok());
    EXPECT_NE(syntax.error().message.find("line 3"), std::string::npos);

    EXPECT_FALSE(loadAll({"A = int\n"}).ok());                     // no module line
    EXPECT_FALSE(loadAll({"module m\nA = int\nA = bool\n"}).ok()); // defined twice
    EXPECT_FALSE(loadAll({"module m\nA = int(5..1)\n"}).ok());     // empty range
    EXPECT_FALSE(loadAll({"module m\nA = ia5 from \"\"\n"}).ok()); // empty alphabet
    EXPECT_FALSE(loadAll({"module m\nA = choice { }\n"}).ok());    // empty choice
    EXPECT_FALSE(loadAll({"module m\nA = seq { a : int a : int }\n"}).ok());
    EXPECT_FALSE(loadAll({"module m\nA = seq { ... ... }\n"}).ok());
    EXPECT_FALSE(loadAll({"module m\nA = B\nB = A\n"}).ok()); // circular alias
    EXPECT_FALSE(loadAll({"module m\nA = octets(-1..2)\n"}).ok());
    EXPECT_FALSE(loadAll({"module m\nA = int @\n"}).ok());
    EXPECT_FALSE(loadAll({"module m\nA = ia5 from \"abc\n"}).ok());
    EXPECT_FALSE(loadAll({"module m\nA = int\n", "module m\nB = int\n"}).ok());
}

TEST(Schema, CharacterWidthFollowsThePermittedAlphabet)
{
    auto loaded = loadAll({R"(module m
Dialled = ia5(1..128) from "0123456789#*,"
Numeric = numeric
Ia5 = ia5
Visible = visible
Printable = printable
Bmp = bmp(1..256)
Two = ia5 from "ab"
Five = ia5 from "abcde"
Low = ia5 from "0123"
Sized = ia5(0..4,...)
)"});
    ASSERT_TRUE(loaded.ok()) << loaded.error().toString();
    auto type = [&](const char* n) { return (*loaded)->find("m", n); };
    EXPECT_EQ(type("Dialled")->charBits, 4u);
    EXPECT_TRUE(type("Dialled")->charsAsIndex);
    EXPECT_EQ(type("Dialled")->alphabet, U"#*,0123456789");
    EXPECT_EQ(type("Dialled")->size.upper, 128);
    EXPECT_EQ(type("Numeric")->charBits, 4u);
    EXPECT_TRUE(type("Numeric")->charsAsIndex);
    EXPECT_EQ(type("Ia5")->charBits, 8u);
    EXPECT_FALSE(type("Ia5")->charsAsIndex);
    EXPECT_EQ(type("Visible")->charBits, 8u);
    EXPECT_EQ(type("Printable")->charBits, 8u);
    EXPECT_FALSE(type("Printable")->charsAsIndex);
    EXPECT_EQ(type("Bmp")->charBits, 16u);
    EXPECT_EQ(type("Two")->charBits, 1u);
    EXPECT_EQ(type("Five")->charBits, 4u); // 3 bits rounded up to a power of two
    EXPECT_TRUE(type("Five")->charsAsIndex);
    EXPECT_EQ(type("Low")->charBits, 2u);
    EXPECT_TRUE(type("Low")->charsAsIndex); // '3' (51) does not fit in 2 bits
    EXPECT_TRUE(type("Sized")->size.extensible);
}

TEST(Schema, EnumerationsAndDefaults)
{
    auto loaded = loadAll({R"(module m
E = enum { c=7 a=0 b ... x y }
S = seq {
  flag : bool default true
  mode : E default b
  n : int(-10..max)
}
)"});
    ASSERT_TRUE(loaded.ok()) << loaded.error().toString();
    const Type* e = (*loaded)->find("m.E");
    ASSERT_EQ(e->items.size(), 5u);
    EXPECT_EQ(e->items[0], "a");
    EXPECT_EQ(e->items[1], "b"); // takes 1, the first free value
    EXPECT_EQ(e->items[2], "c");
    EXPECT_EQ(e->items[3], "x");
    EXPECT_EQ(e->rootCount, 3u);
    EXPECT_TRUE(e->extensible);
    EXPECT_EQ(e->indexOf("y"), 4);
    const Type* s = (*loaded)->find("m.S");
    EXPECT_TRUE(s->components[0].hasDefault);
    EXPECT_TRUE(s->components[0].optional);
    EXPECT_EQ(s->components[1].defaultValue, "b");
    EXPECT_EQ(s->optionalCount, 2u);
    EXPECT_FALSE(s->components[2].type->range.hasUpper);
    EXPECT_EQ(s->components[2].type->range.lower, -10);
}

} // namespace
} // namespace voip::asn
