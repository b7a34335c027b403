// The minifilter driver stand-in: one daemon per loaded filter and machine.
//
// Owns: the filter's socket in the machine's run folder, its single port
// client ("\TavrelORXPort"), message ids, the queue of notifications to the
// client and the waits for replies (kinds 3, 4, 5, 7, 8, 10) with the reply
// time-out, the commands the client sent (direct-free pids, allow-unload),
// the feed of the machine's process starts and ends (kinds 2 and 1),
// control requests (inject, status, unload), the lines the client sends
// for messages an injector asked to have explained (driver_channel/explain.h),
// the reply times of recent messages and the log lines about replies that
// time out.
// Only uid 0, the daemon's own uid, the machine's owner and the admin group
// may connect.
// Must not: decide on events itself: without a client, or after the reply
// time-out, the operation proceeds undecided.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/filter/filter_wire.h"
#include "platform/files/machine.h"

namespace zv::suite {

class DriverDaemon {
 public:
  static constexpr const wchar_t* kPortName = L"\\TavrelORXPort";
  static constexpr std::uint32_t kDefaultReplyTimeoutMs = 3000;

  DriverDaemon(std::wstring filterName, std::shared_ptr<platform::Machine> machine);
  // Takes the filter's lock, serves, writes 'R' (or 'A' when another copy
  // holds the lock) to readyFd. Returns only on failure; an unload ends
  // the process.
  int Run(int readyFd);

 private:
  // One accepted connection; its descriptor closes with the last
  // reference (an injector may still hold one while it writes).
  struct Connection {
    ~Connection();
    int fd = -1;
    std::mutex write;
    bool isPort = false;
    bool refused = false;  // the peer may not talk to the driver
  };
  struct Pending {
    bool done = false;
    // An injection that is not explained is answered by the thread that
    // takes the reply, straight to the injector's connection; `answering`
    // while it writes, `answered` once the answer went out.
    std::shared_ptr<Connection> injector;
    std::uint32_t request = 0;
    bool answering = false;
    bool answered = false;
    std::chrono::steady_clock::time_point sentAt;
    std::uint8_t kind = 0;
    std::uint32_t processId = 0;
    platform::wire::Outcome outcome = platform::wire::Outcome::NoClient;
    std::uint8_t allow = 0;
    std::uint8_t aux = 0;
    // Explained messages: the client's lines (encoded, as sent) until its
    // last part came, and the lines that did not fit the answer.
    bool explained = false;
    std::string lines;
    std::uint32_t droppedLines = 0;
    std::condition_variable cv;
  };
  struct Result {
    platform::wire::Outcome outcome = platform::wire::Outcome::NoClient;
    std::uint8_t allow = 0;
    std::uint8_t aux = 0;
    std::uint64_t messageId = 0;
    bool explained = false;
    std::string lines;
    std::uint32_t droppedLines = 0;
    bool answered = false;  // the injector has its answer already
  };

  void Serve(std::shared_ptr<Connection> c);
  void Respond(Connection& c, std::uint32_t request, win::HRESULT hr, std::string_view payload = {});
  win::HRESULT Hello(const std::shared_ptr<Connection>& c, std::string_view body);
  // Matches a reply, answers its injector, then the client.
  void OnReply(Connection& client, std::uint32_t request, std::string_view body);
  win::HRESULT OnCommand(std::string_view body);
  win::HRESULT OnExplanation(std::string_view body);
  void EndExplanations();
  // explain: mark the message and wait for the client's lines as well.
  // injector, request: who to answer when the reply comes (not for
  // explained messages); the Result then says whether that was done.
  Result Deliver(const std::string& notification, bool explain = false,
                 std::shared_ptr<Connection> injector = nullptr, std::uint32_t request = 0);
  static std::string OutcomePayload(const Result& r, bool explain);
  // Called with mutex_ held.
  void NoteReplyTime(const Pending& p);
  void NoteTimedOut(const Pending& p, std::uint64_t messageId);
  void DropClient(const std::shared_ptr<Connection>& c);
  std::string StatusText();
  void Unload(Connection& c, std::uint32_t request);
  void FeedLoop();

  std::wstring filterName_;
  std::shared_ptr<platform::Machine> machine_;
  std::string socketPath_;
  std::string pidPath_;
  int listenFd_ = -1;
  uid_t owner_ = 0;
  gid_t adminGroup_ = 0;
  std::uint32_t replyTimeoutMs_ = kDefaultReplyTimeoutMs;

  std::mutex mutex_;
  std::shared_ptr<Connection> client_;
  std::uint64_t nextMessageId_ = 1;
  std::map<std::uint64_t, std::shared_ptr<Pending>> waiting_;
  // Explained messages whose last explanation part has not come yet.
  std::map<std::uint64_t, std::shared_ptr<Pending>> explaining_;
  std::set<std::uint32_t> directFree_;
  std::optional<std::uint32_t> allowUnload_;
  bool unloading_ = false;
  struct Counts {
    std::uint64_t connections = 0, refused = 0, sent = 0, replied = 0, timedOut = 0, noReply = 0, noClient = 0,
                  lateReplies = 0, commands = 0, badCommands = 0, processEvents = 0, deniedPeers = 0,
                  explanations = 0;
  } counts_;
  std::int64_t feedSeq_ = 0;
  // Send-to-reply times of the last kReplyTimeWindow replies, microseconds.
  static constexpr std::size_t kReplyTimeWindow = 65536;
  std::vector<std::uint32_t> replyTimesUs_;
  std::size_t replyTimesNext_ = 0;
  // Replies timing out: logged when it starts, summed up at most every
  // kTimeoutLogPeriod while it goes on, and when replies come in time again
  // after a period without a time-out.
  static constexpr std::chrono::seconds kTimeoutLogPeriod{10};
  bool timingOut_ = false;
  std::uint64_t spellTimeouts_ = 0;     // since the spell began
  std::uint64_t unloggedTimeouts_ = 0;  // since the last line
  std::chrono::steady_clock::time_point timeoutLoggedAt_;
  std::chrono::steady_clock::time_point lastTimeoutAt_;
};

}  // namespace zv::suite
