// The crash handler, watched from outside: a child program dies of a fatal
// signal, leaves "<its path>.dmp", and the dump tool symbolises it.
// Sanitizer builds keep the sanitizers' handlers, so these run in the plain
// build only.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/base/crash_dump.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {

fs::path TestDir() { return fs::read_symlink("/proc/self/exe").parent_path(); }
fs::path Child() { return TestDir() / "zv_crash_child"; }
fs::path DumpOf(const fs::path& program) { return program.string() + ".dmp"; }
fs::path ZvDump() {
  const char* bin = std::getenv("ZV_BIN_DIR");
  return (bin ? fs::path(bin) : TestDir().parent_path() / "bin") / "zvdump";
}

// Runs a program; its wait status. Output goes to `output` when given.
int RunProgram(const std::vector<std::string>& args, std::string* output = nullptr) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  fs::path out = fs::temp_directory_path() / ("zv-crash-test-" + std::to_string(::getpid()) + ".out");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (output) {
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    *output = text.str();
  }
  fs::remove(out);
  return status;
}

}  // namespace

#if defined(ZV_SANITIZED)

TEST(CrashHandler, SkippedInSanitizerBuilds) { GTEST_SKIP() << "sanitizers install their own handlers"; }

#else

TEST(CrashHandler, NullWriteLeavesDumpThatTheToolSymbolises) {
  fs::path dump = DumpOf(Child());
  {
    // A previous dump is replaced, not appended to.
    std::ofstream old(dump);
    old << std::string(200000, 'x');
  }
  int status = RunProgram({Child().string(), "segv"});
  ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);

  std::string error;
  auto read = zv::platform::ReadCrashDump(dump.string(), &error);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(read->executable, fs::canonical(Child()).string());
  EXPECT_EQ(read->signal, SIGSEGV);
  EXPECT_EQ(read->faultAddress, 0u);
  EXPECT_NE(read->loadAddress, 0u);  // a position-independent program lands anywhere
  EXPECT_LT(fs::file_size(dump), 200000u);
  ASSERT_FALSE(read->frames.empty());

  std::string trace;
  status = RunProgram({ZvDump().string(), dump.string()}, &trace);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << trace;
  EXPECT_NE(trace.find("SIGSEGV"), std::string::npos) << trace;
  EXPECT_NE(trace.find("CrashWithNullWrite"), std::string::npos) << trace;
  EXPECT_NE(trace.find("crash_child.cpp"), std::string::npos) << trace;
  EXPECT_NE(trace.find("main"), std::string::npos) << trace;
}

TEST(CrashHandler, AbortOverflowAndWorkerThreadCrashesAreDumped) {
  fs::path dump = DumpOf(Child());
  struct Case {
    const char* mode;
    int signal;
    const char* function;
  } cases[] = {
      {"abort", SIGABRT, "main"},
      {"overflow", SIGSEGV, "RecurseForever"},  // needs the alternate stack
      {"thread", SIGSEGV, "CrashOnThread"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    fs::remove(dump);
    int status = RunProgram({Child().string(), c.mode});
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), c.signal);
    auto read = zv::platform::ReadCrashDump(dump.string());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->signal, c.signal);
    std::string trace = zv::platform::SymbolizeCrashDump(*read);
    EXPECT_NE(trace.find(c.function), std::string::npos) << trace;
  }
}

TEST(CrashHandler, ToolRefusesWhatIsNoDump) {
  fs::path notDump = fs::temp_directory_path() / ("zv-not-a-dump-" + std::to_string(::getpid()));
  std::ofstream(notDump) << "hello\n";
  int status = RunProgram({ZvDump().string(), notDump.string()});
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  // Cut short before the frames: refused as well.
  std::ofstream(notDump) << "ZVDUMP 1\nexe /x\n";
  EXPECT_FALSE(zv::platform::ReadCrashDump(notDump.string()));
  fs::remove(notDump);
  status = RunProgram({ZvDump().string()});
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
}

#endif
