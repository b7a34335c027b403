// Device-form paths to DOS paths (see device_path.h).
//
// Owns: pattern compilation and search, the DOS-name cache, 8.3 expansion
// and rule-path normalisation.
// Must not: log or hold the cache lock while calling the platform.
#include "engines/base/device_path.h"

#include <algorithm>
#include <exception>
#include <shared_mutex>
#include <vector>

#include "driver_channel/records.h"
#include "platform/files/file_api.h"
#include "platform/filter/filter_api.h"
#include "platform/base/text.h"

namespace zv::engines {

namespace {

constexpr win::DWORD kDosNameUnits = 520;
constexpr win::DWORD kLongPathUnits = 1024;
// Longest path Win32 can name (\\?\ form); a larger request is a broken answer.
constexpr win::DWORD kLongestPath = 32768;

PathSearch Search(const boost::wregex& pattern, const std::wstring& path, PathMatch& match, std::string* error) {
  // Boost dereferences an empty pattern instead of throwing: a search before
  // CompilePathPatterns is an error of its own.
  if (pattern.empty()) {
    if (error) *error = "pattern not compiled";
    return PathSearch::Error;
  }
  try {
    // One per thread, so its group vector is not made again for each search.
    thread_local boost::wsmatch groups;
    if (!boost::regex_search(path, groups, pattern)) return PathSearch::NoMatch;
    // sub_match::str() appends one unit at a time; assign the ranges whole.
    auto copy = [&](int group, std::wstring& to) {
      if (groups[group].matched) {
        to.assign(groups[group].first, groups[group].second);
      } else {
        to.clear();
      }
    };
    copy(0, match.Whole);
    copy(1, match.Head);
    copy(2, match.Device);
    copy(3, match.Directory);
    copy(4, match.Name);
    return PathSearch::Match;
  } catch (const std::exception& e) {
    // Boost reports complexity and memory limits as std::runtime_error
    // subclasses.
    if (error) *error = e.what();
    return PathSearch::Error;
  }
}

std::wstring TextOfBuffer(const win::WCHAR* buffer, std::size_t units) {
  return std::wstring(buffer, std::find(buffer, buffer + units, L'\0'));
}

}  // namespace

void DevicePathConverter::CompilePathPatterns() {
  boost::wregex device(kDevicePathPatternText, boost::regex_constants::perl);
  boost::wregex dos(kDosPathPatternText, boost::regex_constants::perl);
  DevicePathPattern.swap(device);
  DosPathPattern.swap(dos);
}

PathSearch DevicePathConverter::SearchDevicePath(const std::wstring& path, PathMatch& match,
                                                 std::string* error) const {
  return Search(DevicePathPattern, path, match, error);
}

PathSearch DevicePathConverter::SearchDosPath(const std::wstring& path, PathMatch& match, std::string* error) const {
  return Search(DosPathPattern, path, match, error);
}

win::HRESULT DevicePathConverter::DeviceToDosName(const std::wstring& device, std::wstring& dos) {
  win::HRESULT status = win::E_FAIL;
  if (device.empty()) return win::E_INVALIDARG;

  {
    std::shared_lock lock(DosNameLock);
    auto it = DosNameCache.find(device);
    if (it != DosNameCache.end()) {
      dos = it->second;
      return win::S_OK;
    }
  }

  // Outside the cache lock: two threads may look the same name up at once;
  // the first insert wins below.
  std::wstring name;
  std::vector<win::WCHAR> buffer(kDosNameUnits, L'\0');
  status = platform::Filters::Get().FilterGetDosName(device.c_str(), buffer.data(), kDosNameUnits);
  if (win::SUCCEEDED(status)) name = TextOfBuffer(buffer.data(), buffer.size());

  if (name.empty()) {
    // A name that already carries a drive ("...\C:") converts to its tail;
    // such a result is not cached.
    std::size_t colon = device.rfind(L':');
    if (colon != std::wstring::npos) name = device.substr(colon == 0 ? 0 : colon - 1);
    if (name.empty()) return win::SUCCEEDED(status) ? win::E_FAIL : status;
    dos = name;
    return win::S_OK;
  }

  {
    std::lock_guard lock(DosNameLock);
    auto inserted = DosNameCache.emplace(device, name);
    dos = inserted.first->second;
  }
  return win::S_OK;
}

void DevicePathConverter::DeviceToDosPath(const PathMatch& match, std::wstring& out) {
  thread_local std::wstring dos;
  if (win::FAILED(DeviceToDosName(match.Device, dos))) return;

  if (dos.find(L'~') == std::wstring::npos && match.Directory.find(L'~') == std::wstring::npos &&
      match.Name.find(L'~') == std::wstring::npos) {
    // Built in place: `out` keeps its capacity between calls.
    out.assign(L"\\\\?\\");
    out += dos;
    out += match.Directory;
    out += L'\\';
    out += match.Name;
    return;
  }
  std::wstring path = L"\\\\?\\" + dos + match.Directory + L"\\" + match.Name;

  // An 8.3 name somewhere in the path. Expand the whole path; when the file
  // does not exist (yet), expand its folder and put the name back.
  std::wstring expanded;
  if (ExpandLongPath(path, expanded)) {
    out = std::move(expanded);
    return;
  }
  std::wstring parent = path.substr(0, path.rfind(L'\\'));
  std::wstring longParent;
  if (!ExpandLongPath(parent, longParent)) longParent = parent;
  out = longParent + L"\\" + match.Name;
}

std::size_t DevicePathConverter::CachedNameCount() {
  std::shared_lock lock(DosNameLock);
  return DosNameCache.size();
}

bool ExpandLongPath(const std::wstring& path, std::wstring& longPath) {
  auto& files = platform::Files::Get();
  win::DWORD units = std::max<win::DWORD>(kLongPathUnits, static_cast<win::DWORD>(path.size()));
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<win::WCHAR> buffer(static_cast<std::size_t>(units) + 1, L'\0');
    win::DWORD result = files.GetLongPathNameW(path.c_str(), buffer.data(), units);
    if (result == 0) return false;
    if (result < units) {
      longPath = TextOfBuffer(buffer.data(), result);
      return true;
    }
    // The buffer was short: result is the size needed, nothing was written.
    if (result > kLongestPath) return false;
    units = result;
  }
  return false;
}

std::wstring NormalizeRulePath(std::wstring_view path) {
  std::wstring key;
  NormalizeRulePathInto(path, key);
  return key;
}

void NormalizeRulePathInto(std::wstring_view path, std::wstring& out) {
  // The prefix goes first when the input's second unit is a colon (the
  // lower-cased copy has it in the same place).
  out.clear();
  if (path.size() >= 2 && path[1] == L':') out += L"\\\\?\\";
  for (wchar_t c : path) out += text::AsciiLower(c);
  if (out.empty() || out.back() != L'\\') out += L'\\';
}

void AsciiLowerInto(std::wstring_view text, std::wstring& out) {
  out.resize(text.size());
  std::transform(text.begin(), text.end(), out.begin(), text::AsciiLower);
}

void SourcePathInto(const channel::_MXRED_NOTIFICATION& notification, std::wstring& out) {
  const std::uint16_t* begin = notification.Path;
  const std::uint16_t* end = std::find(begin, begin + channel::kPathUnits, std::uint16_t{0});
  // Unit by unit into the buffer: assign() from another iterator type would
  // build a temporary string first.
  out.resize(static_cast<std::size_t>(end - begin));
  std::transform(begin, end, out.begin(), [](std::uint16_t unit) { return static_cast<wchar_t>(unit); });
}

bool ContainsAsciiNoCase(std::wstring_view text, std::wstring_view fragment) {
  if (fragment.empty()) return true;
  auto same = [](wchar_t a, wchar_t b) { return text::AsciiLower(a) == text::AsciiLower(b); };
  return std::search(text.begin(), text.end(), fragment.begin(), fragment.end(), same) != text.end();
}

}  // namespace zv::engines
