// Decision cost through the running driver stand-in: zvorx's two engines on
// a realistic configuration, answered by the real worker pool with 1, 2, 4
// and 8 workers, per class of file open, next to the bare round trip of the
// same pool with no handler connected (measured in the same round, half
// before and half after the classes). Also counted: the allocations of each
// decision and of the worker's channel work between two decisions (per
// worker thread, after warm-up), and with 8 workers the time spent waiting
// on each engine lock (engines/base/lock_meter.h).
//
// Runs in-process rather than driving the zvorx program: the allocation
// counts and lock waits need the engines' own address space, and the pool,
// the engines and their subscriptions are made by the same start-up
// routines zvorx runs (service/startup_*.h), in the same order of slots.
// Every figure is taken at the driver's control side: inject, the worker
// reads, decides and replies, the driver reports the decision back.
//
// Usage: decision_bench [seconds per figure, default 1] [injecting threads, default 8]
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "driver_channel/port_client.h"
#include "driver_channel/records.h"
#include "driver_channel/signals.h"
#include "engines/access/acengine.h"
#include "engines/backup/backupengine.h"
#include "engines/base/lock_meter.h"
#include "platform/base/debug_output.h"
#include "platform/base/text.h"
#include "platform/filter/filter_api.h"
#include "platform/files/machine.h"
#include "platform/processes/process_table.h"
#include "service/startup_access.h"
#include "service/startup_backup.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/allocation_count.h"
#include "suite/driver/testing/latency_figures.h"
#include "suite/driver/testing/scratch_machine.h"


using namespace zv;
using SteadyClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

using Figures = suite::testing::LatencyFigures;

// Read, read and write, execute (as the I/O manager passes them on).
constexpr std::uint32_t kRead = 0x120089;
constexpr std::uint32_t kReadWrite = 0x120089 | 0x120116;
constexpr std::uint32_t kExecute = engines::kExecuteOpenAccess;

// ---- What the workers count ---------------------------------------------------

struct Counts {
  std::atomic<std::uint64_t> decisions{0};
  std::atomic<std::uint64_t> decisionAllocations{0};
  std::atomic<std::uint64_t> gaps{0};
  std::atomic<std::uint64_t> channelAllocations{0};
  void Reset() {
    decisions = 0;
    decisionAllocations = 0;
    gaps = 0;
    channelAllocations = 0;
  }
};
Counts g_counts;
std::atomic<bool> g_counting{false};
thread_local std::uint64_t t_decisionStart = 0;
thread_local SteadyClock::time_point t_decisionStartTime;

// Time of each decision inside the worker (both engines' slots): 50 ns
// steps below 100 us, 10 us steps above, up to 100 ms.
class DecisionTimes {
 public:
  void Add(std::chrono::nanoseconds d) {
    const std::uint64_t ns = static_cast<std::uint64_t>(d.count());
    std::size_t i = ns < 100000 ? ns / 50 : std::min<std::uint64_t>(kFine + (ns - 100000) / 10000, kBuckets - 1);
    buckets_[i].fetch_add(1, std::memory_order_relaxed);
  }
  void Reset() {
    for (auto& b : buckets_) b.store(0, std::memory_order_relaxed);
  }
  // The given quantile in microseconds (the bucket's lower edge).
  double QuantileUs(double q) const {
    std::uint64_t total = 0;
    for (const auto& b : buckets_) total += b.load();
    if (total == 0) return 0;
    const auto wanted = static_cast<std::uint64_t>(q * static_cast<double>(total - 1));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBuckets; ++i) {
      seen += buckets_[i].load();
      if (seen > wanted) return i < kFine ? i * 0.05 : 100 + (i - kFine) * 10.0;
    }
    return 0;
  }

 private:
  static constexpr std::size_t kFine = 2000;
  static constexpr std::size_t kBuckets = kFine + 10000;
  std::array<std::atomic<std::uint64_t>, kBuckets> buckets_{};
};
DecisionTimes g_times;
thread_local std::uint64_t t_lastDecisionEnd = 0;
thread_local bool t_decided = false;

// The engines' slots as start-up connects them (access control first, then
// backup), with the counting around them.
std::vector<boost::signals2::connection> g_slots;

bool IsFreeProcess(win::DWORD processId) {
  engines::backupengine* engine = service::BackupEngine();
  return engine != nullptr && engine->HasProcessType(processId, engines::kBackupProcessFree);
}

void ConnectEngines(engines::acengine* access) {
  engines::backupengine* backup = service::BackupEngine();
  g_slots.push_back(channel::NotificationSignal.connect(
      [access](channel::_MXRED_NOTIFICATION* n, channel::_MXRED_REPLY_MESSAGE* r) {
        const std::uint64_t now = suite::testing::threadAllocations;
        if (g_counting.load(std::memory_order_relaxed) && t_decided) {
          g_counts.channelAllocations.fetch_add(now - t_lastDecisionEnd, std::memory_order_relaxed);
          g_counts.gaps.fetch_add(1, std::memory_order_relaxed);
        }
        t_decisionStart = now;
        t_decisionStartTime = SteadyClock::now();
        access->OnNotification(n, r);
      }));
  g_slots.push_back(channel::NotificationSignal.connect(
      [backup](channel::_MXRED_NOTIFICATION* n, channel::_MXRED_REPLY_MESSAGE* r) {
        backup->OnNotification(n, r);
        const std::uint64_t now = suite::testing::threadAllocations;
        if (g_counting.load(std::memory_order_relaxed)) {
          g_times.Add(SteadyClock::now() - t_decisionStartTime);
          g_counts.decisionAllocations.fetch_add(now - t_decisionStart, std::memory_order_relaxed);
          g_counts.decisions.fetch_add(1, std::memory_order_relaxed);
        }
        t_lastDecisionEnd = now;
        t_decided = true;
      }));
  channel::SetFreeProcessTest(&IsFreeProcess);
}

void DisconnectEngines() {
  channel::SetFreeProcessTest(nullptr);
  for (auto& c : g_slots) c.disconnect();
  g_slots.clear();
}

// ---- The machine and the configuration -----------------------------------------

struct Bench {
  fs::path root;
  std::shared_ptr<platform::Machine> machine;
  engines::acengine* access = nullptr;
  win::DWORD word = 0;      // an ordinary program (normal type)
  win::DWORD shell = 0;     // cmd.exe: white-list execute control
  int injectors = 8;
  double seconds = 1;

  fs::path HostPath(const std::wstring& dos) const {
    // C:\a\b -> <root>/volumes/C/a/b
    std::string rel = text::ToUtf8(dos.substr(3));
    std::replace(rel.begin(), rel.end(), '\\', '/');
    return root / "volumes" / "C" / rel;
  }
  void MakeFile(const std::wstring& dos, std::size_t bytes) const {
    fs::path p = HostPath(dos);
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    std::string block(std::min<std::size_t>(bytes, 1 << 20), 'z');
    for (std::size_t left = bytes; left > 0;) {
      std::size_t n = std::min(left, block.size());
      out.write(block.data(), static_cast<std::streamsize>(n));
      left -= n;
    }
  }
  suite::Notification Open(win::DWORD pid, const std::wstring& dos, std::uint32_t access, bool create = false) const {
    suite::Notification n;
    n.kind = channel::kKindFileOpen;
    n.processId = pid;
    n.desiredAccess = access;
    n.param1 = create ? 1 : 0;
    n.path = *suite::ToDevicePath(*machine, dos);
    return n;
  }
};

std::wstring Numbered(const wchar_t* format, int i) {
  wchar_t buffer[128];
  std::swprintf(buffer, 128, format, i, i);
  return buffer;
}

void Configure(Bench& b) {
  // Machine processes present before zvorx starts (classified by the
  // engines' process snapshots).
  for (const wchar_t* image :
       {L"C:\\Windows\\System32\\smss.exe", L"C:\\Windows\\System32\\csrss.exe", L"C:\\Windows\\System32\\svchost.exe",
        L"C:\\Windows\\System32\\svchost.exe", L"C:\\Windows\\System32\\lsass.exe", L"C:\\Windows\\explorer.exe",
        L"C:\\Windows\\System32\\taskmgr.exe", L"C:\\Windows\\System32\\dllhost.exe",
        L"C:\\Program Files\\Mail\\mail.exe"}) {
    platform::AddProcess(*b.machine, 4, image, 1, false);
  }
  b.shell = platform::AddProcess(*b.machine, 4, L"C:\\Windows\\System32\\cmd.exe", 1, false);
  b.word = platform::AddProcess(*b.machine, 4, L"C:\\Program Files\\Office\\winword.exe", 1, false);

  service::CreateBackupEngine(true);
  b.access = service::StartAccessControlEngine(true);
  engines::backupengine* backup = service::BackupEngine();

  // Access control: white-list execute control, ActiveX and installer
  // control, a few hundred protected, read-only and target paths, free shares.
  auto& ac = *b.access;
  const int key = engines::kAccessControlEngineKey;
  ac.OnCommandInt(key, L"AC_SET_EXCUTECONTROL", 2);
  ac.OnCommandInt(key, L"AC_SET_ACTIVEXCONTROL", 1);
  ac.OnCommandInt(key, L"AC_SET_INSTALLCONTROL", 1);
  for (int i = 0; i < 150; ++i) {
    ac.OnCommandString(key, L"AC_ADD_PROTECTPATH", Numbered(L"C:\\Secret\\Area%d", i));
    ac.OnCommandString(key, L"AC_ADD_READONLYPATH", Numbered(L"C:\\Shared\\Ro%d", i));
  }
  for (int i = 0; i < 50; ++i) {
    ac.OnCommandString(key, L"AC_ADD_EXCUTECONTROL_TARGET", Numbered(L"C:\\Games\\game%d.exe", i));
    ac.OnCommandString(key, L"AC_ADD_FREE_SHAREFOLDER", Numbered(L"\\Device\\Mup\\srv%d\\", i));
  }
  ac.OnCommandInt(key, L"AC_SET_ENGINEWORK", 1);

  // Backup: protected project folders with free cache folders below them,
  // free programs.
  for (int i = 0; i < 200; ++i) {
    std::wstring folder = L"C:\\Data\\Dept" + std::to_wstring(i % 7) + L"\\Project" + std::to_wstring(i);
    backup->OnCommandString(0, L"BE_ADD_PROTECTPATH", folder);
    backup->OnCommandString(0, L"BE_ADD_FREEPATH", folder + L"\\cache");
  }
  for (const wchar_t* name : {L"backupagent.exe", L"indexer.exe", L"antivirus.exe"})
    backup->OnCommandString(0, L"BE_ADD_FREEPROCESSNAME", name);
  backup->OnCommandInt(0, L"BE_SET_ENGINEWORK", 1);
}

// ---- Running the pool ---------------------------------------------------------

struct Result {
  Figures figures;
  std::size_t wrong = 0;  // decisions other than expected, or not replied
};

// Injects `notes` from `b.injectors` threads: each notification once when
// `once`, else round robin until `seconds` have passed.
Result Inject(const Bench& b, const std::vector<suite::Notification>& notes, bool expectAllow, bool once,
              double seconds) {
  std::vector<std::vector<double>> latencies(b.injectors);
  std::atomic<std::size_t> next{0}, wrong{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  auto begin = SteadyClock::now();
  for (int t = 0; t < b.injectors; ++t) {
    threads.emplace_back([&, t] {
      suite::DriverControl control;
      auto& mine = latencies[t];
      mine.reserve(once ? notes.size() : 100000);
      for (std::size_t i = t;; i += b.injectors) {
        const suite::Notification* n;
        if (once) {
          std::size_t k = next.fetch_add(1);
          if (k >= notes.size()) break;
          n = &notes[k];
        } else {
          if (stop.load(std::memory_order_relaxed)) break;
          n = &notes[i % notes.size()];
        }
        auto start = SteadyClock::now();
        suite::InjectResult r = control.Inject(*n);
        auto end = SteadyClock::now();
        if (!r.delivered || r.outcome != platform::wire::Outcome::Replied || (r.allow != 0) != expectAllow) {
          ++wrong;
          continue;
        }
        mine.push_back(std::chrono::duration<double, std::micro>(end - start).count());
      }
    });
  }
  if (!once) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
  }
  for (auto& th : threads) th.join();
  double elapsed = std::chrono::duration<double>(SteadyClock::now() - begin).count();
  std::vector<double> all;
  for (auto& v : latencies) all.insert(all.end(), v.begin(), v.end());
  Result r;
  r.figures = suite::testing::Summarise(all, elapsed);
  r.wrong = wrong;
  return r;
}

struct OpenClass {
  const char* name;
  std::vector<suite::Notification> notes;
  bool expectAllow = true;
  bool once = false;  // each notification once (first writes, new files)
  std::size_t fileBytes = 0;  // first writes: the size of each file
  std::vector<suite::Notification> before = {};  // injected once before the warm-up
};

// A plain host copy of each file, one after the other: std::filesystem's
// copy (in-kernel where it can), or a read and write loop in 64 KiB blocks.
double HostCopyP50(const std::vector<fs::path>& sources, const fs::path& into, bool readWrite) {
  fs::create_directories(into);
  std::vector<double> lat;
  std::vector<char> block(1 << 16);
  for (const auto& s : sources) {
    auto start = SteadyClock::now();
    if (readWrite) {
      std::FILE* in = std::fopen(s.c_str(), "rb");
      std::FILE* out = std::fopen((into / s.filename()).c_str(), "wb");
      std::setvbuf(in, nullptr, _IONBF, 0);
      std::setvbuf(out, nullptr, _IONBF, 0);
      for (std::size_t n; (n = std::fread(block.data(), 1, block.size(), in)) > 0;) std::fwrite(block.data(), 1, n, out);
      std::fclose(in);
      std::fclose(out);
    } else {
      fs::copy_file(s, into / s.filename());
    }
    lat.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count());
  }
  fs::remove_all(into);
  return suite::testing::Summarise(lat, 1).p50us;
}

void PrintLine(const char* name, win::DWORD workers, const Result& r, double bareP50, double decisionP50,
               double decisionP99, double decisionAllocs, double channelAllocs) {
  std::printf("%-34s %2u %8.0f %8.1f %8.1f %5.2f %8.2f %8.2f %6.3f %6.2f %6.2f %5zu\n", name, workers,
              r.figures.perSecond, r.figures.p50us, r.figures.p99us, bareP50 > 0 ? r.figures.p50us / bareP50 : 0.0,
              decisionP50, decisionP99, bareP50 > 0 ? decisionP50 / bareP50 : 0.0, decisionAllocs, channelAllocs,
              r.wrong);
  std::fflush(stdout);
}

void Round(Bench& b, win::DWORD workers, int round) {
  // Fresh files for the classes that copy or record.
  constexpr int kSmallFiles = 400, kLargeFiles = 32, kNewFiles = 2000;
  const std::wstring folder = L"C:\\Data\\Dept3\\Project3\\round" + std::to_wstring(round);
  std::vector<suite::Notification> small, large, created;
  std::vector<fs::path> smallHost, largeHost;
  for (int i = 0; i < kSmallFiles; ++i) {
    std::wstring f = folder + L"\\small" + std::to_wstring(i) + L".bin";
    b.MakeFile(f, 4096);
    small.push_back(b.Open(b.word, f, kReadWrite));
    smallHost.push_back(b.HostPath(f));
  }
  for (int i = 0; i < kLargeFiles; ++i) {
    std::wstring f = folder + L"\\large" + std::to_wstring(i) + L".bin";
    b.MakeFile(f, 4 << 20);
    large.push_back(b.Open(b.word, f, kReadWrite));
    largeHost.push_back(b.HostPath(f));
  }
  for (int i = 0; i < kNewFiles; ++i)
    created.push_back(b.Open(b.word, folder + L"\\new" + std::to_wstring(i) + L".txt", kReadWrite, true));

  std::vector<OpenClass> classes;
  classes.push_back({"plain read", {b.Open(b.word, L"C:\\Data\\Dept1\\Project1\\report.docx", kRead)}});
  classes.push_back({"change outside protection", {b.Open(b.word, L"C:\\Users\\Public\\notes.txt", kReadWrite)}});
  classes.push_back({"change of a touched file", {b.Open(b.word, L"C:\\Data\\Dept2\\Project2\\budget.xlsx", kReadWrite)}});
  classes.push_back({"deny: white list", {b.Open(b.shell, L"C:\\Tools\\unknown.exe", kExecute)}, false});
  classes.push_back({"deny: protected path", {b.Open(b.word, L"C:\\Secret\\Area42\\plan.txt", kRead)}, false});
  // The hold is set by a write of the white-list shell just before its
  // figure: it counts down in ticks, and the figures before it may outlast
  // a hold set at the start of the round.
  classes.push_back({"deny: read-only hold", {b.Open(b.word, L"C:\\Shared\\Ro7\\list.txt", kRead)}, false});
  classes.back().before.push_back(b.Open(b.shell, L"C:\\Shared\\Ro7\\list.txt", kReadWrite));
  classes.push_back({"new file in protection (recorded)", created, true, true});
  classes.push_back({"first write 4 KiB (copy)", small, true, true, 4096});
  classes.push_back({"first write 4 MiB (copy)", large, true, true, 4 << 20});

  if (platform::Filters::Get().FilterLoad(L"ZVORX") != win::S_OK) {
    std::fprintf(stderr, "FilterLoad failed\n");
    std::exit(1);
  }
  auto pool = std::async(std::launch::async, [workers] { return channel::RunPortClient(workers); });
  if (!suite::testing::WaitClientConnected()) {
    std::fprintf(stderr, "the pool did not connect\n");
    std::exit(1);
  }

  // The bare round trip: no handler, no free-process test.
  const suite::Notification bareNote = classes[0].notes[0];
  Result bareA = Inject(b, {bareNote}, true, false, b.seconds / 2);

  ConnectEngines(b.access);
  suite::DriverControl control;
  control.InjectImage(b.word, L"C:\\Program Files\\Office\\winword.exe");
  // The touched file is backed up once.
  control.Inject(classes[2].notes[0]);

  std::vector<std::pair<const OpenClass*, Result>> results;
  std::vector<std::pair<double, double>> allocations;
  std::vector<std::pair<double, double>> decisionTimes;
  std::vector<std::vector<std::pair<std::uint64_t, std::uint64_t>>> waits;
  for (const auto& c : classes) {
    for (const auto& n : c.before) control.Inject(n);
    if (!c.once) {
      // Warm-up: caches, per-thread buffers and table entries.
      Inject(b, c.notes, c.expectAllow, false, 0.1);
    }
    g_counts.Reset();
    g_times.Reset();
    engines::ResetLockWaits();
    engines::SetLockMetering(workers == 8);
    g_counting = true;
    Result r = Inject(b, c.notes, c.expectAllow, c.once, b.seconds);
    g_counting = false;
    engines::SetLockMetering(false);
    const double decisions = std::max<double>(1, static_cast<double>(g_counts.decisions.load()));
    const double gaps = std::max<double>(1, static_cast<double>(g_counts.gaps.load()));
    decisionTimes.emplace_back(g_times.QuantileUs(0.5), g_times.QuantileUs(0.99));
    allocations.emplace_back(static_cast<double>(g_counts.decisionAllocations.load()) / decisions,
                             static_cast<double>(g_counts.channelAllocations.load()) / gaps);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> w;
    for (int i = 0; i < static_cast<int>(engines::EngineLock::Count); ++i) {
      const auto& t = engines::LockWaits(static_cast<engines::EngineLock>(i));
      w.emplace_back(t.Waits.load(), t.Nanoseconds.load());
    }
    waits.push_back(std::move(w));
    results.emplace_back(&c, r);
  }
  DisconnectEngines();
  Result bareB = Inject(b, {bareNote}, true, false, b.seconds / 2);

  suite::DriverControl().Unload();
  pool.wait();

  // Both halves of the bare run together.
  Result bare;
  bare.figures.count = bareA.figures.count + bareB.figures.count;
  bare.figures.perSecond = (bareA.figures.perSecond + bareB.figures.perSecond) / 2;
  bare.figures.p50us = (bareA.figures.p50us + bareB.figures.p50us) / 2;
  bare.figures.p99us = std::max(bareA.figures.p99us, bareB.figures.p99us);
  bare.wrong = bareA.wrong + bareB.wrong;
  PrintLine("bare round trip (no handler)", workers, bare, bare.figures.p50us, 0, 0, 0, 0);
  for (std::size_t i = 0; i < results.size(); ++i) {
    const auto& [c, r] = results[i];
    PrintLine(c->name, workers, r, bare.figures.p50us, decisionTimes[i].first, decisionTimes[i].second,
              allocations[i].first, allocations[i].second);
    if (c->fileBytes != 0) {
      const auto& files = c->fileBytes == 4096 ? smallHost : largeHost;
      double copy = HostCopyP50(files, b.root / "hostcopy", false);
      double readWrite = HostCopyP50(files, b.root / "hostcopy", true);
      std::printf("    host copy of the same files, p50: copy_file %.1f us, 64 KiB read/write %.1f us;"
                  " decision p50 / copy_file %.2f, / read-write %.2f\n",
                  copy, readWrite, decisionTimes[i].first / copy, decisionTimes[i].first / readWrite);
    }
    if (workers == 8) {
      for (int l = 0; l < static_cast<int>(engines::EngineLock::Count); ++l) {
        auto [count, ns] = waits[i][l];
        if (count == 0) continue;
        std::printf("    lock %-26s %8llu waits %10.1f us in all %8.1f ns per notification\n",
                    engines::kEngineLockNames[l], static_cast<unsigned long long>(count), ns / 1000.0,
                    r.figures.count ? static_cast<double>(ns) / r.figures.count : 0.0);
      }
    }
  }

  // Leave room on disk: the round's files and their backups go.
  fs::remove_all(b.HostPath(folder));
  fs::remove_all(b.root / "volumes" / "C" / "qd" / "r");
}

}  // namespace

int main(int argc, char** argv) {
  Bench b;
  b.seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  b.injectors = argc > 2 ? std::atoi(argv[2]) : 8;
  if (b.seconds <= 0) b.seconds = 1.0;
  if (b.injectors <= 0) b.injectors = 8;

  b.root = fs::temp_directory_path() / ("zvdecisionbench-" + std::to_string(::getpid()));
  b.machine = suite::testing::CreateScratchMachine(b.root);
  ::unsetenv("ZV_TIME_SCALE");
  suite::testing::DefaultBinDir(fs::read_symlink("/proc/self/exe").parent_path());
  b.machine->SetSetting("driver.ReplyTimeoutMs", "60000");
  b.MakeFile(L"C:\\Data\\Dept1\\Project1\\report.docx", 20000);
  b.MakeFile(L"C:\\Data\\Dept2\\Project2\\budget.xlsx", 20000);
  b.MakeFile(L"C:\\Users\\Public\\notes.txt", 2000);
  b.MakeFile(L"C:\\Secret\\Area42\\plan.txt", 2000);
  b.MakeFile(L"C:\\Shared\\Ro7\\list.txt", 2000);

  {
    platform::ConsoleCapture console;
    platform::DebugOutputCapture debug;
    Configure(b);
  }
  std::printf("decision_bench: %.1f s per figure, %d injecting threads; latency = inject to decision reported\n",
              b.seconds, b.injectors);
  std::printf("round trip: p50 and p99 at the driver, /bare = p50 over the bare p50 of the same round\n");
  std::printf("decision: time inside the worker (both engines), dec/bare = its p50 over the bare p50\n");
  std::printf("allocs: per decision (both engines); channel: per notification in the worker between decisions\n");
  std::printf("%-34s %2s %8s %8s %8s %5s %8s %8s %6s %6s %6s %5s\n", "class", "w", "notif/s", "rt p50", "rt p99",
              "/bare", "dec p50", "dec p99", "d/bare", "allocs", "chan", "wrong");
  int round = 0;
  for (win::DWORD workers : {1u, 2u, 4u, 8u}) {
    platform::ConsoleCapture console;
    platform::DebugOutputCapture debug;
    Round(b, workers, round++);
  }
  suite::testing::RemoveScratchMachine(b.root, b.machine);
  return 0;
}
