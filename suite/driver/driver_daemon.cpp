// The driver stand-in daemon: see driver_daemon.h.
#include "suite/driver/driver_daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "driver_channel/explain.h"
#include "platform/base/clock.h"
#include "platform/processes/process_table.h"
#include "platform/base/text.h"
#include "suite/driver/driver_events.h"

namespace zv::suite {

namespace wire = platform::wire;
using wire::Frame;
using wire::Outcome;

namespace {

constexpr int kAcceptBackoffMs = 100;
// The answer to an explained injection: the outcome, u32 1 when the
// client's lines came, u32 lines left out, then the lines; at most this
// many bytes of lines, so the answer fits a frame.
constexpr std::size_t kExplainedOutcomeSize = 24;
constexpr std::size_t kMaxExplanationBytes = 60 * 1024;
constexpr int kHelloTimeoutMs = 5000;
constexpr int kRefusedHelloTimeoutMs = 1000;

void Log(const std::string& line) {
  std::string out = "zvorx-driver[" + std::to_string(::getpid()) + "]: " + line + "\n";
  ssize_t ignored = ::write(2, out.data(), out.size());
  (void)ignored;
}

}  // namespace

DriverDaemon::Connection::~Connection() {
  if (fd >= 0) ::close(fd);
}

DriverDaemon::DriverDaemon(std::wstring filterName, std::shared_ptr<platform::Machine> machine)
    : filterName_(std::move(filterName)), machine_(std::move(machine)) {}

int DriverDaemon::Run(int readyFd) {
  auto ready = [&](char word) {
    if (readyFd < 0) return;
    ssize_t ignored = ::write(readyFd, &word, 1);
    (void)ignored;
    ::close(readyFd);
    readyFd = -1;
  };

  // One daemon per filter and machine. A daemon that is just exiting after
  // an unload still holds the lock for a moment, so wait a little for it.
  std::string lockPath = wire::DriverLockPath(filterName_);
  int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool locked = false;
  for (int i = 0; lockFd >= 0 && i < 100 && !locked; ++i) {
    if (::flock(lockFd, LOCK_EX | LOCK_NB) == 0) locked = true;
    else std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!locked) {
    Log("another copy is loaded");
    ready('A');
    return 1;
  }

  socketPath_ = wire::DriverSocketPath(filterName_);
  pidPath_ = wire::DriverPidPath(filterName_);
  owner_ = machine_->Owner();
  adminGroup_ = machine_->AdminGroup();
  ::unlink(socketPath_.c_str());
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socketPath_.c_str(), std::min(socketPath_.size() + 1, sizeof addr.sun_path - 1));
  // Made without permissions for anyone (still one thread here), then
  // opened to the owner and the admin group, whatever the umask.
  mode_t oldMask = ::umask(0777);
  bool bound = listenFd_ >= 0 && ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::umask(oldMask);
  if (bound) {
    if (::chown(socketPath_.c_str(), static_cast<uid_t>(-1), adminGroup_) != 0) {
      Log(std::string("cannot give the socket the admin group: ") + std::strerror(errno));
    }
    bound = ::chmod(socketPath_.c_str(), platform::kRunSocketMode) == 0;
  }
  if (!bound || ::listen(listenFd_, 64) != 0) {
    Log(std::string("cannot listen on ") + socketPath_ + ": " + std::strerror(errno));
    ready('E');
    return 1;
  }

  if (auto v = machine_->Setting("driver.ReplyTimeoutMs")) {
    long long ms = std::atoll(v->c_str());
    if (ms > 0) replyTimeoutMs_ = static_cast<std::uint32_t>(ms);
  }
  // Process events from before the load are history; report only new ones.
  feedSeq_ = platform::LastProcessEventSeq(*machine_);
  int pidFd = ::open(pidPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                     platform::kRunPrivateFileMode);
  if (pidFd >= 0) {
    ::fchmod(pidFd, platform::kRunPrivateFileMode);
    std::string pid = std::to_string(::getpid()) + "\n";
    ssize_t ignored = ::write(pidFd, pid.data(), pid.size());
    (void)ignored;
    ::close(pidFd);
  }
  std::thread([this] { FeedLoop(); }).detach();
  Log("loaded " + text::ToUtf8(filterName_) + ", port " + text::ToUtf8(kPortName) + ", reply time-out " +
      std::to_string(replyTimeoutMs_) + " ms");
  ready('R');

  for (;;) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      int error = errno;
      {
        // The listening socket is gone (unloading): the unloader ends us.
        std::lock_guard lock(mutex_);
        if (unloading_) break;
      }
      if (error == EINTR || error == ECONNABORTED) continue;
      // Out of descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM) or
      // anything else: connections end and free theirs, so keep serving.
      Log(std::string("accept failed, retrying in ") + std::to_string(kAcceptBackoffMs) +
          " ms: " + std::strerror(error));
      std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptBackoffMs));
      continue;
    }
    auto c = std::make_shared<Connection>();
    c->fd = fd;
    if (!platform::PeerAllowed(fd, owner_, adminGroup_)) {
      ucred peer{};
      socklen_t length = sizeof peer;
      ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length);
      Log("refused a connection from uid " + std::to_string(peer.uid));
      std::lock_guard lock(mutex_);
      ++counts_.deniedPeers;
      c->refused = true;
    }
    // A connection must say Hello in time (a refused one gets less); it
    // serves without a time-out after.
    timeval helloTime{c->refused ? kRefusedHelloTimeoutMs / 1000 : kHelloTimeoutMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &helloTime, sizeof helloTime);
    try {
      std::thread([this, c] { Serve(c); }).detach();
    } catch (const std::system_error& e) {
      Log(std::string("no thread for a connection, dropped: ") + e.what());  // closes with c
    }
  }
  for (;;) ::pause();
}

void DriverDaemon::Respond(Connection& c, std::uint32_t request, win::HRESULT hr, std::string_view payload) {
  std::lock_guard lock(c.write);
  wire::SendFrame(c.fd, Frame::Result, request, wire::ResultBody(hr, payload));
}

win::HRESULT DriverDaemon::Hello(const std::shared_ptr<Connection>& c, std::string_view body) {
  auto role = static_cast<wire::Role>(wire::GetU32(body, 0));
  if (role == wire::Role::Control) return win::S_OK;
  if (role != wire::Role::Port || body.size() < 4) return win::E_INVALIDARG;
  std::wstring name = text::FromUtf16Le(body.data() + 4, body.size() - 4);
  if (!text::AsciiIEquals(name, kPortName)) return win::HRESULT_FROM_WIN32(win::ERROR_FILE_NOT_FOUND);
  std::lock_guard lock(mutex_);
  if (unloading_) return win::HRESULT_FROM_WIN32(win::ERROR_FILE_NOT_FOUND);
  if (client_) {
    ++counts_.refused;
    return win::HR_CONNECTION_COUNT_LIMIT;
  }
  client_ = c;
  c->isPort = true;
  ++counts_.connections;
  return win::S_OK;
}

void DriverDaemon::Serve(std::shared_ptr<Connection> c) {
  wire::FrameHeader header;
  std::string body;
  bool hello = false;
  bool control = false;
  while (wire::ReceiveFrame(c->fd, header, body)) {
    if (c->refused) {
      // Told why, then dropped: nothing it sent is acted on.
      Respond(*c, header.request, win::HRESULT_FROM_WIN32(win::ERROR_ACCESS_DENIED));
      break;
    }
    if (!hello) {
      if (header.type != Frame::Hello) break;
      hello = true;
      // Answer under the write lock: no message may overtake the answer.
      std::lock_guard lock(c->write);
      win::HRESULT hr = Hello(c, body);
      wire::SendFrame(c->fd, Frame::Result, header.request, wire::ResultBody(hr));
      if (hr != win::S_OK) break;
      timeval none{};
      ::setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
      control = !c->isPort;
      if (c->isPort) Log("client connected");
      continue;
    }
    if (c->isPort) {
      if (header.type == Frame::Reply) OnReply(*c, header.request, body);
      else if (header.type == Frame::Command) Respond(*c, header.request, OnCommand(body));
      else Respond(*c, header.request, win::E_INVALIDARG);
    } else if (control) {
      if (header.type == Frame::Inject && body.size() >= 4 + wire::kNotificationSize) {
        const bool explain = (wire::GetU32(body, 0) & kInjectExplain) != 0;
        Result r = Deliver(body.substr(4, wire::kNotificationSize), explain, c, header.request);
        if (!r.answered) Respond(*c, header.request, win::S_OK, OutcomePayload(r, explain));
      } else if (header.type == Frame::Status) {
        Respond(*c, header.request, win::S_OK, StatusText());
      } else if (header.type == Frame::Unload) {
        Unload(*c, header.request);
      } else {
        Respond(*c, header.request, win::E_INVALIDARG);
      }
    }
  }
  if (c->isPort) DropClient(c);
  ::shutdown(c->fd, SHUT_RDWR);
}

void DriverDaemon::DropClient(const std::shared_ptr<Connection>& c) {
  std::lock_guard lock(mutex_);
  if (client_ != c) return;
  client_.reset();
  // Operations waiting for this client proceed undecided.
  for (auto& [id, pending] : waiting_) {
    pending->done = true;
    pending->outcome = Outcome::NoClient;
    pending->cv.notify_one();
    ++counts_.noClient;
  }
  waiting_.clear();
  EndExplanations();
  Log("client disconnected");
}

std::string DriverDaemon::OutcomePayload(const Result& r, bool explain) {
  std::string payload(explain ? kExplainedOutcomeSize : wire::kOutcomeSize, '\0');
  wire::PutU32(payload, 0, static_cast<std::uint32_t>(r.outcome));
  payload[4] = static_cast<char>(r.allow);
  payload[5] = static_cast<char>(r.aux);
  wire::PutU64(payload, 8, r.messageId);
  if (explain) {
    wire::PutU32(payload, 16, r.explained ? 1 : 0);
    wire::PutU32(payload, 20, r.droppedLines);
    payload += r.lines;
  }
  return payload;
}

void DriverDaemon::OnReply(Connection& client, std::uint32_t request, std::string_view body) {
  if (body.size() < 18) {
    Respond(client, request, win::E_INVALIDARG);
    return;
  }
  const std::uint64_t id = wire::GetU64(body, 8);
  std::shared_ptr<Pending> p;
  std::string answer;
  {
    std::lock_guard lock(mutex_);
    auto it = waiting_.find(id);
    if (it == waiting_.end()) {
      ++counts_.lateReplies;
    } else {
      p = it->second;
      waiting_.erase(it);
      ++counts_.replied;
      NoteReplyTime(*p);
      p->done = true;
      p->outcome = Outcome::Replied;
      p->allow = static_cast<std::uint8_t>(body[16]);
      p->aux = static_cast<std::uint8_t>(body[17]);
      if (p->injector) {
        p->answering = true;
        Result r;
        r.outcome = Outcome::Replied;
        r.allow = p->allow;
        r.aux = p->aux;
        r.messageId = id;
        answer = wire::ResultBody(win::S_OK, OutcomePayload(r, false));
      } else {
        p->cv.notify_one();
      }
    }
  }
  if (p && p->injector) {
    // The injector first: its wait is the operation's. Never blocks: an
    // injector that does not read its answers leaves this to its own
    // connection's thread.
    bool sent = false;
    if (std::unique_lock write(p->injector->write, std::try_to_lock); write.owns_lock()) {
      sent = wire::TrySendFrame(p->injector->fd, Frame::Result, p->request, answer);
    }
    std::lock_guard lock(mutex_);
    p->answering = false;
    p->answered = sent;
    p->cv.notify_one();
  }
  Respond(client, request, p ? win::S_OK : win::HR_FLT_NO_WAITER_FOR_REPLY);
}

// Called with mutex_ held.
void DriverDaemon::NoteReplyTime(const Pending& p) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - p.sentAt);
  const auto value = static_cast<std::uint32_t>(std::clamp<std::int64_t>(us.count(), 0, UINT32_MAX));
  if (replyTimesUs_.size() < kReplyTimeWindow) replyTimesUs_.push_back(value);
  else replyTimesUs_[replyTimesNext_] = value;
  replyTimesNext_ = (replyTimesNext_ + 1) % kReplyTimeWindow;
  // A spell of time-outs ends with a reply in time once none timed out
  // for a whole period.
  if (timingOut_ && std::chrono::steady_clock::now() - lastTimeoutAt_ >= kTimeoutLogPeriod) {
    Log("replies come in time again; " + std::to_string(spellTimeouts_) + " timed out since they began to");
    timingOut_ = false;
  }
}

// Called with mutex_ held. One line when replies begin to time out, then
// at most one line per period while they go on, however replies in time
// and time-outs alternate.
void DriverDaemon::NoteTimedOut(const Pending& p, std::uint64_t messageId) {
  ++counts_.timedOut;
  const auto now = std::chrono::steady_clock::now();
  lastTimeoutAt_ = now;
  if (!timingOut_) {
    timingOut_ = true;
    spellTimeouts_ = 1;
    unloggedTimeouts_ = 0;
    timeoutLoggedAt_ = now;
    Log("replies are timing out: message " + std::to_string(messageId) + " (kind " + std::to_string(p.kind) +
        ", pid " + std::to_string(p.processId) + ") had no reply within " + std::to_string(replyTimeoutMs_) +
        " ms and proceeds undecided; see \"timed out\" in the status");
    return;
  }
  ++spellTimeouts_;
  ++unloggedTimeouts_;
  if (now - timeoutLoggedAt_ >= kTimeoutLogPeriod) {
    Log(std::to_string(unloggedTimeouts_) + " more replies timed out in the last " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - timeoutLoggedAt_).count()) + " s (" +
        std::to_string(counts_.timedOut) + " since the load)");
    unloggedTimeouts_ = 0;
    timeoutLoggedAt_ = now;
  }
}

win::HRESULT DriverDaemon::OnCommand(std::string_view body) {
  std::lock_guard lock(mutex_);
  if (body.size() < 12) {
    ++counts_.badCommands;
    return win::E_INVALIDARG;
  }
  std::uint32_t command = wire::GetU32(body, 0);
  std::uint32_t argument = wire::GetU32(body, 8);
  switch (command) {
    case 0:
      directFree_.insert(argument);
      ++counts_.commands;
      Log("direct-free pid " + std::to_string(argument));
      return win::S_OK;
    case 2:
      // Recorded, never refused: the stand-in may always be unloaded.
      allowUnload_ = argument;
      ++counts_.commands;
      Log("allow-unload " + std::to_string(argument));
      return win::S_OK;
    case channel::kCommandExplanation:
      return OnExplanation(body);
    default:
      ++counts_.badCommands;
      return win::E_INVALIDARG;
  }
}

// Called with mutex_ held.
win::HRESULT DriverDaemon::OnExplanation(std::string_view body) {
  channel::ExplanationPart part;
  if (!channel::DecodeExplanationPart(body, part)) {
    ++counts_.badCommands;
    return win::E_INVALIDARG;
  }
  ++counts_.explanations;
  auto it = explaining_.find(part.messageId);
  // Too late (the injector stopped waiting) or never asked for: dropped.
  if (it == explaining_.end()) return win::S_OK;
  Pending& p = *it->second;
  const std::size_t room = kMaxExplanationBytes - std::min(p.lines.size(), kMaxExplanationBytes);
  const std::size_t kept = channel::WholeLinesWithin(part.lines, room);
  p.lines.append(part.lines, 0, kept);
  if (kept < part.lines.size()) {
    std::vector<log::DecisionLine> rest;
    channel::DecodeExplainedLines(std::string_view(part.lines).substr(kept), rest);
    p.droppedLines += static_cast<std::uint32_t>(rest.size());
  }
  if (part.last) {
    p.explained = true;
    p.cv.notify_one();
    explaining_.erase(it);
  }
  return win::S_OK;
}

// Called with mutex_ held: injectors waiting for lines stop waiting.
void DriverDaemon::EndExplanations() {
  for (auto& [id, pending] : explaining_) pending->cv.notify_one();
  explaining_.clear();
}

DriverDaemon::Result DriverDaemon::Deliver(const std::string& notification, bool explain,
                                           std::shared_ptr<Connection> injector, std::uint32_t request) {
  Result r;
  const auto kind = static_cast<std::uint8_t>(notification[8]);
  const bool waits = Notification::WaitsForReply(kind);
  std::shared_ptr<Connection> c;
  std::shared_ptr<Pending> p;
  {
    std::lock_guard lock(mutex_);
    if (!client_ || unloading_) {
      ++counts_.noClient;
      return r;
    }
    c = client_;
    r.messageId = nextMessageId_++;
    if (waits || explain) {
      p = std::make_shared<Pending>();
      p->sentAt = std::chrono::steady_clock::now();
      p->kind = kind;
      p->processId = wire::GetU32(notification, offsetof(channel::_MXRED_NOTIFICATION, ProcessId));
      if (waits && !explain) {
        p->injector = std::move(injector);
        p->request = request;
      }
    }
    if (waits) waiting_[r.messageId] = p;
    if (explain) explaining_[r.messageId] = p;
    ++counts_.sent;
  }
  // FILTER_MESSAGE_HEADER: ReplyLength (the reply record without its own
  // header, when a reply is awaited), padding (our explanation mark),
  // MessageId.
  std::string header(wire::kMessageHeaderSize, '\0');
  wire::PutU32(header, 0, waits ? wire::kReplySize - 16 : 0);
  if (explain) wire::PutU32(header, 4, channel::kExplainMark);
  wire::PutU64(header, 8, r.messageId);
  auto deadline = std::chrono::steady_clock::now() + platform::CurrentClock().RealWaitFor(replyTimeoutMs_);
  bool sent;
  {
    std::lock_guard lock(c->write);
    sent = wire::SendFrame(c->fd, Frame::Message, 0, header, notification);
  }
  std::unique_lock lock(mutex_);
  if (explain && sent) {
    // The client sends its lines before its reply, or after the engines
    // are done for a kind without one; they are waited for with the reply,
    // under the same time-out. A reply without lines first comes from a
    // client that does not explain: no need to wait on.
    p->cv.wait_until(lock, deadline,
                     [&] { return p->explained || p->done || !explaining_.count(r.messageId); });
  }
  if (explain) {
    explaining_.erase(r.messageId);
    r.explained = p->explained;
    r.lines = std::move(p->lines);
    r.droppedLines = p->droppedLines;
  }
  if (!sent) {
    if (waits && waiting_.erase(r.messageId)) ++counts_.noClient;
    if (!waits) ++counts_.noClient;
    if (waits && p->done) r.outcome = p->outcome;
    return r;
  }
  if (!waits) {
    ++counts_.noReply;
    r.outcome = Outcome::NoReplyExpected;
    return r;
  }
  p->cv.wait_until(lock, deadline, [&] { return p->done && !p->answering; });
  // A reply taken just at the deadline: its answer is being written.
  p->cv.wait(lock, [&] { return !p->answering; });
  if (p->done) {
    r.outcome = p->outcome;
    r.allow = p->allow;
    r.aux = p->aux;
    r.answered = p->answered;
  } else {
    waiting_.erase(r.messageId);
    NoteTimedOut(*p, r.messageId);
    r.outcome = Outcome::TimedOut;
  }
  return r;
}

std::string DriverDaemon::StatusText() {
  std::unique_lock lock(mutex_);
  std::ostringstream s;
  s << "filter: " << text::ToUtf8(filterName_) << "\n";
  s << "pid: " << ::getpid() << "\n";
  s << "port: " << text::ToUtf8(kPortName) << "\n";
  s << "client: " << (client_ ? "connected" : "none") << "\n";
  s << "reply time-out: " << replyTimeoutMs_ << " ms\n";
  s << "direct-free:";
  for (std::uint32_t pid : directFree_) s << " " << pid;
  s << "\n";
  s << "allow-unload: " << (allowUnload_ ? std::to_string(*allowUnload_) : std::string("unset")) << "\n";
  s << "connections: " << counts_.connections << " (refused " << counts_.refused << ")\n";
  s << "denied peers: " << counts_.deniedPeers << "\n";
  s << "messages sent: " << counts_.sent << "\n";
  s << "replied: " << counts_.replied << "\n";
  s << "timed out: " << counts_.timedOut << "\n";
  s << "no reply expected: " << counts_.noReply << "\n";
  s << "no client: " << counts_.noClient << "\n";
  s << "late replies: " << counts_.lateReplies << "\n";
  std::ostringstream rest;
  rest << "commands: " << counts_.commands << " (refused " << counts_.badCommands << ")\n";
  rest << "process events: " << counts_.processEvents << "\n";
  rest << "explanations: " << counts_.explanations << "\n";
  // The percentiles are worked out on a copy, without holding up replies.
  std::vector<std::uint32_t> times = replyTimesUs_;
  lock.unlock();
  s << "reply time: ";
  if (times.empty()) {
    s << "none yet\n";
  } else {
    auto at = [&](std::size_t percent) {
      auto nth = times.begin() + static_cast<std::ptrdiff_t>(std::min(times.size() - 1, times.size() * percent / 100));
      std::nth_element(times.begin(), nth, times.end());
      return *nth;
    };
    const std::uint32_t p50 = at(50), p99 = at(99);
    s << "p50 " << p50 << " us, p99 " << p99 << " us (last " << times.size() << " replies)\n";
  }
  s << rest.str();
  return s.str();
}

void DriverDaemon::Unload(Connection& c, std::uint32_t request) {
  std::shared_ptr<Connection> client;
  {
    std::lock_guard lock(mutex_);
    unloading_ = true;
    client = client_;
    for (auto& [id, pending] : waiting_) {
      pending->done = true;
      pending->outcome = Outcome::NoClient;
      pending->cv.notify_one();
      ++counts_.noClient;
    }
    waiting_.clear();
    EndExplanations();
    Log("unloading (allow-unload " + (allowUnload_ ? std::to_string(*allowUnload_) : std::string("unset")) + ")");
  }
  ::shutdown(listenFd_, SHUT_RDWR);
  ::unlink(socketPath_.c_str());
  ::unlink(pidPath_.c_str());
  // The port closes: the client's pending reads fail.
  if (client) ::shutdown(client->fd, SHUT_RDWR);
  // Let injectors that were waiting answer their callers first.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Respond(c, request, win::S_OK);
  ::_exit(0);
}

void DriverDaemon::FeedLoop() {
  // The machine's change feed of process starts and ends; it sleeps until
  // a writer or a dying registered program wakes it.
  platform::ProcessEventFeed feed(machine_, feedSeq_);
  for (;;) {
    std::optional<platform::ProcessEvent> e;
    try {
      e = feed.WaitNext(win::INFINITE);
    } catch (const std::exception& error) {
      Log(std::string("process feed: ") + error.what());
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    if (!e) continue;
    {
      std::lock_guard lock(mutex_);
      ++counts_.processEvents;
    }
    Notification n;
    n.kind = 2;
    n.processId = e->pid;
    n.param1 = e->parent;
    n.param2 = e->created ? 1 : 0;
    Deliver(n.Bytes());
    if (e->created && !e->image.empty()) {
      // The process's main image is its first image load.
      Notification load;
      load.kind = 1;
      load.processId = e->pid;
      load.path = ToDevicePath(*machine_, e->image).value_or(e->image);
      Deliver(load.Bytes());
    }
  }
}

}  // namespace zv::suite
