// Path resolution and attribute reads on a 10-component path: exact and
// wrong letter case and a missing last component, cold (fresh machine
// object: no letter map, no folder listings) and warm, next to the same
// query done by the component walk. Prints nanoseconds per call.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/files/file_api.h"
#include "platform/base/handles.h"
#include "platform/files/machine.h"
#include "platform/files/paths.h"
#include "platform/base/text.h"

using namespace zv::platform;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double NsPerCall(int n, const std::function<void()>& fn) {
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) fn();
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / n;
}

}  // namespace

int main() {
  fs::path root = fs::temp_directory_path() / ("zvm-bench-" + std::to_string(getpid()));
  fs::remove_all(root);
  auto machine = Machine::Open(root, true);
  Machine::SetCurrent(machine);

  std::wstring exact = L"C:", wrong = L"C:";
  fs::path host = root / "volumes" / "C";
  for (int i = 0; i < 9; ++i) {
    std::wstring name = L"Level" + std::to_wstring(i) + L" Folder";
    exact += L"\\" + name;
    wrong += L"\\" + zv::text::AsciiUpperCopy(name);
    host /= zv::text::ToHostName(name);
    fs::create_directories(host);
    for (int k = 0; k < 20; ++k) std::ofstream(host / ("sibling" + std::to_string(k) + ".txt")) << "x";
  }
  exact += L"\\Target File.txt";
  wrong += L"\\target file.TXT";
  std::ofstream(host / "Target File.txt") << "data";
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // folders settle, listings may be cached

  FileApi& files = Files::Get();
  std::printf("path: %zu units, 10 components, 20 siblings per folder\n", exact.size());
  std::printf("walk: the attribute query as it was before the quick look-up (ResolveDosPath, the stored\n"
              "      attributes read by path, the leaf's lstat for the reparse test)\n");
  std::wstring missing = exact.substr(0, exact.rfind(L'\\')) + L"\\New File.txt";
  for (const auto& [label, path] :
       {std::pair{"exact case", exact}, std::pair{"wrong case", wrong}, std::pair{"missing", missing}}) {
    bool exists = files.GetFileAttributesW(path.c_str()) != zv::win::INVALID_FILE_ATTRIBUTES;
    if (exists != (path != missing)) {
      std::printf("%s: unexpected answer (%u)\n", label, GetLastError());
      return 1;
    }
    constexpr int kCold = 50;
    double cold = 0;
    for (int i = 0; i < kCold; ++i) {
      auto fresh = Machine::Open(root, false);
      Machine::SetCurrent(fresh);
      cold += NsPerCall(1, [&] { files.GetFileAttributesW(path.c_str()); });
    }
    cold /= kCold;
    auto fresh = Machine::Open(root, false);
    Machine::SetCurrent(fresh);
    constexpr int kWarm = 20000;
    files.GetFileAttributesW(path.c_str());
    double warmAttr = NsPerCall(kWarm, [&] { files.GetFileAttributesW(path.c_str()); });
    ResolvedPath r;
    double warmResolve = NsPerCall(kWarm, [&] { ResolveDosPath(*fresh, path, r); });
    double walk = NsPerCall(kWarm, [&] {
      ResolvedPath w;
      if (ResolveDosPath(*fresh, path, w) || !w.exists) return;
      char value[32];
      struct stat leaf;
      ::getxattr(w.host.c_str(), "user.zv.attrib", value, sizeof value);
      ::lstat((w.parentHost + "/" + w.leafHostName).c_str(), &leaf);
    });
    std::string hostPath = r.host;
    struct stat hst;
    double baseline = NsPerCall(kWarm, [&] { ::lstat(hostPath.c_str(), &hst); });
    std::printf("%-10s  host lstat of the full path (baseline) %6.0f ns\n", label, baseline);
    std::printf("%-10s  GetFileAttributesW cold %8.0f ns  warm %7.0f ns   walk warm %7.0f ns   "
                "ResolveDosPath warm %7.0f ns\n",
                label, cold, warmAttr, walk, warmResolve);
  }
  Machine::SetCurrent(nullptr);
  machine.reset();
  fs::remove_all(root);
  return 0;
}
