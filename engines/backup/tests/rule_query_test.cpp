// File opens and renames against the backup engine on a throw-away machine:
// result codes, the copies and folders they leave on the machine's drive,
// the touched paths and the deletion-log queues.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "engines/backup/tests/engine_fixture.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"

namespace zv::engines::testing {
namespace {

namespace fs = std::filesystem;
using zv::testing::LogCapture;

constexpr wchar_t kVolume[] = L"\\Device\\HarddiskVolume2";
constexpr win::DWORD kWrite = 0x120116;
constexpr win::DWORD kRead = 0x120089;
constexpr win::DWORD kPid = 700;

// The machine's files, except that reading the attributes of one path
// fails with a chosen error.
class UnreadableAttributes : public platform::FileApi {
 public:
  UnreadableAttributes(platform::FileApi& real, std::wstring path, win::DWORD error)
      : real_(real), path_(std::move(path)), error_(error) {}
  win::DWORD GetFileAttributesW(const win::WCHAR* p) override {
    if (text::AsciiLowerCopy(p) == text::AsciiLowerCopy(path_)) {
      platform::SetLastError(error_);
      return win::INVALID_FILE_ATTRIBUTES;
    }
    return real_.GetFileAttributesW(p);
  }
  win::BOOL SetFileAttributesW(const win::WCHAR* p, win::DWORD a) override { return real_.SetFileAttributesW(p, a); }
  win::BOOL CopyFileW(const win::WCHAR* a, const win::WCHAR* b, win::BOOL f) override { return real_.CopyFileW(a, b, f); }
  win::BOOL DeleteFileW(const win::WCHAR* p) override { return real_.DeleteFileW(p); }
  win::BOOL CreateDirectoryW(const win::WCHAR* p, const platform::SecurityDescriptor* s) override {
    return real_.CreateDirectoryW(p, s);
  }
  win::BOOL RemoveDirectoryW(const win::WCHAR* p) override { return real_.RemoveDirectoryW(p); }
  win::BOOL MoveFileExW(const win::WCHAR* a, const win::WCHAR* b, win::DWORD f) override {
    return real_.MoveFileExW(a, b, f);
  }
  int SHCreateDirectoryExW(win::HWND w, const win::WCHAR* p, const platform::SecurityDescriptor* s) override {
    return real_.SHCreateDirectoryExW(w, p, s);
  }
  win::BOOL GetFileSecurityW(const win::WCHAR* p, platform::SecurityDescriptor* s) override {
    return real_.GetFileSecurityW(p, s);
  }
  win::BOOL GetFileSecurityW(const win::WCHAR* p, platform::SECURITY_INFORMATION i, void* d, win::DWORD l,
                             win::DWORD* n) override {
    return real_.GetFileSecurityW(p, i, d, l, n);
  }
  win::DWORD GetLongPathNameW(const win::WCHAR* s, win::WCHAR* l, win::DWORD u) override {
    return real_.GetLongPathNameW(s, l, u);
  }
  win::DWORD GetShortPathNameW(const win::WCHAR* l, win::WCHAR* s, win::DWORD u) override {
    return real_.GetShortPathNameW(l, s, u);
  }
  win::HANDLE CreateFileW(const win::WCHAR* p, win::DWORD a, win::DWORD s, const void* sa, win::DWORD c, win::DWORD f,
                          win::HANDLE t) override {
    return real_.CreateFileW(p, a, s, sa, c, f, t);
  }
  win::BOOL ReadFile(win::HANDLE h, void* b, win::DWORD n, win::DWORD* r, win::OVERLAPPED* o) override {
    return real_.ReadFile(h, b, n, r, o);
  }
  win::BOOL WriteFile(win::HANDLE h, const void* b, win::DWORD n, win::DWORD* w, win::OVERLAPPED* o) override {
    return real_.WriteFile(h, b, n, w, o);
  }
  win::BOOL SetFilePointerEx(win::HANDLE h, win::LONGLONG d, win::LONGLONG* p, win::DWORD m) override {
    return real_.SetFilePointerEx(h, d, p, m);
  }
  win::BOOL FlushFileBuffers(win::HANDLE h) override { return real_.FlushFileBuffers(h); }
  win::BOOL GetFileSizeEx(win::HANDLE h, win::LONGLONG* s) override { return real_.GetFileSizeEx(h, s); }
  win::HANDLE FindFirstFileW(const win::WCHAR* p, win::WIN32_FIND_DATAW* d) override {
    return real_.FindFirstFileW(p, d);
  }
  win::BOOL FindNextFileW(win::HANDLE h, win::WIN32_FIND_DATAW* d) override { return real_.FindNextFileW(h, d); }
  win::BOOL FindClose(win::HANDLE h) override { return real_.FindClose(h); }
  bool AppendToFile(const std::wstring& p, const std::string& b) override { return real_.AppendToFile(p, b); }

 private:
  platform::FileApi& real_;
  std::wstring path_;
  win::DWORD error_;
};

class RuleQueryTest : public BackupEngineTest {
 protected:
  void SetUp() override {
    BackupEngineTest::SetUp();
    Str(L"BE_SET_BACKUPPATH", L"c:\\bk");
    Str(L"BE_ADD_PROTECTPATH", L"c:\\prot");
  }
  std::uint32_t Open(const std::wstring& rest, win::DWORD access, bool create = false, bool dir = false,
                     win::DWORD pid = kPid) {
    auto n = Note(channel::kKindFileOpen, pid);
    n.SetPath(kVolume + rest);
    n.DesiredAccess = access;
    n.Param1 = create ? 1 : 0;
    n.Param3 = dir ? 1 : 0;
    channel::_MXRED_REPLY_MESSAGE reply{};
    reply.Allow = 1;
    return engine_->QueryRule(n, reply);
  }
  // Returns the reply's Allow byte; `code` receives the result.
  int Rename(const std::wstring& sourceRest, const std::wstring& target, bool replace, std::uint32_t* code = nullptr,
             win::DWORD pid = kPid, win::BYTE allow = 1) {
    auto n = Note(channel::kKindRename, pid);
    n.SetRenamePaths(kVolume + sourceRest, target);
    n.Param1 = replace ? 1 : 0;
    channel::_MXRED_REPLY_MESSAGE reply{};
    reply.Allow = allow;
    reply.AuxFlag = 1;
    std::uint32_t result = engine_->QueryRename(n, reply);
    if (code) *code = result;
    return reply.Allow;
  }
  std::int32_t Touched(const std::wstring& dosPath) {
    auto touched = engine_->TouchedPathsCopy();
    auto it = touched.find(text::AsciiLowerCopy(dosPath));
    return it == touched.end() ? 0 : it->second;
  }
  fs::path Backup(const std::string& rel) { return C("bk/C/" + rel); }
};

TEST_F(RuleQueryTest, WritesAreBackedUpOnceAndNewFilesRecordedOnce) {
  MakeFile(C("prot/doc.txt"), "first");
  EXPECT_EQ(Open(L"\\prot\\doc.txt", kWrite), 0u);
  EXPECT_EQ(ReadHost(Backup("prot/doc.txt")), "first");
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\doc.txt"), kTouchBackedUp);
  MakeFile(C("prot/doc.txt"), "second");
  EXPECT_EQ(Open(L"\\prot\\doc.txt", kWrite), 3u);
  EXPECT_EQ(ReadHost(Backup("prot/doc.txt")), "first");

  // After BE_CLEARHASH the file counts as untouched; the first backup stays.
  Int(L"BE_CLEARHASH", 0);
  EXPECT_EQ(Open(L"\\prot\\doc.txt", kWrite), 0u);
  EXPECT_EQ(ReadHost(Backup("prot/doc.txt")), "first");

  EXPECT_EQ(Open(L"\\prot\\new.txt", kWrite, true), 1u);
  EXPECT_EQ(Open(L"\\prot\\new.txt", kWrite, true), 3u);
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\new.txt"), kTouchNewFile);
  EXPECT_EQ(engine_->PendingLineCounts(), std::make_pair(std::size_t{1}, std::size_t{0}));
  EXPECT_FALSE(fs::exists(Backup("prot/new.txt")));

  // Attribute changes: never a copy; recorded only when the file is new.
  MakeFile(C("prot/attr.txt"));
  EXPECT_EQ(Open(L"\\prot\\attr.txt", 0x130196), 0x40u);
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\attr.txt"), 0);
  EXPECT_EQ(Open(L"\\prot\\gone.txt", 0x130196), 0x40u);
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\gone.txt"), kTouchNewFile);
  EXPECT_FALSE(fs::exists(Backup("prot/attr.txt")));

  // Early ends.
  MakeFile(C("prot/other.txt"));
  MakeFile(C("open/x.txt"));
  EXPECT_EQ(Open(L"\\prot\\other.txt", kRead), 8u);
  EXPECT_EQ(Open(L"\\open\\x.txt", kWrite), 4u);
  engine_->SetProcessType(800, kBackupProcessFree);
  EXPECT_EQ(Open(L"\\prot\\other.txt", kWrite, false, false, 800), 0x20u);
  auto n = Note(channel::kKindFileOpen, kPid);
  n.SetPath(L"\\Device\\Mup\\server\\prot\\a.txt");
  n.DesiredAccess = kWrite;
  channel::_MXRED_REPLY_MESSAGE reply{};
  reply.Allow = 1;
  EXPECT_EQ(engine_->QueryRule(n, reply), 0x10u);
  n.SetPath(kVolume + std::wstring(L"\\prot\\other.txt"));
  reply.Allow = 0;
  EXPECT_EQ(engine_->QueryRule(n, reply), 0x800u);
  EXPECT_FALSE(fs::exists(Backup("prot/other.txt")));
}

TEST_F(RuleQueryTest, ShortNamesAndDriveRootsAndLinkFolders) {
  // A file in a drive's root: its backup folder gets the root's security.
  LogCapture log(8);
  Str(L"BE_ADD_PROTECTFILE", L"c:\\root.txt");
  MakeFile(C("root.txt"), "root");
  EXPECT_EQ(Open(L"\\root.txt", kWrite), 0u);
  EXPECT_EQ(ReadHost(Backup("root.txt")), "root");
  EXPECT_EQ(Count(log.Lines(), L"BE ---- BECreateDirecotry \\\\?\\C:\\,\\\\?\\c:\\bk\\C "), 1);

  MakeFile(C("Program Files/app/a.txt"), "app");
  std::wstring shortPath(300, L'\0');
  ASSERT_GT(platform::Files::Get().GetShortPathNameW(L"C:\\Program Files", shortPath.data(), 300), 0u);
  shortPath.resize(shortPath.find(L'\0'));
  Str(L"BE_ADD_PROTECTPATH", L"c:\\Program Files");
  EXPECT_EQ(Open(shortPath.substr(2) + L"\\app\\a.txt", kWrite), 0u);
  EXPECT_EQ(ReadHost(Backup("Program Files/app/a.txt")), "app");


  // A folder whose name holds ".lnk" is handled as a file (its copy fails).
  fs::create_directories(C("prot/x.lnk"));
  EXPECT_EQ(Open(L"\\prot\\x.lnk", kWrite), 0u);
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\x.lnk"), kTouchBackedUp);
  fs::create_directories(C("prot/plain"));
  EXPECT_EQ(Open(L"\\prot\\plain", kWrite), 0x100u);
}

TEST_F(RuleQueryTest, FoldersAreMirroredBeforeDeletionAndNewFoldersFreed) {
  fs::create_directories(C("prot/old"));
  ASSERT_EQ(::chown(C("prot/old").c_str(), 1234, 5678), 0);
  ASSERT_EQ(::chmod(C("prot/old").c_str(), 0750), 0);
  EXPECT_EQ(Open(L"\\prot\\old", 0x110080, false, true), 0x200u);
  struct stat st {};
  ASSERT_EQ(::stat(Backup("prot/old").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_gid, 5678u);                    // group and access lists carried
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_EQ(st.st_uid, ::geteuid());              // the owner is the creator
  EXPECT_EQ(Open(L"\\prot\\old", kRead | 1, false, true), 1u);  // a listing

  EXPECT_EQ(Open(L"\\prot\\made", kRead, true, true), 0x400u);
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\made"), kTouchNewFolder);
  EXPECT_EQ(engine_->FreePathsCopy().count(L"\\\\?\\c:\\prot\\made\\"), 1u);
  EXPECT_EQ(engine_->PendingLineCounts(), std::make_pair(std::size_t{0}, std::size_t{1}));
  fs::create_directories(C("prot/made"));
  EXPECT_EQ(Open(L"\\prot\\made\\in.txt", kWrite, true), 4u);
}

TEST_F(RuleQueryTest, LongestRuleWinsAndBackupsAreNotBackedUp) {
  Str(L"BE_ADD_FREEPATH", L"c:\\prot\\b");
  Str(L"BE_ADD_PROTECTPATH", L"c:\\prot\\b\\c");
  Str(L"BE_ADD_FREEPATH", L"c:\\prot\\b\\d");
  Str(L"BE_ADD_PROTECTPATH", L"c:\\prot\\b\\d");  // equal length: free
  EXPECT_TRUE(engine_->IsProtectedPath(L"\\\\?\\C:\\prot\\a.txt"));
  EXPECT_FALSE(engine_->IsProtectedPath(L"\\\\?\\C:\\prot\\b\\a.txt"));
  EXPECT_TRUE(engine_->IsProtectedPath(L"\\\\?\\C:\\prot\\b\\c\\a.txt"));
  EXPECT_FALSE(engine_->IsProtectedPath(L"\\\\?\\C:\\prot\\b\\d\\a.txt"));
  EXPECT_FALSE(engine_->IsProtectedPath(L""));

  // A backup folder under a protected folder is freed and never backed up.
  Str(L"BE_SET_BACKUPPATH", L"c:\\prot\\bk");
  MakeFile(C("prot/bk/C/prot/f.txt"), "backup");
  EXPECT_EQ(Open(L"\\prot\\bk\\C\\prot\\f.txt", kWrite), 4u);
  EXPECT_FALSE(fs::exists(C("prot/bk/C/prot/bk")));
}

TEST_F(RuleQueryTest, RelativeAndEmptyComponentsAreUnparsable) {
  MakeFile(C("prot/a.txt"));
  MakeFile(C("outside/a.txt"));
  LogCapture log(2);
  for (const wchar_t* rest : {L"\\prot\\..\\outside\\a.txt", L"\\prot\\..\\..\\..\\x\\a.txt", L"\\prot\\.\\a.txt",
                              L"\\prot\\\\a.txt", L"\\prot\\a.txt\\", L"\\prot\\..", L"\\prot\\sub\\..\\a.txt"}) {
    EXPECT_EQ(Open(rest, kWrite), 0x10u) << text::ToUtf8(rest);
    EXPECT_EQ(Open(rest, kWrite, true), 0x10u) << text::ToUtf8(rest);
    EXPECT_EQ(Open(rest, kRead, true, true), 0x10u) << text::ToUtf8(rest);
    std::uint32_t code = 0;
    EXPECT_EQ(Rename(L"\\outside\\a.txt", std::wstring(L"\\??\\C:") + rest, true, &code), 1);
    EXPECT_EQ(code, 16u);
    EXPECT_EQ(Rename(rest, L"\\??\\C:\\prot\\n.txt", false, &code), 1);
    EXPECT_EQ(code, 16u);
  }
  EXPECT_TRUE(engine_->TouchedPathsCopy().empty());
  EXPECT_EQ(engine_->PendingLineCounts(), std::make_pair(std::size_t{0}, std::size_t{0}));
  EXPECT_FALSE(fs::exists(C("bk")));
  EXPECT_FALSE(fs::exists(C("x")));
}

TEST_F(RuleQueryTest, UnreadableFilesAreNeverNew) {
  MakeFile(C("prot/locked.txt"), "keep");
  MakeFile(C("prot/dir/in.txt"));
  for (win::DWORD error : {win::ERROR_ACCESS_DENIED, win::ERROR_INVALID_NAME, win::ERROR_NOT_READY}) {
    Int(L"BE_CLEARHASH", 0);
    UnreadableAttributes files(platform::Files::Get(), L"\\\\?\\C:\\prot\\locked.txt", error);
    platform::ScopedApi<platform::FileApi> scoped(files);
    LogCapture log(2);
    EXPECT_EQ(Open(L"\\prot\\locked.txt", kWrite, true), 0u) << error;
    EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\locked.txt"), kTouchBackedUp);
    EXPECT_EQ(Count(log.Lines(), L"BackupS = \\\\?\\C:\\prot\\locked.txt result= " + std::to_wstring(error)), 1);
    EXPECT_EQ(Open(L"\\prot\\locked.txt", 0x130196), 3u);
    Int(L"BE_CLEARHASH", 0);
    EXPECT_EQ(Open(L"\\prot\\locked.txt", 0x130196), 0x40u);
    EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\locked.txt"), 0);
    // A rename onto it records nothing either way.
    EXPECT_EQ(Rename(L"\\prot\\dir\\in.txt", L"\\??\\C:\\prot\\locked.txt", false), 1);
    EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\locked.txt"), 0);
  }
  EXPECT_EQ(engine_->PendingLineCounts(), std::make_pair(std::size_t{0}, std::size_t{0}));
  // A folder whose attributes cannot be read is not taken as created.
  UnreadableAttributes files(platform::Files::Get(), L"\\\\?\\C:\\prot\\dir", win::ERROR_ACCESS_DENIED);
  platform::ScopedApi<platform::FileApi> scoped(files);
  EXPECT_EQ(Open(L"\\prot\\dir", kRead, true, true), 0x100u);
  EXPECT_TRUE(engine_->FreePathsCopy().count(L"\\\\?\\c:\\prot\\dir\\") == 0);
}

TEST_F(RuleQueryTest, RenamesOfFolders) {
  fs::create_directories(C("prot/old"));
  fs::create_directories(C("open/folder"));
  std::uint32_t code = 0;
  // An existing protected folder cannot move; a free process may move it.
  EXPECT_EQ(Rename(L"\\prot\\old", L"\\??\\C:\\prot\\renamed", false, &code), 0);
  EXPECT_EQ(code, 1u);
  engine_->SetProcessType(800, kBackupProcessFree);
  EXPECT_EQ(Rename(L"\\prot\\old", L"\\??\\C:\\open\\renamed", false, &code, 800), 1);
  EXPECT_EQ(code, 32u);

  // One made in this session moves, and its new name is recorded and freed.
  EXPECT_EQ(Open(L"\\prot\\made", kRead, true, true), 0x400u);
  fs::create_directories(C("prot/made"));
  EXPECT_EQ(Rename(L"\\prot\\made", L"\\??\\C:\\prot\\moved", false), 1);
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\moved"), kTouchNewFolder);
  EXPECT_EQ(engine_->FreePathsCopy().count(L"\\\\?\\c:\\prot\\moved\\"), 1u);

  // An unprotected folder moving in is new there.
  EXPECT_EQ(Rename(L"\\open\\folder", L"\\??\\C:\\prot\\folder", false), 1);
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\folder"), kTouchNewFolder);
  EXPECT_EQ(engine_->PendingLineCounts(), std::make_pair(std::size_t{0}, std::size_t{3}));

  // Denied by an earlier engine: nothing recorded, nothing freed.
  fs::create_directories(C("open/later"));
  EXPECT_EQ(Rename(L"\\open\\later", L"\\??\\C:\\prot\\later", false, &code, kPid, 0), 0);
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\later"), 0);
  EXPECT_EQ(engine_->FreePathsCopy().count(L"\\\\?\\c:\\prot\\later\\"), 0u);
}

TEST_F(RuleQueryTest, RenamesOfFiles) {
  MakeFile(C("open/a.txt"), "new");
  MakeFile(C("prot/target.txt"), "original");
  MakeFile(C("prot/kept.txt"), "kept");
  std::uint32_t code = 0;
  // Replacing a protected file backs it up, once, and lists nothing.
  EXPECT_EQ(Rename(L"\\open\\a.txt", L"\\??\\C:\\prot\\target.txt", true, &code), 1);
  EXPECT_EQ(code, 120u);
  EXPECT_EQ(ReadHost(Backup("prot/target.txt")), "original");
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\target.txt"), kTouchBackedUp);
  EXPECT_EQ(Rename(L"\\open\\a.txt", L"\\??\\C:\\prot\\target.txt", true, &code), 1);
  EXPECT_EQ(code, 1u);

  // Without replace an existing file stays the original: nothing recorded.
  EXPECT_EQ(Rename(L"\\open\\a.txt", L"\\??\\C:\\prot\\kept.txt", false, &code), 1);
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\kept.txt"), 0);
  EXPECT_FALSE(fs::exists(Backup("prot/kept.txt")));

  // A new name in a protected folder is a new file, with or without replace.
  EXPECT_EQ(Rename(L"\\open\\a.txt", L"\\??\\C:\\prot\\fresh.txt", false), 1);
  EXPECT_EQ(Rename(L"\\open\\a.txt", L"\\??\\C:\\prot\\fresh2.txt", true), 1);
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\fresh.txt"), kTouchNewFile);
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\fresh2.txt"), kTouchNewFile);
  EXPECT_EQ(engine_->PendingLineCounts(), std::make_pair(std::size_t{2}, std::size_t{0}));

  // A target of more than 512 units is backed up like any other.
  const std::string deep = "prot/" + std::string(200, 'd') + "/" + std::string(200, 'e') + "/" + std::string(150, 'f');
  MakeFile(C(deep), "deep");
  std::wstring deepTarget = L"\\??\\C:\\" + text::FromUtf8(deep);
  std::replace(deepTarget.begin(), deepTarget.end(), L'/', L'\\');
  ASSERT_GT(deepTarget.size(), 512u);
  EXPECT_EQ(Rename(L"\\open\\a.txt", deepTarget, true, &code), 1);
  EXPECT_EQ(code, 120u);
  EXPECT_EQ(ReadHost(Backup(deep)), "deep");

  // A copy that fails is logged as failed, still counted as done.
  MakeFile(C("prot/busy.txt"), "busy");
  Str(L"BE_SET_BACKUPPATH", L"c:\\bk2");
  MakeFile(C("bk2/C/prot"), "a file where the backup folder should be");
  LogCapture log(1 | 4);
  EXPECT_EQ(Rename(L"\\open\\a.txt", L"\\??\\C:\\prot\\busy.txt", true, &code), 1);
  EXPECT_EQ(code, 120u);
  EXPECT_EQ(Count(log.Lines(), L"success !!"), 0);
  EXPECT_EQ(Count(log.Lines(), L"=[QueryRename] BackupFile= \\\\?\\C:\\prot\\busy.txt"), 1);
  EXPECT_EQ(Touched(L"\\\\?\\C:\\prot\\busy.txt"), kTouchBackedUp);
}

TEST(RenameBackupPath, SchemeAndEmptyCases) {
  RenameBackupPaths p = MakeRenameBackupPath(L"\\\\?\\C:\\Users\\a\\doc.txt", L"c:\\qd\\r\\");
  EXPECT_EQ(p.BackupFolder, L"\\\\?\\c:\\qd\\r\\C\\Users\\a");
  EXPECT_EQ(p.BackupFile, L"\\\\?\\c:\\qd\\r\\C\\Users\\a\\doc.txt");
  p = MakeRenameBackupPath(L"\\\\?\\d:\\x.txt", L"c:\\qd\\r\\");
  EXPECT_EQ(p.BackupFolder, L"\\\\?\\c:\\qd\\r\\d");
  EXPECT_EQ(p.BackupFile, L"\\\\?\\c:\\qd\\r\\d\\x.txt");
  EXPECT_TRUE(MakeRenameBackupPath(L"\\\\?\\C:", L"c:\\qd\\r\\").BackupFile.empty());
  EXPECT_TRUE(MakeRenameBackupPath(L"\\\\?\\C:\\x", L"").BackupFolder.empty());
}

}  // namespace
}  // namespace zv::engines::testing
