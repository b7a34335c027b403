// Test fixture: a backup engine (without its threads) on a throw-away
// machine, with the machine's processes, volumes and files, and a filter
// library that answers DOS names from the machine and records the commands
// sent to the driver.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver_channel/port_client.h"
#include "driver_channel/records.h"
#include "engines/backup/backupengine.h"
#include "engines/base/tests/log_capture.h"
#include "platform/base/injectable.h"
#include "platform/files/testing/machine_fixture.h"
#include "platform/filter/filter_api.h"
#include "platform/processes/process_table.h"

namespace zv::engines::testing {

// The machine's filter library, except that commands are recorded and
// answered with `sendResult`.
class RecordingFilters : public platform::FilterApi {
 public:
  explicit RecordingFilters(platform::FilterApi& real) : real_(real) {}
  win::HRESULT FilterLoad(const win::WCHAR* name) override { return real_.FilterLoad(name); }
  win::HRESULT FilterUnload(const win::WCHAR* name) override { return real_.FilterUnload(name); }
  win::HRESULT FilterConnectCommunicationPort(const win::WCHAR* name, win::DWORD options, const void* context,
                                              win::WORD size, const void* security, win::HANDLE* port) override {
    return real_.FilterConnectCommunicationPort(name, options, context, size, security, port);
  }
  win::HRESULT FilterGetMessage(win::HANDLE port, void* buffer, win::DWORD size, win::OVERLAPPED* o) override {
    return real_.FilterGetMessage(port, buffer, size, o);
  }
  win::HRESULT FilterReplyMessage(win::HANDLE port, const void* reply, win::DWORD size) override {
    return real_.FilterReplyMessage(port, reply, size);
  }
  win::HRESULT FilterSendMessage(win::HANDLE, const void* in, win::DWORD inSize, void* out, win::DWORD outSize,
                                 win::DWORD*) override {
    EXPECT_EQ(inSize, channel::kCommandSize);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outSize, 0u);
    channel::MXRED_COMMAND command;
    std::memcpy(&command, in, sizeof command);
    std::lock_guard lock(mutex_);
    if (command.Command == channel::kCommandAddDirectFree) directFree_.push_back(command.Argument);
    return sendResult;
  }
  win::HRESULT FilterGetDosName(const win::WCHAR* volume, win::WCHAR* dos, win::DWORD units) override {
    return real_.FilterGetDosName(volume, dos, units);
  }
  std::vector<win::DWORD> DirectFree() {
    std::lock_guard lock(mutex_);
    return directFree_;
  }

  win::HRESULT sendResult = win::S_OK;

 private:
  platform::FilterApi& real_;
  std::mutex mutex_;
  std::vector<win::DWORD> directFree_;
};

class BackupEngineTest : public platform::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    engine_ = std::make_unique<backupengine>();
    engine_->Initialize(false);
  }
  void TearDown() override {
    engine_.reset();
    MachineTest::TearDown();
  }

  // A machine process; its image is a DOS path.
  win::DWORD Spawn(const std::wstring& image, win::DWORD session = 1, win::DWORD parent = 0) {
    return platform::AddProcess(*machine_, parent, image, session, false);
  }
  static channel::_MXRED_NOTIFICATION Note(win::BYTE kind, win::DWORD pid) {
    channel::_MXRED_NOTIFICATION n;
    std::memset(&n, 0, sizeof n);
    n.Kind = kind;
    n.ProcessId = pid;
    return n;
  }
  void Dispatch(channel::_MXRED_NOTIFICATION& n) {
    channel::_MXRED_REPLY_MESSAGE reply;
    std::memset(&reply, 0, sizeof reply);
    reply.Allow = 1;
    engine_->OnNotification(&n, &reply);
    EXPECT_EQ(reply.Allow, 1);
  }
  void Image(win::DWORD pid, const std::wstring& devicePath) {
    auto n = Note(channel::kKindImageLoad, pid);
    n.SetPath(devicePath);
    Dispatch(n);
  }
  void Started(win::DWORD pid, win::DWORD parent) {
    auto n = Note(channel::kKindProcess, pid);
    n.Param1 = parent;
    n.Param2 = 1;
    Dispatch(n);
  }
  void Ended(win::DWORD pid) {
    auto n = Note(channel::kKindProcess, pid);
    Dispatch(n);
  }
  std::uint32_t Type(win::DWORD pid) { return engine_->GetProcessType(pid); }
  int Int(const std::wstring& command, int value) { return engine_->OnCommandInt(7, command, value); }
  int Str(const std::wstring& command, const std::wstring& value) {
    return engine_->OnCommandString(7, command, value);
  }

  static int Count(const std::vector<std::wstring>& lines, std::wstring_view text) {
    int n = 0;
    for (const auto& line : lines) n += line.find(text) != std::wstring::npos;
    return n;
  }
  static int Count(const std::string& text, std::string_view needle) {
    int n = 0;
    for (auto p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
  }

  platform::FilterApi& realFilters_ = platform::Filters::Get();
  RecordingFilters filters_{realFilters_};
  platform::ScopedApi<platform::FilterApi> scopedFilters_{filters_};
  std::unique_ptr<backupengine> engine_;
};

}  // namespace zv::engines::testing
