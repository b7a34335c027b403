// The install step: see install.h.
#include "suite/programs/install.h"

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"

namespace zv::suite {
namespace {

using platform::ProgramFile;

ProgramFile Recorder(int bitness, const std::string& window = "", const std::string& end = "now") {
  ProgramFile f;
  f.standIn = "recorder";
  f.bitness = bitness;
  if (!window.empty()) f.options["window"] = window;
  f.options["end"] = end;
  f.options["exit"] = "0";
  return f;
}

ProgramFile StandIn(const std::string& name, int bitness) {
  ProgramFile f;
  f.standIn = name;
  f.bitness = bitness;
  return f;
}

}  // namespace

std::vector<InstalledProgram> SuitePrograms() {
  std::vector<InstalledProgram> programs;
  const std::wstring product = kProductFolder;
  auto add = [&](const std::wstring& path, ProgramFile file) { programs.push_back({path, std::move(file)}); };

  add(product + L"zvorx.exe", StandIn("zvorx", 64));
  add(product + L"ZVVstIn.exe", StandIn("ZVVstIn", 32));
  add(product + L"halvorn.exe", StandIn("halvorn", 32));
  // A recorder holding a window titled by its first argument (zvmachine
  // window open).
  add(product + L"zvwindow.exe", Recorder(64, "%1", "close"));
  // Programs the start-up program starts and waits for, or fires and forgets.
  for (const wchar_t* name : {L"ZVChkSvc.exe", L"ZVRegBck.exe", L"ZVUserRegistryTool.exe", L"ZVRegBckEx.exe",
                              L"ZVBkLogs.exe", L"ZVMain.exe", L"ZVAMCnt.exe", L"ZVLock.exe", L"ZVSet.exe",
                              L"ZVMainUser.exe"}) {
    add(product + name, Recorder(32));
  }
  add(product + L"ZVRegExc.exe", Recorder(32));
  add(product + L"ZVRegWatch32.exe", Recorder(32));
  add(product + L"ZVRegExc64.exe", Recorder(64));
  add(product + L"ZVRegWatch64.exe", Recorder(64));
  // The before-logon group's programs hold the windows that are closed by
  // title before the group starts again.
  add(product + L"VMQCnt.exe", Recorder(32, "VMQ_Client", "close"));
  add(product + L"TaskRelay.exe", Recorder(32, "Test_TaskRelay", "close"));
  add(product + L"ZVMXCnt.exe", Recorder(32, "IDS_CAPTION_QDMXCNTT", "close"));

  // Windows programs, in the 64-bit and the 32-bit system folder.
  for (auto [folder, bitness] : {std::pair{L"C:\\Windows\\System32\\", 64}, std::pair{L"C:\\Windows\\SysWOW64\\", 32}}) {
    const std::wstring f = folder;
    add(f + L"net.exe", StandIn("net", bitness));
    add(f + L"sc.exe", Recorder(bitness));
    add(f + L"shutdown.exe", Recorder(bitness));
    add(f + L"notepad.exe", Recorder(bitness, "Untitled - Notepad", "close"));
  }
  return programs;
}

std::vector<std::wstring> SuiteFolders() {
  return {L"C:\\Windows\\SysWOW64", L"C:\\Windows\\zv\\zvorx", L"c:\\qd", L"C:\\Program Files\\ZV"};
}

win::DWORD WriteProgramFile(const std::wstring& path, const ProgramFile& file) {
  auto& files = platform::Files::Get();
  win::HANDLE h = files.CreateFileW(path.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_ALWAYS,
                                    win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == win::INVALID_HANDLE_VALUE) return platform::GetLastError();
  std::string content = platform::FormatProgramFile(file);
  win::DWORD written = 0;
  win::BOOL ok = files.WriteFile(h, content.data(), static_cast<win::DWORD>(content.size()), &written, nullptr);
  win::DWORD error = ok ? win::ERROR_SUCCESS : platform::GetLastError();
  platform::CloseHandle(h);
  return error;
}

win::DWORD InstallSuitePrograms(std::wstring* failedPath) {
  auto& files = platform::Files::Get();
  for (const std::wstring& folder : SuiteFolders()) {
    int rc = files.SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (rc != win::ERROR_SUCCESS && rc != static_cast<int>(win::ERROR_ALREADY_EXISTS)) {
      if (failedPath) *failedPath = folder;
      return static_cast<win::DWORD>(rc);
    }
  }
  for (const InstalledProgram& p : SuitePrograms()) {
    if (win::DWORD error = WriteProgramFile(p.path, p.file)) {
      if (failedPath) *failedPath = p.path;
      return error;
    }
  }
  return win::ERROR_SUCCESS;
}

std::vector<InstalledProgram> BlockDriverFiles(const std::wstring& folder) {
  std::vector<InstalledProgram> files;
  for (const char* driver : {"mxblkurl", "mxblkprt"}) {
    for (int bitness : {64, 32}) {
      const std::wstring name = text::FromUtf8(driver) + (bitness == 64 ? L"_x64.sys" : L"_x32.sys");
      files.push_back({folder + name, StandIn(driver, bitness)});
    }
  }
  return files;
}

win::DWORD InstallBlockDriverFiles(const std::wstring& folder, std::wstring* failedPath) {
  for (const InstalledProgram& p : BlockDriverFiles(folder)) {
    if (win::DWORD error = WriteProgramFile(p.path, p.file)) {
      if (failedPath) *failedPath = p.path;
      return error;
    }
  }
  return win::ERROR_SUCCESS;
}

}  // namespace zv::suite
