// net: the stand-in of the system's service command, as far as the suite
// uses it: "net stop NAME" stops (unloads) the named driver.
//
// Owns: the command line. Must not: do anything else.
#include <cstdio>
#include <string>

#include "platform/filter/filter_api.h"
#include "platform/files/machine.h"
#include "platform/base/text.h"
#include "platform/processes/process_table.h"

using namespace zv;

int main(int argc, char** argv) {
  // Started on the machine, net takes over its row at once, so that its
  // exit code is recorded.
  try {
    platform::CurrentProcessPid();
  } catch (const std::exception&) {
  }
  std::string verb = argc > 1 ? argv[1] : "";
  for (char& c : verb) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (argc != 3 || verb != "stop") {
    std::fprintf(stderr, "The syntax of this command is:\n\nNET STOP service\n");
    return 2;
  }
  std::wstring name = text::FromUtf8(argv[2]);
  std::string upper = text::ToUtf8(text::AsciiUpperCopy(name));
  if (!text::AsciiIEquals(name, L"ZVORX")) {
    std::fprintf(stderr, "The service name is invalid.\n");
    return 2;
  }
  win::HRESULT hr;
  try {
    hr = platform::Filters::Get().FilterUnload(name.c_str());
  } catch (const platform::MachineError& e) {
    std::fprintf(stderr, "net: %s\n", e.what());
    return 2;
  }
  if (hr != win::S_OK) {
    std::fprintf(stderr, "The %s service is not started. (0x%08X)\n", upper.c_str(), static_cast<unsigned>(hr));
    return 2;
  }
  std::printf("The %s service was stopped successfully.\n", upper.c_str());
  return 0;
}
