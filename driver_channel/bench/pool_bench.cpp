// Notifications per second and reply latency of the worker pool against the
// running driver stand-in, with 1, 2, 4 and 8 workers, once with a trivial
// allow handler on NotificationSignal and once with no handler at all.
// Each figure is measured at the driver's control side: a file-open
// notification is injected, read by a worker, dispatched, replied, and the
// driver reports the decision back. Next to it the driver's own reply time
// (from sending the notification to taking its reply, "reply time" in its
// status) and, with the handler, the allocations of a worker between two
// notifications (the channel's own: wait, reply, re-post), after a warm-up.
//
// Usage: pool_bench [seconds per run, default 2] [injecting threads, default 16]
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "driver_channel/port_client.h"
#include "driver_channel/records.h"
#include "driver_channel/signals.h"
#include "platform/base/debug_output.h"
#include "platform/filter/filter_api.h"
#include "platform/filter/filter_wire.h"
#include "platform/files/machine.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/allocation_count.h"
#include "suite/driver/testing/latency_figures.h"
#include "suite/driver/testing/scratch_machine.h"


using namespace zv;
using SteadyClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

struct Figures : suite::testing::LatencyFigures {
  std::size_t notReplied = 0;
  double driverP50us = 0;
  double driverP99us = 0;
  double allocations = -1;  // per notification in the workers; -1 without the handler
};

// Allocations of the worker threads between two notifications, counted by
// the handler once `g_counting` is on.
std::atomic<bool> g_counting{false};
std::atomic<std::uint64_t> g_gaps{0};
std::atomic<std::uint64_t> g_gapAllocations{0};
thread_local std::uint64_t t_lastNotification = 0;
thread_local bool t_seen = false;

void CountGap() {
  const std::uint64_t now = suite::testing::threadAllocations;
  if (g_counting.load(std::memory_order_relaxed) && t_seen) {
    g_gapAllocations.fetch_add(now - t_lastNotification, std::memory_order_relaxed);
    g_gaps.fetch_add(1, std::memory_order_relaxed);
  }
  t_seen = true;
  // The handler's own allocations (none) are not the channel's.
  t_lastNotification = suite::testing::threadAllocations;
}

Figures Run(win::DWORD workers, int injectors, double seconds, bool countAllocations) {
  Figures f;
  if (platform::Filters::Get().FilterLoad(L"ZVORX") != win::S_OK) {
    std::fprintf(stderr, "FilterLoad failed\n");
    return f;
  }
  auto pool = std::async(std::launch::async, [workers] { return channel::RunPortClient(workers); });
  if (!suite::testing::WaitClientConnected()) {
    std::fprintf(stderr, "the pool did not connect\n");
    return f;
  }

  std::vector<std::vector<double>> latencies(injectors);
  std::atomic<std::size_t> notReplied{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> measuring{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < injectors; ++t) {
    threads.emplace_back([&, t] {
      suite::DriverControl control;
      suite::Notification n;
      n.kind = 3;
      n.processId = 5000 + static_cast<std::uint32_t>(t);
      n.path = L"\\Device\\HarddiskVolume2\\Users\\bench\\Documents\\report.docx";
      n.desiredAccess = win::FILE_READ_DATA;
      auto& mine = latencies[t];
      mine.reserve(200000);
      while (!stop.load(std::memory_order_relaxed)) {
        auto start = SteadyClock::now();
        suite::InjectResult r = control.Inject(n);
        auto end = SteadyClock::now();
        if (!measuring.load(std::memory_order_relaxed)) continue;  // warming up
        if (!r.delivered || r.outcome != platform::wire::Outcome::Replied) {
          ++notReplied;
          continue;
        }
        mine.push_back(std::chrono::duration<double, std::micro>(end - start).count());
      }
    });
  }
  // Warm-up: the port's queues and buffers reach their sizes.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  g_gaps = 0;
  g_gapAllocations = 0;
  g_counting = countAllocations;
  measuring = true;
  auto begin = SteadyClock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& th : threads) th.join();
  double elapsed = std::chrono::duration<double>(SteadyClock::now() - begin).count();
  g_counting = false;
  if (countAllocations)
    f.allocations = static_cast<double>(g_gapAllocations.load()) / std::max<double>(1, static_cast<double>(g_gaps.load()));
  // The driver keeps the reply times of the run (warm-up included) until
  // it is unloaded.
  if (!suite::testing::DriverReplyTimes(f.driverP50us, f.driverP99us)) std::fprintf(stderr, "no reply times in the status\n");

  suite::DriverControl().Unload();
  pool.wait();

  std::vector<double> all;
  for (auto& v : latencies) all.insert(all.end(), v.begin(), v.end());
  static_cast<suite::testing::LatencyFigures&>(f) = suite::testing::Summarise(all, elapsed);
  f.notReplied = notReplied;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  int injectors = argc > 2 ? std::atoi(argv[2]) : 16;
  if (seconds <= 0) seconds = 2.0;
  if (injectors <= 0) injectors = 16;

  fs::path root = fs::temp_directory_path() / ("zvpoolbench-" + std::to_string(::getpid()));
  auto machine = suite::testing::CreateScratchMachine(root);
  ::unsetenv("ZV_TIME_SCALE");
  suite::testing::DefaultBinDir(fs::read_symlink("/proc/self/exe").parent_path());
  machine->SetSetting("driver.ReplyTimeoutMs", "60000");

  std::printf("pool_bench: %.1f s per run, %d injecting threads, file-open notifications\n", seconds, injectors);
  std::printf("p50/p99: inject to decision reported; port: the driver's reply time (send to reply taken);\n"
              "allocs: per notification in a worker between two notifications (with the handler)\n");
  std::printf("%-14s %8s %14s %10s %10s %10s %10s %10s %8s\n", "handler", "workers", "notif/s", "p50 us", "p99 us",
              "port p50", "port p99", "missed", "allocs");
  for (bool withHandler : {true, false}) {
    boost::signals2::connection c;
    if (withHandler) {
      c = channel::NotificationSignal.connect([](channel::_MXRED_NOTIFICATION* n, channel::_MXRED_REPLY_MESSAGE* r) {
        CountGap();
        if (n->Kind == channel::kKindFileOpen && n->ProcessId == 0) r->Allow = 0;  // never true: allow all
      });
    }
    for (win::DWORD workers : {1u, 2u, 4u, 8u}) {
      Figures f;
      {
        // The pool's console and log lines are not part of the figures.
        platform::ConsoleCapture console;
        platform::DebugOutputCapture debug;
        f = Run(workers, injectors, seconds, withHandler);
      }
      char allocations[16] = "-";
      if (f.allocations >= 0) std::snprintf(allocations, sizeof allocations, "%.2f", f.allocations);
      std::printf("%-14s %8u %14.0f %10.1f %10.1f %10.1f %10.1f %10zu %8s\n", withHandler ? "allow" : "none", workers,
                  f.perSecond, f.p50us, f.p99us, f.driverP50us, f.driverP99us, f.notReplied, allocations);
      std::fflush(stdout);
    }
    c.disconnect();
  }

  suite::testing::RemoveScratchMachine(root, machine);
  return 0;
}
