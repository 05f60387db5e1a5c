#include "base/Utf8.h"

#include <gtest/gtest.h>

namespace kf {
namespace {

TEST(Utf8, Validity) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("plain"));
  EXPECT_TRUE(IsValidUtf8("caf\xC3\xA9 \xF0\x9F\x8E\xAC"));
  EXPECT_FALSE(IsValidUtf8("\xC3"));              // truncated
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\x80"));
}

TEST(Utf8, Utf16LengthCountsSurrogatePairs) {
  EXPECT_EQ(Utf16Length("abc"), 3u);
  EXPECT_EQ(Utf16Length("\xC3\xA9"), 1u);
  EXPECT_EQ(Utf16Length("\xE2\x80\xA6"), 1u);
  EXPECT_EQ(Utf16Length("\xF0\x9F\x8E\xAC"), 2u);
}

TEST(Utf8, TrimWhitespaceAndNewlines) {
  EXPECT_EQ(TrimWhitespaceAndNewlines(" \t\r\n x y \n"), "x y");
  EXPECT_EQ(TrimWhitespaceAndNewlines("\xE2\x80\x83x\xE2\x80\xA8"), "x");  // em space, line separator
  EXPECT_EQ(TrimWhitespaceAndNewlines("\xE2\x80\x8Bx"),
            "\xE2\x80\x8Bx");  // zero-width space is not white space
  EXPECT_EQ(TrimWhitespaceAndNewlines("   "), "");
  EXPECT_EQ(TrimWhitespaceAndNewlines("x\xFF "), "x\xFF");
}

TEST(Utf8, PrefixNeverSplitsACharacter) {
  EXPECT_EQ(Utf8PrefixWithin("abc", 5), "abc");
  EXPECT_EQ(Utf8PrefixWithin("a\xC3\xA9", 2), "a");
  EXPECT_EQ(Utf8PrefixWithin("a\xC3\xA9", 3), "a\xC3\xA9");
  EXPECT_EQ(Utf8PrefixWithin("\xF0\x9F\x8E\xAC", 3), "");
}

}  // namespace
}  // namespace kf
