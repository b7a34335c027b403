// Test program for the crash handler: links the service wrapper (and with it
// the handler, installed during static initialisation) and dies the way its
// argument says.
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/base/crash_dump.h"
#include "platform/threads/sync_api.h"
#include "service/ntservice.h"

namespace {

[[gnu::noinline]] void CrashWithNullWrite() {
  // Through a volatile address, so the compiler cannot see the null.
  volatile std::uintptr_t address = 0;
  *reinterpret_cast<volatile int*>(address) = 1;
}

#pragma GCC diagnostic ignored "-Winfinite-recursion"
[[gnu::noinline]] int RecurseForever(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  return RecurseForever(depth + 1) + pad[0];
}

zv::win::DWORD CrashOnThread(void*) {
  CrashWithNullWrite();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Nothing here installs the handler: static initialisation must have.
  if (!zv::platform::CrashDumpInstalled()) return 3;
  if (zv::service::MXNTService::Current() != nullptr) return 4;
  const char* mode = argc > 1 ? argv[1] : "segv";
  if (std::strcmp(mode, "segv") == 0) CrashWithNullWrite();
  if (std::strcmp(mode, "abort") == 0) std::abort();
  if (std::strcmp(mode, "overflow") == 0) return RecurseForever(0);
  if (std::strcmp(mode, "thread") == 0) {
    auto& threads = zv::platform::Threads::Get();
    zv::win::HANDLE h = threads.CreateThread(nullptr, 0, CrashOnThread, nullptr, 0, nullptr);
    threads.WaitForSingleObject(h, zv::win::INFINITE);
  }
  return 5;
}
