// Cost of the access-control engine's rule look-ups by number of rules:
// FindPathRule, the process-name rules and the share-folder walk of a file
// open, with 10, 1 000 and 100 000 rules side by side in one run, next to
// the plain walk over the same path rules for scale. Prints ns/call from the
// host's steady clock (fastest of five batches) and the allocations per call
// after a warm-up call.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "driver_channel/records.h"
#include "engines/access/acengine.h"
#include "engines/base/device_path.h"
#include "engines/base/testing/rule_count_bench.h"

using namespace zv::engines;
using zv::engines::bench::allocationsPerCall;
using zv::engines::bench::NsPerCall;

namespace {

volatile std::uint32_t sink;

struct Row {
  double pathRule = 0, pathRuleHit = 0, walk = 0, nameRule = 0, share = 0;
  double pathRuleAllocs = 0, pathRuleHitAllocs = 0, walkAllocs = 0, nameRuleAllocs = 0, shareAllocs = 0;
};

Row Measure(int rules, int calls) {
  acengine engine(kAccessControlEngineKey);
  engine.OnCommandInt(kAccessControlEngineKey, L"AC_SET_SHAREFOLDER", 0);
  for (int i = 0; i < rules; ++i) {
    std::wstring n = std::to_wstring(i);
    engine.AddPathRule(L"C:\\Data\\Dept" + std::to_wstring(i % 97) + L"\\Project" + n, PATHTYPE_PROTECT);
    engine.AddProcessNameRule(L"tool" + n + L".exe", PROCESSTYPE_FREE);
    engine.OnCommandString(kAccessControlEngineKey, L"AC_ADD_FREE_SHAREFOLDER", L"\\Device\\Mup\\srv" + n + L"\\");
  }
  const std::wstring miss = L"\\\\?\\C:\\Users\\someone\\Documents\\Projects\\2026\\report-draft.docx";
  const std::wstring hit = L"\\\\?\\C:\\Data\\Dept7\\Project7\\plans\\2026\\report-draft.docx";
  const std::wstring image = L"\\\\?\\C:\\Program Files\\Office\\root\\office16\\winword.exe";

  Row row;
  std::uint32_t type = 0;
  row.pathRule = NsPerCall(calls, [&] { sink = engine.FindPathRule(miss, 0xFFFF, type); });
  row.pathRuleAllocs = allocationsPerCall;
  row.pathRuleHit = NsPerCall(calls, [&] { sink = engine.FindPathRule(hit, 0xFFFF, type); });
  row.pathRuleHitAllocs = allocationsPerCall;
  // The plain walk in descending key order, on a copy of the same rules.
  const auto copy = engine.PathRulesCopy();
  const int walkCalls = std::max(5, calls * 10 / std::max(10, rules));
  row.walk = NsPerCall(walkCalls, [&] {
    const std::wstring normalised = NormalizeRulePath(miss);
    std::uint32_t found = 0;
    for (const auto& [key, ruleType] : copy) {
      if (key.size() <= normalised.size() && normalised.find(key) != std::wstring::npos) {
        found = ruleType;
        break;
      }
    }
    sink = found;
  });
  row.walkAllocs = allocationsPerCall;
  row.nameRule = NsPerCall(calls, [&] { sink = engine.MatchProcessNameRules(image, 0xFFFFF, &type); });
  row.nameRuleAllocs = allocationsPerCall;
  // A network open that no free share holds: denied by the share walk
  // before any pattern search.
  auto note = std::make_unique<zv::channel::_MXRED_NOTIFICATION>();
  note->Kind = zv::channel::kKindFileOpen;
  note->ProcessId = 999999;
  note->DesiredAccess = 0x120089;
  note->SetPath(L"\\Device\\Mup\\fileserver\\public\\Documents\\Projects\\2026\\report-draft.docx");
  zv::channel::_MXRED_REPLY_MESSAGE reply{};
  row.share = NsPerCall(calls, [&] {
    reply.Allow = 1;
    engine.QueryRule(*note, reply);
    sink = reply.Allow;
  });
  row.shareAllocs = allocationsPerCall;
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  return zv::engines::bench::RunRuleCountBench<Row>(argc, argv, Measure, {
      {"FindPathRule, no rule", &Row::pathRule, &Row::pathRuleAllocs},
      {"FindPathRule, rule found", &Row::pathRuleHit, &Row::pathRuleHitAllocs},
      {"plain walk, no rule (scale)", &Row::walk, &Row::walkAllocs},
      {"MatchProcessNameRules", &Row::nameRule, &Row::nameRuleAllocs},
      {"share walk of a network open", &Row::share, &Row::shareAllocs},
  });
}
