#include "platform/files/machine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
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

// A deep root's run folder has an unpredictable name under /tmp, is found
// through the root's link by every program, gets its modes whatever the
// umask, and is refused when someone else could have put things in it.
TEST(Machine, RunFolderIsMadeSafelyAndForeignOnesAreRefused) {
  fs::path root = TempRoot("runsafe");
  fs::path deep = root / std::string(60, 'a') / std::string(60, 'b');
  mode_t old = umask(0);
  auto m = Machine::Open(deep, true);
  umask(old);
  fs::path run = m->RunFolder();
  EXPECT_EQ(fs::read_symlink(deep / "run"), run);
  EXPECT_EQ(Machine::RunFolderOf(deep), run);
  EXPECT_EQ(run.parent_path(), fs::path("/tmp"));
  struct stat st {};
  ASSERT_EQ(lstat(run.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(lstat((run / "procs").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, st.st_gid == 0 ? 0770u : 0700u);
  EXPECT_EQ(Machine::Open(deep, false)->RunFolder(), run);
  m.reset();

  // Removed behind the machine's back (a clean-up of /tmp): made anew, and
  // every program follows the link to the new one.
  fs::remove_all(run);
  fs::path fresh = Machine::Open(deep, false)->RunFolder();
  EXPECT_TRUE(fs::is_directory(fresh));
  EXPECT_EQ(Machine::RunFolderOf(deep), fresh);

  // Writable by others: refused, with the reason.
  fs::permissions(fresh, fs::perms::others_write, fs::perm_options::add);
  try {
    Machine::Open(deep, false);
    ADD_FAILURE() << "a world-writable run folder was used";
  } catch (const MachineError& e) {
    EXPECT_NE(std::string(e.what()).find("writable by others"), std::string::npos) << e.what();
  }
  fs::permissions(fresh, fs::perms::others_write, fs::perm_options::remove);

  // A link where procs/ should be is not followed.
  fs::remove_all(fresh / "procs");
  fs::create_directory_symlink(root, fresh / "procs");
  EXPECT_THROW(Machine::Open(deep, false), MachineError);
  fs::remove(fresh / "procs");

  if (geteuid() != 0) {
    fs::remove_all(fresh);
    fs::remove_all(root);
    GTEST_SKIP() << "the foreign-owner case needs root to make a folder of another user";
  }
  // Another user's folder where the link points (made after a clean-up of
  // /tmp, before the machine came back): refused.
  fs::remove_all(fresh);
  ASSERT_TRUE(fs::create_directory(fresh));
  ASSERT_EQ(chown(fresh.c_str(), 65534, 65534), 0);
  try {
    Machine::Open(deep, false);
    ADD_FAILURE() << "another user's run folder was used";
  } catch (const MachineError& e) {
    EXPECT_NE(std::string(e.what()).find("owned by uid 65534"), std::string::npos) << e.what();
  }
  fs::remove_all(fresh);
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
