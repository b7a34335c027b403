// Program files on the machine's drive and how a command line finds one.
//
// Owns: the program file format (which stand-in of ours plays a program,
// its bitness and the stand-in's options; docs/programs.md), and the
// Windows rules that turn CreateProcessW's application name and command
// line into one file of the machine: the quoted first token, an unquoted
// path with blanks tried from its shortest prefix, ".exe" appended to a
// name without extension, and the search order for a bare name.
// Must not: start anything (program_start.cpp does) or read host files
// outside the machine's volumes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/win32.h"
#include "platform/files/machine.h"

namespace zv::platform {

struct ProgramFile {
  std::string standIn;  // the host program in ZV_BIN_DIR that plays it
  int bitness = 64;     // 32 or 64
  // Further "key=value" lines, for the stand-in (the recorder's window,
  // end and exit code).
  std::map<std::string, std::string> options;
};

// First line of every program file.
constexpr std::string_view kProgramFileMagic = "ZVPROGRAM";

// ERROR_SUCCESS, or ERROR_BAD_EXE_FORMAT when the text is not a program
// file (no magic line, no stand-in, a bitness other than 32 or 64, a
// stand-in name that is not a plain file name).
win::DWORD ParseProgramFile(std::string_view content, ProgramFile& out);
std::string FormatProgramFile(const ProgramFile& program);
// A stand-in name: letters, digits, '-', '_' and '.', not starting with '.'.
bool IsStandInName(std::string_view name);

// Where a bare program name is looked for, in order.
struct SearchContext {
  std::wstring callerImage;  // its folder is searched first
  std::wstring currentDir;
  std::wstring path;         // the machine's PATH, ';'-separated
};

// The machine's PATH: setting "env.PATH", else System32, the Windows
// folder and Wbem.
std::wstring MachinePath(Machine& machine);

struct FoundProgram {
  std::wstring dosPath;  // the file as found (C:\..., long names)
  std::string hostPath;  // its host path below the volumes folder
};

// Finds the program CreateProcessW would run. applicationName may be null
// (then the first token of commandLine, with the search); otherwise it is
// completed with the current folder only and gets no extension. Errors:
// ERROR_FILE_NOT_FOUND (2), ERROR_PATH_NOT_FOUND (3), ERROR_INVALID_NAME,
// ERROR_BAD_EXE_FORMAT (193) for a folder. Every path tried goes through
// the program search rewrite first.
win::DWORD FindProgram(Machine& machine, const win::WCHAR* applicationName, std::wstring_view commandLine,
                       const SearchContext& context, FoundProgram& out);

// How the calling program's view of the file system rewrites a path before
// a program is looked for there. The layer that owns WOW64 (platform/system)
// installs its redirection when a 32-bit program switches it on, so that a
// 32-bit caller's starts see SysWOW64 where they name System32, as every
// other file call of that program does; the rewrite itself looks at the
// calling thread's redirection switch. Null (the default): no rewrite.
using PathRewrite = std::wstring (*)(const std::wstring& dosPath);
void SetProgramSearchRewrite(PathRewrite rewrite);

// Reads and parses the program file of a found program (at most 64 KiB).
win::DWORD ReadProgramFile(const FoundProgram& found, ProgramFile& out);

}  // namespace zv::platform
