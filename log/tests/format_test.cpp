#include "log/format.h"

#include <gtest/gtest.h>

#include <string>

using zv::log::Format;
using zv::log::FormatNarrow;
using zv::log::AppendLogFormatNarrowV;
using zv::log::AppendLogFormatV;
using zv::log::FormatArg;

TEST(Format, IntegersTakeTheConversionWidth) {
  EXPECT_EQ(Format(L"%d %i %u", -5, 7, 3000000000u), L"-5 7 3000000000");
  EXPECT_EQ(Format(L"%X|%08X|%08x", -1, -2, 0xabcu), L"FFFFFFFF|FFFFFFFE|00000abc");
  EXPECT_EQ(Format(L"(ERROR:0x%08X)=FilterSendMessage()", static_cast<std::int32_t>(0x801F0020u)),
            L"(ERROR:0x801F0020)=FilterSendMessage()");
  EXPECT_EQ(Format(L"%d", 0x1'0000'0005LL), L"5");  // %d reads 32 bits
  EXPECT_EQ(Format(L"%lld %I64u %llx", -9000000000LL, 18446744073709551615ull, -1LL),
            L"-9000000000 18446744073709551615 ffffffffffffffff");
  EXPECT_EQ(Format(L"%hd %hu %hhx", 70000, -1, 0x1ff), L"4464 65535 ff");
  EXPECT_EQ(Format(L"%ld %lu", -3L, 4294967295ul), L"-3 4294967295");
}

TEST(Format, FlagsWidthAndPrecision) {
  EXPECT_EQ(Format(L"[%5d][%-5d][%05d][%+d][% d]", 42, 42, -42, 42, 42), L"[   42][42   ][-0042][+42][ 42]");
  EXPECT_EQ(Format(L"[%.3d][%8.3d][%#x][%#X][%#o][%.0d]", 7, -7, 255, 255, 8, 0), L"[007][    -007][0xff][0XFF][010][]");
  EXPECT_EQ(Format(L"[%*d][%-*d][%.*s]", 4, 1, 3, 2, 2, L"abcdef"), L"[   1][2  ][ab]");
  EXPECT_EQ(Format(L"%04d%02d%02d_%02d%02d%02d", 2024, 3, 1, 9, 5, 2), L"20240301_090502");
  EXPECT_EQ(Format(L"%5.1f|%e|%g|%d", 3.14159, 1.5, 0.25, 2.9), L"  3.1|1.500000e+00|0.25|2");
}

TEST(Format, PointersPrintAsWindowsX64) {
  const void* p = reinterpret_cast<const void*>(std::uintptr_t{0xABCDEF12});
  EXPECT_EQ(Format(L"%p", p), L"00000000ABCDEF12");
  EXPECT_EQ(Format(L"%p", nullptr), L"0000000000000000");
  EXPECT_EQ(FormatNarrow("%p", p), "00000000ABCDEF12");
}

TEST(Format, StringsOfEitherWidthAreConverted) {
  std::wstring wide = L"C:\\d\u00e9j\u00e0";
  std::string narrow = "abc";
  const wchar_t* nullWide = nullptr;
  const char* nullNarrow = nullptr;
  // Windows wide-format meaning: %s/%ws/%ls wide, %S/%hs narrow; a mismatch converts.
  EXPECT_EQ(Format(L"%s|%ws|%ls|%S|%hs", wide, wide.c_str(), L"x", narrow, "y"), wide + L"|" + wide + L"|x|abc|y");
  EXPECT_EQ(Format(L"%s|%S", narrow, wide), L"abc|" + wide);
  EXPECT_EQ(Format(L"%s %S", nullWide, nullNarrow), L"(null) (null)");
  EXPECT_EQ(Format(L"[%-5s][%5s][%.2S]", L"ab", "cd", L"wxyz"), L"[ab   ][   cd][wx]");
  // Narrow format: text converted to the ANSI code page.
  EXPECT_EQ(FormatNarrow("(%s)_(%s)", std::wstring(L"caf\u00e9\u4e2d"), "plain"), "(caf\xe9?)_(plain)");
  EXPECT_EQ(Format(L"%c%C%lc", L'A', 'b', L'\u00e9'), L"Ab\u00e9");
  EXPECT_EQ(FormatNarrow("%c%C", 'A', L'\u00e9'), "A\xe9");
}

TEST(Format, FixedBuffersStopAtTheirEnd) {
  wchar_t buffer[4] = {L'a', L'b', L'c', L'd'};  // no terminator
  EXPECT_EQ(Format(L"%s!", buffer), L"abcd!");
  char narrow[8] = "hi";
  EXPECT_EQ(Format(L"%S!", narrow), L"hi!");
}

TEST(Format, MismatchedArgumentsNeverCrash) {
  EXPECT_EQ(Format(L"a=%d b=%s c=%d", 1), L"a=1 b= c=");  // missing arguments print nothing
  EXPECT_EQ(Format(L"%d", 1, 2, L"extra"), L"1");          // extra arguments are ignored
  EXPECT_EQ(Format(L"[%d][%s]", L"text", 5), L"[][]");     // wrong kinds print nothing
  EXPECT_EQ(Format(L"100%% %n%d", 7), L"100% ");           // %n consumes but never writes
  EXPECT_EQ(Format(L"%y %", 1), L"%y %");                  // unknown and cut-off conversions stay as written
  EXPECT_EQ(Format(L"no args %%"), L"no args %");
}

// A format character outside ASCII is never narrowed onto a conversion,
// flag or length character (U+0164 is not 'd', U+0168 not 'h').
TEST(Format, CharactersOutsideAsciiAreNoConversions) {
  EXPECT_EQ(Format(L"%\u0164|%d", 5), L"%\u0164|5");
  EXPECT_EQ(Format(L"%\u0168d|%\u0173", 5), L"%\u0168d|%\u0173");
  EXPECT_EQ(Format(L"%5\u0125", 5), L"%5\u0125");
  EXPECT_EQ(FormatNarrow("%\xE4|%\xC4" "d", 5), "%\xE4|%\xC4" "d");
}

// Log values are escaped reversibly; the format is not.
TEST(Format, LogValuesEscapeControlsAndTheEscapeCharacter) {
  const FormatArg args[] = {L"a\r\n#forged^\x1B[2J\a\x9B\u00e9\\b", 'x', L'\n'};
  std::wstring line;
  AppendLogFormatV(line, L"[%s] %hc%c\r\n", args);
  EXPECT_EQ(line, L"[a^0D^0A#forged^5E^1B[2J^07^9B\u00e9\\b] x^0A\r\n");
  std::string narrow;
  const FormatArg narrowArgs[] = {"x\ty^\xE9"};
  AppendLogFormatNarrowV(narrow, "%s", narrowArgs);
  EXPECT_EQ(narrow, "x^09y^5E\xE9");
}

TEST(Format, NoLengthLimit) {
  std::wstring big(100000, L'x');
  std::wstring out = Format(L"<%s>%d", big, 9);
  EXPECT_EQ(out.size(), 100003u);
  EXPECT_EQ(out.substr(out.size() - 3), L"x>9");
  EXPECT_EQ(Format(L"%300d", 1).size(), 300u);
}
