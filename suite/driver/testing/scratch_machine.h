// Throw-away machines for tests and benchmarks: a fresh machine root made
// current and exported as ZV_MACHINE to the programs started from here, the
// driver daemon killed and the root removed afterwards. For tests and
// benchmarks only: no library or shipped program includes it.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "platform/filter/filter_wire.h"
#include "platform/files/machine.h"

namespace zv::suite::testing {

// Creates a fresh machine at root (whatever was there is removed first),
// makes it the current machine and exports it as ZV_MACHINE.
inline std::shared_ptr<platform::Machine> CreateScratchMachine(const std::filesystem::path& root) {
  std::filesystem::remove_all(root);
  auto machine = platform::Machine::Open(root, true);
  platform::Machine::SetCurrent(machine);
  ::setenv("ZV_MACHINE", root.c_str(), 1);
  return machine;
}

// Where started programs are looked for, unless ZV_BIN_DIR already says.
inline void DefaultBinDir(const std::filesystem::path& dir) {
  if (!std::getenv("ZV_BIN_DIR")) ::setenv("ZV_BIN_DIR", dir.c_str(), 1);
}

inline bool IsZombie(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t close = all.rfind(')');
  return close == std::string::npos || (close + 2 < all.size() && all[close + 2] == 'Z');
}

// Kills the current machine's driver daemon, if one runs, and waits until
// it is gone or a zombie waiting for a reaper (the daemon is not our child).
inline void KillDriverDaemon() {
  std::ifstream f(platform::wire::DriverPidPath(L"ZVORX"));
  pid_t pid = 0;
  if (!(f >> pid) || pid <= 0) return;
  ::kill(pid, SIGKILL);
  for (int i = 0; i < 200 && ::kill(pid, 0) == 0 && !IsZombie(pid); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Kills the driver daemon, forgets the current machine (and the ZV_MACHINE
// exported for it) and removes its run folder and root.
inline void RemoveScratchMachine(const std::filesystem::path& root, std::shared_ptr<platform::Machine>& machine) {
  KillDriverDaemon();
  platform::Machine::SetCurrent(nullptr);
  ::unsetenv("ZV_MACHINE");
  std::filesystem::path run = machine->RunFolder();
  machine.reset();
  // A program the test started on the machine may still be coming up (slow
  // under a sanitizer) and add its lock file while the folders go: retry.
  for (int i = 0; i < 100; ++i) {
    std::error_code runError, rootError;
    std::filesystem::remove_all(run, runError);
    std::filesystem::remove_all(root, rootError);
    if (!runError && !rootError) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::filesystem::remove_all(run);
  std::filesystem::remove_all(root);
}

}  // namespace zv::suite::testing
