// The deletion logs of the backup engine (see backupengine.h).
//
// Owns: the two queues of created files and folders, the writer thread
// that appends them to their files (UTF-16LE without byte-order mark, one
// line feed per path, one write per queue and pass), the final pass at
// shutdown and the full write of every created path from TouchedPaths.
// A write that fails keeps its lines; one that fails part-way keeps only
// what did not reach the file, so no line is doubled or torn.
// Locks: DeleteLogLock guards the queues, paths and write state and is held
// only to change them (workers queue under it); DeleteLogWriteLock lets one
// writer at a time take a queue out, write it and put back what did not
// reach the file, and is the only lock held during file I/O. Order: the
// write lock, then DeleteLogLock.
// Must not: remove anything from a deletion log, or hold DeleteLogLock
// during file I/O.
#include <iterator>
#include <shared_mutex>

#include "engines/backup/backupengine.h"
#include "log/log.h"
#include "platform/base/clock.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"

namespace zv::engines {
namespace {

constexpr wchar_t kTag[] = L"BE";
constexpr wchar_t kFileError[] = L"WriteLog Thread file %d ";
constexpr wchar_t kFolderError[] = L"WriteLog Thread folder %d ";
constexpr std::size_t kInitialBufferUnits = 20000;

std::size_t LineBytes(const std::wstring& line) { return (line.size() + 1) * sizeof(char16_t); }

win::HANDLE OpenForAppend(const std::wstring& path, win::DWORD shareMode) {
  win::HANDLE file = platform::Files::Get().CreateFileW(path.c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                                                        shareMode, nullptr, win::OPEN_ALWAYS,
                                                        win::FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == nullptr ? win::INVALID_HANDLE_VALUE : file;
}

}  // namespace

void backupengine::QueueDeleteLogLine(std::wstring_view path, bool isFile) {
  std::wstring line(path);  // made before the lock, which covers only the queue
  bool closed = false;
  {
    std::lock_guard lock(DeleteLogLock);
    (isFile ? PendingFileLines : PendingFolderLines).push_back(std::move(line));
    closed = DeleteLogsClosed;
  }
  // After the final pass no writer runs any more: write it now.
  if (closed) WriteQueue(isFile);
}

void backupengine::WriteQueue(bool files) {
  std::lock_guard writing(DeleteLogWriteLock);
  std::vector<std::wstring> lines;
  std::wstring path;
  std::size_t writtenBytes = 0;
  {
    std::lock_guard lock(DeleteLogLock);
    auto& pending = files ? PendingFileLines : PendingFolderLines;
    if (pending.empty()) return;
    lines.swap(pending);
    (files ? FileLinesWriting : FolderLinesWriting) = lines.size();
    path = files ? DeleteLogPath : DeleteLogDirPath;
    writtenBytes = files ? FileLineBytesWritten : FolderLineBytesWritten;
  }
  WritePendingLines(lines, writtenBytes, path, files ? kFileError : kFolderError);
  std::lock_guard lock(DeleteLogLock);
  auto& pending = files ? PendingFileLines : PendingFolderLines;
  // What did not reach the file stays in front of the lines queued during
  // the write; the queue gets the taken vector back, so its capacity is
  // kept and appends do not grow it again pass after pass.
  lines.insert(lines.end(), std::make_move_iterator(pending.begin()), std::make_move_iterator(pending.end()));
  pending.swap(lines);
  (files ? FileLineBytesWritten : FolderLineBytesWritten) = writtenBytes;
  (files ? FileLinesWriting : FolderLinesWriting) = 0;
}

void backupengine::WritePendingLines(std::vector<std::wstring>& lines, std::size_t& writtenBytes,
                                     const std::wstring& path, const wchar_t* errorFormat) {
  if (lines.empty()) return;
  std::wstring buffer;
  buffer.reserve(kInitialBufferUnits);
  for (const auto& line : lines) {
    buffer += line;
    buffer += L'\n';
  }
  const std::string bytes = text::ToUtf16Le(buffer);
  // Bytes of the first line that an earlier, partly failed write left in
  // the file are not written again.
  const char* data = bytes.data() + writtenBytes;
  const auto size = static_cast<win::DWORD>(bytes.size() - writtenBytes);

  auto& files = platform::Files::Get();
  win::HANDLE file = OpenForAppend(path, win::FILE_SHARE_WRITE);
  if (file == win::INVALID_HANDLE_VALUE) {
    log::LogWrite(1, kTag, errorFormat, platform::GetLastError());
    return;
  }
  win::DWORD written = 0;
  bool ok = files.SetFilePointerEx(file, 0, nullptr, win::FILE_END) &&
            files.WriteFile(file, data, size, &written, nullptr);
  win::DWORD error = ok ? win::ERROR_SUCCESS : platform::GetLastError();
  platform::CloseHandle(file);
  if (ok && written == size) {
    lines.clear();
    writtenBytes = 0;
    return;
  }
  log::LogWrite(1, kTag, errorFormat, error);
  // Drop the lines that reached the file whole; remember how much of the
  // next one did.
  std::size_t done = writtenBytes + written;
  std::size_t whole = 0;
  while (whole < lines.size() && done >= LineBytes(lines[whole])) {
    done -= LineBytes(lines[whole]);
    ++whole;
  }
  lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(whole));
  writtenBytes = done;
}

void backupengine::WriteLogThread() {
  while (WriterRun.load()) {
    platform::Sleep(kWriterPauseMs);
    WriteQueue(true);
    platform::Sleep(kWriterPauseMs);
    WriteQueue(false);
  }
}

void backupengine::FlushDeleteLogs() {
  WriteQueue(true);
  WriteQueue(false);
}

void backupengine::CloseDeleteLogs() {
  // Closed first: a line queued from now on is written by whoever queues
  // it, every earlier one by the writes below.
  {
    std::lock_guard lock(DeleteLogLock);
    DeleteLogsClosed = true;
  }
  WriteQueue(true);
  WriteQueue(false);
}

void backupengine::SetDeleteLogPath(std::wstring_view path) {
  // Never during a write: the torn-line state below belongs to the path.
  std::lock_guard writing(DeleteLogWriteLock);
  std::lock_guard lock(DeleteLogLock);
  if (DeleteLogPath != path) {
    // A line torn by a failed write goes whole into the new file.
    FileLineBytesWritten = 0;
    FolderLineBytesWritten = 0;
  }
  DeleteLogPath = std::wstring(path);
  DeleteLogDirPath = DeleteLogPath + L"_dir";
}

std::pair<std::wstring, std::wstring> backupengine::DeleteLogPaths() {
  std::lock_guard lock(DeleteLogLock);
  return {DeleteLogPath, DeleteLogDirPath};
}

std::pair<std::size_t, std::size_t> backupengine::PendingLineCounts() {
  std::lock_guard lock(DeleteLogLock);
  // Lines being written count until they are in their file.
  return {PendingFileLines.size() + FileLinesWriting, PendingFolderLines.size() + FolderLinesWriting};
}

void backupengine::WriteDeleteLogFull(std::wstring_view path) {
  auto& files = platform::Files::Get();
  struct Log {
    std::wstring file;
    std::int32_t kind;
    std::wstring buffer;
  };
  Log logs[] = {{std::wstring(path), kTouchNewFile, {}}, {std::wstring(path) + L"_dir", kTouchNewFolder, {}}};
  {
    // Both lists from one look at the table; the files are written without
    // the lock, so opens that test the table do not wait for them.
    std::shared_lock lock(TouchedLock);
    for (const auto& [key, touched] : TouchedPaths) {
      for (auto& log : logs) {
        if (touched != log.kind) continue;
        log.buffer += key;
        log.buffer += L'\n';
      }
    }
  }
  for (const auto& [file, kind, buffer] : logs) {
    win::HANDLE handle = OpenForAppend(file, win::FILE_SHARE_READ);
    if (handle == win::INVALID_HANDLE_VALUE) continue;
    files.SetFilePointerEx(handle, 0, nullptr, win::FILE_END);
    if (!buffer.empty()) {
      const std::string bytes = text::ToUtf16Le(buffer);
      win::DWORD written = 0;
      files.WriteFile(handle, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written, nullptr);
    }
    files.FlushFileBuffers(handle);
    platform::CloseHandle(handle);
  }
}

}  // namespace zv::engines
