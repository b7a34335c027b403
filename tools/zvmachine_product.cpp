// The product commands of zvmachine: the items of the product data store
// that the start-up program reads (1 protection on, 69 recycle-bin
// cleaning, 70 temporary-file cleaning), and the start-up program's place
// on the machine after the install step.
//
// Owns: setting and listing store items through the store's own file
// format (suite/support/zvdata), and InstallStartupProgram.
// Must not: know the store's format itself.
#include "tools/zvmachine_commands.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/base/text.h"
#include "platform/files/machine.h"
#include "suite/support/zvdata/product_data.h"
#include "suite/support/zvgcode/zvgcode.h"

namespace zv::tools {

namespace {

std::wstring StorePath() {
  wchar_t path[support::kSizelessUnits] = {};
  support::GetFileName_QDData(path);
  return path;
}

bool ParseInt(const std::string& s, long long& out, long long low, long long high) {
  if (s.empty()) return false;
  char* end = nullptr;
  out = std::strtoll(s.c_str(), &end, 0);
  return *end == '\0' && out >= low && out <= high;
}

}  // namespace

int RunProductCommand(const std::vector<std::string>& args) {
  platform::Machine::Current();
  if (args.size() == 3 && args[0] == "set") {
    long long item = 0, value = 0;
    if (!ParseInt(args[1], item, 0, 255) || !ParseInt(args[2], value, -2147483648LL, 4294967295LL)) {
      return Usage("product set ITEM VALUE: ITEM 0-255, VALUE a 32-bit integer");
    }
    const auto v = static_cast<std::uint32_t>(value);
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                    static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    if (!support::WriteProductDataItem(StorePath(), static_cast<int>(item), bytes)) {
      std::fprintf(stderr, "zvmachine: cannot write %s\n", text::ToUtf8(StorePath()).c_str());
      return kFailed;
    }
    return kOk;
  }
  if (args.size() == 1 && args[0] == "show") {
    auto items = support::ReadProductDataFile(StorePath());
    if (!items) {
      std::fprintf(stderr, "zvmachine: %s is not a product data store\n", text::ToUtf8(StorePath()).c_str());
      return kFailed;
    }
    std::printf("%s", support::FormatProductData(*items).c_str());
    return kOk;
  }
  return Usage("product set ITEM VALUE | product show");
}

int InstallStartupProgram() {
  // ZVVstIn is a 32-bit program: the registry shows it the 32-bit view.
  platform::Machine::Current()->SetSetting("program.zvvstin.exe.bitness", "32");
  return kOk;
}

}  // namespace zv::tools
