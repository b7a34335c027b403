// The general support library of the suite, as the start-up program calls
// it: the product folder and the path of the product data store, the
// interactive user's subkey of HKEY_USERS, tree deletion, program starts
// (with and without waiting, and by the product's system side in session 0)
// and the Windows version checks.
//
// Owns: the machine settings "product.folder" (the product folder, default
// "C:\Program Files\ZV\", a backslash added when missing) and
// "product.current_user_key" (what WriteCurrentUserRegistryKey recorded).
// Buffers passed without a size get at most 259 units and a terminator
// (kSizelessUnits); a value that does not fit leaves an empty string and
// the call answers 0.
// Must not: follow links when deleting a tree; wait for programs in the
// calls that say they do not.
#pragma once

#include "platform/base/win32.h"

namespace zv::support {

// Size of the buffers callers pass without a size (MAX_PATH).
inline constexpr unsigned kSizelessUnits = 260;
inline constexpr const wchar_t* kDefaultProductFolder = L"C:\\Program Files\\ZV\\";
// The product data store, in the product folder.
inline constexpr const wchar_t* kProductDataFileName = L"ZVData.dat";

// 1 with the folder (ending with a backslash) in `buffer`; 0 when it does
// not fit or there is no machine.
int GetFolderName_QD(wchar_t* buffer);
// 1 with the product folder + kProductDataFileName in `buffer`.
int GetFileName_QDData(wchar_t* buffer);
// 1 with the recorded subkey name in `buffer`; 0 (empty buffer) when none
// was recorded.
int GetVistaCurrentUserRegistryKey(wchar_t* buffer);
// Records `key` (a subkey name of HKEY_USERS); 1 when recorded.
int WriteCurrentUserRegistryKey(const wchar_t* key);

// Deletes the folder and everything below it. A link (reparse point) met
// on the way, or given as the folder, is removed itself and never entered.
// Read-only entries lose that attribute first.
void DeleteDirectory(const wchar_t* folder);

// Starts the command line hidden and returns after the program has ended
// (1), or 0 when it could not be started. The second form's unsigned is a
// time-out in milliseconds, 0 meaning no limit (so (cmd, 0) is the first
// form).
int WinExecWait(const wchar_t* commandLine);
int WinExecWait(const wchar_t* commandLine, unsigned timeoutMs);
// Starts the command line with the show code (0 hidden, 5 shown) and does
// not wait. Returns as WinExec does: above 31 when started, else an error
// below 32.
unsigned WinExecWide(const wchar_t* commandLine, unsigned showCode);
// Runs the command line as the product's system side does: in session 0,
// hidden, without waiting. 1 when started.
int RequestWinExecBySystem(const wchar_t* commandLine);

// From the machine setting "machine.windows_version" (major.minor.build,
// default 10.0.19045): Vista means 6.0 or later; Windows 7 exactly 6.1;
// Windows 8 is 6.2 or 6.3 (8.1).
int CheckVersionIsVista();
int CheckVersionIsWindows7();
int CheckVersionIsWindows8();

}  // namespace zv::support
