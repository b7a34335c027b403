// Notifications per second and reply latency through the running driver
// stand-in, answered by a trivial allow responder on 1, 2, 4 and 8
// threads; and a raw socket ping-pong of the same record sizes as the floor.
// Two latencies per run: inject to outcome (what an injector waits, through
// its control connection), and the port round trip as the driver sees it
// (from sending the notification to matching its reply, the driver's
// "reply time" in its status), each against the ping-pong measured in the
// same run. The driver is loaded afresh for every run so that its reply
// times are that run's.
//
// Usage: port_bench [seconds per run, default 2] [responder counts, default 1 2 4 8]
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "driver_channel/records.h"
#include "platform/filter/filter_api.h"
#include "platform/threads/sync_api.h"
#include "platform/filter/filter_wire.h"
#include "platform/base/handles.h"
#include "platform/files/machine.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/latency_figures.h"
#include "suite/driver/testing/scratch_machine.h"

using namespace zv;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

using Figures = suite::testing::LatencyFigures;
using suite::testing::Summarise;

// The port client: `threads` responders on one completion port, five reads
// posted per responder, as the worker pool does.
class Responders {
 public:
  explicit Responders(int threads) {
    if (platform::Filters::Get().FilterConnectCommunicationPort(L"\\TavrelORXPort", 0, nullptr, 0, nullptr,
                                                                &port_) != win::S_OK) {
      std::fprintf(stderr, "cannot connect to the port\n");
      platform::Filters::Get().FilterUnload(L"ZVORX");  // leave no daemon behind
      std::exit(1);
    }
    completion_ = platform::CompletionPorts::Get().CreateIoCompletionPort(port_, nullptr, 0, threads);
    for (int i = 0; i < threads * 5; ++i) {
      buffers_.push_back(std::make_unique<channel::MXRED_MESSAGE>());
      Post(buffers_.back().get());
    }
    for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
  }
  ~Responders() {
    platform::CloseHandle(port_);
    for (auto& w : workers_) w.join();
    platform::CloseHandle(completion_);
  }

 private:
  void Post(channel::MXRED_MESSAGE* m) {
    m->Overlapped = win::OVERLAPPED{};
    platform::Filters::Get().FilterGetMessage(port_, m, channel::kMessageReadSize, &m->Overlapped);
  }
  void Work() {
    channel::_MXRED_REPLY_MESSAGE reply{};
    win::DWORD bytes;
    win::ULONG_PTR key;
    win::OVERLAPPED* overlapped;
    while (platform::CompletionPorts::Get().GetQueuedCompletionStatus(completion_, &bytes, &key, &overlapped,
                                                                     win::INFINITE)) {
      auto* m = channel::MXRED_MESSAGE::FromOverlapped(overlapped);
      if (channel::KindExpectsReply(m->Notification.Kind)) {
        reply.MessageId = m->MessageId;
        reply.Allow = 1;
        reply.AuxFlag = 0;
        platform::Filters::Get().FilterReplyMessage(port_, &reply, channel::kReplySize);
      }
      Post(m);
    }
  }

  win::HANDLE port_ = nullptr;
  win::HANDLE completion_ = nullptr;
  std::vector<std::unique_ptr<channel::MXRED_MESSAGE>> buffers_;
  std::vector<std::thread> workers_;
};

struct PortFigures {
  Figures injected;
  double driverP50us = 0;
  double driverP99us = 0;
};

Figures Inject(int responderThreads, int injectors, double seconds) {
  Responders responders(responderThreads);
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::vector<double> all;
  std::vector<std::thread> threads;
  for (int i = 0; i < injectors; ++i) {
    threads.emplace_back([&, i] {
      suite::DriverControl control;
      suite::Notification n;
      n.kind = 3;
      n.processId = 1000 + i;
      n.desiredAccess = win::GENERIC_READ;
      n.path = L"\\Device\\HarddiskVolume2\\Users\\Public\\bench.txt";
      std::vector<double> mine;
      while (!stop.load(std::memory_order_relaxed)) {
        auto t0 = Clock::now();
        suite::InjectResult r = control.Inject(n);
        auto t1 = Clock::now();
        if (!r.delivered || r.outcome != platform::wire::Outcome::Replied) {
          std::fprintf(stderr, "injection failed: %s\n", suite::OutcomeName(r));
          break;
        }
        mine.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
      }
      std::lock_guard lock(mutex);
      all.insert(all.end(), mine.begin(), mine.end());
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  return Summarise(all, seconds);
}

PortFigures RunPort(int responderThreads, int injectors, double seconds) {
  if (platform::Filters::Get().FilterLoad(L"ZVORX") != win::S_OK) {
    std::fprintf(stderr, "FilterLoad failed (is zvorx-driver beside this program or in ZV_BIN_DIR?)\n");
    std::exit(1);
  }
  PortFigures result;
  result.injected = Inject(responderThreads, injectors, seconds);
  if (!suite::testing::DriverReplyTimes(result.driverP50us, result.driverP99us)) std::fprintf(stderr, "no reply times in the status\n");
  platform::Filters::Get().FilterUnload(L"ZVORX");
  return result;
}

// One notification over a socket pair and a reply back: the floor of a
// single driver-to-client round trip.
Figures RunPingPong(double seconds) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::exit(1);
  std::thread echo([fd = fds[1]] {
    platform::wire::FrameHeader h;
    std::string body;
    std::string reply(channel::kReplySize, '\0');
    while (platform::wire::ReceiveFrame(fd, h, body)) {
      if (!platform::wire::SendFrame(fd, platform::wire::Frame::Reply, h.request, reply)) break;
    }
  });
  std::string message(channel::kMessageReadSize, '\0');
  std::vector<double> lat;
  platform::wire::FrameHeader h;
  std::string body;
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    auto t0 = Clock::now();
    platform::wire::SendFrame(fds[0], platform::wire::Frame::Message, 1, message);
    platform::wire::ReceiveFrame(fds[0], h, body);
    lat.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  ::shutdown(fds[0], SHUT_RDWR);
  echo.join();
  ::close(fds[0]);
  ::close(fds[1]);
  return Summarise(lat, seconds);
}

void Print(const char* what, const PortFigures& f, const Figures& raw) {
  std::printf("%-22s %9.1f ", what, raw.p50us);
  std::printf("%9.0f %9.1f %9.1f %6.1fx %9.1f %9.1f %6.1fx\n", f.injected.perSecond, f.injected.p50us,
              f.injected.p99us, f.injected.p50us / raw.p50us, f.driverP50us, f.driverP99us, f.driverP50us / raw.p50us);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  if (seconds <= 0) seconds = 2.0;
  fs::path root = fs::temp_directory_path() / ("zv-port-bench-" + std::to_string(::getpid()));
  auto machine = suite::testing::CreateScratchMachine(root);
  std::printf("kind-3 notifications injected and answered Allow. Before each run the raw socket ping-pong of\n"
              "2120/2076-byte frames (p50 in the \"raw\" column); x = p50 / that raw p50.\n");
  std::printf("%-22s %9s %9s %9s %9s %7s %9s %9s %7s\n", "responders/injectors", "raw p50", "inject/s", "p50 us",
              "p99 us", "x", "port p50", "port p99", "x");
  std::printf("%-32s %29s %27s\n", "", "(inject to outcome)", "(send to reply)");
  std::vector<int> responderCounts;
  for (int i = 2; i < argc; ++i) {
    if (int n = std::atoi(argv[i]); n > 0) responderCounts.push_back(n);
  }
  if (responderCounts.empty()) responderCounts = {1, 2, 4, 8};
  for (int threads : responderCounts) {
    for (int injectors : {1, 8}) {
      char label[64];
      std::snprintf(label, sizeof label, "%d/%d", threads, injectors);
      Figures raw = RunPingPong(seconds / 2);
      Print(label, RunPort(threads, injectors, seconds), raw);
    }
  }
  suite::testing::RemoveScratchMachine(root, machine);
  return 0;
}
