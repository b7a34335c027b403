// What the steps' tests hand in for the running program: fixed folders,
// flags the test sets, a log that collects lines and a tree deletion that
// never follows links (a link goes itself, its target stays). Also the
// fixture: a machine with the product folder, helpers for files, links
// and registry values.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/files/testing/machine_fixture.h"
#include "platform/registry/registry_api.h"
#include "startup_init/restore/file_walk.h"
#include "startup_init/restore/reg_key.h"
#include "startup_init/steps/startup_steps.h"

namespace zv::startup::testing {

class TestHost : public StartupHost {
 public:
  const std::wstring& ProductFolder() const override { return product; }
  const std::wstring& ModuleFolder() const override { return module; }
  int IsWow64() const override { return wow64; }
  int IsVistaOrLater() const override { return vista; }
  int ProtectionOn() const override { return protection; }
  int CleanRecycle() const override { return protection == 1 ? recycle : 0; }
  int CleanTemporary() const override { return protection == 1 ? temporary : 0; }
  void ReadProductData() override {
    ++reads;
    protection = storedProtection;
  }
  void WriteLog(const std::wstring& message) override { log.push_back(message); }
  void DeleteDirectory(const std::wstring& folder) override {
    deleted.push_back(folder);
    DeleteTree(folder);
  }
  std::wstring CurrentUserRegistryKey() override { return userKey; }

  bool Logged(const std::wstring& part) const {
    for (const auto& line : log) {
      if (line.find(part) != std::wstring::npos) return true;
    }
    return false;
  }

  std::wstring product = L"C:\\Program Files\\ZV\\";
  std::wstring module = L"C:\\Program Files\\ZV";
  int wow64 = 1, vista = 1, protection = 1, storedProtection = 1, recycle = 0, temporary = 0, reads = 0;
  std::wstring userKey;
  std::vector<std::wstring> log, deleted;

 private:
  static void DeleteTree(const std::wstring& folder) {
    auto& files = platform::Files::Get();
    win::DWORD a = files.GetFileAttributesW(folder.c_str());
    if (a == win::INVALID_FILE_ATTRIBUTES) return;
    if (a & win::FILE_ATTRIBUTE_REPARSE_POINT) {
      DeleteEntry(folder, a);
      return;
    }
    for (const FolderEntry& e : ListFolder(folder + L"\\*").entries) {
      const std::wstring path = folder + L"\\" + e.name;
      if (e.IsFolder() && !e.IsLink()) {
        DeleteTree(path);
      } else {
        DeleteEntry(path, e.attributes | (e.IsLink() ? 0 : win::FILE_ATTRIBUTE_READONLY));
      }
    }
    files.RemoveDirectoryW(folder.c_str());
  }
};

class StepsTest : public platform::testing::MachineTest {
 protected:
  using path = std::filesystem::path;

  void SetUp() override {
    MachineTest::SetUp();
    std::filesystem::create_directories(C("Program Files/ZV"));
    std::filesystem::create_directories(C("Windows/System32"));
  }
  // Host path of a file under the product folder.
  path Product(const std::string& rel = "") const { return C("Program Files/ZV/" + rel); }
  bool Has(const path& p) const { return std::filesystem::exists(std::filesystem::symlink_status(p)); }
  void Link(const path& link, const path& target) const {
    std::filesystem::create_directories(link.parent_path());
    std::filesystem::create_directory_symlink(target, link);
  }

  // Registry values of HKLM (or HKU) in a chosen view.
  static std::wstring RegString(win::HKEY root, const std::wstring& key, const std::wstring& name,
                                win::REGSAM view = 0) {
    RegKey k;
    std::wstring out = L"<missing>";
    if (k.Open(root, key, win::KEY_READ | view) == win::ERROR_SUCCESS) k.ReadString(name, out);
    return out;
  }
  static long RegDword(win::HKEY root, const std::wstring& key, const std::wstring& name, win::REGSAM view = 0) {
    RegKey k;
    win::DWORD v = 0;
    if (k.Open(root, key, win::KEY_READ | view) != win::ERROR_SUCCESS) return -2;
    return k.ReadDword(name, v) == win::ERROR_SUCCESS ? static_cast<long>(v) : -1;
  }
  static bool KeyExists(win::HKEY root, const std::wstring& key, win::REGSAM view = 0) {
    RegKey k;
    return k.Open(root, key, win::KEY_READ | view) == win::ERROR_SUCCESS;
  }
  static void SetString(win::HKEY root, const std::wstring& key, const std::wstring& name, const std::wstring& value,
                        win::REGSAM view = 0) {
    RegKey k;
    ASSERT_EQ(k.Create(root, key, win::KEY_ALL_ACCESS | view), win::ERROR_SUCCESS);
    ASSERT_EQ(k.SetString(name, value), win::ERROR_SUCCESS);
  }
  static void SetDword(win::HKEY root, const std::wstring& key, const std::wstring& name, win::DWORD value,
                       win::REGSAM view = 0) {
    RegKey k;
    ASSERT_EQ(k.Create(root, key, win::KEY_ALL_ACCESS | view), win::ERROR_SUCCESS);
    ASSERT_EQ(k.SetDword(name, value), win::ERROR_SUCCESS);
  }

  TestHost host_;
};

}  // namespace zv::startup::testing
