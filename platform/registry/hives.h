// Users of the machine, their profiles and their registry hives.
//
// Owns: the machine SID and user SIDs, creating a user (profile folder,
// "ntuser.dat", "UsrClass.dat", ProfileList entry), loading a user's two
// hives at logon as HKU\<SID> and HKU\<SID>_Classes and writing them back at
// logoff or RegFlushKey, and the shared counter "hives.gen" that the file
// calls watch to refuse loaded hive files (ERROR_SHARING_VIOLATION).
// Must not: know handles (registry_api_real.cpp) or the file calls' other
// rules; hive files are written in the registry editor's text form
// (reg_file.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/base/win32.h"
#include "platform/files/machine.h"
#include "platform/registry/registry_store.h"

namespace zv::platform {

struct UserInfo {
  std::wstring name;
  std::wstring sid;      // S-1-5-21-<machine>-<rid>
  std::wstring profile;  // DOS path of the profile folder, no trailing backslash
  bool loggedOn = false;
};

// Creates the user: its SID (RIDs from 1001), the profile folder under the
// profiles root (C:\Users, or C:\Documents and Settings before Windows 6),
// "ntuser.dat" in it and "UsrClass.dat" in AppData\Local\Microsoft\Windows
// (Local Settings\Application Data\Microsoft\Windows before Windows 6), each
// made only when missing, and its ProfileList key. ERROR_ALREADY_EXISTS for a
// known name; ERROR_INVALID_NAME for a name that cannot be a folder.
win::DWORD AddUser(Machine& machine, std::wstring_view name, UserInfo* out);
std::vector<UserInfo> ListUsers(Machine& machine);
win::DWORD FindUser(Machine& machine, std::wstring_view name, UserInfo& out);

// The hive files of a user.
std::wstring NtUserPath(Machine& machine, const UserInfo& user);
std::wstring UsrClassPath(Machine& machine, const UserInfo& user);

// Loads both hives from their files (a missing file starts an empty hive).
// ERROR_ALREADY_EXISTS when logged on; ERROR_BADDB for a hive file that is not
// in the registry editor's text form; ERROR_FILE_NOT_FOUND for an unknown user.
win::DWORD Logon(Machine& machine, std::wstring_view name);
// Writes both hives back to their files and unloads them. ERROR_NOT_FOUND
// when the user is not logged on.
win::DWORD Logoff(Machine& machine, std::wstring_view name);
// Writes the loaded hive mounted at `mount` back to its file.
win::DWORD FlushHive(Machine& machine, KeyId mount);

}  // namespace zv::platform
