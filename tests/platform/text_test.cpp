#include "platform/text.h"

#include <gtest/gtest.h>

#include "platform/guid.h"

TEST(Text, Utf8RoundTripIncludingSurrogatePairs) {
  std::string s = "Plug \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x8C";
  std::u16string w = Utf8ToUtf16(s);
  EXPECT_EQ(w, u"Plug \u00E9 \u20AC \U0001F50C");
  EXPECT_EQ(Utf16ToUtf8(w), s);
}

TEST(Text, MalformedUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("a\xFF"
                        "b"),
            u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82"), u"\uFFFD\uFFFD");  // cut short
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
}

TEST(Text, EightBitConversionsAreOneToOne) {
  EXPECT_EQ(Widen8(std::string("\xE9x", 2)), u"\u00E9x");
  EXPECT_EQ(Narrow8(u"\u00E9\u20ACz"), std::string("\xE9?z", 3));
}

TEST(Text, FormatHandlesLongOutput) {
  std::string big(2000, 'x');
  EXPECT_EQ(Format16("%s!", big.c_str()).size(), 2001u);
  EXPECT_EQ(Format16("%0.1f Mb/s (%0.1f MB/s)", 100.0, 12.5), u"100.0 Mb/s (12.5 MB/s)");
}

TEST(Guid, ParsesAndPrintsTheInterfaceClass) {
  auto g = Guid::Parse("{05FC6C39-ECC3-4441-89C9-EC9884C41116}");
  ASSERT_TRUE(g);
  EXPECT_EQ(g->Data1, 0x05FC6C39u);
  EXPECT_EQ(g->Data4[7], 0x16);
  EXPECT_EQ(g->ToString(), "{05FC6C39-ECC3-4441-89C9-EC9884C41116}");
  EXPECT_FALSE(Guid::Parse("{05FC6C39-ECC3-4441-89C9-EC9884C4111}"));
  EXPECT_FALSE(Guid::Parse("05FC6C39xECC3-4441-89C9-EC9884C41116"));
}
