#include "platform/utf.h"

#include <gtest/gtest.h>

namespace vistrel {
namespace {

TEST(Utf, RoundTripsEveryPlane) {
  const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A é € 😀
  std::u16string wide = Utf8ToWide(text);
  EXPECT_EQ(wide, (std::u16string{u'A', 0x00E9, 0x20AC, 0xD83D, 0xDE00}));
  EXPECT_EQ(WideToUtf8(wide), text);
}

TEST(Utf, StopsAtTheFirstNul) {
  EXPECT_EQ(Utf8ToWide(std::string("ab\0cd", 5)), u"ab");
  EXPECT_EQ(WideToUtf8(std::u16string(u"ab\0cd", 5)), "ab");
  EXPECT_EQ(Utf8ToWide(""), u"");
}

TEST(Utf, ReplacesInvalidInput) {
  EXPECT_EQ(Utf8ToWide("a\xFF" "b"), (std::u16string{u'a', 0xFFFD, u'b'}));
  // A truncated sequence is one replacement; the next character survives.
  EXPECT_EQ(Utf8ToWide("\xE2\x82" "b"), (std::u16string{0xFFFD, u'b'}));
  // Overlong forms and encoded surrogates are invalid.
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), (std::u16string{0xFFFD, 0xFFFD}));
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), (std::u16string{0xFFFD}));
  EXPECT_EQ(WideToUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");
  EXPECT_EQ(WideToUtf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace vistrel
