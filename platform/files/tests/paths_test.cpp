#include "platform/files/paths.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "platform/files/testing/machine_fixture.h"
#include "platform/files/file_api.h"
#include "platform/base/handles.h"
#include "platform/files/volumes.h"

using namespace zv::platform;
namespace win = zv::win;
namespace fs = std::filesystem;
using zv::platform::testing::MachineTest;

namespace {

std::vector<std::wstring> Parts(const wchar_t* path, win::DWORD* error = nullptr) {
  DosPath p;
  win::DWORD e = ParseDosPath(path, p);
  if (error) *error = e;
  return p.components;
}

win::DWORD ParseError(std::wstring_view path) {
  DosPath p;
  return ParseDosPath(path, p);
}

class Paths : public MachineTest {
 protected:
  win::DWORD Resolve(const std::wstring& path, ResolvedPath& r) { return ResolveDosPath(*machine_, path, r); }
  win::DWORD ResolveError(const std::wstring& path) {
    ResolvedPath r;
    return Resolve(path, r);
  }
};

}  // namespace

TEST(DosPaths, PlainPathsNormaliseAsWin32) {
  using V = std::vector<std::wstring>;
  EXPECT_EQ(Parts(L"C:/a/./b/../c. \\d"), (V{L"a", L"c", L"d"}));
  EXPECT_EQ(Parts(L"c:\\..\\..\\x\\.."), V{});
  EXPECT_EQ(Parts(L"C:\\a\\\\b\\"), (V{L"a", L"b"}));
  EXPECT_EQ(Parts(L"\\\\.\\C:\\x\\..\\y"), V{L"y"});
  DosPath p;
  ASSERT_EQ(ParseDosPath(L"c:\\Dir\\", p), 0u);
  EXPECT_EQ(p.Text(), L"c:\\Dir\\");
}

TEST(DosPaths, VerbatimFormsKeepEveryComponent) {
  using V = std::vector<std::wstring>;
  EXPECT_EQ(Parts(L"\\\\?\\C:\\a. \\b"), (V{L"a. ", L"b"}));
  EXPECT_EQ(Parts(L"\\??\\C:\\a"), V{L"a"});
  for (const wchar_t* bad : {L"\\\\?\\C:\\..\\..\\machine.db", L"\\??\\C:\\a\\.\\b", L"\\\\?\\C:\\a\\\\b",
                             L"\\\\?\\C:\\a/b", L"\\\\?\\C:x"}) {
    EXPECT_EQ(ParseError(bad), win::ERROR_INVALID_NAME) << std::wstring(bad).size();
  }
}

TEST(DosPaths, ForbiddenNamesAndSizes) {
  for (const wchar_t* bad : {L"C:\\a<b", L"C:\\a>b", L"C:\\a:b", L"C:\\a\"b", L"C:\\a|b", L"C:\\a?b", L"C:\\a*b",
                             L"C:\\a\x01" L"b", L"C:\\x\\CON", L"C:\\nul.txt", L"C:\\Com1.log", L"C:\\LPT9",
                             L"\\\\?\\C:\\aux", L"C:\\prn .x"}) {
    EXPECT_EQ(ParseError(bad), win::ERROR_INVALID_NAME) << "case";
  }
  EXPECT_EQ(ParseError(L"C:\\COM10"), 0u);
  EXPECT_EQ(ParseError(L"C:\\console"), 0u);
  EXPECT_EQ(ParseError(std::wstring(L"C:\\a\0b", 6)), win::ERROR_INVALID_NAME);
  EXPECT_EQ(ParseError(L"\\\\?\\C:\\" + std::wstring(32767, L'a')), win::ERROR_FILENAME_EXCED_RANGE);
  std::wstring deep = L"C:";
  for (int i = 0; i < 30; ++i) deep += L"\\abcdefghi";
  EXPECT_EQ(ParseError(deep), win::ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(ParseError(L"\\\\?\\" + deep), 0u);
  EXPECT_EQ(ParseError(L"\\\\?\\C:\\" + std::wstring(256, L'a')), win::ERROR_INVALID_NAME);
  EXPECT_EQ(ParseError(L"\\\\server\\share\\x"), win::ERROR_BAD_NETPATH);
  EXPECT_EQ(ParseError(L"relative\\x"), win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(ParseError(L"\\rooted"), win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(ParseError(L""), win::ERROR_PATH_NOT_FOUND);
}

TEST_F(Paths, MixedCaseTreeResolvesToTheExistingEntries) {
  MakeFile(C("Program Files/Common Files/Foo.TXT"), "data");
  ResolvedPath r;
  ASSERT_EQ(Resolve(L"c:\\PROGRAM FILES\\common files\\foo.txt", r), 0u);
  EXPECT_TRUE(r.exists);
  EXPECT_EQ(fs::path(r.host), fs::canonical(C("Program Files/Common Files/Foo.TXT")));
  // Warm, and through the verbatim forms.
  ASSERT_EQ(Resolve(L"\\\\?\\C:\\program files\\COMMON FILES\\FOO.TXT", r), 0u);
  EXPECT_TRUE(r.exists);
  ASSERT_EQ(Resolve(L"\\??\\c:\\Program Files\\Common Files\\Foo.TXT", r), 0u);
  EXPECT_TRUE(r.exists);
  // A new entry keeps the case given, in the existing folder.
  ASSERT_EQ(Resolve(L"C:\\program files\\NewFile.Txt", r), 0u);
  EXPECT_FALSE(r.exists);
  EXPECT_EQ(fs::path(r.host), fs::canonical(C("Program Files")) / "NewFile.Txt");
  EXPECT_EQ(ResolveError(L"C:\\no such\\file"), win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(ResolveError(L"C:\\program files\\common files\\foo.txt\\x"), win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(ResolveError(L"Q:\\x"), win::ERROR_PATH_NOT_FOUND);
  // An entry added after a wrong-case look-up of its folder is still found.
  ASSERT_EQ(Resolve(L"C:\\PROGRAM FILES\\late.txt", r), 0u);
  MakeFile(C("Program Files/Late.txt"));
  ASSERT_EQ(Resolve(L"C:\\PROGRAM FILES\\LATE.TXT", r), 0u);
  EXPECT_TRUE(r.exists);
  // A folder renamed or replaced on the host after a wrong-case walk.
  fs::rename(C("Program Files/Common Files"), C("Program Files/COMMON files"));
  ASSERT_EQ(Resolve(L"c:\\PROGRAM FILES\\common files\\foo.txt", r), 0u);
  EXPECT_EQ(fs::path(r.host), fs::canonical(C("Program Files/COMMON files/Foo.TXT")));
  fs::rename(C("Program Files/COMMON files"), C("Program Files/Moved"));
  fs::create_directories(C("Elsewhere"));
  fs::create_symlink(root_ / "run", C("Program Files/common files"));
  EXPECT_EQ(ResolveError(L"c:\\PROGRAM FILES\\common files\\foo.txt"), win::ERROR_ACCESS_DENIED);
}

TEST_F(Paths, EscapesAreRefused) {
  MakeFile(root_ / "outside.txt", "secret");
  fs::create_directories(C("Data/Inner"));
  fs::create_symlink("/etc", C("Data/etc"));
  fs::create_symlink(root_ / "machine.db", C("Data/db"));
  fs::create_symlink(root_ / "run", C("Data/run"));
  fs::create_symlink("../../../outside.txt", C("Data/rel"));
  fs::create_symlink(root_ / "volumes", C("Data/allvolumes"));
  fs::create_symlink(C("Data/loop2"), C("Data/loop1"));
  fs::create_symlink(C("Data/loop1"), C("Data/loop2"));
  fs::create_symlink(root_ / "nowhere", C("Data/dangling"));
  for (const wchar_t* p : {L"C:\\Data\\etc\\passwd", L"C:\\Data\\etc", L"C:\\Data\\db", L"C:\\Data\\run\\x",
                           L"C:\\Data\\rel", L"C:\\data\\ETC\\passwd", L"C:\\Data\\allvolumes\\C",
                           L"C:\\Data\\dangling"}) {
    EXPECT_EQ(ResolveError(p), win::ERROR_ACCESS_DENIED) << "link";
    EXPECT_EQ(Files::Get().GetFileAttributesW(p), win::INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(ResolveError(L"C:\\Data\\loop1\\x"), win::ERROR_CANT_RESOLVE_FILENAME);
  // Through '..': clamped at the drive root in plain paths, refused in the
  // verbatim forms.
  EXPECT_EQ(ResolveError(L"\\\\?\\C:\\..\\..\\machine.db"), win::ERROR_INVALID_NAME);
  EXPECT_EQ(Files::Get().GetFileAttributesW(L"C:\\..\\..\\machine.db"), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Files::Get().GetFileAttributesW(L"C:\\Data\\..\\..\\..\\outside.txt"), win::INVALID_FILE_ATTRIBUTES);
  // Nothing was created or changed outside.
  EXPECT_EQ(Files::Get().CreateFileW(L"C:\\Data\\etc\\zv-test", win::GENERIC_WRITE, 0, nullptr, win::CREATE_NEW, 0,
                                     nullptr),
            win::INVALID_HANDLE_VALUE);
  EXPECT_FALSE(fs::exists("/etc/zv-test"));
  EXPECT_FALSE(Files::Get().AppendToFile(L"C:\\Data\\rel", "x"));
  EXPECT_EQ(ReadHost(root_ / "outside.txt"), "secret");
}

TEST_F(Paths, LinksInsideTheVolumesAreFollowed) {
  MakeFile(C("Real/Deep/file.txt"), "in");
  fs::create_symlink(C("Real"), C("Link"));
  fs::create_symlink("Deep", C("Real/RelLink"));
  ASSERT_EQ(VolumeTable(machine_).Add(L"\\Device\\HarddiskVolume3", L"D:"), 0u);
  fs::create_symlink(C("Real"), root_ / "volumes" / "HarddiskVolume3" / "ToC");
  ResolvedPath r;
  for (const wchar_t* p : {L"C:\\link\\deep\\FILE.txt", L"C:\\Real\\RelLink\\file.txt", L"D:\\toc\\Deep\\file.txt"}) {
    ASSERT_EQ(Resolve(p, r), 0u);
    EXPECT_TRUE(r.exists);
    EXPECT_EQ(fs::path(r.host), fs::canonical(C("Real/Deep/file.txt")));
  }
  // Deleting through a link name removes the link, not its target.
  ASSERT_TRUE(Files::Get().RemoveDirectoryW(L"C:\\Link"));
  EXPECT_TRUE(fs::exists(C("Real/Deep/file.txt")));
  EXPECT_FALSE(fs::is_symlink(C("Link")));
}

TEST_F(Paths, VolumeLinkToElsewhereIsRefused) {
  fs::create_directories(root_ / "elsewhere");
  ASSERT_EQ(VolumeTable(machine_).Add(L"\\Device\\CdRom0", L"E:"), 0u);
  fs::remove(root_ / "volumes" / "CdRom0");
  fs::create_symlink(root_ / "elsewhere", root_ / "volumes" / "CdRom0");
  EXPECT_NE(ResolveError(L"E:\\x"), 0u);
}

TEST_F(Paths, UnpairedSurrogateBecomesWtf8HostName) {
  std::wstring name = L"C:\\a";
  name += static_cast<wchar_t>(0xD800);
  name += L"b";
  win::HANDLE h = Files::Get().CreateFileW(name.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_TRUE(fs::exists(C("a\xED\xA0\x80" "b")));
  EXPECT_NE(Files::Get().GetFileAttributesW(name.c_str()), win::INVALID_FILE_ATTRIBUTES);
}

TEST_F(Paths, VolumeTableFormsLettersAndDosNames) {
  VolumeTable t(machine_);
  for (const wchar_t* ok : {L"\\Device\\HarddiskVolume0", L"\\Device\\HarddiskVolume99", L"\\device\\cdrom9",
                            L"\\Device\\Floppy0", L"\\Device\\Harddisk1\\DP(1)0-0+5", L"\\Device\\Harddisk1\\DP(1)0-0+a",
                            L"\\Device\\VSDisk\\VSDisk3"}) {
    EXPECT_TRUE(VolumeTable::IsValidDeviceName(ok));
  }
  for (const wchar_t* bad : {L"\\Device\\HarddiskVolume100", L"\\Device\\HarddiskVolume", L"\\Device\\CdRom10",
                             L"\\Device\\Mup", L"Device\\CdRom0", L"\\Device\\Harddisk1\\DP(1)0-0+",
                             L"\\Device\\VSDisk\\VSDisk", L"\\Device\\HarddiskVolume2\\x"}) {
    EXPECT_FALSE(VolumeTable::IsValidDeviceName(bad));
  }
  std::wstring dos;
  EXPECT_EQ(t.DosNameOf(L"\\device\\HARDDISKVOLUME2", dos), win::S_OK);
  EXPECT_EQ(dos, L"C:");
  EXPECT_EQ(t.DosNameOf(L"\\Device\\HarddiskVolume7", dos), win::HR_FILE_NOT_FOUND);
  EXPECT_EQ(t.DosNameOf(L"\\Device\\Mup", dos), win::HR_FILE_NOT_FOUND);
  EXPECT_EQ(t.DosNameOf(L"", dos), win::E_INVALIDARG);
  EXPECT_EQ(t.DosNameOf(L"garbage", dos), win::E_INVALIDARG);

  ASSERT_EQ(t.Add(L"\\Device\\Harddisk1\\DP(1)0-0+5", L"f"), 0u);
  EXPECT_EQ(t.Add(L"\\Device\\HARDDISK1\\DP(1)0-0+5", L""), win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(t.Add(L"\\Device\\CdRom0", L"C:"), win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(t.Add(L"\\Device\\CdRom0", L"1:"), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(t.DosNameOf(L"\\Device\\Harddisk1\\DP(1)0-0+5", dos), win::S_OK);
  EXPECT_EQ(dos, L"F:");
  ASSERT_TRUE(Files::Get().CreateDirectoryW(L"F:\\stick", nullptr));

  // A new letter changes only the table: the files follow the volume.
  ASSERT_EQ(t.SetLetter(L"\\Device\\Harddisk1\\DP(1)0-0+5", L"G:"), 0u);
  EXPECT_EQ(Files::Get().GetFileAttributesW(L"F:\\stick"), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Files::Get().GetFileAttributesW(L"G:\\stick"), win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(t.SetLetter(L"\\Device\\Harddisk1\\DP(1)0-0+5", L"C"), win::ERROR_ALREADY_EXISTS);
  ASSERT_EQ(t.SetLetter(L"\\Device\\Harddisk1\\DP(1)0-0+5", L""), 0u);
  EXPECT_EQ(t.DosNameOf(L"\\Device\\Harddisk1\\DP(1)0-0+5", dos), win::HR_FILE_NOT_FOUND);
  EXPECT_EQ(t.SetLetter(L"\\Device\\CdRom3", L"H"), win::ERROR_FILE_NOT_FOUND);

  // Another process changing the table is seen by this one's letter map.
  ASSERT_EQ(Files::Get().GetFileAttributesW(L"C:\\Windows"), win::FILE_ATTRIBUTE_DIRECTORY);
  pid_t child = fork();
  if (child == 0) {
    auto m = Machine::Open(root_, false);
    VolumeTable(m).SetLetter(L"\\Device\\HarddiskVolume2", L"K:");
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(Files::Get().GetFileAttributesW(L"K:\\Windows"), win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(Files::Get().GetFileAttributesW(L"C:\\Windows"), win::INVALID_FILE_ATTRIBUTES);
  ASSERT_EQ(t.Remove(L"\\Device\\Harddisk1\\DP(1)0-0+5"), 0u);
  EXPECT_EQ(t.Remove(L"\\Device\\Harddisk1\\DP(1)0-0+5"), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(t.List().size(), 1u);
}
