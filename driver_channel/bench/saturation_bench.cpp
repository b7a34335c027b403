// What large-file copies in the workers do to every other notification:
// the worker pool (8 workers) runs against the driver stand-in with a
// handler that copies a large file for each write-open of one process (as
// the backup engine copies a protected file before its first change), while
// other injectors send read-opens of other processes. A reply that does not
// come within the driver's reply time-out lets the open through undecided,
// so an access-control denial would be lost. For 0, 2, 4, 8 and 16 copiers
// at once it prints how many of the other notifications timed out, their
// latency, and the driver's "timed out" count and time-out log lines (the
// count must equal the time-outs the injectors saw, copiers included).
//
// Usage: saturation_bench [file MiB, default 64] [reply time-out ms, default 250] [seconds per run, default 3]
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver_channel/port_client.h"
#include "driver_channel/records.h"
#include "driver_channel/signals.h"
#include "platform/base/debug_output.h"
#include "platform/files/machine.h"
#include "platform/filter/filter_api.h"
#include "platform/filter/filter_wire.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/latency_figures.h"
#include "suite/driver/testing/scratch_machine.h"

using namespace zv;
using SteadyClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kCopierPid = 7000;
constexpr int kOtherInjectors = 4;

// Copies source to a file of its own and removes it; returns milliseconds.
double CopyLargeFile(const fs::path& source, const fs::path& target) {
  auto start = SteadyClock::now();
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::vector<char> buffer(1 << 20);
  ssize_t n;
  while (in >= 0 && out >= 0 && (n = ::read(in, buffer.data(), buffer.size())) > 0) {
    if (::write(out, buffer.data(), static_cast<std::size_t>(n)) != n) break;
  }
  if (out >= 0) ::fsync(out);
  if (in >= 0) ::close(in);
  if (out >= 0) ::close(out);
  ::unlink(target.c_str());
  return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

std::uint64_t StatusCount(const std::string& status, const std::string& name) {
  auto at = status.find("\n" + name + ": ");
  return at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + name.size() + 3, nullptr, 10);
}

std::size_t CountLines(const fs::path& file, const std::string& needle) {
  std::ifstream in(file);
  std::size_t n = 0;
  for (std::string line; std::getline(in, line);) n += line.find(needle) != std::string::npos;
  return n;
}

struct Run {
  suite::testing::LatencyFigures others;  // replied ones
  std::size_t othersSent = 0, othersTimedOut = 0, copiesSent = 0, copiesTimedOut = 0;
  std::uint64_t driverTimedOut = 0;
  std::size_t startLines = 0, summaryLines = 0;
  double copyMs = 0;
};

Run RunOnce(const fs::path& root, const fs::path& source, int copiers, double seconds) {
  Run run;
  if (platform::Filters::Get().FilterLoad(L"ZVORX") != win::S_OK) {
    std::fprintf(stderr, "FilterLoad failed\n");
    std::exit(1);
  }
  std::mutex copyMutex;
  double copyMsTotal = 0;
  std::size_t copies = 0;
  std::atomic<int> nextTarget{0};
  auto handler = channel::NotificationSignal.connect(
      [&](channel::_MXRED_NOTIFICATION* n, channel::_MXRED_REPLY_MESSAGE*) {
        if (n->Kind != channel::kKindFileOpen || n->ProcessId != kCopierPid) return;
        double ms = CopyLargeFile(source, root / ("copy-" + std::to_string(nextTarget++) + ".bin"));
        std::lock_guard lock(copyMutex);
        copyMsTotal += ms;
        ++copies;
      });
  auto pool = std::async(std::launch::async, [] { return channel::RunPortClient(channel::kPoolSize); });
  suite::testing::WaitClientConnected();

  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::vector<double> latencies;
  std::vector<std::thread> threads;
  for (int t = 0; t < copiers + kOtherInjectors; ++t) {
    const bool copier = t < copiers;
    threads.emplace_back([&, t, copier] {
      suite::DriverControl control;
      suite::Notification n;
      n.kind = channel::kKindFileOpen;
      n.processId = copier ? kCopierPid : 8000 + static_cast<std::uint32_t>(t);
      n.desiredAccess = copier ? win::FILE_WRITE_DATA : win::FILE_READ_DATA;
      n.path = L"\\Device\\HarddiskVolume2\\Users\\bench\\Documents\\file" + std::to_wstring(t) + L".bin";
      std::vector<double> mine;
      std::size_t sent = 0, timedOut = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        auto start = SteadyClock::now();
        suite::InjectResult r = control.Inject(n);
        if (!r.delivered) break;
        ++sent;
        if (r.outcome == platform::wire::Outcome::TimedOut) ++timedOut;
        else if (!copier) mine.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count());
      }
      std::lock_guard lock(mutex);
      (copier ? run.copiesSent : run.othersSent) += sent;
      (copier ? run.copiesTimedOut : run.othersTimedOut) += timedOut;
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();

  auto status = suite::DriverControl().Status().value_or("");
  run.driverTimedOut = StatusCount(status, "timed out");
  suite::DriverControl().Unload();
  pool.wait();
  handler.disconnect();
  run.others = suite::testing::Summarise(latencies, seconds);
  run.copyMs = copies ? copyMsTotal / static_cast<double>(copies) : 0;
  // The driver's log of this run (each load appends), read after the unload.
  const fs::path log = root / "zvorx-driver.log";
  run.startLines = CountLines(log, "replies are timing out");
  run.summaryLines = CountLines(log, "more replies timed out");
  fs::remove(log);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  const long fileMiB = argc > 1 ? std::max(1L, std::atol(argv[1])) : 64;
  const long timeoutMs = argc > 2 ? std::max(1L, std::atol(argv[2])) : 250;
  double seconds = argc > 3 ? std::atof(argv[3]) : 3.0;
  if (seconds <= 0) seconds = 3.0;

  fs::path root = fs::temp_directory_path() / ("zvsatbench-" + std::to_string(::getpid()));
  auto machine = suite::testing::CreateScratchMachine(root);
  ::unsetenv("ZV_TIME_SCALE");
  suite::testing::DefaultBinDir(fs::read_symlink("/proc/self/exe").parent_path());
  machine->SetSetting("driver.ReplyTimeoutMs", std::to_string(timeoutMs));
  const fs::path source = root / "large.bin";
  {
    std::ofstream out(source, std::ios::binary);
    std::string mib(1 << 20, 'x');
    for (long i = 0; i < fileMiB; ++i) out << mib;
  }

  std::printf("saturation_bench: 8 workers, reply time-out %ld ms, %ld MiB copied per write-open of the copiers,\n"
              "%d other injectors sending read-opens, %.1f s per run\n",
              timeoutMs, fileMiB, kOtherInjectors, seconds);
  std::printf("%8s %9s %8s %9s %9s %9s %9s %9s %9s %9s %6s\n", "copiers", "copy ms", "others", "timed out", "%",
              "p50 us", "p99 us", "copies", "timed out", "driver", "log");
  for (int copiers : {0, 2, 4, 8, 16}) {
    Run r;
    {
      // The pool's console and log lines are not part of the figures.
      platform::ConsoleCapture console;
      platform::DebugOutputCapture debug;
      r = RunOnce(root, source, copiers, seconds);
    }
    const bool exact = r.driverTimedOut == r.othersTimedOut + r.copiesTimedOut;
    std::printf("%8d %9.0f %8zu %9zu %8.1f%% %9.0f %9.0f %9zu %9zu %9llu %3zu+%zu%s\n", copiers, r.copyMs,
                r.othersSent, r.othersTimedOut, r.othersSent ? 100.0 * r.othersTimedOut / r.othersSent : 0.0,
                r.others.p50us, r.others.p99us, r.copiesSent, r.copiesTimedOut,
                static_cast<unsigned long long>(r.driverTimedOut), r.startLines, r.summaryLines,
                exact ? "" : "  (driver count differs from the time-outs seen)");
    std::fflush(stdout);
  }
  std::printf("others/copies: notifications sent; driver: its \"timed out\" count; log: lines \"replies are timing\n"
              "out\" + \"N more replies timed out\" in the driver's log\n");
  suite::testing::RemoveScratchMachine(root, machine);
  return 0;
}
