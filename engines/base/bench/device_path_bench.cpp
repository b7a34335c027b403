// Per-call cost of the device-path search and conversion that every file
// open goes through: DevicePathPattern search, then DeviceToDosPath with the
// DOS name already cached. Prints ns/call (the fastest of five batches) and
// allocations per call, and the cost of the engines' metered locks next to
// a plain mutex; reads the host's steady clock.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "engines/base/device_path.h"
#include "engines/base/lock_meter.h"
#include "engines/base/testing/bench_calls.h"
#include "platform/files/file_api.h"
#include "platform/filter/filter_api.h"

using namespace zv::engines;
using zv::engines::bench::NsPerCall;
namespace win = zv::win;

namespace {

// Only the first conversion reaches the filter; the rest hit the cache.
class OneVolume : public zv::platform::FilterApi {
 public:
  win::HRESULT FilterLoad(const win::WCHAR*) override { return win::E_FAIL; }
  win::HRESULT FilterUnload(const win::WCHAR*) override { return win::E_FAIL; }
  win::HRESULT FilterConnectCommunicationPort(const win::WCHAR*, win::DWORD, const void*, win::WORD, const void*,
                                              win::HANDLE*) override {
    return win::E_FAIL;
  }
  win::HRESULT FilterGetMessage(win::HANDLE, void*, win::DWORD, win::OVERLAPPED*) override { return win::E_FAIL; }
  win::HRESULT FilterReplyMessage(win::HANDLE, const void*, win::DWORD) override { return win::E_FAIL; }
  win::HRESULT FilterSendMessage(win::HANDLE, const void*, win::DWORD, void*, win::DWORD, win::DWORD*) override {
    return win::E_FAIL;
  }
  win::HRESULT FilterGetDosName(const win::WCHAR*, win::WCHAR* out, win::DWORD units) override {
    if (units < 3) return win::E_FAIL;
    out[0] = L'C';
    out[1] = L':';
    return win::S_OK;
  }
};

// Hand-written equivalent of the hard-disk-volume case, for scale only.
bool ManualSplit(const std::wstring& path, std::wstring& device, std::wstring& directory, std::wstring& name) {
  static const std::wstring prefix = L"\\Device\\HarddiskVolume";
  std::size_t at = path.find(prefix);
  if (at == std::wstring::npos) return false;
  std::size_t end = at + prefix.size();
  std::size_t digits = 0;
  while (end < path.size() && digits < 2 && path[end] >= L'0' && path[end] <= L'9') ++end, ++digits;
  if (digits == 0) return false;
  std::size_t last = path.rfind(L'\\');
  if (last == std::wstring::npos || last < end) return false;
  device.assign(path, at, end - at);
  directory.assign(path, end, last - end);
  name.assign(path, last + 1);
  return true;
}

volatile std::size_t sink;

}  // namespace

int main(int argc, char** argv) {
  int calls = argc > 1 ? std::atoi(argv[1]) : 200000;
  OneVolume volumes;
  zv::platform::ScopedApi<zv::platform::FilterApi> scope(volumes);
  DevicePathConverter converter;
  converter.CompilePathPatterns();

  const std::wstring path = L"\\Device\\HarddiskVolume2\\Users\\someone\\Documents\\Projects\\2026\\report-draft.docx";
  std::printf("path length: %zu units, %d calls per figure\n", path.size(), calls);

  PathMatch match;
  std::wstring out;
  // Warm the cache and the allocator.
  converter.SearchDevicePath(path, match);
  converter.DeviceToDosPath(match, out);
  if (out != L"\\\\?\\C:\\Users\\someone\\Documents\\Projects\\2026\\report-draft.docx") {
    std::fprintf(stderr, "unexpected conversion\n");
    return 1;
  }

  double search = NsPerCall(calls, [&] {
    converter.SearchDevicePath(path, match);
    sink = match.Name.size();
  });
  const double searchAllocations = zv::engines::bench::allocationsPerCall;
  std::wstring converted;  // reused, as the engines reuse theirs
  double convert = NsPerCall(calls, [&] {
    converter.DeviceToDosPath(match, converted);
    sink = converted.size();
  });
  const double convertAllocations = zv::engines::bench::allocationsPerCall;
  double both = NsPerCall(calls, [&] {
    PathMatch m;
    std::wstring o;
    if (converter.SearchDevicePath(path, m) == PathSearch::Match) converter.DeviceToDosPath(m, o);
    sink = o.size();
  });
  double manual = NsPerCall(calls, [&] {
    std::wstring d, dir, n;
    ManualSplit(path, d, dir, n);
    sink = n.size();
  });
  const std::wstring network = L"\\Device\\Mup\\server\\share\\Users\\someone\\Documents\\Projects\\2026\\report.docx";
  double noMatch = NsPerCall(calls, [&] { sink = converter.SearchDevicePath(network, match) == PathSearch::NoMatch; });

  std::printf("DevicePathPattern search                    %8.0f ns/call  %4.1f allocations/call\n", search,
              searchAllocations);
  std::printf("DeviceToDosPath, cached                     %8.0f ns/call  %4.1f allocations/call\n", convert,
              convertAllocations);
  std::printf("search + DeviceToDosPath (file-open path)   %8.0f ns/call\n", both);
  std::printf("search of a network path (no match)         %8.0f ns/call\n", noMatch);
  std::printf("hand-written split, for scale               %8.0f ns/call\n", manual);

  // The engines' metered locks against a plain mutex, uncontended and with
  // metering off (as in the product).
  std::mutex plain;
  MeteredMutex metered(EngineLock::PathMarks);
  MeteredSharedMutex shared(EngineLock::AccessPathRules);
  double plainLock = NsPerCall(calls, [&] { std::lock_guard l(plain); sink = 1; });
  double meteredLock = NsPerCall(calls, [&] { std::lock_guard l(metered); sink = 1; });
  double sharedLock = NsPerCall(calls, [&] { std::shared_lock l(shared); sink = 1; });
  std::printf("std::mutex lock and unlock                  %8.1f ns/call\n", plainLock);
  std::printf("MeteredMutex lock and unlock                %8.1f ns/call\n", meteredLock);
  std::printf("MeteredSharedMutex shared lock and unlock   %8.1f ns/call\n", sharedLock);

  // Several workers sharing one converter (searches take no lock).
  for (int threads : {2, 4}) {
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
      pool.emplace_back([&] {
        for (int i = 0; i < calls / threads; ++i) {
          PathMatch m;
          std::wstring o;
          if (converter.SearchDevicePath(path, m) == PathSearch::Match) converter.DeviceToDosPath(m, o);
          sink = o.size();
        }
      });
    }
    for (auto& t : pool) t.join();
    double total = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    std::printf("search + DeviceToDosPath, %d threads         %8.0f ns/call (wall time / calls)\n", threads,
                total / calls);
  }
  return 0;
}

// Link stand-in while the filter library's implementation is not linked;
// a real one replaces it.
namespace zv::platform {
template <>
__attribute__((weak)) FilterApi& Api<FilterApi>::Default() {
  std::abort();
}
}  // namespace zv::platform
