// zvmachine: create and inspect the stand-in machine.
//
// Owns: the command line of the tool (create, volume, dir, attrib, setting,
// and the dispatch of "process" to the process commands). Exit codes: 0
// done, 1 the operation failed, 2 bad usage.
// Must not: reach files or the database except through platform/ (the
// volume table, the file calls, machine settings).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files/file_api.h"
#include "platform/base/handles.h"
#include "platform/files/machine.h"
#include "platform/base/text.h"
#include "platform/files/volumes.h"
#include "tools/zvmachine_processes.h"

namespace {

using namespace zv::platform;
namespace win = zv::win;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char kUsageText[] =
    "usage: zvmachine [--machine ROOT] COMMAND [ARGS]\n"
    "\n"
    "The machine root is --machine ROOT, else the ZV_MACHINE environment variable.\n"
    "\n"
    "commands:\n"
    "  create [ROOT]                   create a machine (drive C:, standard folders)\n"
    "  volume list                     list volumes: device, letter, host folder\n"
    "  volume add DEVICE [LETTER]      add a volume, e.g. \\Device\\CdRom0 E:\n"
    "  volume letter DEVICE LETTER     give a volume a drive letter ('none' clears it)\n"
    "  volume remove DEVICE            drop a volume from the table (its files stay)\n"
    "  dir DOSPATH                     list a folder with short names and attributes\n"
    "  attrib DOSPATH [+r|-r|+h|-h|+s|-s|+a|-a ...]\n"
    "                                  show or change a file's attributes\n"
    "  setting get KEY                 print a machine setting\n"
    "  setting set KEY VALUE           set a machine setting\n"
    "  setting clear KEY               remove a machine setting\n"
    "  process ...                     processes of the machine (zvmachine process --help)\n"
    "\n"
    "exit codes: 0 done, 1 failed, 2 bad usage\n";

int Usage(const char* message = nullptr) {
  if (message) std::fprintf(stderr, "zvmachine: %s\n", message);
  std::fputs(kUsageText, stderr);
  return kUsage;
}

void Out(const std::wstring& line) { std::fputs((zv::text::ToUtf8(line) + "\n").c_str(), stdout); }

int Win32Failure(const std::string& what, win::DWORD error) {
  std::fprintf(stderr, "zvmachine: %s failed with Win32 error %u\n", what.c_str(), error);
  return kFailed;
}

std::wstring AttributeLetters(win::DWORD a) {
  std::wstring s;
  s += (a & win::FILE_ATTRIBUTE_DIRECTORY) ? L'D' : L'-';
  s += (a & win::FILE_ATTRIBUTE_READONLY) ? L'R' : L'-';
  s += (a & win::FILE_ATTRIBUTE_HIDDEN) ? L'H' : L'-';
  s += (a & win::FILE_ATTRIBUTE_SYSTEM) ? L'S' : L'-';
  s += (a & win::FILE_ATTRIBUTE_ARCHIVE) ? L'A' : L'-';
  return s;
}

int Volume(const std::vector<std::string>& args) {
  VolumeTable table(Machine::Current());
  if (args.empty()) return Usage("volume needs a sub-command");
  const std::string& sub = args[0];
  auto wide = [](const std::string& s) { return zv::text::FromUtf8(s); };
  if (sub == "list" && args.size() == 1) {
    for (const VolumeInfo& v : table.List()) {
      Out((v.letter.empty() ? L"--" : v.letter) + L"  " + v.device + L"  volumes/" + zv::text::FromHostName(v.folder));
    }
    return kOk;
  }
  win::DWORD e;
  if (sub == "add" && (args.size() == 2 || args.size() == 3)) {
    e = table.Add(wide(args[1]), args.size() == 3 ? wide(args[2]) : L"");
  } else if (sub == "letter" && args.size() == 3) {
    e = table.SetLetter(wide(args[1]), args[2] == "none" ? L"" : wide(args[2]));
  } else if (sub == "remove" && args.size() == 2) {
    e = table.Remove(wide(args[1]));
  } else {
    return Usage("bad volume command");
  }
  return e ? Win32Failure("volume " + sub, e) : kOk;
}

int Dir(const std::string& path) {
  FileApi& files = Files::Get();
  std::wstring folder = zv::text::FromUtf8(path);
  std::wstring pattern = folder;
  if (pattern.empty() || (pattern.back() != L'\\' && pattern.back() != L'/')) pattern += L'\\';
  pattern += L'*';
  win::WIN32_FIND_DATAW d;
  win::HANDLE h = files.FindFirstFileW(pattern.c_str(), &d);
  if (h == win::INVALID_HANDLE_VALUE) {
    win::DWORD e = GetLastError();
    if (e == win::ERROR_FILE_NOT_FOUND) return kOk;  // an empty root folder
    return Win32Failure("dir " + path, e);
  }
  do {
    std::uint64_t size = (std::uint64_t(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
    wchar_t sizeText[32];
    std::swprintf(sizeText, 32, L"%12llu", static_cast<unsigned long long>(size));
    std::wstring alias = d.cAlternateFileName;
    alias.resize(12, L' ');
    Out(AttributeLetters(d.dwFileAttributes) + L" " +
        ((d.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) ? std::wstring(L"       <DIR>") : std::wstring(sizeText)) +
        L"  " + alias + L"  " + d.cFileName);
  } while (files.FindNextFileW(h, &d));
  files.FindClose(h);
  return kOk;
}

int Attrib(const std::vector<std::string>& args) {
  if (args.empty()) return Usage("attrib needs a path");
  FileApi& files = Files::Get();
  std::wstring path = zv::text::FromUtf8(args[0]);
  win::DWORD a = files.GetFileAttributesW(path.c_str());
  if (a == win::INVALID_FILE_ATTRIBUTES) return Win32Failure("attrib " + args[0], GetLastError());
  if (args.size() == 1) {
    Out(AttributeLetters(a) + L"  " + path);
    return kOk;
  }
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& op = args[i];
    if (op.size() != 2 || (op[0] != '+' && op[0] != '-')) return Usage(("bad attribute change: " + op).c_str());
    win::DWORD bit = 0;
    switch (op[1] | 0x20) {
      case 'r': bit = win::FILE_ATTRIBUTE_READONLY; break;
      case 'h': bit = win::FILE_ATTRIBUTE_HIDDEN; break;
      case 's': bit = win::FILE_ATTRIBUTE_SYSTEM; break;
      case 'a': bit = win::FILE_ATTRIBUTE_ARCHIVE; break;
      default: return Usage(("bad attribute change: " + op).c_str());
    }
    a = op[0] == '+' ? (a | bit) : (a & ~bit);
  }
  a &= ~(win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_NORMAL);
  if (!files.SetFileAttributesW(path.c_str(), a ? a : win::FILE_ATTRIBUTE_NORMAL)) {
    return Win32Failure("attrib " + args[0], GetLastError());
  }
  Out(AttributeLetters(files.GetFileAttributesW(path.c_str())) + L"  " + path);
  return kOk;
}

int Setting(const std::vector<std::string>& args) {
  auto m = Machine::Current();
  if (args.size() == 2 && args[0] == "get") {
    auto value = m->Setting(args[1]);
    if (!value) {
      std::fprintf(stderr, "zvmachine: no setting %s\n", args[1].c_str());
      return kFailed;
    }
    std::printf("%s\n", value->c_str());
    return kOk;
  }
  if (args.size() == 3 && args[0] == "set") {
    m->SetSetting(args[1], args[2]);
    return kOk;
  }
  if (args.size() == 2 && args[0] == "clear") {
    m->ClearSetting(args[1]);
    return kOk;
  }
  return Usage("bad setting command");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string root;
  while (!args.empty() && args[0].rfind("--", 0) == 0) {
    if (args[0] == "--help" || args[0] == "-h") {
      std::fputs(kUsageText, stdout);
      return kOk;
    }
    if (args[0] == "--machine" && args.size() >= 2) {
      root = args[1];
      args.erase(args.begin(), args.begin() + 2);
    } else if (args[0].rfind("--machine=", 0) == 0) {
      root = args[0].substr(10);
      args.erase(args.begin());
    } else {
      return Usage(("unknown option " + args[0]).c_str());
    }
  }
  if (args.empty()) return Usage("no command");
  const std::string command = args[0];
  args.erase(args.begin());
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h") && command != "process") {
    std::fputs(kUsageText, stdout);
    return kOk;
  }
  try {
    if (command == "create") {
      if (args.size() > 1) return Usage("create takes at most a root");
      if (!args.empty()) root = args[0];
      if (root.empty()) {
        const char* env = std::getenv("ZV_MACHINE");
        if (!env || !*env) return Usage("no machine root: give ROOT, --machine or ZV_MACHINE");
        root = env;
      }
      auto m = Machine::Open(root, true);
      std::printf("%s\n", m->Root().c_str());
      return kOk;
    }
    if (!root.empty()) {
      Machine::SetCurrent(Machine::Open(root, false));
    } else {
      const char* env = std::getenv("ZV_MACHINE");
      if (!env || !*env) return Usage("no machine root: give --machine or set ZV_MACHINE");
      Machine::SetCurrent(Machine::Open(env, false));
    }
    if (command == "volume") return Volume(args);
    if (command == "dir") return args.size() == 1 ? Dir(args[0]) : Usage("dir takes one path");
    if (command == "attrib") return Attrib(args);
    if (command == "setting") return Setting(args);
    if (command == "process") {
      // The one dispatch point for the process commands.
      std::vector<char*> rest;
      rest.push_back(const_cast<char*>("process"));
      for (std::string& a : args) rest.push_back(a.data());
      rest.push_back(nullptr);
      return zv::tools::RunProcessCommand(static_cast<int>(rest.size() - 1), rest.data());
    }
    return Usage(("unknown command " + command).c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zvmachine: %s\n", e.what());
    return kFailed;
  }
}
