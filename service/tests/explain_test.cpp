// zvorx-driver play --explain against a running zvorx with both engines:
// two players at once, so workers decide their notifications concurrently;
// every line printed under a decision belongs to that decision.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "suite/driver/testing/zvorx_program_test.h"

namespace zv::service {
namespace {

namespace fs = std::filesystem;
using suite::testing::Count;

class ExplainPlayTest : public suite::testing::ZvorxProgramTest {
 protected:
  ExplainPlayTest() : ZvorxProgramTest("zvexp-", fs::path(ZV_TEST_DATA_DIR) / "explain") {}

  // Opens by `who`: a protected file (denied by access control) and a
  // backed-up one, `rounds` times each, on names of its own.
  std::string Scenario(const std::string& who, int rounds) {
    std::ostringstream s;
    for (int i = 0; i < rounds; ++i) {
      s << "open " << values_[who] << " C:\\Secret\\" << who << i << ".txt expect deny\n";
      s << "open " << values_[who] << " C:\\Prot\\" << who << i << ".txt access=0x120116 expect allow\n";
    }
    fs::path file = root_ / (who + ".scenario");
    std::ofstream(file) << s.str();
    return file.string();
  }
};

struct Decision {
  std::string event;
  std::vector<std::string> lines;
};

std::vector<Decision> Decisions(const std::string& output) {
  std::vector<Decision> all;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("    | ", 0) == 0) {
      if (!all.empty()) all.back().lines.push_back(line.substr(6));
    } else if (line.find(": kind ") != std::string::npos) {
      all.push_back({line, {}});
    }
  }
  return all;
}

TEST_F(ExplainPlayTest, ConcurrentPlayersSeeOnlyTheLinesOfTheirOwnDecisions) {
  MakeFolder("Secret");
  MakeFolder("Prot");
  for (const char* who : {"one", "two"}) {
    for (int i = 0; i < 12; ++i) std::ofstream(root_ / "volumes/C/Prot" / (std::string(who) + std::to_string(i) + ".txt")) << who;
  }
  StartZvorx();
  Process("one", L"C:\\Tools\\one.exe");
  Process("two", L"C:\\Tools\\two.exe");
  Configure("explain.commands");

  constexpr int kRounds = 12;
  std::string first = Scenario("one", kRounds), second = Scenario("two", kRounds);
  pid_t a = Spawn("play-one", "zvorx-driver", {"play", "--explain", first});
  pid_t b = Spawn("play-two", "zvorx-driver", {"play", "--explain", second});
  EXPECT_EQ(Wait(a), 0) << Out("play-one") << Err("play-one");
  EXPECT_EQ(Wait(b), 0) << Out("play-two") << Err("play-two");

  for (const auto& [who, other] : {std::pair{"one", "two"}, std::pair{"two", "one"}}) {
    const std::string out = Out(std::string("play-") + who);
    std::vector<Decision> decisions = Decisions(out);
    ASSERT_EQ(decisions.size(), 2u * kRounds) << out;
    int access = 0, backup = 0;
    for (const Decision& d : decisions) {
      // The event's own file name, as sent: "...\Secret\one3.txt".
      std::size_t end = d.event.find(".txt");
      ASSERT_NE(end, std::string::npos) << d.event;
      std::size_t start = d.event.rfind('\\', end) + 1;
      const std::string name = d.event.substr(start, end - start);
      EXPECT_FALSE(d.lines.empty()) << d.event;
      for (const std::string& line : d.lines) {
        // A line that names a file of this player names this event's file.
        EXPECT_EQ(line.find(std::string("\\") + other), std::string::npos) << d.event << "\n" << line;
        std::size_t own = line.find(std::string("\\") + who);
        if (own != std::string::npos) {
          EXPECT_EQ(line.compare(own + 1, name.size() + 4, name + ".txt"), 0) << d.event << "\n" << line;
        }
        if (line.find(" AC1 ---- ") != std::string::npos) ++access;
        if (line.find(" BE ---- ") != std::string::npos) ++backup;
      }
    }
    EXPECT_GE(access, kRounds) << out;
    EXPECT_GE(backup, kRounds) << out;
  }
  // Clean under the sanitizers: zvorx, both players and the driver.
  Err("zvorx");
  Err("play-one");
  Err("play-two");
  EXPECT_EQ(suite::testing::ReadFile(root_ / "zvorx-driver.log").find("Sanitizer"), std::string::npos);
}

}  // namespace
}  // namespace zv::service
