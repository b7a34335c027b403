// A throw-away machine per test: its own root under the temp folder, made
// the current machine for the test's duration and removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/files/machine.h"

namespace zv::platform::testing {

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = std::filesystem::temp_directory_path() /
            ("zvm-" + std::to_string(getpid()) + "-" + info->test_suite_name() + "-" + info->name());
    std::filesystem::remove_all(root_);
    machine_ = Machine::Open(root_, true);
    Machine::SetCurrent(machine_);
  }
  void TearDown() override {
    Machine::SetCurrent(nullptr);
    machine_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  // Host path of a path on drive C: ("Windows/System32").
  std::filesystem::path C(const std::string& rel = "") const { return root_ / "volumes" / "C" / rel; }
  void MakeFile(const std::filesystem::path& p, const std::string& content = "x") const {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  std::string ReadHost(const std::filesystem::path& p) const {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path root_;
  std::shared_ptr<Machine> machine_;
};

}  // namespace zv::platform::testing
