// What the command groups of zvmachine share: the usage text and the
// output helpers (see zvmachine_commands.h).
#include "tools/zvmachine_commands.h"

#include <cstdio>
#include <string>

#include "platform/base/text.h"

namespace zv::tools {

const char kZvmachineUsage[] =
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
    "  reg query|set|delete|import|export ...  the registry (zvmachine reg for details)\n"
    "  user add NAME | user list       users: profile folder, hive files, ProfileList entry\n"
    "  logon NAME                      load the user's hives as HKU\\<SID> and HKU\\<SID>_Classes\n"
    "  logoff NAME                     write the user's hives back to their files and unload them\n"
    "  install                         put the suite's and Windows' programs and folders on the machine\n"
    "  program ...                     start programs, list starts and notes (zvmachine program --help)\n"
    "  window ...                      list, open and close top-level windows (zvmachine window --help)\n"
    "  boot [--uptime S]               boot: end the programs the machine started, uptime S s\n"
    "  boot show | restarts            boot time, uptime, tick count; restarts asked for\n"
    "  product set ITEM VALUE          set a 32-bit item of the product data store (1, 69, 70)\n"
    "  product show                    list the product data store's items\n"
    "  service list | status NAME      services: state, image; the block drivers' decoded settings\n"
    "\n"
    "exit codes: 0 done, 1 failed, 2 bad usage\n";

int Usage(const char* message) {
  if (message) std::fprintf(stderr, "zvmachine: %s\n", message);
  std::fputs(kZvmachineUsage, stderr);
  return kUsage;
}

void Out(const std::wstring& line) { std::fputs((zv::text::ToUtf8(line) + "\n").c_str(), stdout); }

int Win32Failure(const std::string& what, win::DWORD error) {
  std::fprintf(stderr, "zvmachine: %s failed with Win32 error %u\n", what.c_str(), error);
  return kFailed;
}

}  // namespace zv::tools
