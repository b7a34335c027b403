#include "platform/files/machine.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

using namespace zv::platform;
namespace fs = std::filesystem;

namespace {
fs::path TempRoot(const char* name) {
  fs::path p = fs::temp_directory_path() / ("zvm-test-" + std::to_string(getpid()) + "-" + name);
  fs::remove_all(p);
  return p;
}
}  // namespace

TEST(Machine, CreatesLayoutAndDefaults) {
  fs::path root = TempRoot("layout");
  auto m = Machine::Open(root, true);
  EXPECT_TRUE(fs::is_directory(root / "volumes" / "C" / "Windows" / "System32"));
  std::string letter;
  m->Read([&](sqlite3* db) {
    Statement q(db, "SELECT letter FROM volumes WHERE device = '\\Device\\harddiskvolume2';");
    ASSERT_TRUE(q.Step());
    letter = q.Text(0);
  });
  EXPECT_EQ(letter, "C:");
  m->SetSetting("x", "1");
  m.reset();
  auto again = Machine::Open(root, false);
  EXPECT_EQ(again->Setting("x").value_or(""), "1");
  EXPECT_THROW(Machine::Open(TempRoot("missing"), false), MachineError);
  fs::remove_all(root);
}

TEST(Machine, DeepRootGetsShortRunFolder) {
  fs::path root = TempRoot("deep");
  fs::path deep = root / std::string(60, 'a') / std::string(60, 'b');
  auto m = Machine::Open(deep, true);
  EXPECT_LT(m->SocketPath("zvorx-driver.sock").size(), 108u);
  EXPECT_THROW(m->SocketPath(std::string(120, 'x')), MachineError);
  fs::remove_all(m->RunFolder());
  fs::remove_all(root);
}

TEST(Machine, TwoProcessesWriteWithoutLosingRows) {
  fs::path root = TempRoot("concurrent");
  Machine::Open(root, true);
  constexpr int kRows = 200;
  pid_t child = fork();
  if (child == 0) {
    auto m = Machine::Open(root, false);
    for (int i = 0; i < kRows; ++i) m->SetSetting("child" + std::to_string(i), "v");
    _exit(0);
  }
  auto m = Machine::Open(root, false);
  for (int i = 0; i < kRows; ++i) m->SetSetting("parent" + std::to_string(i), "v");
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::int64_t count = 0;
  m->Read([&](sqlite3* db) {
    Statement q(db, "SELECT COUNT(*) FROM settings;");
    q.Step();
    count = q.Int(0);
  });
  EXPECT_EQ(count, 2 * kRows);
  fs::remove_all(root);
}

// Subsystems add their tables as named steps, in whatever order they land
// and are first used; a database from before named steps keeps its tables.
TEST(Machine, SchemaStepsApplyOnceInAnyOrder) {
  fs::path root = TempRoot("schema");
  const SchemaStep a{"test_a", "CREATE TABLE test_a (x INTEGER);"};
  const SchemaStep b{"test_b", "CREATE TABLE test_b (y INTEGER);"};
  {
    auto m = Machine::Open(root, true);
    m->EnsureSchema(b);
  }
  auto reopened = Machine::Open(root, false);
  reopened->EnsureSchema(a);
  reopened->EnsureSchema(b);  // applied already: creating test_b again would throw
  std::vector<std::string> names;
  reopened->Read([&](sqlite3* db) {
    Statement q(db, "SELECT name FROM schema_steps ORDER BY name;");
    while (q.Step()) names.push_back(q.Text(0));
  });
  EXPECT_EQ(names, (std::vector<std::string>{"processes", "settings", "short_names", "test_a", "test_b", "volumes"}));

  // A database that recorded only a step count.
  reopened->Write([&](sqlite3* db) {
    Statement(db, "DELETE FROM schema_steps;").Run();
    Statement(db, "PRAGMA user_version=4;").Run();
  });
  reopened.reset();
  auto legacy = Machine::Open(root, false);  // would fail re-creating the base tables
  legacy->SetSetting("k", "v");
  EXPECT_EQ(legacy->Setting("k"), "v");
  fs::remove_all(root);
}
