// Figures for the process stand-ins: a snapshot refresh as the engines do it
// (snapshot, open each process, read its main module), GetCurrentProcessId,
// a start and end of a scenario process, and the feed's wake-up latency.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/base/handles.h"
#include "platform/processes/process_api_real.h"
#include "platform/processes/process_table.h"

using namespace zv::platform;
namespace win = zv::win;
using SteadyClock = std::chrono::steady_clock;

static double MicrosSince(SteadyClock::time_point start, int count) {
  return std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count() / count;
}

int main() {
  std::filesystem::path root = std::filesystem::temp_directory_path() / ("zvp-bench-" + std::to_string(getpid()));
  auto machine = Machine::Open(root, true);
  Machine::SetCurrent(machine);
  RealProcessApi api;
  for (int i = 0; i < 100; ++i) AddProcess(*machine, 4, L"C:\\Program Files\\App\\app" + std::to_wstring(i) + L".exe", 1, false);

  constexpr int kRefreshes = 50;
  auto start = SteadyClock::now();
  std::size_t seen = 0;
  for (int r = 0; r < kRefreshes; ++r) {
    win::HANDLE snap = api.CreateToolhelp32Snapshot(win::TH32CS_SNAPPROCESS, 0);
    win::PROCESSENTRY32W e;
    for (win::BOOL ok = api.Process32FirstW(snap, &e); ok; ok = api.Process32NextW(snap, &e)) {
      win::HANDLE h = api.OpenProcess(win::PROCESS_ALL_ACCESS, win::FALSE, e.th32ProcessID);
      if (h) {
        win::WCHAR path[260];
        api.K32GetModuleFileNameExW(h, nullptr, path, 260);
        CloseHandle(h);
      }
      ++seen;
    }
    CloseHandle(snap);
  }
  std::printf("snapshot refresh, %zu processes: %.1f us\n", seen / kRefreshes, MicrosSince(start, kRefreshes));

  constexpr int kIds = 100000;
  start = SteadyClock::now();
  win::DWORD sink = 0;
  for (int i = 0; i < kIds; ++i) sink += api.GetCurrentProcessId();
  std::printf("GetCurrentProcessId: %.3f us (%u)\n", MicrosSince(start, kIds), sink & 1);

  constexpr int kPairs = 200;
  start = SteadyClock::now();
  for (int i = 0; i < kPairs; ++i) EndProcess(*machine, AddProcess(*machine, 4, L"C:\\x.exe", 1, false));
  std::printf("AddProcess + EndProcess: %.1f us\n", MicrosSince(start, kPairs));

  ProcessEventFeed feed(machine, LastProcessEventSeq(*machine));
  constexpr int kWakes = 100;
  double total = 0;
  for (int i = 0; i < kWakes; ++i) {
    SteadyClock::time_point sent;
    std::thread writer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      sent = SteadyClock::now();
      AddProcess(*machine, 4, L"C:\\y.exe", 1, false);
    });
    auto e = feed.WaitNext(5000);
    auto got = SteadyClock::now();
    writer.join();
    if (e) total += std::chrono::duration<double, std::micro>(got - sent).count();
  }
  std::printf("feed: start to waiter woken with the event: %.1f us\n", total / kWakes);

  UnregisterCurrentProcess();
  Machine::SetCurrent(nullptr);
  std::filesystem::path run = machine->RunFolder();
  machine.reset();
  std::filesystem::remove_all(run);
  std::filesystem::remove_all(root);
  return 0;
}
