// The real ProcessApi, WinExec: see process_api_real.h.
//
// WinExec is CreateProcessW with the ANSI command line, no application
// name, no creation flags and STARTF_USESHOWWINDOW with the show state; the
// program is searched and started as CreateProcessW does it (program_start.cpp)
// and is not waited for.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/text.h"
#include "platform/processes/process_api_real.h"
#include "platform/processes/process_table.h"
#include "platform/processes/program_api.h"

namespace zv::platform {

namespace {
constexpr win::DWORD kStartupInfoSize32 = 68;  // STARTUPINFOW of a 32-bit program
}  // namespace

std::string ProgramFolder() {
  if (const char* env = std::getenv("ZV_BIN_DIR"); env && *env) return env;
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

win::UINT RealProcessApi::WinExec(const std::string& commandLine, win::UINT showCommand) {
  std::wstring line = text::FromAnsi(commandLine);
  std::vector<win::WCHAR> buffer(line.begin(), line.end());
  buffer.push_back(0);
  win::STARTUPINFOW startup;
  // The caller's own structure size, as a 32-bit caller's WinExec passes it.
  if (CurrentProcessBitness() == 32) startup.cb = kStartupInfoSize32;
  startup.dwFlags = win::STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<win::WORD>(showCommand);
  win::PROCESS_INFORMATION info;
  if (Programs::Get().CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, win::FALSE, 0, nullptr, nullptr,
                                     &startup, &info)) {
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 33;  // any value above 31 means success
  }
  // WinExec answers with the error when it is one of its small codes.
  win::DWORD error = GetLastError();
  if (error == win::ERROR_BAD_EXE_FORMAT || error == win::ERROR_EXE_MACHINE_TYPE_MISMATCH) {
    error = win::ERROR_BAD_FORMAT;
  }
  if (error > 31) error = 0;
  SetLastError(error ? error : GetLastError());
  return error;
}

}  // namespace zv::platform
