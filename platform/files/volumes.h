// The machine's volume table: device names, drive letters, host folders.
//
// Owns: the rows of the volumes table in machine.db (device name in any of
// the forms the driver reports, optional drive letter, host folder under
// volumes/), the per-process letter map used by path resolution, and the
// device -> "C:" answer of FilterGetDosName.
// Must not: interpret paths below a volume root (paths.h), touch files inside
// a volume, or talk to the driver stand-in.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/machine.h"
#include "platform/base/win32.h"

namespace zv::platform {

struct VolumeInfo {
  std::wstring device;  // as stored, e.g. \Device\HarddiskVolume2
  std::wstring letter;  // "C:", or empty when the volume has no letter
  std::string folder;   // host folder name under volumes/
};

// A volume's host location, as path resolution needs it.
struct VolumeRoot {
  wchar_t letter = 0;       // upper-case drive letter
  std::string hostFolder;   // canonical absolute host path of the volume root
  std::string folderName;   // name under volumes/
};

class VolumeTable {
 public:
  explicit VolumeTable(std::shared_ptr<Machine> machine);

  // True for the device-name forms the machine knows (case-insensitive):
  // \Device\HarddiskVolume0..99, \Device\CdRom0..9, \Device\Floppy0..9,
  // \Device\Harddisk<d>\DP(<d>)<d>-<d>+<x>, \Device\VSDisk\VSDisk0..9.
  static bool IsValidDeviceName(std::wstring_view device);
  // "C", "c:" -> L'C'; 0 when not a drive letter.
  static wchar_t ParseLetter(std::wstring_view letter);

  std::vector<VolumeInfo> List();
  // Win32 results: ERROR_SUCCESS; ERROR_INVALID_PARAMETER for a malformed
  // device or letter; ERROR_ALREADY_EXISTS when the device or letter is
  // taken; ERROR_FILE_NOT_FOUND for an unknown device.
  win::DWORD Add(std::wstring_view device, std::wstring_view letter);
  // Drops the row only; the host folder and its files stay on disk and come
  // back when the same device is added again.
  win::DWORD Remove(std::wstring_view device);
  // Changes only the table; an empty letter clears it.
  win::DWORD SetLetter(std::wstring_view device, std::wstring_view letter);

  // FilterGetDosName's answer: "C:" for a known device with a letter.
  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) for an unknown device or one
  // without a letter, E_INVALIDARG for an empty or malformed name.
  win::HRESULT DosNameOf(std::wstring_view device, std::wstring& dos);

  // The volume behind a drive letter, from the per-process map (reloaded
  // when machine.db changed since the last look).
  std::optional<VolumeRoot> RootOfLetter(wchar_t letter);
  // The same look-up for the host folder alone, written into `hostFolder`
  // (whose capacity is reused); false for a letter without a volume.
  bool HostFolderOfLetter(wchar_t letter, std::string& hostFolder);

  // Canonical host path of the machine's volumes folder (every resolved path
  // must lie below it).
  const std::string& VolumesFolder();

 private:
  // Calls use(root) under the letter map's lock; false when unmapped.
  template <typename F>
  bool WithRootOfLetter(wchar_t letter, F&& use);

  std::shared_ptr<Machine> machine_;
};

}  // namespace zv::platform
