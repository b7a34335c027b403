// A throw-away machine with the service manager opened on it (all access),
// for tests of services and of the drivers the manager loads.
// Must not: install services or drivers (each test does its own).
#pragma once

#include <gtest/gtest.h>

#include "platform/files/testing/machine_fixture.h"
#include "platform/services/service_manager.h"
#include "platform/services/service_manager_api.h"

namespace zv::platform::testing {

class ServiceManagerMachineTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    manager_ = Scm().OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager_, nullptr);
  }
  void TearDown() override {
    Scm().CloseServiceHandle(manager_);
    MachineTest::TearDown();
  }
  ServiceManagerApi& Scm() { return ServiceManager::Get(); }

  win::SC_HANDLE manager_ = nullptr;
};

}  // namespace zv::platform::testing
