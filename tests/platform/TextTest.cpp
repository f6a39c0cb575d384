#include <gtest/gtest.h>

#include "platform/Text.h"

using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

TEST(TextTest, Utf8AndUtf16RoundTrip) {
    std::string text = "plain é 日本 🎉";
    std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide.size(), 13u) << "the emoji takes two units";
    EXPECT_EQ(Utf16ToUtf8(wide), text);
}

TEST(TextTest, InvalidInputBecomesReplacementCharacters) {
    EXPECT_EQ(Utf8ToUtf16("a\xC3"), u"a\uFFFD");                    // cut short
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // a surrogate
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
    EXPECT_TRUE(platform::EqualsIgnoreCase("NetRules", "NETRULES"));
    EXPECT_FALSE(platform::EqualsIgnoreCase("NetRule", "NetRules"));
}
