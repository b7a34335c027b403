// The deletion logs of the backup engine (see backupengine.h).
//
// Owns: the two queues of created files and folders, the writer thread
// that appends them to their files (UTF-16LE without byte-order mark, one
// line feed per path, one write per queue and pass), the final pass at
// shutdown and the full write of every created path from TouchedPaths.
// A write that fails keeps its lines; one that fails part-way keeps only
// what did not reach the file, so no line is doubled or torn.
// Must not: remove anything from a deletion log, or hold DeleteLogLock for
// anything but a queue change or one file write.
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
  std::lock_guard lock(DeleteLogLock);
  auto& lines = isFile ? PendingFileLines : PendingFolderLines;
  lines.emplace_back(path);
  if (!DeleteLogsClosed) return;
  // After the final pass no writer runs any more: write it now.
  if (isFile) {
    WritePendingLines(PendingFileLines, FileLineBytesWritten, DeleteLogPath, kFileError);
  } else {
    WritePendingLines(PendingFolderLines, FolderLineBytesWritten, DeleteLogDirPath, kFolderError);
  }
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
    {
      std::lock_guard lock(DeleteLogLock);
      WritePendingLines(PendingFileLines, FileLineBytesWritten, DeleteLogPath, kFileError);
    }
    platform::Sleep(kWriterPauseMs);
    {
      std::lock_guard lock(DeleteLogLock);
      WritePendingLines(PendingFolderLines, FolderLineBytesWritten, DeleteLogDirPath, kFolderError);
    }
  }
}

void backupengine::FlushDeleteLogs() {
  std::lock_guard lock(DeleteLogLock);
  WritePendingLines(PendingFileLines, FileLineBytesWritten, DeleteLogPath, kFileError);
  WritePendingLines(PendingFolderLines, FolderLineBytesWritten, DeleteLogDirPath, kFolderError);
}

void backupengine::CloseDeleteLogs() {
  std::lock_guard lock(DeleteLogLock);
  WritePendingLines(PendingFileLines, FileLineBytesWritten, DeleteLogPath, kFileError);
  WritePendingLines(PendingFolderLines, FolderLineBytesWritten, DeleteLogDirPath, kFolderError);
  DeleteLogsClosed = true;
}

void backupengine::SetDeleteLogPath(std::wstring_view path) {
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
  return {PendingFileLines.size(), PendingFolderLines.size()};
}

void backupengine::WriteDeleteLogFull(std::wstring_view path) {
  auto& files = platform::Files::Get();
  std::lock_guard lock(TouchedLock);
  const std::pair<std::wstring, std::int32_t> logs[] = {{std::wstring(path), kTouchNewFile},
                                                        {std::wstring(path) + L"_dir", kTouchNewFolder}};
  for (const auto& [file, kind] : logs) {
    win::HANDLE handle = OpenForAppend(file, win::FILE_SHARE_READ);
    if (handle == win::INVALID_HANDLE_VALUE) continue;
    std::wstring buffer;
    for (const auto& [key, touched] : TouchedPaths) {
      if (touched != kind) continue;
      buffer += key;
      buffer += L'\n';
    }
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
