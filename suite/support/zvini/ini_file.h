// The settings reader class of the suite, as the start-up program uses it:
// an object bound to one ini file, read key by key.
//
// Owns: nothing beyond the bound path; every read opens the file anew.
// Must not: write the file; touch the caller's buffer when the file,
// section or key is missing; write 260 units or more into it.
#pragma once

#include <string>

namespace zv::support {

class CINIFile {
 public:
  // `flags` is accepted for the callers' sake; 0 is the only value in use.
  CINIFile(const wchar_t* path, int flags);
  ~CINIFile() = default;

  // Fills `buffer` (260 units, no size passed) with the value of the key
  // and answers 1; leaves it unchanged and answers 0 when the key is
  // missing. A longer value is cut to 259 units.
  int GetString(const wchar_t* section, const wchar_t* key, wchar_t* buffer);

 private:
  std::wstring path_;
};

}  // namespace zv::support
