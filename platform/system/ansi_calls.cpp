// ANSI forms of file and folder calls: see ansi_calls.h.
#include "platform/system/ansi_calls.h"

#include <cstring>
#include <string>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/system/wow64.h"

namespace zv::platform {

win::BOOL CopyFileA(const char* existing, const char* newFile, win::BOOL failIfExists) {
  if (existing == nullptr || newFile == nullptr) {
    SetLastError(win::ERROR_INVALID_PARAMETER);
    return win::FALSE;
  }
  const std::wstring from = text::FromAnsi(existing);
  const std::wstring to = text::FromAnsi(newFile);
  return Files::Get().CopyFileW(from.c_str(), to.c_str(), failIfExists);
}

win::UINT GetSystemDirectoryA(char* buffer, win::UINT size) {
  win::WCHAR wide[win::MAX_PATH];
  const win::UINT units = GetSystemDirectoryW(wide, win::MAX_PATH);
  const std::string ansi = text::ToAnsi(std::wstring_view(wide, units));
  const auto needed = static_cast<win::UINT>(ansi.size() + 1);
  if (buffer == nullptr || size < needed) return needed;
  std::memcpy(buffer, ansi.c_str(), needed);
  return needed - 1;
}

}  // namespace zv::platform
