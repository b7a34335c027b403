// The service manager's Win32 rules that need no driver to run: handles
// and rights, creating over existing keys, the errors of start, delete and
// stop. Starting and stopping driver stand-ins is tested with the drivers
// (suite/block_drivers/tests).
#include <gtest/gtest.h>

#include <string>

#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/registry/registry_api.h"
#include "platform/services/service_manager_api.h"
#include "platform/services/testing/service_manager_fixture.h"

namespace zv::platform {
namespace {

class ServiceManagerTest : public testing::ServiceManagerMachineTest {
 protected:
  win::SC_HANDLE Create(const wchar_t* name, win::DWORD type = win::SERVICE_KERNEL_DRIVER,
                        win::DWORD start = win::SERVICE_DEMAND_START,
                        const wchar_t* image = L"C:\\Windows\\System32\\drivers\\x.sys") {
    return Scm().CreateServiceW(manager_, name, nullptr, win::SERVICE_ALL_ACCESS, type, start,
                                win::SERVICE_ERROR_NORMAL, image, nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  win::DWORD StartError(win::SC_HANDLE s) {
    return Scm().StartServiceW(s, 0, nullptr) ? 0 : GetLastError();
  }
  win::DWORD State(win::SC_HANDLE s) {
    win::SERVICE_STATUS st{};
    EXPECT_TRUE(Scm().QueryServiceStatus(s, &st));
    return st.dwCurrentState;
  }
  std::string Image(const std::string& rel, const std::string& content) {
    MakeFile(C(rel), content);
    return rel;
  }

};

TEST_F(ServiceManagerTest, ManagerAndHandleErrors) {
  EXPECT_EQ(Scm().OpenSCManagerW(L"\\\\other", nullptr, win::SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), 1722u);
  EXPECT_EQ(Scm().OpenSCManagerW(nullptr, L"ServicesFailed", win::SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_DATABASE_DOES_NOT_EXIST);
  win::SC_HANDLE active = Scm().OpenSCManagerW(L"", L"servicesactive", win::SC_MANAGER_CONNECT);
  ASSERT_NE(active, nullptr);
  // A connect-only manager handle cannot create.
  EXPECT_EQ(Scm().CreateServiceW(active, L"x", nullptr, win::SERVICE_ALL_ACCESS, win::SERVICE_KERNEL_DRIVER,
                                 win::SERVICE_DEMAND_START, win::SERVICE_ERROR_NORMAL, L"C:\\x.sys", nullptr,
                                 nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(Scm().CloseServiceHandle(active));
  EXPECT_FALSE(Scm().CloseServiceHandle(active));
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_HANDLE);
  // A manager handle is not a service handle.
  EXPECT_FALSE(Scm().StartServiceW(manager_, 0, nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_HANDLE);

  EXPECT_EQ(Scm().OpenServiceW(manager_, L"absent", win::SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(Scm().OpenServiceW(manager_, L"a\\b", win::SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_NAME);
  EXPECT_EQ(Scm().OpenServiceA(manager_, nullptr, win::SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_NAME);
}

TEST_F(ServiceManagerTest, CreateWritesTheKeyAndRefusesDuplicates) {
  // Settings written before the service exists stay in its key.
  auto& reg = Registry::Get();
  win::HKEY key = nullptr;
  ASSERT_EQ(reg.RegCreateKeyExW(win::HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Drv", 0, nullptr, 0,
                                win::KEY_ALL_ACCESS, nullptr, &key, nullptr),
            0);
  win::DWORD one = 1;
  reg.RegSetValueExW(key, L"Setting", 0, win::REG_DWORD, reinterpret_cast<const win::BYTE*>(&one), 4);
  reg.RegCloseKey(key);
  EXPECT_EQ(Scm().OpenServiceW(manager_, L"drv", win::SERVICE_ALL_ACCESS), nullptr) << "a key without Type";

  win::SC_HANDLE s = Scm().CreateServiceA(manager_, "drv", "drv", win::SERVICE_ALL_ACCESS, win::SERVICE_KERNEL_DRIVER,
                                          win::SERVICE_DEMAND_START, win::SERVICE_ERROR_NORMAL,
                                          "C:\\Windows\\system32\\Drivers\\drv.sys", nullptr, nullptr, nullptr,
                                          nullptr, nullptr);
  ASSERT_NE(s, nullptr);
  auto e = FindService(*machine_, L"DRV");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->name, L"Drv");
  EXPECT_EQ(e->type, win::SERVICE_KERNEL_DRIVER);
  EXPECT_EQ(e->start, win::SERVICE_DEMAND_START);
  EXPECT_EQ(e->imagePath, L"C:\\Windows\\system32\\Drivers\\drv.sys");
  EXPECT_EQ(e->state, win::SERVICE_STOPPED);
  win::DWORD v = 0, size = 4;
  ASSERT_EQ(reg.RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\drv", 0, win::KEY_READ,
                              &key),
            0);
  EXPECT_EQ(reg.RegQueryValueExW(key, L"Setting", nullptr, nullptr, reinterpret_cast<win::BYTE*>(&v), &size), 0);
  EXPECT_EQ(v, 1u);
  reg.RegCloseKey(key);

  EXPECT_EQ(Create(L"DRV"), nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_SERVICE_EXISTS);
  // What the machine does not keep is refused rather than dropped.
  EXPECT_EQ(Scm().CreateServiceW(manager_, L"y", nullptr, win::SERVICE_ALL_ACCESS, win::SERVICE_KERNEL_DRIVER,
                                 win::SERVICE_DEMAND_START, win::SERVICE_ERROR_NORMAL, L"C:\\y.sys", L"Group",
                                 nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Create(L"y", 0x100), nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Create(L"y", win::SERVICE_KERNEL_DRIVER, win::SERVICE_DEMAND_START, L""), nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);
  Scm().CloseServiceHandle(s);
}

TEST_F(ServiceManagerTest, StartFailuresLeaveTheServiceStopped) {
  win::SC_HANDLE missing = Create(L"missing", win::SERVICE_KERNEL_DRIVER, win::SERVICE_DEMAND_START,
                                  L"\\SystemRoot\\System32\\drivers\\missing.sys");
  EXPECT_EQ(StartError(missing), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(State(missing), win::SERVICE_STOPPED);

  Image("Windows/System32/drivers/plain.sys", "MZ not a program file");
  win::SC_HANDLE plain = Create(L"plain", win::SERVICE_KERNEL_DRIVER, win::SERVICE_DEMAND_START,
                                L"System32\\drivers\\plain.sys");
  EXPECT_EQ(StartError(plain), 193u);

  Image("Windows/System32/drivers/nobody.sys", "ZVPROGRAM\nstandin=no-such-driver\n");
  win::SC_HANDLE nobody = Create(L"nobody", win::SERVICE_KERNEL_DRIVER, win::SERVICE_DEMAND_START,
                                 L"\\??\\C:\\Windows\\System32\\drivers\\nobody.sys");
  EXPECT_EQ(StartError(nobody), 216u);
  EXPECT_EQ(State(nobody), win::SERVICE_STOPPED);

  win::SC_HANDLE disabled = Create(L"disabled", win::SERVICE_KERNEL_DRIVER, win::SERVICE_DISABLED);
  EXPECT_EQ(StartError(disabled), win::ERROR_SERVICE_DISABLED);

  machine_->SetSetting("service.missing.start_error", "1275");
  EXPECT_EQ(StartError(missing), 1275u) << "the switch wins before the image is looked at";

  win::SC_HANDLE process = Create(L"proc", win::SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(StartError(process), win::ERROR_NOT_SUPPORTED);
  EXPECT_EQ(State(process), win::SERVICE_STOPPED);

  win::SERVICE_STATUS st{};
  EXPECT_FALSE(Scm().ControlService(missing, win::SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(GetLastError(), win::ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(st.dwCurrentState, win::SERVICE_STOPPED);
  EXPECT_EQ(st.dwServiceType, win::SERVICE_KERNEL_DRIVER);
  for (win::SC_HANDLE h : {missing, plain, nobody, disabled, process}) Scm().CloseServiceHandle(h);
}

TEST_F(ServiceManagerTest, RightsAndDeleteOfAStoppedService) {
  Scm().CloseServiceHandle(Create(L"drv"));
  win::SC_HANDLE query = Scm().OpenServiceW(manager_, L"drv", win::SERVICE_QUERY_STATUS);
  ASSERT_NE(query, nullptr);
  EXPECT_FALSE(Scm().StartServiceW(query, 0, nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Scm().DeleteService(query));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);

  win::SC_HANDLE all = Scm().OpenServiceW(manager_, L"drv", win::SERVICE_ALL_ACCESS);
  ASSERT_NE(all, nullptr);
  EXPECT_TRUE(Scm().DeleteService(all));
  EXPECT_FALSE(FindService(*machine_, L"drv"));
  EXPECT_EQ(Scm().OpenServiceW(manager_, L"drv", win::SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), win::ERROR_SERVICE_DOES_NOT_EXIST);
  win::HKEY key = nullptr;
  EXPECT_EQ(Registry::Get().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\drv", 0,
                                          win::KEY_READ, &key),
            win::ERROR_FILE_NOT_FOUND);
  // Handles still open answer as for a deleted service.
  EXPECT_FALSE(Scm().DeleteService(all));
  EXPECT_EQ(GetLastError(), win::ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(StartError(all), win::ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(State(query), win::SERVICE_STOPPED);
  Scm().CloseServiceHandle(query);
  Scm().CloseServiceHandle(all);
}

TEST(DriverImagePath, FormsOfImagePath) {
  EXPECT_EQ(DriverImageDosPath(L"\\SystemRoot\\System32\\drivers\\a.sys"), L"C:\\Windows\\System32\\drivers\\a.sys");
  EXPECT_EQ(DriverImageDosPath(L"%SystemRoot%\\system32\\a.sys"), L"C:\\Windows\\system32\\a.sys");
  EXPECT_EQ(DriverImageDosPath(L"System32\\drivers\\a.sys"), L"C:\\Windows\\System32\\drivers\\a.sys");
  EXPECT_EQ(DriverImageDosPath(L"\\??\\D:\\x\\a.sys"), L"D:\\x\\a.sys");
  EXPECT_EQ(DriverImageDosPath(L"C:\\Windows\\a.sys"), L"C:\\Windows\\a.sys");
}

}  // namespace
}  // namespace zv::platform
