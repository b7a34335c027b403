// Test fixture: a fresh machine per test, the real driver daemon started
// through FilterLoad, and a port client on the real filter-manager calls.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/filter/completion_port_queue.h"
#include "platform/filter/filter_api.h"
#include "platform/filter/filter_port.h"
#include "platform/filter/filter_wire.h"
#include "platform/base/handles.h"
#include "platform/files/machine.h"
#include "suite/driver/driver_events.h"
#include "suite/driver/testing/machine_fixture.h"

namespace zv::suite::testing {

namespace fs = std::filesystem;
using platform::CompletionPacket;
using platform::CompletionPortObject;
using platform::Filters;

inline constexpr wchar_t kPort[] = L"\\TavrelORXPort";

// The message buffer as the worker pool lays it out: 2120 bytes read into,
// then the overlapped record.
struct MessageBuffer {
  unsigned char bytes[platform::wire::kMessageSize];
  win::OVERLAPPED overlapped;
  static MessageBuffer* From(win::OVERLAPPED* o) {
    return reinterpret_cast<MessageBuffer*>(reinterpret_cast<unsigned char*>(o) - platform::wire::kMessageSize);
  }
  std::uint64_t MessageId() const { return platform::wire::GetU64(View(), 8); }
  std::string_view View() const { return {reinterpret_cast<const char*>(bytes), sizeof bytes}; }
  Notification Read() const { return Notification::FromBytes(View().substr(16)); }
};
static_assert(sizeof(MessageBuffer) == 2152);

// A port client with its completion port; binds through the port object
// and dequeues from the completion port object directly.
class PortClient {
 public:
  win::HRESULT Connect() {
    win::HRESULT hr = Filters::Get().FilterConnectCommunicationPort(kPort, 0, nullptr, 0, nullptr, &port);
    if (hr == win::S_OK) {
      completion = std::make_shared<CompletionPortObject>(8);
      platform::LookupHandleAs<platform::FilterPortObject>(port)->Bind(completion, 7);
    }
    return hr;
  }
  win::HRESULT Post(MessageBuffer* b) {
    b->overlapped = win::OVERLAPPED{};
    return Filters::Get().FilterGetMessage(port, b->bytes, platform::wire::kMessageSize, &b->overlapped);
  }
  void PostReads(int n) {
    for (int i = 0; i < n; ++i) {
      buffers.push_back(std::make_unique<MessageBuffer>());
      ASSERT_EQ(Post(buffers.back().get()), win::HR_IO_PENDING);
    }
  }
  CompletionPortObject::Result Next(CompletionPacket& p, int ms = 10000) {
    return completion->Dequeue(std::chrono::milliseconds(ms), p, nullptr);
  }
  win::HRESULT Reply(std::uint64_t id, std::uint8_t allow, std::uint8_t aux) {
    std::string reply(platform::wire::kReplySize, '\0');
    platform::wire::PutU64(reply, 8, id);
    reply[16] = static_cast<char>(allow);
    reply[17] = static_cast<char>(aux);
    return Filters::Get().FilterReplyMessage(port, reply.data(), platform::wire::kReplySize);
  }
  win::HRESULT Command(std::uint32_t command, std::uint32_t argument) {
    std::string c(platform::wire::kCommandSize, '\0');
    platform::wire::PutU32(c, 0, command);
    platform::wire::PutU32(c, 8, argument);
    win::DWORD returned = 99;
    return Filters::Get().FilterSendMessage(port, c.data(), platform::wire::kCommandSize, nullptr, 0, &returned);
  }
  // Answers every notification that waits for a reply with decide(n) until
  // the port dies; records what it saw.
  void StartResponder(std::function<std::pair<std::uint8_t, std::uint8_t>(const Notification&)> decide,
                      int reads = 5) {
    PostReads(reads);
    responder = std::thread([this, decide] {
      CompletionPacket p;
      while (Next(p, 30000) == CompletionPortObject::Result::Packet && p.error == 0) {
        MessageBuffer* b = MessageBuffer::From(p.overlapped);
        Notification n = b->Read();
        std::string bytes(b->View());
        win::HRESULT replied = win::S_OK;
        if (Notification::WaitsForReply(n.kind)) {
          auto [allow, aux] = decide(n);
          replied = Reply(b->MessageId(), allow, aux);
        }
        {
          // Recorded once answered, so a test that saw it can close the port.
          std::lock_guard lock(seenMutex);
          seen.push_back(n);
          seenBytes.push_back(bytes);
          replyResults.push_back(replied);
        }
        if (Post(b) != win::HR_IO_PENDING) break;
      }
    });
  }
  std::vector<Notification> Seen() {
    std::lock_guard lock(seenMutex);
    return seen;
  }
  void Close() {
    if (port != win::INVALID_HANDLE_VALUE) platform::CloseHandle(port);
    port = win::INVALID_HANDLE_VALUE;
    if (responder.joinable()) responder.join();
  }
  ~PortClient() { Close(); }

  win::HANDLE port = win::INVALID_HANDLE_VALUE;
  std::shared_ptr<CompletionPortObject> completion;
  std::vector<std::unique_ptr<MessageBuffer>> buffers;
  std::thread responder;
  std::mutex seenMutex;
  std::vector<Notification> seen;
  std::vector<std::string> seenBytes;
  std::vector<win::HRESULT> replyResults;  // responder thread only; read after Close
};

class DriverTest : public ScratchMachineTest {
 protected:
  DriverTest() : ScratchMachineTest("zvdrv-") {}
  // The reply time-out in driver milliseconds (100 per real millisecond);
  // generous by default so slow (sanitizer) runs never time out by accident.
  void Load(int replyTimeoutMs = 300000) {
    machine_->SetSetting("driver.ReplyTimeoutMs", std::to_string(replyTimeoutMs));
    ASSERT_EQ(Filters::Get().FilterLoad(L"ZVORX"), win::S_OK);
  }
  std::string Status() { return DriverControl().Status().value_or(""); }
};

}  // namespace zv::suite::testing
