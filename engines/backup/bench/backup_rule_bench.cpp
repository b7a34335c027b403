// Cost of the backup engine's rule look-ups by number of rules:
// IsProtectedPath (protect and free folders) and the free-process name test,
// with 10, 1 000 and 100 000 rules side by side in one run. Prints ns/call
// from the host's steady clock (fastest of five batches) and the allocations
// per call after a warm-up call.
#include <string>

#include "engines/backup/backupengine.h"
#include "engines/base/testing/rule_count_bench.h"

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
  return zv::engines::bench::RunRuleCountBench<Row>(argc, argv, Measure, {
      {"IsProtectedPath, protected", &Row::protectedHit, &Row::protectedHitAllocs},
      {"IsProtectedPath, not protected", &Row::protectedMiss, &Row::protectedMissAllocs},
      {"IsFreeProcessName", &Row::freeName, &Row::freeNameAllocs},
  });
}
