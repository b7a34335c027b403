// The frame of the rule-count benchmarks: a throw-away machine (the engines
// ask it for their process id and token), one row of figures measured with
// 10, 1 000 and 100 000 rules, and one printed line per figure with the
// 100 000 / 10 ratio and the allocations per call. Benchmarks only; it
// brings bench_calls.h (and its operator new) with it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>
#include <system_error>

#include "engines/base/testing/bench_calls.h"
#include "platform/files/machine.h"

namespace zv::engines::bench {

template <class Row>
struct RuleCountFigure {
  const char* name;
  double Row::*ns;
  double Row::*allocations;
};

// argv[1]: calls per figure (default 100000). measure(rules, calls) fills a
// row for that many rules.
template <class Row, class Measure>
int RunRuleCountBench(int argc, char** argv, Measure measure, std::initializer_list<RuleCountFigure<Row>> figures) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 100000;
  auto root = std::filesystem::temp_directory_path() / ("zvm-bench-" + std::to_string(std::random_device{}()));
  auto machine = platform::Machine::Open(root, true);
  platform::Machine::SetCurrent(machine);

  const int counts[] = {10, 1000, 100000};
  Row rows[3];
  for (int i = 0; i < 3; ++i) rows[i] = measure(counts[i], calls);

  std::printf("ns/call, %d calls per figure   %10s %10s %10s   100000/10   allocations/call\n", calls, "10", "1000",
              "100000");
  for (const RuleCountFigure<Row>& f : figures) {
    std::printf("%-32s %10.0f %10.0f %10.0f   %6.2fx      %.2f %.2f %.2f\n", f.name, rows[0].*f.ns, rows[1].*f.ns,
                rows[2].*f.ns, rows[2].*f.ns / rows[0].*f.ns, rows[0].*f.allocations, rows[1].*f.allocations,
                rows[2].*f.allocations);
  }

  platform::Machine::SetCurrent(nullptr);
  machine.reset();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}

}  // namespace zv::engines::bench
