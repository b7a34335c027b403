// Plays one scenario file of this folder against a real zvorx and driver
// stand-in on a throw-away machine, with the suite's programs installed:
// prepares what the file's "#" directives ask for, runs the zvorxctl batch
// of the same name (NAME.commands) when there is one, plays the file
// (every expectation must hold), stops zvorx by unloading the driver and
// checks what the directives say must be on the drive and in the output.
//
// Owns: the directive lines, which the player skips as comments
// (docs/scenarios.md). Must not: drive zvorx any other way than its
// programs do (zvorxctl, the driver, the machine's drive).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/base/text.h"
#include "platform/processes/process_table.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/zvorx_program_test.h"

namespace zv::scenarios {
namespace {

namespace fs = std::filesystem;
using suite::testing::ReadFile;

fs::path g_scenario;

// Words of a directive: blanks separate them, a word in double quotes may
// hold blanks (as in the scenario lines themselves).
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string word;
    if (line[i] == '"') {
      std::size_t close = line.find('"', i + 1);
      if (close == std::string::npos) close = line.size();
      word = line.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') word += line[i++];
    }
    words.push_back(word);
  }
  return words;
}

// The lines of a deletion log: UTF-16LE units, each line ended by 0x000A.
std::vector<std::string> Utf16Lines(const fs::path& file) {
  std::string bytes = ReadFile(file);
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    unsigned unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (unit == 0x000A) {
      lines.push_back(line);
      line.clear();
    } else {
      line += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
  }
  return lines;
}

class Scenario : public suite::testing::ZvorxProgramTest {
 protected:
  Scenario() : ZvorxProgramTest("zvscn-", g_scenario.parent_path()) {}

  // Programs that run lines started (a window holder lives until closed)
  // end with the machine's boot, before the machine is removed.
  void TearDown() override {
    Run("boot", "zvmachine", {"boot"});
    ZvorxProgramTest::TearDown();
  }

  // C:\a\b -> the host file of the machine's drive C.
  fs::path Host(const std::string& dosPath) {
    std::string rest = dosPath.size() > 3 ? dosPath.substr(3) : std::string();
    for (char& c : rest)
      if (c == '\\') c = '/';
    return root_ / "volumes" / std::string(1, static_cast<char>(std::toupper(dosPath[0]))) / rest;
  }

  // Directives that shape the machine before zvorx starts.
  void Prepare(const std::vector<std::string>& w) {
    const std::string& what = w[0];
    if (what == "#user" && w.size() == 2) {
      EXPECT_EQ(Run("user", "zvmachine", {"user", "add", w[1]}), 0) << Err("user");
    } else if (what == "#folder" && w.size() == 2) {
      fs::create_directories(Host(w[1]));
    } else if (what == "#file" && (w.size() == 2 || w.size() == 3)) {
      fs::create_directories(Host(w[1]).parent_path());
      std::ofstream(Host(w[1]), std::ios::binary) << (w.size() == 3 ? w[2] : std::string());
    } else if (what == "#process" && (w.size() == 3 || w.size() == 4)) {
      win::DWORD session = w.size() == 4 ? static_cast<win::DWORD>(std::stoul(w[3])) : 1;
      values_[w[1]] = std::to_string(platform::AddProcess(*machine_, 4, text::FromUtf8(w[2]), session, false));
    } else if (what != "#check" && what != "#fault" && what != "#pending" && what != "#zvorx" &&
               what != "#scale") {
      ADD_FAILURE() << "bad directive line: " << what << " with " << w.size() - 1 << " words";
    }
  }

  // Directives checked once zvorx has stopped.
  void Check(const std::vector<std::string>& w, const std::string& output) {
    if (w[0] != "#check") return;
    const std::string what = w.size() > 1 ? w[1] : std::string();
    if (what == "file" && (w.size() == 3 || w.size() == 4)) {
      if (!fs::is_regular_file(Host(w[2]))) {
        ADD_FAILURE() << "missing file " << w[2];
      } else if (w.size() == 4) {
        EXPECT_EQ(ReadFile(Host(w[2])), w[3]) << w[2];
      }
    } else if (what == "nofile" && w.size() == 3) {
      EXPECT_FALSE(fs::exists(Host(w[2]))) << "unexpected " << w[2];
    } else if (what == "lines" && w.size() >= 3) {
      EXPECT_EQ(Utf16Lines(Host(w[2])), std::vector<std::string>(w.begin() + 3, w.end())) << w[2];
    } else if ((what == "output" || what == "nooutput") && w.size() == 3) {
      bool found = output.find(w[2]) != std::string::npos;
      EXPECT_EQ(found, what == "output") << "zvorx output " << (what == "output" ? "lacks " : "holds ") << w[2];
    } else if (what == "ended" && w.size() == 3) {
      auto pid = values_.find(w[2]);
      ASSERT_NE(pid, values_.end()) << "no process " << w[2];
      EXPECT_FALSE(platform::FindProcess(*machine_, static_cast<win::DWORD>(std::stoul(pid->second))).has_value())
          << w[2] << " still runs";
    } else if (what == "program" && w.size() >= 3) {
      ASSERT_EQ(Run("programs", "zvmachine", {"program", "list"}), 0);
      const std::string starts = Out("programs");
      for (std::size_t i = 2; i < w.size(); ++i)
        EXPECT_NE(starts.find(w[i]), std::string::npos) << "no program start with " << w[i] << " in\n" << starts;
    } else if (what == "text" && w.size() == 4) {
      EXPECT_NE(ReadFile(Host(w[2])).find(w[3]), std::string::npos) << w[2] << " lacks " << w[3];
    } else {
      ADD_FAILURE() << "bad check line";
    }
  }
};

TEST_F(Scenario, Plays) {
  ASSERT_FALSE(g_scenario.empty()) << "usage: scenario_runner FILE.scn";
  std::vector<std::vector<std::string>> directives;
  std::istringstream lines(ReadFile(g_scenario));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("#", 0) == 0 && line.size() > 1 && line[1] != ' ' && line[1] != '#') {
      auto w = Words(line);
      if (!w.empty()) directives.push_back(w);
    }
  }

  // A scenario that races a timed hold against the player can slow the
  // machine's clock down (the fixture runs it 100 times faster).
  for (const auto& w : directives)
    if (w[0] == "#scale" && w.size() == 2) ::setenv("ZV_TIME_SCALE", w[1].c_str(), 1);
  ASSERT_EQ(Run("install", "zvmachine", {"install"}), 0) << Err("install");
  for (const auto& w : directives) Prepare(w);

  std::vector<std::string> zvorxArgs;
  for (const auto& w : directives)
    if (w[0] == "#zvorx") zvorxArgs.insert(zvorxArgs.end(), w.begin() + 1, w.end());
  StartZvorx(zvorxArgs);
  if (HasFatalFailure()) return;
  const pid_t zvorx = children_.front();
  fs::path commands = g_scenario;
  commands.replace_extension(".commands");
  if (fs::exists(commands)) Configure(commands.filename().string());
  // The player's own count, not its [ok] marks: the count is the player's
  // verdict, the marks are only its display.
  const std::string played = Resolve(g_scenario.filename().string());
  EXPECT_EQ(Run("play", "zvorx-driver", {"play", played}), 0) << Err("play");
  int expected = 0;
  std::istringstream events(ReadFile(played));
  for (std::string line; std::getline(events, line);)
    if (line.rfind("#", 0) != 0 && line.find(" expect ") != std::string::npos) ++expected;
  EXPECT_NE(Out("play").find("\n" + std::to_string(expected) + " passed, 0 failed\n"), std::string::npos)
      << expected << " expectations";
  std::cout << Out("play");

  // A clean stop: zvorx's workers end when the driver goes, the backup
  // engine writes its deletion logs in a final pass.
  ASSERT_EQ(suite::DriverControl().Unload(), win::S_OK);
  ASSERT_TRUE(Wait(zvorx).has_value()) << "zvorx did not stop";
  const std::string output = Out("zvorx") + Err("zvorx");
  EXPECT_EQ(ReadFile(root_ / "zvorx-driver.log").find("Sanitizer"), std::string::npos)
      << ReadFile(root_ / "zvorx-driver.log");
  for (const auto& w : directives) Check(w, output);
  if (HasFailure()) std::cout << "---- zvorx output\n" << output;
}

}  // namespace
}  // namespace zv::scenarios

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc > 1) zv::scenarios::g_scenario = std::filesystem::absolute(argv[1]);
  return RUN_ALL_TESTS();
}
