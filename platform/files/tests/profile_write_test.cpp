// Profile strings: reading with Win32 buffer rules, writing with the file's
// encoding kept, deletes, and writes that readers and other writers can
// rely on.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/files/machine.h"
#include "platform/files/profile.h"
#include "platform/files/testing/machine_fixture.h"

using namespace zv::platform;
namespace win = zv::win;
namespace fs = std::filesystem;

extern char** environ;

namespace {

constexpr const wchar_t* kFile = L"C:\\zv\\ZVSettings.ini";

class ProfileWriteTest : public zv::platform::testing::MachineTest {
 protected:
  void SetUp() override {
    zv::platform::testing::MachineTest::SetUp();
    fs::create_directories(C("zv"));
  }
  std::wstring Get(const wchar_t* section, const wchar_t* key, const wchar_t* fallback = L"-",
                   win::DWORD size = 260) {
    std::vector<wchar_t> buf(size + 1, L'#');
    win::DWORD n = GetPrivateProfileStringW(section, key, fallback, buf.data(), size, kFile);
    return std::wstring(buf.data(), n);
  }
  bool Put(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    return WritePrivateProfileStringW(section, key, value, kFile) != 0;
  }
  std::string Bytes() const { return ReadHost(C("zv/ZVSettings.ini")); }
};

TEST_F(ProfileWriteTest, Utf16FileKeepsNonAsciiNamesWhileAnAnsiOneTurnsThemIntoQuestionMarks) {
  // A new file is written in the ANSI code page.
  ASSERT_TRUE(Put(L"Users", L"\u5C71\u7530", L"\u592A\u90CE"));
  EXPECT_EQ(Bytes(), "[Users]\r\n\?\?=\?\?\r\n");
  EXPECT_EQ(Get(L"Users", L"??"), L"??");

  // A file that starts with the UTF-16LE mark stays UTF-16.
  MakeFile(C("zv/ZVSettings.ini"), "\xFF\xFE");
  ASSERT_TRUE(Put(L"\u30E6\u30FC\u30B6", L"\u5C71\u7530", L"\u592A\u90CE"));
  ASSERT_TRUE(Put(L"\u30E6\u30FC\u30B6", L"Count", L"1"));
  EXPECT_EQ(Get(L"\u30E6\u30FC\u30B6", L"\u5C71\u7530"), L"\u592A\u90CE");
  const std::string bytes = Bytes();
  ASSERT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(zv::text::FromUtf16Le(bytes.data() + 2, bytes.size() - 2),
            L"[\u30E6\u30FC\u30B6]\r\n\u5C71\u7530=\u592A\u90CE\r\nCount=1\r\n");
}

TEST_F(ProfileWriteTest, ValuesAndListsAreCutToTheBufferAsWindowsCutsThem) {
  ASSERT_TRUE(Put(L"MAIN", L"ZVCLOSE", L"1"));
  ASSERT_TRUE(Put(L"MAIN", L"Long", L"abcdefgh"));
  ASSERT_TRUE(Put(L"Other", L"x", L"y"));
  EXPECT_EQ(Get(L"main", L"zvclose"), L"1");
  EXPECT_EQ(Get(L"MAIN", L"Long", L"-", 5), L"abcd");  // size - 1 units
  EXPECT_EQ(Get(L"MAIN", L"Missing", L"dflt  "), L"dflt");
  EXPECT_EQ(Get(L"MAIN", L"Missing", nullptr), L"");
  EXPECT_EQ(Get(L"MAIN", L"Missing", L"default", 4), L"def");
  EXPECT_EQ(Get(nullptr, nullptr), std::wstring(L"MAIN\0Other\0", 11));
  EXPECT_EQ(Get(L"MAIN", nullptr), std::wstring(L"ZVCLOSE\0Long\0", 13));
  // A list that does not fit ends with two zeros: size - 2.
  EXPECT_EQ(Get(nullptr, nullptr, L"-", 8), std::wstring(L"MAIN\0O", 6));
  SetLastError(0);
  std::vector<wchar_t> buf(8, L'#');
  EXPECT_EQ(GetPrivateProfileStringW(L"A", L"B", L"x", buf.data(), 8, L"C:\\zv\\none.ini"), 1u);
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);
}

TEST_F(ProfileWriteTest, NullValueDeletesTheKeyNullKeyTheSectionAndNeitherMakesAFile) {
  EXPECT_TRUE(WritePrivateProfileStringW(L"Setting", L"New", nullptr, L"C:\\zv\\ZVNewADUser.ini"));
  EXPECT_TRUE(WritePrivateProfileStringW(L"Setting", nullptr, nullptr, L"C:\\zv\\ZVNewADUser.ini"));
  EXPECT_FALSE(fs::exists(C("zv/ZVNewADUser.ini")));

  MakeFile(C("zv/ZVSettings.ini"),
           "; kept\r\n[Setting]\r\nNew=1\r\nDelay=10\r\n\r\n[End]\r\nEnd=1\r\n[setting]\r\nMore=2\r\n");
  ASSERT_TRUE(Put(L"SETTING", L"new", nullptr));
  EXPECT_EQ(Get(L"Setting", L"New"), L"-");
  ASSERT_TRUE(Put(L"Setting", L"Added", L"3"));  // after the section's last line, before the blank one
  ASSERT_TRUE(Put(L"End", L"End", L"0"));
  EXPECT_EQ(Bytes(), "; kept\r\n[Setting]\r\nDelay=10\r\nAdded=3\r\n\r\n[End]\r\nEnd=0\r\n[setting]\r\nMore=2\r\n");
  ASSERT_TRUE(Put(L"Setting", nullptr, nullptr));
  EXPECT_EQ(Bytes(), "; kept\r\n[End]\r\nEnd=0\r\n");

  // A read-only file is refused and left as it is.
  ASSERT_TRUE(Files::Get().SetFileAttributesW(kFile, win::FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(Put(L"End", L"End", L"1"));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Get(L"End", L"End"), L"0");
}

TEST_F(ProfileWriteTest, TwoWritersLoseNothing) {
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 40; ++i) {
        std::wstring key = std::to_wstring(w) + L"-" + std::to_wstring(i);
        if (!Put(L"Run", key.c_str(), L"v")) ++failures;
      }
    });
  }
  for (auto& t : writers) t.join();
  EXPECT_EQ(failures.load(), 0);
  for (int w = 0; w < 2; ++w) {
    for (int i = 0; i < 40; ++i) {
      EXPECT_EQ(Get(L"Run", (std::to_wstring(w) + L"-" + std::to_wstring(i)).c_str()), L"v");
    }
  }
  // No temporary file is left behind.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(C("zv"))) ++entries;
  EXPECT_EQ(entries, 1);
}

// The other process of the test below: polls the file until told to stop
// and fails when it ever reads a value that is not whole.
TEST(ProfilePoller, ReadsUntilStopped) {
  const char* stop = std::getenv("ZV_PROFILE_POLLER_STOP");
  if (!stop) GTEST_SKIP() << "run by PollingReaderInAnotherProcessNeverSeesHalfAFile";
  int reads = 0;
  int torn = 0;
  while (!fs::exists(stop) || reads < 50) {
    wchar_t buf[70000];
    win::DWORD n = GetPrivateProfileStringW(L"Data", L"Value", L"missing", buf, 70000, kFile);
    std::wstring v(buf, n);
    ++reads;
    // Every value written is one letter repeated, then "|END".
    bool whole = v.size() > 4 && v.substr(v.size() - 4) == L"|END" &&
                 v.find_first_not_of(v[0]) == v.size() - 4;
    if (!whole) ++torn;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
}

TEST_F(ProfileWriteTest, PollingReaderInAnotherProcessNeverSeesHalfAFile) {
  ASSERT_TRUE(Put(L"Data", L"Value", (std::wstring(30000, L'a') + L"|END").c_str()));
  const fs::path stop = root_ / "stop";
  std::vector<std::string> env = {"ZV_MACHINE=" + root_.string(), "ZV_PROFILE_POLLER_STOP=" + stop.string()};
  for (char** e = environ; *e; ++e) {
    if (std::string(*e).rfind("ZV_MACHINE=", 0) != 0) env.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (auto& v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string self = fs::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=ProfilePoller.ReadsUntilStopped";
  char* argv[] = {self.data(), filter.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  for (int i = 0; i < 150; ++i) {
    // Values of changing length: a torn file would show a short or mixed one.
    std::wstring value(20000 + (i % 7) * 3000, static_cast<wchar_t>(L'a' + i % 26));
    ASSERT_TRUE(Put(L"Data", L"Value", (value + L"|END").c_str()));
    ASSERT_TRUE(Put(L"Data", (L"k" + std::to_wstring(i % 5)).c_str(), L"x"));
  }
  std::ofstream(stop) << "stop";
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the reader saw a partial file";
}

}  // namespace
