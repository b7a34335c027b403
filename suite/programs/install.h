// The install step: the suite's programs, the Windows programs the suite
// starts, and the folders the suite's installer makes, put on a machine.
//
// Owns: the list of program files (which stand-in plays each program, its
// bitness, the recorder's window, end and exit code) and of folders; see
// docs/programs.md. Must not: start anything.
#pragma once

#include <string>
#include <vector>

#include "platform/files/machine.h"
#include "platform/processes/program_files.h"

namespace zv::suite {

// The product folder (zvorx's folder, where halvorn.exe is found first).
constexpr const wchar_t* kProductFolder = L"C:\\Program Files\\ZV\\";

struct InstalledProgram {
  std::wstring path;  // DOS path of the program file
  platform::ProgramFile file;
};

// Every program file of the install step, in the order written.
std::vector<InstalledProgram> SuitePrograms();
// The folders the suite's installer creates.
std::vector<std::wstring> SuiteFolders();

// Writes the folders and program files on the current machine (existing
// program files are replaced). Returns ERROR_SUCCESS or the first Win32
// error, with the path it failed on in failedPath.
win::DWORD InstallSuitePrograms(std::wstring* failedPath = nullptr);

// The block drivers' files as the suite ships them beside ZVVstIn:
// "mxblkurl_x64.sys", "mxblkurl_x32.sys", "mxblkprt_x64.sys",
// "mxblkprt_x32.sys" in `folder` (ending in a backslash), program files
// naming the driver stand-ins "mxblkurl" and "mxblkprt" with the file's
// bitness. ZVVstIn copies one of each pair into System32\Drivers.
std::vector<InstalledProgram> BlockDriverFiles(const std::wstring& folder);
// Writes them (the folder must exist); like InstallSuitePrograms.
win::DWORD InstallBlockDriverFiles(const std::wstring& folder, std::wstring* failedPath = nullptr);

// Writes one program file (its folder must exist).
win::DWORD WriteProgramFile(const std::wstring& path, const platform::ProgramFile& file);

}  // namespace zv::suite
