// The file commands of zvmachine: dir and attrib.
//
// Owns: listing a folder (short names, attributes, sizes) and showing or
// changing a file's attributes, through the machine's file calls.
// Must not: touch host files except through the file API.
#include "tools/zvmachine_commands.h"

#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"

namespace zv::tools {

using namespace zv::platform;

namespace {

std::wstring AttributeLetters(win::DWORD a) {
  std::wstring s;
  s += (a & win::FILE_ATTRIBUTE_DIRECTORY) ? L'D' : L'-';
  s += (a & win::FILE_ATTRIBUTE_READONLY) ? L'R' : L'-';
  s += (a & win::FILE_ATTRIBUTE_HIDDEN) ? L'H' : L'-';
  s += (a & win::FILE_ATTRIBUTE_SYSTEM) ? L'S' : L'-';
  s += (a & win::FILE_ATTRIBUTE_ARCHIVE) ? L'A' : L'-';
  return s;
}

}  // namespace

int RunDirCommand(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("dir takes one path");
  const std::string& path = args[0];
  FileApi& files = Files::Get();
  std::wstring folder = zv::text::FromUtf8(path);
  std::wstring pattern = folder;
  if (pattern.empty() || (pattern.back() != L'\\' && pattern.back() != L'/')) pattern += L'\\';
  pattern += L'*';
  win::WIN32_FIND_DATAW d;
  win::HANDLE h = files.FindFirstFileW(pattern.c_str(), &d);
  if (h == win::INVALID_HANDLE_VALUE) {
    win::DWORD e = GetLastError();
    if (e == win::ERROR_FILE_NOT_FOUND) return kOk;  // an empty root folder
    return Win32Failure("dir " + path, e);
  }
  do {
    std::uint64_t size = (std::uint64_t(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
    wchar_t sizeText[32];
    std::swprintf(sizeText, 32, L"%12llu", static_cast<unsigned long long>(size));
    std::wstring alias = d.cAlternateFileName;
    alias.resize(12, L' ');
    Out(AttributeLetters(d.dwFileAttributes) + L" " +
        ((d.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) ? std::wstring(L"       <DIR>") : std::wstring(sizeText)) +
        L"  " + alias + L"  " + d.cFileName);
  } while (files.FindNextFileW(h, &d));
  files.FindClose(h);
  return kOk;
}

int RunAttribCommand(const std::vector<std::string>& args) {
  if (args.empty()) return Usage("attrib needs a path");
  FileApi& files = Files::Get();
  std::wstring path = zv::text::FromUtf8(args[0]);
  win::DWORD a = files.GetFileAttributesW(path.c_str());
  if (a == win::INVALID_FILE_ATTRIBUTES) return Win32Failure("attrib " + args[0], GetLastError());
  if (args.size() == 1) {
    Out(AttributeLetters(a) + L"  " + path);
    return kOk;
  }
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& op = args[i];
    if (op.size() != 2 || (op[0] != '+' && op[0] != '-')) return Usage(("bad attribute change: " + op).c_str());
    win::DWORD bit = 0;
    switch (op[1] | 0x20) {
      case 'r': bit = win::FILE_ATTRIBUTE_READONLY; break;
      case 'h': bit = win::FILE_ATTRIBUTE_HIDDEN; break;
      case 's': bit = win::FILE_ATTRIBUTE_SYSTEM; break;
      case 'a': bit = win::FILE_ATTRIBUTE_ARCHIVE; break;
      default: return Usage(("bad attribute change: " + op).c_str());
    }
    a = op[0] == '+' ? (a | bit) : (a & ~bit);
  }
  a &= ~(win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_NORMAL);
  if (!files.SetFileAttributesW(path.c_str(), a ? a : win::FILE_ATTRIBUTE_NORMAL)) {
    return Win32Failure("attrib " + args[0], GetLastError());
  }
  Out(AttributeLetters(files.GetFileAttributesW(path.c_str())) + L"  " + path);
  return kOk;
}

}  // namespace zv::tools
