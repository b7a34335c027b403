// Runs the built zvmachine on a machine root and collects its exit code and
// standard output, for the tests of the tools' command groups.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace zv::tools::testing {

struct ToolRun {
  int code;
  std::string out;
};

// `prefix` goes before the command (environment assignments such as
// "ZV_TIME_SCALE=100 "); standard error is dropped.
inline ToolRun Zvm(const std::filesystem::path& root, const std::string& args, const std::string& prefix = "") {
  const char* bin = std::getenv("ZV_BIN_DIR");
  std::string cmd = prefix + std::string(bin ? bin : "build/bin") + "/zvmachine --machine '" + root.string() + "' " +
                    args + " 2>/dev/null";
  ToolRun r{0, {}};
  FILE* p = ::popen(cmd.c_str(), "r");
  std::array<char, 512> buf;
  while (std::size_t n = std::fread(buf.data(), 1, buf.size(), p)) r.out.append(buf.data(), n);
  int status = ::pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace zv::tools::testing
