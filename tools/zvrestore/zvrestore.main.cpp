// zvrestore: brings a machine's drives back to the start of a protection
// session from the backup tree and the two deletion logs.
//
// Owns: the command line, the machine choice, the single-instance check
// against a running zvorx, and the exit codes.
// Must not: touch files itself (restore_steps.h), or run while zvorx holds
// its mutex: the backup engine would back the restore itself up.
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/machine.h"
#include "platform/processes/process_api.h"
#include "service/startup.h"
#include "tools/zvrestore/restore_plan.h"
#include "tools/zvrestore/restore_steps.h"

using namespace zv;
using namespace zv::tools::restore;

namespace {

constexpr int kExitDone = 0;
constexpr int kExitProblems = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;
constexpr int kExitStopped = 4;

const char kUsage[] =
    "usage: zvrestore [--machine DIR] [OPTIONS]\n"
    "\n"
    "Brings the drives of the machine DIR (default: $ZV_MACHINE) back to the\n"
    "start of a protection session: what the deletion logs list as new is moved\n"
    "into the quarantine (deepest first, keeping its path), then every file of\n"
    "the backup tree is copied back over its original. Nothing is deleted.\n"
    "\n"
    "options:\n"
    "  --backup-folder PATH   the backup tree (default c:\\qd\\r\\)\n"
    "  --delete-log PATH      the log of new files; new folders are in PATH_dir\n"
    "                         (default c:\\qd\\deletelog.dat)\n"
    "  --quarantine PATH      where new entries go (default: \"quarantine\" beside\n"
    "                         the backup folder, c:\\qd\\quarantine\\)\n"
    "  --product-folder PATH  holds the start-up program's mirror trees R and R2,\n"
    "                         never taken as a backup tree (default\n"
    "                         C:\\Program Files\\ZV\\)\n"
    "  --dry-run              print the plan, change nothing\n"
    "  --clear                after a restore without problems, empty the backup\n"
    "                         tree and both logs for the next session\n"
    "  --purge                only empty the quarantine\n"
    "  --stop-after N         stop after N changes (tests of resumption)\n"
    "\n"
    "exit status: 0 done; 1 done with skipped or refused entries; 2 usage;\n"
    "3 refused to run (zvorx running, unsafe folders, no machine); 4 stopped by\n"
    "--stop-after.\n";

int Usage(const std::string& message) {
  std::cerr << "zvrestore: " << message << "\n" << kUsage;
  return kExitUsage;
}

int Refuse(const std::string& message) {
  std::cerr << "zvrestore: " << message << "\n";
  return kExitRefused;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string machineRoot, backupFolder, deleteLog, quarantine, productFolder;
  bool dryRun = false, clear = false, purge = false;
  int stopAfter = -1;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return kExitDone;
    } else if (a == "--dry-run") {
      dryRun = true;
    } else if (a == "--clear") {
      clear = true;
    } else if (a == "--purge") {
      purge = true;
    } else if (a == "--machine" || a == "--backup-folder" || a == "--delete-log" || a == "--quarantine" ||
               a == "--product-folder" || a == "--stop-after") {
      std::string v;
      if (!value(v)) return Usage(a + " needs a value");
      if (a == "--machine") machineRoot = v;
      else if (a == "--backup-folder") backupFolder = v;
      else if (a == "--delete-log") deleteLog = v;
      else if (a == "--quarantine") quarantine = v;
      else if (a == "--product-folder") productFolder = v;
      else if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 9) {
        return Usage("--stop-after needs a number");
      } else {
        stopAfter = std::stoi(v);
      }
    } else {
      return Usage("unknown argument " + a);
    }
  }
  if (purge && clear) return Usage("--purge and --clear do not go together");

  if (machineRoot.empty()) {
    const char* env = std::getenv("ZV_MACHINE");
    if (env) machineRoot = env;
  }
  if (machineRoot.empty()) return Refuse("no machine: set ZV_MACHINE or pass --machine DIR");
  try {
    platform::Machine::SetCurrent(platform::Machine::Open(machineRoot, false));
  } catch (const std::exception& e) {
    return Refuse(std::string("cannot open the machine: ") + e.what());
  }

  RestoreSettings settings;
  std::string reason;
  if (!MakeSettings(text::FromUtf8(backupFolder), text::FromUtf8(deleteLog), text::FromUtf8(quarantine),
                    text::FromUtf8(productFolder), settings, reason)) {
    return Refuse("refusing: " + reason);
  }

  // Taking zvorx's single-instance mutex tells whether it runs, and holding
  // it keeps zvorx from starting until the restore ends.
  auto& processes = platform::Processes::Get();
  win::HANDLE mutex = processes.CreateMutexW(nullptr, win::FALSE, service::kMutexName);
  if (!mutex) {
    return Refuse("cannot tell whether zvorx runs: the mutex \"" + text::ToUtf8(service::kMutexName) +
                  "\" failed with error " + std::to_string(platform::GetLastError()));
  }
  bool running = platform::GetLastError() == win::ERROR_ALREADY_EXISTS;
  if (running) {
    std::string message = "zvorx is running on this machine (it holds the mutex \"" +
                          text::ToUtf8(service::kMutexName) +
                          "\"); stop it first: its backup engine would back the restore itself up";
    if (!dryRun) return Refuse(message);
    std::cout << "warning: " << message << "\n";
  }

  RestoreReport report(dryRun);
  Restorer restorer(settings, report, dryRun, stopAfter);
  int code = kExitDone;
  if (purge) {
    restorer.Purge();
  } else {
    RestorePlan plan = MakePlan(settings, report);
    if (!restorer.Run(plan)) {
      report.Note("stopped after " + std::to_string(stopAfter) + " changes; run again to finish");
      code = kExitStopped;
    } else if (clear) {
      if (report.problems() == 0) restorer.Clear();
      else report.Note("backup tree and logs kept: the restore had " + std::to_string(report.problems()) +
                       " skipped or refused entries");
    }
  }
  report.Print(std::cout);
  platform::CloseHandle(mutex);
  if (code == kExitDone && report.problems() > 0) code = kExitProblems;
  return code;
}
