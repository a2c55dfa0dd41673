// Names from the far end as they come off the wire: padded, misencoded, too long.

#include <gtest/gtest.h>

#include "voip/base/text.h"

namespace voip {
namespace {

using namespace std::string_literals;

TEST(DisplayableText, PaddingAndControlCharactersGoAndSpacesFold)
{
    // A Display element as one stack sends it, and a product name padded with two NULs.
    EXPECT_EQ(displayableText("h323peer\0"s), "h323peer");
    EXPECT_EQ(displayableText("kx-interop h323vpeer\0\0"s), "kx-interop h323vpeer");
    EXPECT_EQ(displayableText("\x1b[31mRoom\x07 12\x7f"), "[31mRoom 12");
    EXPECT_EQ(displayableText("  Board \t\r\n room  "), "Board room");
    EXPECT_EQ(displayableText("\xc2\x85Lobby\xc2\x9b"), "Lobby") << "C1 controls";
    EXPECT_EQ(displayableText(""), "");
    EXPECT_EQ(displayableText("\0\0\0"s), "");
}

TEST(DisplayableText, MalformedUtf8IsReplacedNotDropped)
{
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(displayableText("Nguy\xe1\xbb\x85n"), "Nguy\xe1\xbb\x85n") << "well formed stays";
    EXPECT_EQ(displayableText("Caf\xe9"), "Caf" + replacement) << "Latin-1";
    EXPECT_EQ(displayableText("a\xed\xa0\x80z"), "a" + replacement + "z") << "a surrogate";
    EXPECT_EQ(displayableText("a\xc0\xafz"), "a" + replacement + "z") << "an overlong slash";
    EXPECT_EQ(displayableText("a\xe2\x82"), "a" + replacement) << "cut off";
    EXPECT_EQ(displayableText("a\x80\x80\x80z"), "a" + replacement + "z");
    EXPECT_EQ(displayableText("\xf4\x90\x80\x80"), replacement) << "beyond U+10FFFF";
    EXPECT_EQ(displayableText("\xf0\x9f\x98\x80"), "\xf0\x9f\x98\x80");
}

TEST(DisplayableText, LengthIsBoundedInCharactersNeverInsideOne)
{
    std::string long_(10000, 'x');
    EXPECT_EQ(displayableText(long_).size(), MaxNameCharacters);
    std::string vietnamese;
    for (int i = 0; i < 200; ++i)
        vietnamese += "\xe1\xbb\x85"; // one character, three octets
    const auto kept = displayableText(vietnamese, 5);
    EXPECT_EQ(kept.size(), 15u);
    EXPECT_EQ(displayableText("ab cd", 3), "ab") << "no space left at the end";
    EXPECT_EQ(displayableText("ab    cd", 4), "ab c");
}

} // namespace
} // namespace voip
