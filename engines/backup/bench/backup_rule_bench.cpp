// Cost of the backup engine's rule look-ups by number of rules:
// IsProtectedPath (protect and free folders) and the free-process name test,
// with 10, 1 000 and 100 000 rules side by side in one run. Prints ns/call
// from the host's steady clock (fastest of five batches) and the allocations
// per call after a warm-up call.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

#include <unistd.h>

#include "engines/backup/backupengine.h"
#include "engines/base/testing/bench_calls.h"
#include "platform/files/machine.h"

using namespace zv::engines;
using zv::engines::bench::allocationsPerCall;
using zv::engines::bench::NsPerCall;

namespace {

volatile bool sink;

struct Row {
  double protectedHit = 0, protectedMiss = 0, freeName = 0;
  double protectedHitAllocs = 0, protectedMissAllocs = 0, freeNameAllocs = 0;
};

Row Measure(int rules, int calls) {
  backupengine engine;
  engine.Initialize(false);
  for (int i = 0; i < rules; ++i) {
    std::wstring n = std::to_wstring(i);
    engine.AddProtectPath(L"C:\\Data\\Dept" + std::to_wstring(i % 97) + L"\\Project" + n);
    engine.AddFreePath(L"C:\\Data\\Dept" + std::to_wstring(i % 97) + L"\\Project" + n + L"\\cache");
    engine.AddFreeProcessName(L"tool" + n + L".exe");
  }
  const std::wstring hit = L"\\\\?\\C:\\Data\\Dept7\\Project7\\plans\\2026\\report-draft.docx";
  const std::wstring miss = L"\\\\?\\C:\\Users\\someone\\Documents\\Projects\\2026\\report-draft.docx";
  const std::wstring image = L"\\\\?\\C:\\Program Files\\Office\\root\\office16\\winword.exe";
  Row row;
  row.protectedHit = NsPerCall(calls, [&] { sink = engine.IsProtectedPath(hit); });
  row.protectedHitAllocs = allocationsPerCall;
  row.protectedMiss = NsPerCall(calls, [&] { sink = engine.IsProtectedPath(miss); });
  row.protectedMissAllocs = allocationsPerCall;
  row.freeName = NsPerCall(calls, [&] { sink = engine.IsFreeProcessName(image); });
  row.freeNameAllocs = allocationsPerCall;
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  int calls = argc > 1 ? std::atoi(argv[1]) : 100000;
  // A throw-away machine: the engine asks it for its process id and token.
  auto root = std::filesystem::temp_directory_path() / ("zvm-bench-" + std::to_string(getpid()));
  auto machine = zv::platform::Machine::Open(root, true);
  zv::platform::Machine::SetCurrent(machine);

  const int counts[] = {10, 1000, 100000};
  Row rows[3];
  for (int i = 0; i < 3; ++i) rows[i] = Measure(counts[i], calls);

  std::printf("ns/call, %d calls per figure   %10s %10s %10s   100000/10   allocations/call\n", calls, "10",
              "1000", "100000");
  auto line = [&](const char* name, double Row::*field, double Row::*allocs) {
    std::printf("%-32s %10.0f %10.0f %10.0f   %6.2fx      %.2f %.2f %.2f\n", name, rows[0].*field, rows[1].*field,
                rows[2].*field, rows[2].*field / rows[0].*field, rows[0].*allocs, rows[1].*allocs, rows[2].*allocs);
  };
  line("IsProtectedPath, protected", &Row::protectedHit, &Row::protectedHitAllocs);
  line("IsProtectedPath, not protected", &Row::protectedMiss, &Row::protectedMissAllocs);
  line("IsFreeProcessName", &Row::freeName, &Row::freeNameAllocs);

  zv::platform::Machine::SetCurrent(nullptr);
  machine.reset();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
