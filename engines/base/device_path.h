// Device-form paths to DOS paths, shared by every engine.
//
// Owns: the device and DOS path patterns and their fixed texts, the search
// that tells "no match" from "regular-expression error", the device-name to
// DOS-name conversion with its per-owner cache, the conversion of a matched
// device path to a \\?\ DOS path with 8.3 expansion, and rule-path
// normalisation. Each engine holds its own DevicePathConverter (patterns,
// cache and locks); the code is one.
// Must not: log (callers log with their own tag and level), know about rules
// or processes, or call anything but FilterApi and FileApi.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include <boost/regex.hpp>

#include "engines/base/lock_meter.h"
#include "platform/base/win32.h"

namespace zv::channel {
struct _MXRED_NOTIFICATION;
}  // namespace zv::channel

namespace zv::engines {

// Pattern texts exactly as the engines compile them (Perl syntax, default
// flags, searched: the leftmost match wins).
// Groups: 1 device and directory, 2 device name, 3 directory inside the
// volume (greedy, to the last backslash; empty in the root), 4 last component.
inline constexpr const wchar_t* kDevicePathPatternText =
    LR"(((\\Device\\HarddiskVolume[0-9][0-9]?|\\Device\\CdRom[0-9]|\\Device\\Floppy[0-9]|\\Device\\Harddisk[0-9]\\DP\([0-9]\)[0-9]-[0-9]\+[0-9a-zA-Z]|)"
    LR"(\\Device\\VSDisk\\VSDisk[0-9])(.*)?)\\(.*\.?.*)?)";
// \??\X: paths. Groups: 2 the \??\X: prefix, 3 directory, 4 last component.
inline constexpr const wchar_t* kDosPathPatternText = LR"(((\\\?\?\\[a-zA-Z]:)(.*)?)\\(.*\.?.*)?)";

// Outcome of a pattern search. Error means the regular-expression engine
// threw (complexity limit, memory, an uncompiled pattern); callers log it
// as a parse error and treat the path as unparsable.
enum class PathSearch { Match, NoMatch, Error };

// The groups of one successful search, copied out of the searched string.
struct PathMatch {
  std::wstring Whole;      // group 0
  std::wstring Head;       // group 1
  std::wstring Device;     // group 2 (device name, or the \??\X: prefix)
  std::wstring Directory;  // group 3
  std::wstring Name;       // group 4
};

class DevicePathConverter {
 public:
  DevicePathConverter() = default;
  DevicePathConverter(const DevicePathConverter&) = delete;
  DevicePathConverter& operator=(const DevicePathConverter&) = delete;

  // Compiles both patterns from their fixed texts. Runs once, before any
  // search (searches take no lock: a compiled pattern is only read, and any
  // number of threads may search it at once).
  void CompilePathPatterns();

  // Searches with DevicePathPattern. `error` receives the engine's message
  // on Error.
  PathSearch SearchDevicePath(const std::wstring& path, PathMatch& match, std::string* error = nullptr) const;
  PathSearch SearchDosPath(const std::wstring& path, PathMatch& match, std::string* error = nullptr) const;

  // Device name -> DOS name (\Device\HarddiskVolume2 -> C:). S_OK with `dos`
  // set; E_INVALIDARG for an empty name; otherwise the look-up's failure
  // (E_FAIL when it gave nothing). `dos` is written only on success.
  win::HRESULT DeviceToDosName(const std::wstring& device, std::wstring& dos);

  // \\?\ DOS path of a DevicePathPattern match, 8.3 names expanded. `out` is
  // left unchanged when the device name cannot be converted.
  void DeviceToDosPath(const PathMatch& match, std::wstring& out);

  std::size_t CachedNameCount();

 private:
  boost::wregex DevicePathPattern;
  boost::wregex DosPathPattern;
  std::map<std::wstring, std::wstring> DosNameCache;  // device name as received -> DOS name
  MeteredSharedMutex DosNameLock{EngineLock::DosNames};
};

// Long form of a path through GetLongPathNameW. The buffer starts at 1025
// units (1024 passed) or the path's length + 1 when longer, and grows once to
// the size the call asks for; false when the call fails or still does not fit.
bool ExpandLongPath(const std::wstring& path, std::wstring& longPath);

// Rule-key form: ASCII lower case, a trailing backslash, and the \\?\ prefix
// when the second character is a colon. Callers reject inputs shorter than 2.
std::wstring NormalizeRulePath(std::wstring_view path);

// Per-notification work without allocation: the Into forms write into a
// caller's buffer, which keeps its capacity from one call to the next (the
// engines keep one per worker thread). `out` must not overlap the input.
void NormalizeRulePathInto(std::wstring_view path, std::wstring& out);
void AsciiLowerInto(std::wstring_view text, std::wstring& out);
// The notification's path up to its first zero unit or the end of the field
// (the bounds of _MXRED_NOTIFICATION::SourcePath).
void SourcePathInto(const channel::_MXRED_NOTIFICATION& notification, std::wstring& out);
// Whether `fragment` occurs in `text`, both compared in ASCII lower case.
bool ContainsAsciiNoCase(std::wstring_view text, std::wstring_view fragment);

}  // namespace zv::engines
