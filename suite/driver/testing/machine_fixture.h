// Test fixture: one throw-away machine per test at
// <temp>/<prefix><pid>-<test name>, exported to the programs the test starts
// with their clocks sped up; the driver daemon is killed and the root
// removed in TearDown. Subclasses that override SetUp or TearDown call these.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "platform/files/machine.h"
#include "suite/driver/testing/scratch_machine.h"

namespace zv::suite::testing {

class ScratchMachineTest : public ::testing::Test {
 protected:
  explicit ScratchMachineTest(std::string prefix) : prefix_(std::move(prefix)) {}

  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = std::filesystem::temp_directory_path() / (prefix_ + std::to_string(::getpid()) + "-" + info->name());
    machine_ = CreateScratchMachine(root_);
    // The started programs run their clocks 100 times faster: a 3000 ms
    // reply time-out of the daemon lasts 30 ms.
    ::setenv("ZV_TIME_SCALE", "100", 1);
    // Test programs are in build/tests, the programs in build/bin.
    DefaultBinDir(std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "bin");
  }
  // Also drops ZV_MACHINE and ZV_TIME_SCALE: a later test in this process
  // must not open a removed machine or run a sped-up clock.
  void TearDown() override {
    RemoveScratchMachine(root_, machine_);
    ::unsetenv("ZV_TIME_SCALE");
  }

  std::filesystem::path root_;
  std::shared_ptr<platform::Machine> machine_;

 private:
  std::string prefix_;
};

}  // namespace zv::suite::testing
