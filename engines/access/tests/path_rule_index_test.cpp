// Path rules and process-name rules of the access-control engine against the
// plain walks over their tables, on random rule sets and paths: same
// decision, same deciding rule (every rule gets its own type, so the type
// names the rule).
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>

#include "engines/access/acengine.h"
#include "engines/base/device_path.h"
#include "platform/base/text.h"
#include "platform/files/testing/machine_fixture.h"

namespace zv::engines {
namespace {

std::wstring RandomPath(std::mt19937& random) {
  static const wchar_t* kParts[] = {L"a", L"B", L"ab", L"b.exe", L"x"};
  std::wstring path = random() % 4 == 0 ? L"" : (random() % 2 ? L"C:" : L"\\\\?\\c:");
  int depth = static_cast<int>(random() % 4);
  for (int i = 0; i < depth; ++i) path += std::wstring(L"\\") + kParts[random() % 5];
  if (random() % 3 == 0) path += L"\\";
  return path;
}

class PathRuleIndexTest : public platform::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    engine_ = std::make_unique<acengine>(kAccessControlEngineKey);
  }
  void TearDown() override {
    engine_.reset();
    MachineTest::TearDown();
  }
  std::unique_ptr<acengine> engine_;
};

TEST_F(PathRuleIndexTest, DecisionsMatchTheWalksOnRandomRules) {
  std::mt19937 random(8122026);
  for (int round = 0; round < 60; ++round) {
    engine_->OnCommandInt(kAccessControlEngineKey, L"AC_CLEAR", 0);
    const int rules = std::uniform_int_distribution<int>(0, 30)(random);
    for (int i = 0; i < rules; ++i) {
      // Distinct types: the type found names the rule that decided.
      const std::uint32_t type = static_cast<std::uint32_t>(i + 1) * 0x111;
      engine_->AddPathRule(RandomPath(random), type);
      engine_->AddProcessNameRule(RandomPath(random), type);
    }
    const auto pathRules = engine_->PathRulesCopy();
    const auto nameRules = engine_->ProcessNameRulesCopy();

    for (int probe = 0; probe < 40; ++probe) {
      const std::wstring path = RandomPath(random);
      const std::uint32_t mask = static_cast<std::uint32_t>(random()) & 0xFFFFF;

      // FindPathRule: the first key in descending order contained in the
      // normalised path decides.
      bool found = false;
      std::uint32_t expectedType = 0;
      if (path.size() >= 2) {
        const std::wstring normalised = NormalizeRulePath(path);
        for (const auto& [key, type] : pathRules) {
          if (key.size() > normalised.size() || normalised.find(key) == std::wstring::npos) continue;
          found = (type & mask) != 0;
          expectedType = found ? type : 0;
          break;
        }
      }
      std::uint32_t type = 0xDEAD;
      EXPECT_EQ(engine_->FindPathRule(path, mask, type), found) << path;
      EXPECT_EQ(type, expectedType) << path;

      // Name rules: the last match in key order among the mask's rules.
      const std::wstring lowered = text::AsciiLowerCopy(path);
      found = false;
      expectedType = 0xBEEF;
      for (const auto& [key, ruleType] : nameRules) {
        if ((ruleType & mask) == 0 || lowered.find(key) == std::wstring::npos) continue;
        found = true;
        expectedType = ruleType;
      }
      type = 0xBEEF;
      EXPECT_EQ(engine_->MatchProcessNameRules(path, mask, &type), found) << path;
      EXPECT_EQ(type, expectedType) << path;
    }
  }
}

}  // namespace
}  // namespace zv::engines
