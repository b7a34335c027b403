// The user commands of zvmachine:
//   zvmachine user add NAME
//   zvmachine user list
//   zvmachine logon NAME
//   zvmachine logoff NAME
//
// Owns: parsing and printing of the user and session commands on
// Machine::Current(). Logon loads the user's hives as HKU\<SID> and
// HKU\<SID>_Classes; logoff writes them back to their files and unloads them.
// Must not: touch profiles or hives except through platform/registry.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/base/text.h"
#include "platform/registry/hives.h"
#include "tools/zvmachine_commands.h"

namespace zv::tools {

using platform::Machine;

int RunUserCommand(const std::vector<std::string>& args) {
  auto m = Machine::Current();
  if (args.size() == 2 && args[0] == "add") {
    platform::UserInfo user;
    if (win::DWORD e = platform::AddUser(*m, text::FromUtf8(args[1]), &user)) return Win32Failure("user add", e);
    Out(user.name + L"  " + user.sid + L"  " + user.profile);
    return kOk;
  }
  if (args.size() == 1 && args[0] == "list") {
    for (const platform::UserInfo& u : platform::ListUsers(*m)) {
      Out(u.name + L"  " + u.sid + L"  " + u.profile + (u.loggedOn ? L"  logged on" : L""));
    }
    return kOk;
  }
  return Usage("bad user command");
}

int RunLogonCommand(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("logon takes a user name");
  if (win::DWORD e = platform::Logon(*Machine::Current(), text::FromUtf8(args[0]))) return Win32Failure("logon", e);
  return kOk;
}

int RunLogoffCommand(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("logoff takes a user name");
  if (win::DWORD e = platform::Logoff(*Machine::Current(), text::FromUtf8(args[0]))) return Win32Failure("logoff", e);
  return kOk;
}

}  // namespace zv::tools
