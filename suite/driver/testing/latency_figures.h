// Throughput and latency figures of the port benchmarks: requests per second
// and the 50th and 99th percentile of their latencies. Benchmarks only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace zv::suite::testing {

struct LatencyFigures {
  double perSecond = 0;
  double p50us = 0;
  double p99us = 0;
  std::size_t count = 0;
};

// Sorts the latencies (microseconds) measured over `seconds`.
inline LatencyFigures Summarise(std::vector<double>& latenciesUs, double seconds) {
  LatencyFigures f;
  f.count = latenciesUs.size();
  if (latenciesUs.empty()) return f;
  std::sort(latenciesUs.begin(), latenciesUs.end());
  f.perSecond = static_cast<double>(latenciesUs.size()) / seconds;
  f.p50us = latenciesUs[latenciesUs.size() / 2];
  f.p99us = latenciesUs[std::min(latenciesUs.size() - 1, latenciesUs.size() * 99 / 100)];
  return f;
}

}  // namespace zv::suite::testing
