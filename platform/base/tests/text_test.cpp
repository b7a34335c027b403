#include "platform/base/text.h"

#include <gtest/gtest.h>

using namespace zv::text;

TEST(Text, Utf8RoundTripsAndJoinsPairs) {
  std::wstring s = L"C:\\Dat\u00e9n\\";
  s += static_cast<wchar_t>(0xD83D);  // U+1F600 as a pair
  s += static_cast<wchar_t>(0xDE00);
  std::string utf8 = ToUtf8(s);
  EXPECT_EQ(utf8, "C:\\Dat\xC3\xA9n\\\xF0\x9F\x98\x80");
  EXPECT_EQ(FromUtf8(utf8), s);
  EXPECT_EQ(FromUtf8(utf8).size(), 11u);  // the pair stays two units
}

TEST(Text, LoneSurrogatesNeverCrashAndSurviveHostNames) {
  std::wstring lone{L'a', static_cast<wchar_t>(0xDC01), L'b', static_cast<wchar_t>(0xD800)};
  EXPECT_EQ(ToUtf8(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  EXPECT_EQ(FromHostName(ToHostName(lone)), lone);
  // Two names that differ only in their lone surrogate stay distinct on the host.
  std::wstring other{L'a', static_cast<wchar_t>(0xDC02), L'b', static_cast<wchar_t>(0xD800)};
  EXPECT_NE(ToHostName(lone), ToHostName(other));
}

TEST(Text, MalformedUtf8BecomesReplacement) {
  EXPECT_EQ(FromUtf8("a\xC3"), L"a\uFFFD");          // truncated sequence
  EXPECT_EQ(FromUtf8("\xC0\xAF"), L"\uFFFD\uFFFD");  // overlong
  EXPECT_EQ(FromUtf8("\xFF"), L"\uFFFD");
  EXPECT_EQ(FromUtf8("\xF4\x90\x80\x80").size(), 4u);  // beyond U+10FFFF: each byte replaced
}

TEST(Text, Utf16LeBytesAndOddCounts) {
  std::wstring s = L"A\u20AC";
  std::string bytes = ToUtf16Le(s);
  ASSERT_EQ(bytes, std::string("A\0\xAC\x20", 4));
  EXPECT_EQ(FromUtf16Le(bytes.data(), bytes.size()), s);
  EXPECT_EQ(FromUtf16Le(bytes.data(), 3), L"A");  // odd trailing byte ignored
  const char field[] = {'x', 0, 'y', 0, 0, 0, 'z', 0};
  EXPECT_EQ(FromUtf16LeField(field, 4), L"xy");
  EXPECT_EQ(FromUtf16LeField(field, 1), L"x");  // no terminator within the field
}

TEST(Text, AsciiCaseOnly) {
  EXPECT_EQ(AsciiLowerCopy(L"C:\\Windows\\\u00C9T\u00C9"), L"c:\\windows\\\u00C9t\u00C9");
  EXPECT_EQ(AsciiUpperCopy(L"abc\u00e9"), L"ABC\u00e9");
  EXPECT_TRUE(AsciiIEquals(L"PROGRA~1", L"progra~1"));
  EXPECT_FALSE(AsciiIEquals(L"\u00C9", L"\u00E9"));
}

TEST(Text, AnsiCodePage1252) {
  ASSERT_EQ(AnsiCodePage(), 1252u);
  EXPECT_EQ(ToAnsi(L"caf\u00e9 \u20AC"), "caf\xE9 \x80");
  std::wstring pair{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
  EXPECT_EQ(ToAnsi(L"\u4E2D" + pair + L"x"), "??x");
  EXPECT_EQ(FromAnsi("\x80\x81\xE9"), L"\u20AC\u0081\u00E9");
}
