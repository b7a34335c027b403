#include <gtest/gtest.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <functional>
#include <set>

#include "platform/files/testing/machine_fixture.h"
#include "platform/files/file_api.h"
#include "platform/base/handles.h"
#include "platform/files/short_names.h"
#include "platform/base/text.h"

#include <thread>

using namespace zv::platform;
namespace win = zv::win;
namespace fs = std::filesystem;
using zv::platform::testing::MachineTest;

namespace {

class Files_ : public MachineTest {
 protected:
  FileApi& api = Files::Get();
  std::wstring Long(const std::wstring& in, win::DWORD* result = nullptr) {
    win::WCHAR buf[1025] = {};
    win::DWORD n = api.GetLongPathNameW(in.c_str(), buf, 1024);
    if (result) *result = n;
    return n ? std::wstring(buf) : std::wstring();
  }
  std::wstring Short(const std::wstring& in) {
    win::WCHAR buf[1025] = {};
    return api.GetShortPathNameW(in.c_str(), buf, 1024) ? std::wstring(buf) : std::wstring();
  }
  // Names (and aliases) a pattern finds, in order.
  std::vector<std::wstring> Find(const std::wstring& pattern, win::DWORD* error = nullptr,
                                 std::vector<std::wstring>* aliases = nullptr) {
    std::vector<std::wstring> out;
    win::WIN32_FIND_DATAW d;
    win::HANDLE h = api.FindFirstFileW(pattern.c_str(), &d);
    if (h == win::INVALID_HANDLE_VALUE) {
      if (error) *error = GetLastError();
      return out;
    }
    do {
      out.push_back(d.cFileName);
      if (aliases) aliases->push_back(d.cAlternateFileName);
    } while (api.FindNextFileW(h, &d));
    EXPECT_EQ(GetLastError(), win::ERROR_NO_MORE_FILES);
    EXPECT_TRUE(api.FindClose(h));
    if (error) *error = 0;
    return out;
  }
};

}  // namespace

TEST_F(Files_, AttributesRoundTripAndErrors) {
  MakeFile(C("Dir/file.txt"));
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\dir\\FILE.TXT"), win::FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\Dir"), win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\"), win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(api.GetFileAttributesW(L"\\\\?\\C:"), win::FILE_ATTRIBUTE_DIRECTORY);

  win::DWORD set = win::FILE_ATTRIBUTE_READONLY | win::FILE_ATTRIBUTE_HIDDEN | win::FILE_ATTRIBUTE_SYSTEM;
  ASSERT_TRUE(api.SetFileAttributesW(L"C:\\Dir\\file.txt", set | win::FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\Dir\\file.txt"), set);
  EXPECT_EQ(fs::status(C("Dir/file.txt")).permissions() & fs::perms::owner_write, fs::perms::none);
  ASSERT_TRUE(api.SetFileAttributesW(L"C:\\Dir\\file.txt", win::FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\Dir\\file.txt"), win::FILE_ATTRIBUTE_NORMAL);
  EXPECT_NE(fs::status(C("Dir/file.txt")).permissions() & fs::perms::owner_write, fs::perms::none);
  ASSERT_TRUE(api.SetFileAttributesW(L"C:\\Dir", win::FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\Dir"), win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_HIDDEN);

  struct Case {
    const wchar_t* path;
    win::DWORD error;
  } cases[] = {{L"C:\\Dir\\missing", win::ERROR_FILE_NOT_FOUND},  {L"C:\\Missing\\x", win::ERROR_PATH_NOT_FOUND},
               {L"C:\\Dir\\a*b", win::ERROR_INVALID_NAME},        {L"C:\\Dir\\nul", win::ERROR_INVALID_NAME},
               {L"Z:\\x", win::ERROR_PATH_NOT_FOUND},              {L"\\\\?\\C:\\Dir\\..", win::ERROR_INVALID_NAME}};
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(api.GetFileAttributesW(c.path), win::INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_FALSE(api.SetFileAttributesW(c.path, win::FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetLastError(), c.error);
  }
}

// Attribute queries keep what they read per inode once it has been quiet
// for a moment; every later change must still show, and a name the quick
// look-up cannot settle (other case, alias, link) must answer as before.
TEST_F(Files_, AttributeQueriesSeeEveryChangeAndEveryNameForm) {
  MakeFile(C("Dir/file.txt"));
  MakeFile(C("Dir/long name.txt"));
  MakeFile(C("Dir/other.txt"));
  fs::create_symlink(C("Dir/file.txt"), C("Dir/link.txt"));
  fs::create_symlink(C("Dir"), C("LinkDir"));
  const wchar_t* file = L"C:\\Dir\\file.txt";
  auto quiet = [] { std::this_thread::sleep_for(std::chrono::milliseconds(80)); };
  auto changes = std::vector<std::pair<std::function<void()>, win::DWORD>>{
      {[&] { ASSERT_TRUE(api.SetFileAttributesW(file, win::FILE_ATTRIBUTE_HIDDEN)); }, win::FILE_ATTRIBUTE_HIDDEN},
      {[&] { ASSERT_EQ(::setxattr(C("Dir/file.txt").c_str(), "user.zv.attrib", "4", 1, 0), 0); },
       win::FILE_ATTRIBUTE_SYSTEM},
      {[&] {
         constexpr auto writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
         fs::permissions(C("Dir/file.txt"), writable, fs::perm_options::remove);
       },
       win::FILE_ATTRIBUTE_SYSTEM | win::FILE_ATTRIBUTE_READONLY},
      {[&] { fs::rename(C("Dir/other.txt"), C("Dir/file.txt")); }, win::FILE_ATTRIBUTE_ARCHIVE}};
  for (auto& [change, expected] : changes) {
    quiet();
    api.GetFileAttributesW(file);
    change();
    EXPECT_EQ(api.GetFileAttributesW(file), expected);
  }

  // A link as the last component is a reparse point; one on the way is not.
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\Dir\\LINK.txt"),
            win::FILE_ATTRIBUTE_ARCHIVE | win::FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\LinkDir\\file.txt"), win::FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\DIR\\LONGNA~1.TXT"), win::FILE_ATTRIBUTE_ARCHIVE);
  // Missing in a folder whose listing is kept, then made in another case.
  quiet();
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\Dir\\new.txt"), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);
  MakeFile(C("Dir/NEW.txt"));
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\Dir\\new.txt"), win::FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\Dir\\file.txt\\"), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_NAME);
  // In a folder an earlier walk found in another case, until it moves.
  for (const wchar_t* p : {L"C:\\DIR\\LONG NAME.TXT", L"C:\\DIR\\FILE.TXT", L"C:\\DIR\\absent", L"C:\\DIR\\link.txt"}) {
    EXPECT_EQ(api.GetFileAttributesW(p), api.GetFileAttributesW((std::wstring(L"C:\\Dir") + (p + 6)).c_str()));
  }
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\DIR\\absent"), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);
  fs::rename(C("Dir"), C("Moved"));
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\DIR\\FILE.TXT"), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), win::ERROR_PATH_NOT_FOUND);
}

TEST_F(Files_, DeleteAndFolderRules) {
  MakeFile(C("d/ro.txt"));
  MakeFile(C("d/rw.txt"));
  ASSERT_TRUE(api.SetFileAttributesW(L"C:\\d\\ro.txt", win::FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(api.DeleteFileW(L"C:\\d\\ro.txt"));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::exists(C("d/ro.txt")));
  EXPECT_FALSE(api.DeleteFileW(L"C:\\d"));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(api.DeleteFileW(L"C:\\d\\nope"));
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(api.DeleteFileW(L"C:\\D\\RW.TXT"));
  EXPECT_FALSE(fs::exists(C("d/rw.txt")));

  EXPECT_TRUE(api.CreateDirectoryW(L"C:\\d\\Sub", nullptr));
  EXPECT_FALSE(api.CreateDirectoryW(L"C:\\D\\sub", nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(api.CreateDirectoryW(L"C:\\d\\ro.txt", nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(api.CreateDirectoryW(L"C:\\nope\\sub", nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(api.RemoveDirectoryW(L"C:\\d"));
  EXPECT_EQ(GetLastError(), win::ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(api.RemoveDirectoryW(L"C:\\d\\ro.txt"));
  EXPECT_EQ(GetLastError(), win::ERROR_DIRECTORY);
  EXPECT_TRUE(api.RemoveDirectoryW(L"C:\\d\\SUB"));
  EXPECT_FALSE(fs::exists(C("d/Sub")));
}

TEST_F(Files_, CopyFailIfExistsKeepsTheFirstVersion) {
  MakeFile(C("src/a.txt"), "first");
  fs::last_write_time(C("src/a.txt"), fs::file_time_type::clock::now() - std::chrono::hours(48));
  ASSERT_TRUE(api.SetFileAttributesW(L"C:\\src\\a.txt", win::FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(api.CreateDirectoryW(L"C:\\bk", nullptr));
  ASSERT_TRUE(api.CopyFileW(L"C:\\SRC\\A.TXT", L"\\\\?\\C:\\bk\\a.txt", win::TRUE));
  EXPECT_EQ(ReadHost(C("bk/a.txt")), "first");
  EXPECT_EQ(fs::last_write_time(C("bk/a.txt")), fs::last_write_time(C("src/a.txt")));
  EXPECT_EQ(api.GetFileAttributesW(L"C:\\bk\\a.txt"), win::FILE_ATTRIBUTE_HIDDEN | win::FILE_ATTRIBUTE_ARCHIVE);

  MakeFile(C("src/a.txt"), "second");
  EXPECT_FALSE(api.CopyFileW(L"C:\\src\\a.txt", L"C:\\BK\\A.txt", win::TRUE));
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_EXISTS);
  EXPECT_EQ(ReadHost(C("bk/a.txt")), "first");
  std::set<std::string> names;
  for (auto& e : fs::directory_iterator(C("bk"))) names.insert(e.path().filename().string());
  EXPECT_EQ(names, std::set<std::string>{"a.txt"});

  EXPECT_FALSE(api.CopyFileW(L"C:\\src\\none", L"C:\\bk\\none", win::TRUE));
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(api.CopyFileW(L"C:\\src\\a.txt", L"C:\\nofolder\\a.txt", win::TRUE));
  EXPECT_EQ(GetLastError(), win::ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(api.CopyFileW(L"C:\\src", L"C:\\bk\\src", win::TRUE));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  // Overwriting: allowed unless the target is hidden or read-only.
  EXPECT_FALSE(api.CopyFileW(L"C:\\src\\a.txt", L"C:\\bk\\a.txt", win::FALSE));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  ASSERT_TRUE(api.SetFileAttributesW(L"C:\\bk\\a.txt", win::FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(api.CopyFileW(L"C:\\src\\a.txt", L"C:\\bk\\a.txt", win::FALSE));
  EXPECT_EQ(ReadHost(C("bk/a.txt")), "second");
}

TEST_F(Files_, SecuritySelectorSizeAndSystemList) {
  fs::create_directories(C("Secure"));
  ASSERT_EQ(::chown(C("Secure").c_str(), 1234, 5678), 0);
  ASSERT_EQ(::chmod(C("Secure").c_str(), 0750), 0);
  constexpr SECURITY_INFORMATION kGroupAndLists =
      GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

  // The system list needs "SeSecurityPrivilege" held.
  win::DWORD needed = 0;
  SetPrivilegeHeldTest(nullptr);
  EXPECT_FALSE(api.GetFileSecurityW(L"C:\\secure", kGroupAndLists, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), win::ERROR_PRIVILEGE_NOT_HELD);
  SetPrivilegeHeldTest([](const wchar_t* name) { return std::wstring_view(name) == L"SeSecurityPrivilege"; });

  // Size first, then a buffer of that size; a short one is refused.
  EXPECT_FALSE(api.GetFileSecurityW(L"C:\\secure", kGroupAndLists, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
  ASSERT_GT(needed, 0u);
  std::vector<unsigned char> buffer(needed);
  win::DWORD again = 0;
  EXPECT_FALSE(api.GetFileSecurityW(L"C:\\secure", kGroupAndLists, buffer.data(), needed - 1, &again));
  EXPECT_EQ(again, needed);
  ASSERT_TRUE(api.GetFileSecurityW(L"C:\\secure", kGroupAndLists, buffer.data(), needed, &again));
  SecurityDescriptor sd;
  ASSERT_TRUE(ParseSecurityDescriptor(buffer.data(), needed, sd));
  EXPECT_EQ(sd.parts, kGroupAndLists);
  EXPECT_EQ(sd.owner, 0u);
  EXPECT_EQ(sd.group, 5678u);
  EXPECT_EQ(sd.mode, 0750u);
  EXPECT_FALSE(ParseSecurityDescriptor(buffer.data(), needed - 1, sd));
  EXPECT_FALSE(api.GetFileSecurityW(L"C:\\missing", kGroupAndLists, buffer.data(), needed, &again));
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);

  // A folder made from it: group and access lists carried, owned by its creator.
  ASSERT_TRUE(ParseSecurityDescriptor(buffer.data(), needed, sd));
  EXPECT_EQ(api.SHCreateDirectoryExW(nullptr, L"C:\\made\\inner", &sd), 0);
  struct stat st {};
  ASSERT_EQ(::stat(C("made/inner").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_gid, 5678u);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  SetPrivilegeHeldTest(nullptr);
}

TEST_F(Files_, FolderTreeCarriesSecurity) {
  fs::create_directories(C("Secure"));
  ASSERT_EQ(::chown(C("Secure").c_str(), 1234, 5678), 0);
  ASSERT_EQ(::chmod(C("Secure").c_str(), 0750), 0);
  acl_t acl = acl_from_text("user::rwx\nuser:4321:r-x\ngroup::r-x\nmask::r-x\nother::---\n");
  ASSERT_NE(acl, nullptr);
  bool haveAcl = acl_set_file(C("Secure").c_str(), ACL_TYPE_ACCESS, acl) == 0;
  acl_free(acl);

  SecurityDescriptor sd;
  ASSERT_TRUE(api.GetFileSecurityW(L"C:\\secure", &sd));
  EXPECT_EQ(sd.owner, 1234u);
  EXPECT_EQ(sd.group, 5678u);
  EXPECT_EQ(sd.mode, 0750u);
  if (haveAcl) {
    EXPECT_NE(sd.accessAcl.find("4321"), std::string::npos) << sd.accessAcl;
  }

  EXPECT_EQ(api.SHCreateDirectoryExW(nullptr, L"\\\\?\\c:\\qd\\r\\C\\Users\\a", &sd), 0);
  for (const char* p : {"qd", "qd/r", "qd/r/C", "qd/r/C/Users", "qd/r/C/Users/a"}) {
    SecurityDescriptor got;
    std::wstring dos = L"C:\\" + zv::text::FromUtf8(p);
    ASSERT_TRUE(api.GetFileSecurityW(dos.c_str(), &got)) << p;
    EXPECT_EQ(got.owner, 1234u) << p;
    EXPECT_EQ(got.group, 5678u) << p;
    EXPECT_EQ(got.mode, 0750u) << p;
    EXPECT_EQ(got.accessAcl, sd.accessAcl) << p;
  }
  // Existing parts are left alone; the whole tree existing is reported.
  EXPECT_EQ(api.SHCreateDirectoryExW(nullptr, L"C:\\QD\\R\\c\\users\\A", nullptr), int(win::ERROR_ALREADY_EXISTS));
  EXPECT_EQ(api.SHCreateDirectoryExW(nullptr, L"C:\\qd\\r\\C\\Users\\a\\b", nullptr), 0);
  MakeFile(C("qd/file"));
  EXPECT_EQ(api.SHCreateDirectoryExW(nullptr, L"C:\\qd\\file", nullptr), int(win::ERROR_FILE_EXISTS));
  EXPECT_EQ(api.SHCreateDirectoryExW(nullptr, L"C:\\qd\\file\\x", nullptr), int(win::ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(api.SHCreateDirectoryExW(nullptr, L"qd\\rel", nullptr), int(win::ERROR_BAD_PATHNAME));
}

TEST_F(Files_, ShortNamesExpandAndStayStable) {
  EXPECT_EQ(Short(L"C:\\Program Files"), L"C:\\PROGRA~1");
  EXPECT_EQ(Short(L"\\\\?\\C:\\program files (x86)"), L"\\\\?\\C:\\PROGRA~2");
  // A sibling added later takes the next number; the first ones keep theirs.
  fs::create_directories(C("Program Aardvark"));
  EXPECT_EQ(Short(L"C:\\Program Aardvark"), L"C:\\PROGRA~3");
  EXPECT_EQ(Short(L"C:\\Program Files"), L"C:\\PROGRA~1");
  std::vector<std::wstring> aliases;
  auto names = Find(L"C:\\Program *", nullptr, &aliases);
  ASSERT_EQ(names, (std::vector<std::wstring>{L"Program Aardvark", L"Program Files", L"Program Files (x86)"}));
  EXPECT_EQ(aliases, (std::vector<std::wstring>{L"PROGRA~3", L"PROGRA~1", L"PROGRA~2"}));

  // Expansion in every component, keeping the given text elsewhere; the
  // parent of a file that does not exist yet expands too.
  MakeFile(C("Program Files/Vendor Tools/App.exe"));
  EXPECT_EQ(Long(L"\\\\?\\C:\\PROGRA~1\\VENDOR~1\\app.EXE"), L"\\\\?\\C:\\Program Files\\Vendor Tools\\app.EXE");
  win::DWORD n = 1;
  EXPECT_EQ(Long(L"\\\\?\\C:\\PROGRA~1\\new file.txt", &n), L"");
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Long(L"\\\\?\\C:\\PROGRA~1"), L"\\\\?\\C:\\Program Files");
  EXPECT_EQ(Long(L"c:\\progra~1\\"), L"c:\\Program Files\\");
  Long(L"C:\\PROGRA~9\\x");
  EXPECT_EQ(GetLastError(), win::ERROR_PATH_NOT_FOUND);

  // Same buffer in and out; a short buffer gets the size needed.
  win::WCHAR buf[64] = L"C:\\PROGRA~1\\VENDOR~1";
  std::wstring expected = L"C:\\Program Files\\Vendor Tools";
  EXPECT_EQ(api.GetLongPathNameW(buf, buf, 64), expected.size());
  EXPECT_EQ(std::wstring(buf), expected);
  win::WCHAR tiny[4] = L"xyz";
  EXPECT_EQ(api.GetLongPathNameW(L"C:\\PROGRA~1", tiny, 4), std::wstring(L"C:\\Program Files").size() + 1);
  EXPECT_EQ(std::wstring(tiny), L"xyz");

  // A real entry named like an alias wins, and no alias takes its name.
  fs::create_directories(C("ABCDEF~1"));
  fs::create_directories(C("abcdefghij"));
  EXPECT_EQ(Short(L"C:\\abcdefghij"), L"C:\\ABCDEF~2");
  EXPECT_EQ(Long(L"C:\\ABCDEF~1"), L"C:\\ABCDEF~1");
  EXPECT_EQ(Long(L"C:\\ABCDEF~2"), L"C:\\abcdefghij");
  // Aliases live in the machine: another process sees the same ones.
  auto other = Machine::Open(root_, false);
  EXPECT_EQ(ShortNames(other).AliasFor(fs::canonical(C("")).string(), "Program Aardvark"), L"PROGRA~3");
}

TEST(ShortNameRules, ValidNamesAndAliases) {
  for (const wchar_t* ok : {L"README.TXT", L"readme.txt", L"A", L"AUTOEXEC.BAT", L"X~1.Y", L"{A}-B!.#$"}) {
    EXPECT_TRUE(ShortNames::IsValid83(ok));
  }
  for (const wchar_t* bad : {L"Program Files", L"TOOLONGNAME.TXT", L"a.b.c", L"name.long", L"a+b", L".x", L"x.", L"é"}) {
    EXPECT_FALSE(ShortNames::IsValid83(bad));
  }
  EXPECT_EQ(ShortNames::MakeAlias(L"Program Files", 1), L"PROGRA~1");
  EXPECT_EQ(ShortNames::MakeAlias(L"my document.draft.docx", 2), L"MYDOCU~2.DOC");
  EXPECT_EQ(ShortNames::MakeAlias(L"a+b;c.txt", 1), L"A_B_C~1.TXT");
  EXPECT_EQ(ShortNames::MakeAlias(L".bashrc", 1), L"BASHRC~1");
  EXPECT_EQ(ShortNames::MakeAlias(L"Program Files", 12), L"PROGR~12");
}

TEST_F(Files_, FindWildcards) {
  for (const char* f : {"a.log", "_x.log", "_y.txt", "B.LOG", "noext", "longer name.log"}) MakeFile(C("logs/") / f);
  fs::create_directories(C("logs/sub"));
  using V = std::vector<std::wstring>;
  EXPECT_EQ(Find(L"C:\\logs\\*"),
            (V{L".", L"..", L"a.log", L"B.LOG", L"longer name.log", L"noext", L"sub", L"_x.log", L"_y.txt"}));
  EXPECT_EQ(Find(L"C:\\LOGS\\*.*").size(), 9u);
  EXPECT_EQ(Find(L"\\\\?\\C:\\logs\\_*.log"), V{L"_x.log"});
  EXPECT_EQ(Find(L"C:/logs/*.LOG"), (V{L"a.log", L"B.LOG", L"longer name.log", L"_x.log"}));
  EXPECT_EQ(Find(L"C:\\logs\\?.log"), (V{L"a.log", L"B.LOG"}));
  EXPECT_EQ(Find(L"C:\\logs\\noext.*"), V{L"noext"});
  EXPECT_EQ(Find(L"C:\\logs\\LONGER~1.LOG"), V{L"longer name.log"});
  auto root = Find(L"C:\\*");
  EXPECT_EQ(std::count(root.begin(), root.end(), L"."), 0);
  EXPECT_NE(std::find(root.begin(), root.end(), L"Windows"), root.end());
  win::DWORD e = 0;
  Find(L"C:\\logs\\*.zip", &e);
  EXPECT_EQ(e, win::ERROR_FILE_NOT_FOUND);
  Find(L"C:\\nope\\*", &e);
  EXPECT_EQ(e, win::ERROR_PATH_NOT_FOUND);
  Find(L"C:\\logs\\a.log\\*", &e);
  EXPECT_EQ(e, win::ERROR_PATH_NOT_FOUND);
  win::WIN32_FIND_DATAW d;
  EXPECT_FALSE(api.FindNextFileW(win::INVALID_HANDLE_VALUE, &d));
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_HANDLE);
}

TEST_F(Files_, HandlesReadWriteAndAppend) {
  const wchar_t* path = L"C:\\Windows\\Temp\\Log.dat";
  win::HANDLE h = api.CreateFileW(path, win::GENERIC_READ | win::GENERIC_WRITE, win::FILE_SHARE_WRITE, nullptr,
                                  win::OPEN_ALWAYS, win::FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  win::DWORD n = 0;
  ASSERT_TRUE(api.WriteFile(h, "abc", 3, &n, nullptr));
  EXPECT_EQ(n, 3u);
  win::LONGLONG pos = -1, size = -1;
  ASSERT_TRUE(api.SetFilePointerEx(h, 1, &pos, win::FILE_BEGIN));
  EXPECT_EQ(pos, 1);
  char buf[8] = {};
  ASSERT_TRUE(api.ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "bc");
  EXPECT_FALSE(api.SetFilePointerEx(h, -10, &pos, win::FILE_CURRENT));
  EXPECT_EQ(GetLastError(), win::ERROR_NEGATIVE_SEEK);
  ASSERT_TRUE(api.GetFileSizeEx(h, &size));
  EXPECT_EQ(size, 3);
  EXPECT_TRUE(api.FlushFileBuffers(h));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(api.WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_HANDLE);

  h = api.CreateFileW(L"c:\\windows\\temp\\LOG.DAT", win::GENERIC_WRITE, 0, nullptr, win::OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(api.ReadFile(h, buf, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  CloseHandle(h);
  EXPECT_EQ(api.CreateFileW(path, win::GENERIC_WRITE, 0, nullptr, win::CREATE_NEW, 0, nullptr), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_EXISTS);
  EXPECT_EQ(api.CreateFileW(L"C:\\Windows\\Temp\\none", win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING, 0, nullptr),
            win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(api.CreateFileW(L"C:\\Windows", win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING, 0, nullptr),
            win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  ASSERT_TRUE(api.SetFileAttributesW(path, win::FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(api.CreateFileW(path, win::GENERIC_WRITE, 0, nullptr, win::OPEN_EXISTING, 0, nullptr),
            win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(api.AppendToFile(path, "x"));

  // Appends from many threads land whole, byte for byte.
  const std::wstring log = L"C:\\Windows\\Temp\\append.log";
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) EXPECT_TRUE(api.AppendToFile(log, std::string(100, char('a' + t)) + "\n"));
    });
  }
  for (auto& t : threads) t.join();
  std::string all = ReadHost(C("Windows/Temp/append.log"));
  ASSERT_EQ(all.size(), 4u * 50u * 101u);
  for (std::size_t i = 0; i < all.size(); i += 101) {
    EXPECT_EQ(all.substr(i, 100), std::string(100, all[i]));
  }
}

TEST_F(Files_, MoveFileRules) {
  MakeFile(C("m/a.txt"), "A");
  MakeFile(C("m/b.txt"), "B");
  EXPECT_FALSE(api.MoveFileExW(L"C:\\m\\a.txt", L"C:\\m\\B.TXT", 0));
  EXPECT_EQ(GetLastError(), win::ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(api.MoveFileExW(L"C:\\m\\a.txt", L"C:\\m\\B.TXT", win::MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadHost(C("m/b.txt")), "A");
  EXPECT_FALSE(fs::exists(C("m/a.txt")));
  ASSERT_TRUE(api.MoveFileExW(L"C:\\m\\b.txt", L"C:\\m\\Renamed.TXT", 0));
  ASSERT_TRUE(api.MoveFileExW(L"C:\\m\\renamed.txt", L"C:\\m\\RENAMED.txt", 0));  // case only
  EXPECT_TRUE(fs::exists(C("m/RENAMED.txt")));
  EXPECT_FALSE(api.MoveFileExW(L"C:\\m\\none", L"C:\\m\\x", 0));
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);
}

TEST_F(Files_, TwoProcessesNeverShareAnAlias) {
  for (int i = 0; i < 20; ++i) {
    fs::create_directories(C("Shared/Long Folder Name " + std::to_string(i)));
  }
  auto shortOf = [](int i) {
    win::WCHAR buf[300];
    std::wstring p = L"C:\\Shared\\Long Folder Name " + std::to_wstring(i);
    return Files::Get().GetShortPathNameW(p.c_str(), buf, 300) ? std::wstring(buf) : std::wstring();
  };
  pid_t child = fork();
  if (child == 0) {
    Machine::SetCurrent(Machine::Open(root_, false));
    bool ok = true;
    for (int i = 19; i >= 0; --i) ok = ok && !shortOf(i).empty();
    _exit(ok ? 0 : 1);
  }
  std::set<std::wstring> mine;
  for (int i = 0; i < 20; ++i) mine.insert(shortOf(i));
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // Whoever handed an alias out first, each entry has one and they differ.
  std::set<std::wstring> again;
  for (int i = 0; i < 20; ++i) again.insert(shortOf(i));
  EXPECT_EQ(mine, again);
  EXPECT_EQ(again.size(), 20u);
}
