// Program files and the search for them: see program_files.h.
#include "platform/processes/program_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "platform/base/text.h"
#include "platform/files/paths.h"

namespace zv::platform {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

enum class Probe { File, Folder, Missing };

struct Attempt {
  Probe probe = Probe::Missing;
  win::DWORD error = win::ERROR_FILE_NOT_FOUND;
};

// A name without extension gets ".exe", as SearchPath with ".exe" does.
std::wstring WithExe(const std::wstring& name) {
  std::size_t cut = name.find_last_of(L"\\/:");
  std::wstring last = cut == std::wstring::npos ? name : name.substr(cut + 1);
  return last.find(L'.') == std::wstring::npos ? name + L".exe" : name;
}

bool HasPath(const std::wstring& name) { return name.find_first_of(L"\\/:") != std::wstring::npos; }

// A name with a path made absolute: drive-relative names are taken from the
// drive's root (the machine keeps no current folder per drive), rooted names
// get the current folder's drive, relative names the current folder.
std::wstring Absolute(const std::wstring& name, const std::wstring& currentDir) {
  if (name.size() >= 2 && name[1] == L':') {
    if (name.size() == 2 || (name[2] != L'\\' && name[2] != L'/')) return name.substr(0, 2) + L"\\" + name.substr(2);
    return name;
  }
  if (name.starts_with(L"\\\\") || name.starts_with(L"//")) return name;  // UNC or verbatim: as given
  if (!name.empty() && (name[0] == L'\\' || name[0] == L'/')) return currentDir.substr(0, 2) + name;
  return currentDir + (currentDir.ends_with(L'\\') ? L"" : L"\\") + name;
}

std::atomic<PathRewrite> searchRewrite{nullptr};

Attempt Try(Machine& machine, const std::wstring& dosPath, FoundProgram& out) {
  ResolvedPath r;
  Attempt a;
  PathRewrite rewrite = searchRewrite.load(std::memory_order_acquire);
  a.error = ResolveDosPath(machine, rewrite ? rewrite(dosPath) : dosPath, r);
  if (a.error != win::ERROR_SUCCESS) return a;
  if (!r.exists) {
    a.error = win::ERROR_FILE_NOT_FOUND;
    return a;
  }
  if (S_ISDIR(r.st.st_mode) || r.isRoot) {
    a.probe = Probe::Folder;
    a.error = win::ERROR_BAD_EXE_FORMAT;
    return a;
  }
  if (!S_ISREG(r.st.st_mode)) {
    a.error = win::ERROR_BAD_EXE_FORMAT;
    a.probe = Probe::Folder;
    return a;
  }
  a.probe = Probe::File;
  out.hostPath = r.host;
  out.dosPath = std::wstring(1, text::AsciiUpper(r.dos.letter)) + L":";
  for (const std::wstring& c : r.longNames) out.dosPath += L"\\" + c;
  return a;
}

// One name: with a path, only there; a bare name through the search order.
Attempt Search(Machine& machine, const std::wstring& name, bool appendExe, const SearchContext& context,
               FoundProgram& out) {
  std::wstring file = appendExe ? WithExe(name) : name;
  if (HasPath(file)) return Try(machine, Absolute(file, context.currentDir), out);
  std::vector<std::wstring> folders;
  std::size_t slash = context.callerImage.find_last_of(L'\\');
  if (slash != std::wstring::npos) folders.push_back(context.callerImage.substr(0, slash));
  folders.push_back(context.currentDir);
  folders.push_back(L"C:\\Windows\\System32");
  folders.push_back(L"C:\\Windows\\System");
  folders.push_back(L"C:\\Windows");
  std::size_t start = 0;
  while (start <= context.path.size()) {
    std::size_t end = context.path.find(L';', start);
    if (end == std::wstring::npos) end = context.path.size();
    std::wstring folder = context.path.substr(start, end - start);
    // Only absolute PATH entries; a relative one would depend on the folder.
    if (folder.size() >= 3 && folder[1] == L':') folders.push_back(folder);
    start = end + 1;
  }
  Attempt last;
  for (const std::wstring& folder : folders) {
    if (folder.empty()) continue;
    Attempt a = Try(machine, folder + (folder.ends_with(L'\\') ? L"" : L"\\") + file, out);
    if (a.probe == Probe::File) return a;
    if (a.probe == Probe::Folder) last = a;
  }
  return last;
}

}  // namespace

void SetProgramSearchRewrite(PathRewrite rewrite) { searchRewrite.store(rewrite, std::memory_order_release); }

bool IsStandInName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
  });
}

win::DWORD ParseProgramFile(std::string_view content, ProgramFile& out) {
  out = ProgramFile{};
  bool first = true;
  bool hasStandIn = false;
  while (!content.empty()) {
    std::size_t nl = content.find('\n');
    std::string_view line = Trim(content.substr(0, nl));
    content = nl == std::string_view::npos ? std::string_view() : content.substr(nl + 1);
    if (first) {
      if (line != kProgramFileMagic) return win::ERROR_BAD_EXE_FORMAT;
      first = false;
      continue;
    }
    if (line.empty() || line.front() == '#') continue;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return win::ERROR_BAD_EXE_FORMAT;
    std::string key(Trim(line.substr(0, eq)));
    std::string value(Trim(line.substr(eq + 1)));
    if (key == "standin") {
      if (!IsStandInName(value)) return win::ERROR_BAD_EXE_FORMAT;
      out.standIn = value;
      hasStandIn = true;
    } else if (key == "bitness") {
      if (value != "32" && value != "64") return win::ERROR_BAD_EXE_FORMAT;
      out.bitness = value == "32" ? 32 : 64;
    } else {
      out.options[key] = value;
    }
  }
  return !first && hasStandIn ? win::ERROR_SUCCESS : win::ERROR_BAD_EXE_FORMAT;
}

std::string FormatProgramFile(const ProgramFile& program) {
  std::string s = std::string(kProgramFileMagic) + "\r\n";
  s += "standin=" + program.standIn + "\r\n";
  s += "bitness=" + std::to_string(program.bitness) + "\r\n";
  for (const auto& [key, value] : program.options) s += key + "=" + value + "\r\n";
  return s;
}

std::wstring MachinePath(Machine& machine) {
  if (auto path = machine.Setting("env.PATH")) return text::FromUtf8(*path);
  return L"C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem";
}

win::DWORD FindProgram(Machine& machine, const win::WCHAR* applicationName, std::wstring_view commandLine,
                       const SearchContext& context, FoundProgram& out) {
  if (applicationName) {
    // Completed with the current folder only; no search, no extension.
    std::wstring name(applicationName);
    if (name.empty()) return win::ERROR_PATH_NOT_FOUND;
    Attempt a = Try(machine, Absolute(name, context.currentDir), out);
    return a.probe == Probe::File ? win::ERROR_SUCCESS : a.error;
  }
  std::size_t i = 0;
  while (i < commandLine.size() && IsBlank(commandLine[i])) ++i;
  std::wstring_view line = commandLine.substr(i);
  if (line.empty()) return win::ERROR_PATH_NOT_FOUND;
  if (line.front() == L'"') {
    std::size_t close = line.find(L'"', 1);
    std::wstring token(line.substr(1, close == std::wstring_view::npos ? std::wstring_view::npos : close - 1));
    if (token.empty()) return win::ERROR_PATH_NOT_FOUND;
    Attempt a = Search(machine, token, true, context, out);
    return a.probe == Probe::File ? win::ERROR_SUCCESS : a.error;
  }
  // Unquoted: every prefix that ends before a blank, shortest first, then
  // the whole line; the first that names a file wins. When none does, the
  // first prefix's error is the answer ("net stop x" without net: 2), or
  // 193 when some prefix named a folder.
  std::optional<Attempt> first;
  bool folder = false;
  for (std::size_t end = 0; end <= line.size(); ++end) {
    if (end < line.size() && !IsBlank(line[end])) continue;
    if (end == 0 || IsBlank(line[end - 1])) continue;
    Attempt a = Search(machine, std::wstring(line.substr(0, end)), true, context, out);
    if (a.probe == Probe::File) return win::ERROR_SUCCESS;
    folder = folder || a.probe == Probe::Folder;
    if (!first) first = a;
  }
  return folder ? win::ERROR_BAD_EXE_FORMAT : first->error;
}

win::DWORD ReadProgramFile(const FoundProgram& found, ProgramFile& out) {
  int fd = ::open(found.hostPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return win::ERROR_FILE_NOT_FOUND;
  std::string content(65536, '\0');
  std::size_t got = 0;
  while (got < content.size()) {
    ssize_t n = ::read(fd, content.data() + got, content.size() - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  content.resize(got);
  return ParseProgramFile(content, out);
}

}  // namespace zv::platform
