#include "platform/files/profile.h"

#include <gtest/gtest.h>

#include "platform/files/testing/memory_files.h"
#include "platform/files/testing/machine_fixture.h"
#include "platform/base/text.h"

using namespace zv::platform;
namespace win = zv::win;

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  win::UINT Get(const wchar_t* section, const wchar_t* key, int fallback = 77) {
    return GetPrivateProfileIntW(section, key, fallback, kFile);
  }
  const wchar_t* kFile = L"C:\\zv\\ZVORXSettings.ini";
  fakes::MemoryFiles files_;
  ScopedApi<FileApi> scoped_{files_};
};

TEST_F(ProfileTest, ValuesReadAsTheNtRunTimeReadsIntegers) {
  files_.Put(kFile,
             "; comment\r\n"
             "[Settings]\r\n"
             "One=1\r\n"
             "Padded=01\r\n"
             "Hex=0x1F\r\n"
             "Tail=12abc\r\n"
             "Word=yes\r\n"
             "Minus=-1\r\n"
             "Plus= +42 \r\n"
             "Empty=\r\n"
             "Bare\r\n"
             "Quoted=\"5\"\r\n"
             "Big=4294967297\r\n");
  EXPECT_EQ(Get(L"Settings", L"One"), 1u);
  EXPECT_EQ(Get(L"Settings", L"Padded"), 1u);
  EXPECT_EQ(Get(L"Settings", L"Hex"), 31u);
  EXPECT_EQ(Get(L"Settings", L"Tail"), 12u);
  EXPECT_EQ(Get(L"Settings", L"Word"), 0u);  // present but not a number: 0, not the default
  EXPECT_EQ(Get(L"Settings", L"Minus"), 0xFFFFFFFFu);
  EXPECT_EQ(Get(L"Settings", L"Plus"), 42u);
  EXPECT_EQ(Get(L"Settings", L"Empty"), 77u);  // empty value: the default
  EXPECT_EQ(Get(L"Settings", L"Bare"), 77u);
  EXPECT_EQ(Get(L"Settings", L"Quoted"), 5u);
  EXPECT_EQ(Get(L"Settings", L"Big"), 1u);  // wraps at 32 bits
}

TEST_F(ProfileTest, NamesMatchWithoutCaseAndWhitespace) {
  files_.Put(kFile, "[Other]\nKey=3\n  [ settings ]  \n  KEY   =  9\nkey=10\n[Next]\nLater=4");
  EXPECT_EQ(Get(L"SETTINGS", L"key"), 9u);  // the first match wins
  EXPECT_EQ(Get(L"Other", L"Key"), 3u);
  EXPECT_EQ(Get(L"Next", L"Later"), 4u);  // last line without a line end
  EXPECT_EQ(Get(L"Settings", L"Later"), 77u);
  EXPECT_EQ(Get(L"Missing", L"Key"), 77u);
  EXPECT_EQ(GetPrivateProfileIntW(L"Settings", L"Key", -3, L"C:\\zv\\none.ini"), static_cast<win::UINT>(-3));
  EXPECT_EQ(GetPrivateProfileIntW(nullptr, L"Key", 8, kFile), 8u);
}

TEST_F(ProfileTest, EncodingsAndBareNames) {
  files_.Put(kFile, "\xFF\xFE" + zv::text::ToUtf16Le(L"[Caf\u00e9]\r\nN=6\r\n"));
  EXPECT_EQ(Get(L"Caf\u00e9", L"N"), 6u);
  files_.Put(kFile, "\xEF\xBB\xBF[S]\r\nN=7\r\n");
  EXPECT_EQ(Get(L"S", L"N"), 7u);
  files_.Put(kFile, "[Caf\xe9]\r\nN=8\r\n");  // ANSI code page
  EXPECT_EQ(Get(L"Caf\u00e9", L"N"), 8u);
  files_.Put(L"C:\\Windows\\win.ini", "[S]\r\nN=9\r\n");
  EXPECT_EQ(GetPrivateProfileIntW(L"S", L"N", 0, L"win.ini"), 9u);
}

}  // namespace

namespace {

class ProfileOnMachineTest : public zv::platform::testing::MachineTest {};

TEST_F(ProfileOnMachineTest, ReadsThroughTheRealFileApi) {
  MakeFile(C("zv/ZVORXSettings.ini"), "[Settings]\r\nWriteProcessAndPathLog=1\r\n");
  EXPECT_EQ(GetPrivateProfileIntW(L"Settings", L"WriteProcessAndPathLog", 0, L"C:\\zv\\ZVORXSettings.ini"), 1u);
  EXPECT_EQ(GetPrivateProfileIntW(L"Settings", L"WriteProcessAndPathLog", 0, L"C:\\zv\\missing.ini"), 0u);
}

}  // namespace
