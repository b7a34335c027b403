// The real ModuleRuntime: see module_runtime.h.
//
// Seam: until the machine has a WOW64 run time, kernel32 here offers no
// redirection switches (a 64-bit view of the file system is all there is)
// and the system folder is the fixed "C:\Windows\system32".
#include <exception>

#include "platform/base/text.h"
#include "platform/processes/process_table.h"
#include "startup_init/block_drivers/module_runtime.h"

namespace zv::startup {
namespace {

class RealModuleRuntime : public ModuleRuntime {
 public:
  void* LoadKernel32() override { return this; }
  void FreeKernel32(void*) override {}
  Procedure Lookup(void*, const char*) override { return nullptr; }
  std::string SystemDirectoryA() override { return "C:\\Windows\\system32"; }
  std::string ModuleFolderA() override {
    std::wstring image;
    try {
      image = platform::CurrentProcessImage();
    } catch (const std::exception&) {
      return {};
    }
    std::size_t slash = image.find_last_of(L'\\');
    return text::ToAnsi(slash == std::wstring::npos ? std::wstring() : image.substr(0, slash));
  }
};

}  // namespace
}  // namespace zv::startup

template <>
zv::startup::ModuleRuntime& zv::platform::Api<zv::startup::ModuleRuntime>::Default() {
  static zv::startup::RealModuleRuntime instance;
  return instance;
}
