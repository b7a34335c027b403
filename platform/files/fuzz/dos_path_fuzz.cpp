// DOS path parsing on arbitrary UTF-16 input: never a crash, a parsed path
// never holds a component that could climb out of its folder, and a plain
// path accepted is shorter than MAX_PATH when written back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/files/paths.h"
#include "platform/base/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring path = zv::text::FromUtf16Le(data, size);
  zv::platform::DosPath parsed;
  if (zv::platform::ParseDosPath(path, parsed) == zv::win::ERROR_SUCCESS) {
    for (const std::wstring& c : parsed.components) {
      if (c.empty() || c == L"." || c == L".." || c.find(L'\\') != std::wstring::npos ||
          c.find(L'/') != std::wstring::npos || c.find(L'\0') != std::wstring::npos) {
        std::abort();
      }
    }
    if (!parsed.verbatim && parsed.Text().size() >= zv::win::MAX_PATH) std::abort();
  }
  return 0;
}
