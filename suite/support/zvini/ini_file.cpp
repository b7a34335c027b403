// The settings reader class: see ini_file.h.
#include "suite/support/zvini/ini_file.h"

#include <cwchar>

#include "platform/files/profile.h"

namespace zv::support {
namespace {
constexpr std::size_t kBufferUnits = 260;
}

CINIFile::CINIFile(const wchar_t* path, int) : path_(path ? path : L"") {}

int CINIFile::GetString(const wchar_t* section, const wchar_t* key, wchar_t* buffer) {
  if (!section || !key || !buffer || path_.empty()) return 0;
  auto content = platform::ReadProfileFile(path_);
  if (!content) return 0;
  auto value = platform::FindProfileValue(*content, section, key);
  if (!value) return 0;
  std::size_t units = value->size() < kBufferUnits ? value->size() : kBufferUnits - 1;
  std::wmemcpy(buffer, value->data(), units);
  buffer[units] = L'\0';
  return 1;
}

}  // namespace zv::support
