// A throw-away machine per registry test, with short helpers around the
// registry calls.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/base/text.h"
#include "platform/files/testing/machine_fixture.h"
#include "platform/processes/process_table.h"
#include "platform/registry/registry_api.h"

namespace zv::platform::testing {

class RegistryTest : public MachineTest {
 protected:
  void TearDown() override {
    for (win::HKEY h : open_) Registry::Get().RegCloseKey(h);
    UnregisterCurrentProcess();
    std::filesystem::path run = machine_->RunFolder();
    MachineTest::TearDown();
    std::error_code ec;
    std::filesystem::remove_all(run, ec);
  }

  RegistryApi& Reg() { return Registry::Get(); }

  // Makes this test program a 32-bit (or 64-bit) program of the machine.
  void SetBitness(int bits) {
    std::wstring image = text::AsciiLowerCopy(process_detail::FileNameOf(CurrentProcessImage()));
    machine_->SetSetting("program." + text::ToUtf8(image) + ".bitness", std::to_string(bits));
  }

  // Opens or creates; the handle is closed at the end of the test.
  win::HKEY Create(win::HKEY root, const std::wstring& path, win::REGSAM access = win::KEY_ALL_ACCESS) {
    win::HKEY h = nullptr;
    EXPECT_EQ(Reg().RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, access, nullptr, &h, nullptr), 0) << text::ToUtf8(path);
    if (h) open_.push_back(h);
    return h;
  }
  win::LSTATUS Open(win::HKEY root, const std::wstring& path, win::REGSAM access, win::HKEY* out) {
    *out = nullptr;
    win::LSTATUS e = Reg().RegOpenKeyExW(root, path.c_str(), 0, access, out);
    if (*out) open_.push_back(*out);
    return e;
  }
  bool Exists(win::HKEY root, const std::wstring& path, win::REGSAM access = win::KEY_WOW64_64KEY) {
    win::HKEY h;
    return Open(root, path, win::KEY_READ | access, &h) == 0;
  }
  win::LSTATUS SetDword(win::HKEY key, const std::wstring& name, win::DWORD v) {
    return Reg().RegSetValueExW(key, name.c_str(), 0, win::REG_DWORD, reinterpret_cast<const win::BYTE*>(&v), 4);
  }
  // REG_SZ data with its terminator, in UTF-16LE as Windows keeps it.
  win::LSTATUS SetString(win::HKEY key, const std::wstring& name, const std::wstring& v) {
    std::string bytes = text::ToUtf16Le(v + L'\0');
    return Reg().RegSetValueExW(key, name.c_str(), 0, win::REG_SZ, reinterpret_cast<const win::BYTE*>(bytes.data()),
                                static_cast<win::DWORD>(bytes.size()));
  }
  // The DWORD value, or ~0u when it cannot be read.
  win::DWORD GetDword(win::HKEY key, const std::wstring& name) {
    win::DWORD v = 0, size = 4, type = 0;
    if (Reg().RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<win::BYTE*>(&v), &size)) return ~0u;
    return v;
  }

  std::vector<win::HKEY> open_;
};

}  // namespace zv::platform::testing
