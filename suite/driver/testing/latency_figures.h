// Throughput and latency figures of the port benchmarks: requests per second
// and the 50th and 99th percentile of their latencies, and the driver's own
// reply times and its client's connection from its status. Benchmarks only.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "suite/driver/driver_events.h"

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

// The driver's reply times from its status line "reply time: p50 N us, p99
// N us (...)"; false when the driver is not running or has no such line.
inline bool DriverReplyTimes(double& p50, double& p99) {
  auto status = DriverControl().Status();
  if (!status) return false;
  auto at = status->find("reply time: p50 ");
  return at != std::string::npos &&
         std::sscanf(status->c_str() + at, "reply time: p50 %lf us, p99 %lf us", &p50, &p99) == 2;
}

// Waits up to 10 s for the driver to report its client connected.
inline bool WaitClientConnected() {
  for (int i = 0; i < 2000; ++i) {
    auto status = DriverControl().Status();
    if (status && status->find("client: connected") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace zv::suite::testing
