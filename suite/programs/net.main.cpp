// net: the stand-in of the system's service command, as far as the suite
// uses it: "net stop NAME" stops (unloads) the named driver, and says why
// when it cannot.
//
// Owns: the command line. Must not: do anything else.
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/filter/filter_api.h"
#include "platform/files/machine.h"
#include "platform/base/text.h"
#include "platform/processes/process_table.h"
#include "platform/system/boot.h"
#include "platform/system/wow64.h"

using namespace zv;

namespace {

// What net prints when the stop fails: "not started" only when no driver
// answered; a driver that refused or did not answer in time is a system
// error, as net reports a failed service control.
std::string StopFailure(const std::string& service, win::HRESULT hr) {
  const auto code = static_cast<std::uint32_t>(hr);
  if (hr == win::HR_FLT_FILTER_NOT_FOUND) return "The " + service + " service is not started.\n";
  if ((code & 0xFFFF0000u) == 0x80070000u) {
    const std::uint32_t error = code & 0xFFFFu;
    std::string text = "System error " + std::to_string(error) + " has occurred.\n\n";
    if (error == win::ERROR_ACCESS_DENIED) return text + "Access is denied.\n";
    if (error == win::ERROR_TIMEOUT) return text + "This operation returned because the timeout period expired.\n";
    return text;
  }
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "The %s service could not be stopped. (0x%08X)\n", service.c_str(), code);
  return buffer;
}

}  // namespace

int main(int argc, char** argv) {
  platform::UseMachineTime();
  platform::UseWow64Files();
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
    std::fprintf(stderr, "%s", StopFailure(upper, hr).c_str());
    return 2;
  }
  std::printf("The %s service was stopped successfully.\n", upper.c_str());
  return 0;
}
