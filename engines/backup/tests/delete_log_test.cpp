// The deletion logs: format, files, failures that keep lines, writes that
// fail part-way, queueing during a write, the full write and the final pass
// at shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "engines/backup/backupengine.h"
#include "engines/base/tests/log_capture.h"
#include "platform/base/debug_output.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/testing/memory_files.h"

namespace zv::engines {
namespace {

using zv::testing::LogCapture;

// In-memory files whose opens can be refused, whose next write can stop
// part-way with a full disk, and whose writes can be held.
class FlakyFiles : public platform::fakes::MemoryFiles {
 public:
  win::HANDLE CreateFileW(const win::WCHAR* path, win::DWORD access, win::DWORD share, const void* security,
                          win::DWORD disposition, win::DWORD flags, win::HANDLE model) override {
    if (unwritable) {
      platform::SetLastError(win::ERROR_ACCESS_DENIED);
      return win::INVALID_HANDLE_VALUE;
    }
    return MemoryFiles::CreateFileW(path, access, share, security, disposition, flags, model);
  }
  win::BOOL WriteFile(win::HANDLE file, const void* buffer, win::DWORD bytes, win::DWORD* written,
                      win::OVERLAPPED* overlapped) override {
    if (holdWrites) {
      writeHeld = true;
      while (holdWrites) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    int limit = writeLimit.exchange(-1);
    if (limit < 0 || static_cast<win::DWORD>(limit) >= bytes) {
      return MemoryFiles::WriteFile(file, buffer, bytes, written, overlapped);
    }
    MemoryFiles::WriteFile(file, buffer, static_cast<win::DWORD>(limit), written, overlapped);
    platform::SetLastError(win::ERROR_DISK_FULL);
    return win::FALSE;
  }
  std::atomic<bool> unwritable{false};
  std::atomic<int> writeLimit{-1};  // bytes the next write gets to the file
  std::atomic<bool> holdWrites{false};
  std::atomic<bool> writeHeld{false};  // a write is waiting for holdWrites to clear
};

class DeleteLogTest : public ::testing::Test {
 protected:
  void SetUp() override { engine_->Initialize(false); }

  static std::string Utf16(const std::wstring& text) { return text::ToUtf16Le(text); }
  std::string FileLog() { return files_.Bytes(L"c:\\qd\\deletelog.dat"); }
  std::string FolderLog() { return files_.Bytes(L"c:\\qd\\deletelog.dat_dir"); }
  static int Count(const std::vector<std::wstring>& lines, std::wstring_view text) {
    int n = 0;
    for (const auto& line : lines) n += line.find(text) != std::wstring::npos;
    return n;
  }

  FlakyFiles files_;
  platform::ScopedApi<platform::FileApi> scopedFiles_{files_};
  std::unique_ptr<backupengine> engine_ = std::make_unique<backupengine>();
};

TEST_F(DeleteLogTest, FilesAndFoldersGoToTheirLogsAsUtf16LinesAppended) {
  files_.Put(L"c:\\qd\\deletelog.dat", Utf16(L"\\\\?\\C:\\old.txt\n"));
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\Users\\a\\New.txt", true);
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\Users\\a\\Neu", false);
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\Users\\a\\\u00e9t\u00e9.txt", true);
  EXPECT_EQ(engine_->PendingLineCounts(), (std::pair<std::size_t, std::size_t>{2, 1}));
  engine_->FlushDeleteLogs();
  EXPECT_EQ(FileLog(), Utf16(L"\\\\?\\C:\\old.txt\n\\\\?\\C:\\Users\\a\\New.txt\n\\\\?\\C:\\Users\\a\\\u00e9t\u00e9.txt\n"));
  EXPECT_EQ(FolderLog(), Utf16(L"\\\\?\\C:\\Users\\a\\Neu\n"));
  EXPECT_EQ(files_.WriteCalls(), 2);  // one write per queue
  engine_->FlushDeleteLogs();
  EXPECT_EQ(files_.WriteCalls(), 2);  // nothing queued, nothing written

  // The folder log always follows the file log.
  EXPECT_EQ(engine_->OnCommandString(0, L"BE_SET_DELETELOG", L"d:\\logs\\del.log"), 0);
  EXPECT_EQ(engine_->DeleteLogPaths(),
            (std::pair<std::wstring, std::wstring>{L"d:\\logs\\del.log", L"d:\\logs\\del.log_dir"}));
  engine_->QueueDeleteLogLine(L"\\\\?\\D:\\n", false);
  engine_->FlushDeleteLogs();
  EXPECT_EQ(files_.Bytes(L"d:\\logs\\del.log_dir"), Utf16(L"\\\\?\\D:\\n\n"));
  EXPECT_FALSE(files_.Exists(L"d:\\logs\\del.log"));
}

TEST_F(DeleteLogTest, AnUnwritableLogKeepsItsLinesAndWritesThemOnceWhenWritable) {
  LogCapture log(1);
  files_.unwritable = true;
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\a", true);
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\d", false);
  engine_->FlushDeleteLogs();
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\b", true);
  engine_->FlushDeleteLogs();
  EXPECT_EQ(engine_->PendingLineCounts(), (std::pair<std::size_t, std::size_t>{2, 1}));
  EXPECT_EQ(Count(log.Lines(), L"BE ---- WriteLog Thread file 5 "), 2);
  EXPECT_EQ(Count(log.Lines(), L"BE ---- WriteLog Thread folder 5 "), 2);

  files_.unwritable = false;
  engine_->FlushDeleteLogs();
  engine_->FlushDeleteLogs();
  EXPECT_EQ(FileLog(), Utf16(L"\\\\?\\C:\\a\n\\\\?\\C:\\b\n"));
  EXPECT_EQ(FolderLog(), Utf16(L"\\\\?\\C:\\d\n"));
  EXPECT_EQ(engine_->PendingLineCounts(), (std::pair<std::size_t, std::size_t>{0, 0}));
}

TEST_F(DeleteLogTest, AWriteThatStopsPartWayResumesWithoutDoubledOrTornLines) {
  LogCapture log(1);
  const std::wstring first = L"\\\\?\\C:\\first.txt", second = L"\\\\?\\C:\\second.txt",
                     third = L"\\\\?\\C:\\third.txt";
  engine_->QueueDeleteLogLine(first, true);
  engine_->QueueDeleteLogLine(second, true);
  engine_->QueueDeleteLogLine(third, true);
  // The disk fills after the first line and half a unit of the second.
  files_.writeLimit = static_cast<int>((first.size() + 1) * 2 + 3);
  engine_->FlushDeleteLogs();
  EXPECT_EQ(Count(log.Lines(), L"BE ---- WriteLog Thread file 112 "), 1);
  EXPECT_EQ(engine_->PendingLineCounts().first, 2u);  // the first line is done

  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\fourth.txt", true);
  files_.writeLimit = 1;  // one more byte, then full again
  engine_->FlushDeleteLogs();
  engine_->FlushDeleteLogs();
  EXPECT_EQ(FileLog(), Utf16(first + L"\n" + second + L"\n" + third + L"\n\\\\?\\C:\\fourth.txt\n"));
  EXPECT_EQ(engine_->PendingLineCounts().first, 0u);
  EXPECT_EQ(FileLog().size() % 2, 0u);
}

TEST_F(DeleteLogTest, QueueingNeverWaitsForAWriteAndLinesQueuedMeanwhileFollowWhatItKept) {
  const std::wstring first = L"\\\\?\\C:\\first.txt", second = L"\\\\?\\C:\\second.txt",
                     third = L"\\\\?\\C:\\third.txt";
  engine_->QueueDeleteLogLine(first, true);
  engine_->QueueDeleteLogLine(second, true);
  files_.writeLimit = static_cast<int>((first.size() + 1) * 2);  // only the first line fits
  files_.holdWrites = true;
  std::thread writer([&] { engine_->FlushDeleteLogs(); });
  while (!files_.writeHeld) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  // A worker recording a new file while the log is being written.
  auto queued = std::async(std::launch::async, [&] { engine_->QueueDeleteLogLine(third, true); });
  EXPECT_EQ(queued.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(engine_->PendingLineCounts().first, 3u);  // the two being written count until written
  files_.holdWrites = false;
  queued.wait();
  writer.join();

  EXPECT_EQ(engine_->PendingLineCounts().first, 2u);  // the second came back in front of the third
  engine_->FlushDeleteLogs();
  EXPECT_EQ(FileLog(), Utf16(first + L"\n" + second + L"\n" + third + L"\n"));
}

TEST_F(DeleteLogTest, TheFullWriteListsCreatedPathsOnlyInLowerCase) {
  // Nothing touched yet: both files are made, empty.
  EXPECT_EQ(engine_->OnCommandString(0, L"BE_WRITE_DELETELOGFULL", L"c:\\out\\full.dat"), 0);
  EXPECT_TRUE(files_.Exists(L"c:\\out\\full.dat"));
  EXPECT_TRUE(files_.Exists(L"c:\\out\\full.dat_dir"));
  EXPECT_EQ(files_.Bytes(L"c:\\out\\full.dat"), "");

  engine_->MarkTouched(L"\\\\?\\C:\\Data\\New.TXT", kTouchNewFile);
  engine_->MarkTouched(L"\\\\?\\C:\\Data\\Made", kTouchNewFolder);
  engine_->MarkTouched(L"\\\\?\\C:\\Data\\old.txt", kTouchBackedUp);
  engine_->MarkTouched(L"\\\\?\\c:\\data\\old.txt", kTouchNewFile);  // the first kind stays
  engine_->MarkTouched(L"\\\\?\\C:\\Data\\a.txt", kTouchNewFile);
  EXPECT_TRUE(engine_->IsTouched(L"\\\\?\\c:\\DATA\\OLD.TXT", 3));
  EXPECT_FALSE(engine_->IsTouched(L"\\\\?\\c:\\data\\old.txt", 2));
  EXPECT_TRUE(engine_->IsTouched(L"\\\\?\\c:\\data\\made", 2));
  EXPECT_FALSE(engine_->IsTouched(L"\\\\?\\c:\\data\\none", 0xFFFF));

  engine_->WriteDeleteLogFull(L"c:\\out\\full.dat");
  EXPECT_EQ(files_.Bytes(L"c:\\out\\full.dat"), Utf16(L"\\\\?\\c:\\data\\a.txt\n\\\\?\\c:\\data\\new.txt\n"));
  EXPECT_EQ(files_.Bytes(L"c:\\out\\full.dat_dir"), Utf16(L"\\\\?\\c:\\data\\made\n"));
  EXPECT_EQ(engine_->PendingLineCounts(), (std::pair<std::size_t, std::size_t>{0, 0}));
  EXPECT_EQ(engine_->TouchedPathsCopy().size(), 4u);

  // BE_CLEARHASH forgets every touched path.
  engine_->OnCommandInt(0, L"BE_CLEARHASH", 0);
  EXPECT_TRUE(engine_->TouchedPathsCopy().empty());
}

TEST_F(DeleteLogTest, ShutdownWritesEveryQueuedLineAndLaterLinesAtOnce) {
  platform::DebugOutputCapture debug;
  engine_->OnCommandInt(0, L"BE_SET_ENGINEWORK", 1);
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\a", true);
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\d", false);
  engine_->Shutdown();
  EXPECT_FALSE(engine_->Working());
  EXPECT_EQ(FileLog(), Utf16(L"\\\\?\\C:\\a\n"));
  EXPECT_EQ(FolderLog(), Utf16(L"\\\\?\\C:\\d\n"));
  EXPECT_EQ(debug.Lines(), (std::vector<std::wstring>{L"backupengine deleted"}));

  // A worker still inside a handler: its line does not wait for a writer.
  engine_->QueueDeleteLogLine(L"\\\\?\\C:\\late", true);
  EXPECT_EQ(FileLog(), Utf16(L"\\\\?\\C:\\a\n\\\\?\\C:\\late\n"));
  EXPECT_EQ(engine_->PendingLineCounts(), (std::pair<std::size_t, std::size_t>{0, 0}));
  engine_->Shutdown();
  engine_.reset();
  EXPECT_EQ(debug.Lines().size(), 1u);
}

}  // namespace
}  // namespace zv::engines
