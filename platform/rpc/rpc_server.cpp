// The RPC server run time over Unix stream sockets: see rpc_server.h.
#include "platform/rpc/rpc_server.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/base/clock.h"
#include "platform/files/machine.h"
#include "platform/rpc/rpc_wire.h"
#include "platform/base/text.h"

namespace zv::platform {
namespace {

using namespace rpc;

constexpr std::size_t kMaxAcceptsPerRound = 16;
constexpr int kMaxPdusPerRound = 8;
constexpr win::DWORD kMaxPollMs = 200;

bool StartsWithPipe(std::wstring_view e) {
  return e.size() > 6 && text::AsciiIEquals(e.substr(0, 6), L"\\pipe\\");
}

struct Connection {
  std::uint64_t id = 0;
  int fd = -1;
  std::string secondaryAddress;
  // The PDU being read: header first, then the rest of frag_length.
  std::vector<std::uint8_t> in;
  std::size_t have = 0;
  std::size_t fragLength = 0;
  std::uint64_t pduStart = 0;
  // Bytes waiting to be sent.
  std::string out;
  std::size_t outPos = 0;
  std::uint64_t outStart = 0;
  // Association.
  bool bound = false;
  std::uint16_t maxXmit = kMinFragment;
  std::map<std::uint16_t, RPC_IF_HANDLE> contexts;
  // The request being reassembled, since when and how many bytes so far.
  bool assembling = false;
  bool callOpen = false;
  std::uint64_t callStart = 0;
  std::size_t callBytes = 0;
  std::uint32_t callId = 0;
  std::uint16_t contextId = 0;
  std::uint16_t opnum = 0;
  bool bigEndian = false;
  std::string stub;
  bool callInFlight = false;
  bool closeAfterWrite = false;
  bool dead = false;
  std::uint64_t lastActivity = 0;

  bool Idle() const { return have == 0 && !assembling && !callInFlight && out.empty(); }
};

struct Call {
  std::uint64_t connection = 0;
  std::uint32_t callId = 0;
  std::uint16_t contextId = 0;
  RpcServerRoutine routine = nullptr;
  std::vector<NdrValue> args;
};

struct Completion {
  std::uint64_t connection = 0;
  std::string bytes;
};

}  // namespace

class RpcRuntime::Impl {
 public:
  explicit Impl(RpcLimits l) : limits(l) {
    if (limits.maxFragment < kMinFragment) limits.maxFragment = kMinFragment;
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
      wakeRead = fds[0];
      wakeWrite = fds[1];
    }
  }

  ~Impl() {
    Stop();
    {
      std::unique_lock lock(mutex);
      listenDone.wait(lock, [&] { return !listening; });
    }
    if (background.joinable()) background.join();
    for (auto& e : endpoints) {
      if (e.fd >= 0) close(e.fd);
      unlink(e.path.c_str());
      if (e.lockFd >= 0) close(e.lockFd);
    }
    if (wakeRead >= 0) close(wakeRead);
    if (wakeWrite >= 0) close(wakeWrite);
  }

  struct Endpoint {
    std::wstring name;
    std::string path;
    std::string secondaryAddress;
    int fd = -1;
    int lockFd = -1;
    gid_t adminGid = 0;
    uid_t owner = 0;  // the server's user
  };

  RpcLimits limits;
  mutable std::mutex mutex;  // endpoints, interfaces, listening state
  std::condition_variable listenDone;
  std::vector<Endpoint> endpoints;
  std::vector<RPC_IF_HANDLE> interfaces;
  bool listening = false;
  bool stopRequested = false;
  std::thread background;
  int wakeRead = -1;
  int wakeWrite = -1;
  std::atomic<std::size_t> connectionCount{0};
  std::uint32_t nextAssocGroup = 0x1000;

  // Call pool.
  std::mutex poolMutex;
  std::condition_variable poolCv;
  std::deque<Call> queue;
  std::vector<Completion> completions;
  std::vector<std::thread> workers;
  unsigned idleWorkers = 0;
  unsigned poolMax = 1;
  bool poolStop = false;

  void Wake() {
    if (wakeWrite >= 0) {
      char b = 1;
      [[maybe_unused]] auto n = write(wakeWrite, &b, 1);
    }
  }

  RPC_STATUS Stop() {
    std::lock_guard lock(mutex);
    if (!listening) return win::RPC_S_NOT_LISTENING;
    stopRequested = true;
    Wake();
    return win::RPC_S_OK;
  }

  // ---- call pool ----------------------------------------------------------------

  void StartPool(unsigned minimum, unsigned maximum) {
    std::lock_guard lock(poolMutex);
    poolStop = false;
    poolMax = std::max(1u, maximum);
    for (unsigned i = 0; i < std::min(minimum, poolMax); ++i) workers.emplace_back([this] { WorkerLoop(); });
  }

  void StopPool() {
    std::vector<std::thread> joining;
    {
      std::lock_guard lock(poolMutex);
      poolStop = true;
      queue.clear();
      completions.clear();
      joining.swap(workers);
    }
    poolCv.notify_all();
    for (auto& t : joining) t.join();
    std::lock_guard lock(poolMutex);
    idleWorkers = 0;
  }

  void Submit(Call call) {
    {
      std::lock_guard lock(poolMutex);
      queue.push_back(std::move(call));
      if (idleWorkers == 0 && workers.size() < poolMax) workers.emplace_back([this] { WorkerLoop(); });
    }
    poolCv.notify_one();
  }

  void WorkerLoop() {
    std::unique_lock lock(poolMutex);
    for (;;) {
      ++idleWorkers;
      poolCv.wait(lock, [&] { return poolStop || !queue.empty(); });
      --idleWorkers;
      if (poolStop) return;
      Call call = std::move(queue.front());
      queue.pop_front();
      lock.unlock();
      std::string reply;
      try {
        std::int32_t result = call.routine(call.args.data(), call.args.size());
        NdrWriter w;
        w.Int32(result);
        reply = BuildResponse(call.callId, kFirstFrag | kLastFrag, static_cast<std::uint32_t>(w.Bytes().size()),
                              call.contextId, w.Bytes());
      } catch (const std::bad_alloc&) {
        reply = BuildFault(call.callId, call.contextId, kNcaRemoteNoMemory, false);
      } catch (...) {
        reply = BuildFault(call.callId, call.contextId, kNcaUnspecifiedReject, false);
      }
      lock.lock();
      if (poolStop) return;
      completions.push_back({call.connection, std::move(reply)});
      Wake();
    }
  }

  // ---- the listening loop ---------------------------------------------------------

  void RunLoop();
  void Accept(const Endpoint& e, std::map<std::uint64_t, std::unique_ptr<Connection>>& conns, std::uint64_t now);
  void Read(Connection& c, std::uint64_t now);
  void Write(Connection& c, std::uint64_t now);
  void HandlePdu(Connection& c, const Header& h);
  void HandleBind(Connection& c, const Header& h, bool alter);
  void HandleRequest(Connection& c, const Header& h);
  std::vector<ContextResult> Negotiate(Connection& c, const std::vector<PresentationContext>& contexts);
  void Send(Connection& c, std::string bytes, std::uint64_t now) {
    if (c.out.empty()) c.outStart = now;
    c.out += bytes;
  }
  void FaultAndClose(Connection& c, std::uint32_t callId, std::uint32_t status) {
    Send(c, BuildFault(callId, 0, status, true), platform::GetTickCount64());
    c.closeAfterWrite = true;
  }

  std::uint64_t nextConnectionId = 1;
};

void RpcRuntime::Impl::RunLoop() {
  std::map<std::uint64_t, std::unique_ptr<Connection>> conns;
  std::vector<pollfd> fds;
  std::vector<std::uint64_t> ids;
  std::vector<Endpoint> eps;
  for (;;) {
    {
      std::lock_guard lock(mutex);
      if (stopRequested) break;
      eps = endpoints;
    }
    std::uint64_t now = platform::GetTickCount64();
    std::uint64_t deadline = now + kMaxPollMs;
    fds.clear();
    ids.clear();
    fds.push_back({wakeRead, POLLIN, 0});
    for (const auto& e : eps) fds.push_back({e.fd, POLLIN, 0});
    for (auto& [id, c] : conns) {
      short events = 0;
      if (!c->callInFlight && !c->closeAfterWrite && c->out.empty()) events |= POLLIN;
      if (!c->out.empty()) events |= POLLOUT;
      fds.push_back({c->fd, events, 0});
      ids.push_back(id);
      if (c->have) deadline = std::min(deadline, c->pduStart + limits.pduTimeoutMs);
      if (c->assembling) deadline = std::min(deadline, c->lastActivity + limits.pduTimeoutMs);
      if (c->callOpen) deadline = std::min(deadline, c->callStart + limits.callTimeoutMs);
      if (!c->out.empty()) deadline = std::min(deadline, c->outStart + limits.pduTimeoutMs);
      if (c->Idle()) deadline = std::min(deadline, c->lastActivity + limits.idleTimeoutMs);
    }
    win::DWORD waitMs = deadline > now ? static_cast<win::DWORD>(deadline - now) : 0;
    auto real = std::chrono::duration_cast<std::chrono::milliseconds>(CurrentClock().RealWaitFor(waitMs)).count();
    if (waitMs > 0 && real == 0) real = 1;
    int ready = poll(fds.data(), fds.size(), static_cast<int>(real));
    if (ready < 0 && errno != EINTR) break;
    now = platform::GetTickCount64();

    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (read(wakeRead, drain, sizeof drain) > 0) {
      }
    }
    std::vector<Completion> done;
    {
      std::lock_guard lock(poolMutex);
      done.swap(completions);
    }
    for (auto& d : done) {
      auto it = conns.find(d.connection);
      if (it == conns.end()) continue;
      it->second->callInFlight = false;
      it->second->lastActivity = now;
      Send(*it->second, std::move(d.bytes), now);
      Write(*it->second, now);
    }

    for (std::size_t i = 0; i < eps.size(); ++i) {
      if (fds[1 + i].revents & POLLIN) Accept(eps[i], conns, now);
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const pollfd& p = fds[1 + eps.size() + i];
      auto it = conns.find(ids[i]);
      if (it == conns.end() || !p.revents) continue;
      Connection& c = *it->second;
      if (p.revents & POLLOUT) Write(c, now);
      if ((p.revents & (POLLIN | POLLHUP | POLLERR)) && !c.dead) {
        if (p.events & POLLIN) {
          Read(c, now);
          if (!c.out.empty() && !c.dead) Write(c, now);
        } else if (p.revents & (POLLHUP | POLLERR)) {
          c.dead = true;
        }
      }
    }
    // Limits on time.
    for (auto& [id, c] : conns) {
      if (c->have && now - c->pduStart >= limits.pduTimeoutMs) c->dead = true;
      if (c->assembling && now - c->lastActivity >= limits.pduTimeoutMs) c->dead = true;
      if (c->callOpen && now - c->callStart >= limits.callTimeoutMs) c->dead = true;
      if (!c->out.empty() && now - c->outStart >= limits.pduTimeoutMs) c->dead = true;
      if (c->Idle() && now - c->lastActivity >= limits.idleTimeoutMs) c->dead = true;
    }
    for (auto it = conns.begin(); it != conns.end();) {
      if (it->second->dead) {
        close(it->second->fd);
        it = conns.erase(it);
      } else {
        ++it;
      }
    }
    connectionCount = conns.size();
  }
  for (auto& [id, c] : conns) close(c->fd);
  connectionCount = 0;
}

void RpcRuntime::Impl::Accept(const Endpoint& e, std::map<std::uint64_t, std::unique_ptr<Connection>>& conns,
                              std::uint64_t now) {
  for (std::size_t n = 0; n < kMaxAcceptsPerRound; ++n) {
    int fd = accept4(e.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (!PeerAllowed(fd, e.owner, e.adminGid)) {
      close(fd);
      continue;
    }
    if (conns.size() >= limits.maxConnections) {
      // Make room by dropping the connection idle the longest; refuse the
      // new one when every connection is busy.
      Connection* oldest = nullptr;
      for (auto& [id, c] : conns) {
        if (!c->dead && c->Idle() && (!oldest || c->lastActivity < oldest->lastActivity)) oldest = c.get();
      }
      if (!oldest) {
        close(fd);
        continue;
      }
      close(oldest->fd);
      conns.erase(oldest->id);
    }
    auto c = std::make_unique<Connection>();
    c->id = nextConnectionId++;
    c->fd = fd;
    c->secondaryAddress = e.secondaryAddress;
    c->lastActivity = now;
    conns.emplace(c->id, std::move(c));
  }
}

void RpcRuntime::Impl::Read(Connection& c, std::uint64_t now) {
  for (int pdus = 0; pdus < kMaxPdusPerRound && !c.dead && !c.callInFlight && !c.closeAfterWrite;) {
    std::size_t need = c.have < kHeaderSize ? kHeaderSize : c.fragLength;
    if (c.in.size() < need) c.in.resize(need);
    ssize_t n = recv(c.fd, c.in.data() + c.have, need - c.have, 0);
    if (n == 0) {
      c.dead = true;
      return;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) c.dead = true;
      return;
    }
    if (c.have == 0) c.pduStart = now;
    if (!c.callOpen) {  // a call (or any other PDU) starts with its first byte
      c.callOpen = true;
      c.callStart = now;
    }
    c.callBytes += static_cast<std::size_t>(n);
    c.have += static_cast<std::size_t>(n);
    if (c.callBytes > limits.maxCallBytes) {
      FaultAndClose(c, c.callId, kNcaRemoteNoMemory);
      return;
    }
    c.lastActivity = now;
    Header h;
    if (c.have == kHeaderSize) {
      WireError err = ParseHeader(c.in.data(), c.have, limits.maxFragment, h);
      if (err == WireError::BadVersion && h.type == kBind) {
        Send(c, BuildBindNak(h.callId, kNakProtocolVersionNotSupported), now);
        c.closeAfterWrite = true;
        return;
      }
      if (err != WireError::None) {
        FaultAndClose(c, h.callId, kNcaProtocolError);
        return;
      }
      c.fragLength = h.fragLength;
    }
    if (c.have >= kHeaderSize && c.have == c.fragLength) {
      ParseHeader(c.in.data(), c.have, limits.maxFragment, h);
      c.have = 0;
      c.pduStart = 0;
      ++pdus;
      HandlePdu(c, h);
      if (!c.assembling) {  // the call (or other PDU) is complete
        c.callOpen = false;
        c.callBytes = 0;
      }
      if (c.in.size() > kHeaderSize * 4) std::vector<std::uint8_t>().swap(c.in);
    }
  }
}

void RpcRuntime::Impl::Write(Connection& c, std::uint64_t now) {
  while (c.outPos < c.out.size()) {
    ssize_t n = send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) c.dead = true;
      return;
    }
    c.outPos += static_cast<std::size_t>(n);
  }
  c.out.clear();
  c.outPos = 0;
  c.lastActivity = now;
  if (c.closeAfterWrite) c.dead = true;
}

void RpcRuntime::Impl::HandlePdu(Connection& c, const Header& h) {
  switch (h.type) {
    case kBind:
      HandleBind(c, h, false);
      return;
    case kAlterContext:
      HandleBind(c, h, true);
      return;
    case kRequest:
      HandleRequest(c, h);
      return;
    case kCoCancel:
      return;  // calls here are short; nothing to cancel
    case kOrphaned:
      c.assembling = false;
      std::string().swap(c.stub);
      return;
    default:
      FaultAndClose(c, h.callId, kNcaProtocolError);
      return;
  }
}

std::vector<ContextResult> RpcRuntime::Impl::Negotiate(Connection& c,
                                                       const std::vector<PresentationContext>& contexts) {
  std::vector<RPC_IF_HANDLE> known;
  {
    std::lock_guard lock(mutex);
    known = interfaces;
  }
  std::vector<ContextResult> results;
  for (const auto& pc : contexts) {
    ContextResult r;
    r.result = kProviderRejection;
    RPC_IF_HANDLE match = nullptr;
    for (RPC_IF_HANDLE iface : known) {
      const auto& id = iface->InterfaceId;
      if (id.SyntaxGUID == pc.abstract.SyntaxGUID && id.SyntaxVersion.MajorVersion == pc.abstract.SyntaxVersion.MajorVersion &&
          pc.abstract.SyntaxVersion.MinorVersion <= id.SyntaxVersion.MinorVersion) {
        match = iface;
        break;
      }
    }
    bool ndr = std::any_of(pc.transfers.begin(), pc.transfers.end(),
                           [&](const RPC_SYNTAX_IDENTIFIER& t) { return SameSyntax(t, kNdrSyntax); });
    if (!match) {
      r.reason = kAbstractSyntaxNotSupported;
    } else if (!ndr) {
      r.reason = kTransferSyntaxesNotSupported;
    } else if (!c.contexts.count(pc.id) && c.contexts.size() >= limits.maxContexts) {
      r.reason = kLocalLimitExceeded;
    } else {
      r.result = kAcceptance;
      r.transfer = kNdrSyntax;
      c.contexts[pc.id] = match;
    }
    results.push_back(r);
  }
  return results;
}

void RpcRuntime::Impl::HandleBind(Connection& c, const Header& h, bool alter) {
  std::uint64_t now = platform::GetTickCount64();
  if (alter != c.bound) {  // bind once, then only alter_context
    FaultAndClose(c, h.callId, kNcaProtocolError);
    return;
  }
  BindBody body;
  if (ParseBind(h, c.in.data(), body) != WireError::None) {
    if (alter) FaultAndClose(c, h.callId, kNcaProtocolError);
    else {
      Send(c, BuildBindNak(h.callId, kNakNotSpecified), now);
      c.closeAfterWrite = true;
    }
    return;
  }
  if (h.authLength != 0) {  // no authentication service here
    if (alter) FaultAndClose(c, h.callId, kNcaAccessDenied);
    else {
      Send(c, BuildBindNak(h.callId, kNakAuthenticationTypeNotRecognized), now);
      c.closeAfterWrite = true;
    }
    return;
  }
  auto clampFrag = [&](std::uint16_t v) {
    return std::clamp<std::uint16_t>(v, kMinFragment, limits.maxFragment);
  };
  std::uint16_t serverXmit = clampFrag(body.maxRecvFrag);
  std::uint16_t serverRecv = clampFrag(body.maxXmitFrag);
  std::vector<ContextResult> results = Negotiate(c, body.contexts);
  if (!alter) {
    c.bound = true;
    c.maxXmit = serverXmit;
    std::uint32_t group = body.assocGroupId;
    if (group == 0) {
      std::lock_guard lock(mutex);
      group = ++nextAssocGroup;
    }
    Send(c, BuildBindAck(kBindAck, h.callId, serverXmit, serverRecv, group, c.secondaryAddress, results), now);
  } else {
    Send(c, BuildBindAck(kAlterContextResp, h.callId, serverXmit, serverRecv, body.assocGroupId, {}, results),
         now);
  }
}

void RpcRuntime::Impl::HandleRequest(Connection& c, const Header& h) {
  std::uint64_t now = platform::GetTickCount64();
  RequestBody body;
  if (!c.bound || h.authLength != 0 || ParseRequest(h, c.in.data(), body) != WireError::None) {
    FaultAndClose(c, h.callId, kNcaProtocolError);
    return;
  }
  if (h.flags & kFirstFrag) {
    if (c.assembling) {  // the previous call never got its last fragment
      FaultAndClose(c, h.callId, kNcaProtocolError);
      return;
    }
    c.assembling = true;
    c.callId = h.callId;
    c.contextId = body.contextId;
    c.opnum = body.opnum;
    c.bigEndian = h.bigEndian;
    c.stub.clear();
  } else if (!c.assembling || h.callId != c.callId) {
    FaultAndClose(c, h.callId, kNcaProtocolError);
    return;
  }
  if (body.stubSize > limits.maxStub - c.stub.size()) {
    FaultAndClose(c, h.callId, kNcaRemoteNoMemory);
    c.assembling = false;
    return;
  }
  c.stub.append(reinterpret_cast<const char*>(body.stub), body.stubSize);
  if (!(h.flags & kLastFrag)) return;
  c.assembling = false;

  auto fault = [&](std::uint32_t status) { Send(c, BuildFault(c.callId, c.contextId, status, true), now); };
  auto ctx = c.contexts.find(c.contextId);
  if (ctx == c.contexts.end()) return fault(kNcaUnknownInterface);
  RPC_IF_HANDLE iface = ctx->second;
  if (c.opnum >= iface->DispatchTableCount || !iface->DispatchTable[c.opnum].Routine) return fault(kNcaOpRangeError);
  const RPC_PROCEDURE& proc = iface->DispatchTable[c.opnum];
  Call call;
  if (!DecodeArguments(proc.Params, proc.ParamCount, reinterpret_cast<const std::uint8_t*>(c.stub.data()),
                       c.stub.size(), c.bigEndian, limits.maxStringUnits, call.args)) {
    return fault(kNcaFaultNdr);
  }
  std::string().swap(c.stub);
  call.connection = c.id;
  call.callId = c.callId;
  call.contextId = c.contextId;
  call.routine = proc.Routine;
  c.callInFlight = true;
  Submit(std::move(call));
}

// ---- RpcRuntime -------------------------------------------------------------------

RpcRuntime::RpcRuntime(RpcLimits limits) : impl_(std::make_unique<Impl>(limits)) {}
RpcRuntime::~RpcRuntime() = default;

std::string PipeSocketPath(const win::WCHAR* endpoint) {
  if (!endpoint) return {};
  std::wstring_view e(endpoint);
  if (!StartsWithPipe(e)) return {};
  std::wstring name = text::AsciiLowerCopy(e.substr(6));
  for (wchar_t ch : name) {
    if (ch == L'\\' || ch == L'/' || ch == 0 || ch < 0x20 || ch > 0x7E) return {};
  }
  if (name == L"." || name == L"..") return {};
  return Machine::Current()->SocketPath(text::ToUtf8(name));
}

RPC_STATUS RpcRuntime::RpcServerUseProtseqEpW(const win::WCHAR* protseq, unsigned maxCalls,
                                              const win::WCHAR* endpoint, void* securityDescriptor) {
  if (!protseq || std::wstring_view(protseq) != L"ncacn_np") return win::RPC_S_PROTSEQ_NOT_SUPPORTED;
  std::string path;
  try {
    path = PipeSocketPath(endpoint);
  } catch (const std::exception&) {
    return win::RPC_S_CANT_CREATE_ENDPOINT;
  }
  if (path.empty()) return win::RPC_S_INVALID_ENDPOINT_FORMAT;
  std::lock_guard lock(impl_->mutex);
  for (const auto& e : impl_->endpoints) {
    if (e.path == path) return win::RPC_S_OK;
  }
  Impl::Endpoint ep;
  ep.name = endpoint;
  ep.path = path;
  ep.secondaryAddress = "\\PIPE\\" + text::ToUtf8(std::wstring_view(endpoint).substr(6));
  try {
    ep.adminGid = Machine::Current()->AdminGroup();
  } catch (const std::exception&) {
    ep.adminGid = 0;
  }
  ep.owner = geteuid();
  ep.lockFd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (ep.lockFd < 0) return win::RPC_S_CANT_CREATE_ENDPOINT;
  if (flock(ep.lockFd, LOCK_EX | LOCK_NB) != 0) {
    close(ep.lockFd);
    return errno == EWOULDBLOCK ? win::RPC_S_DUPLICATE_ENDPOINT : win::RPC_S_CANT_CREATE_ENDPOINT;
  }
  unlink(path.c_str());  // left by a server that died
  ep.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  // Created without permissions for anyone, then opened to owner and group.
  mode_t old = umask(0777);
  bool bound = ep.fd >= 0 && bind(ep.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  umask(old);
  if (bound) {
    [[maybe_unused]] int rc = chown(path.c_str(), geteuid(), ep.adminGid);
    bound = chmod(path.c_str(), 0660) == 0;
  }
  int backlog = static_cast<int>(std::clamp(maxCalls, 1u, 128u));
  if (!bound || listen(ep.fd, backlog) != 0) {
    if (ep.fd >= 0) close(ep.fd);
    unlink(path.c_str());
    close(ep.lockFd);
    return win::RPC_S_CANT_CREATE_ENDPOINT;
  }
  impl_->endpoints.push_back(std::move(ep));
  impl_->Wake();
  return win::RPC_S_OK;
}

RPC_STATUS RpcRuntime::RpcServerRegisterIf(RPC_IF_HANDLE interfaceHandle, const win::GUID* mgrTypeUuid, void* mgrEpv) {
  if (!interfaceHandle) return win::RPC_S_INVALID_ARG;
  std::lock_guard lock(impl_->mutex);
  for (RPC_IF_HANDLE known : impl_->interfaces) {
    if (known == interfaceHandle) return win::RPC_S_OK;
    if (SameSyntax(known->InterfaceId, interfaceHandle->InterfaceId)) return win::RPC_S_ALREADY_REGISTERED;
  }
  impl_->interfaces.push_back(interfaceHandle);
  return win::RPC_S_OK;
}

RPC_STATUS RpcRuntime::RpcServerListen(unsigned minimumCallThreads, unsigned maxCalls, unsigned dontWait) {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->listening) return win::RPC_S_ALREADY_LISTENING;
    if (impl_->endpoints.empty()) return win::RPC_S_NO_PROTSEQS_REGISTERED;
    if (impl_->wakeRead < 0) return win::RPC_S_OUT_OF_RESOURCES;
    impl_->listening = true;
    impl_->stopRequested = false;
  }
  impl_->StartPool(std::max(1u, minimumCallThreads), std::min(std::max(1u, maxCalls), impl_->limits.maxCallThreads));
  auto serve = [this] {
    impl_->RunLoop();
    impl_->StopPool();
    std::lock_guard lock(impl_->mutex);
    impl_->listening = false;
    impl_->listenDone.notify_all();
  };
  if (dontWait) {
    if (impl_->background.joinable()) impl_->background.join();
    impl_->background = std::thread(serve);
    return win::RPC_S_OK;
  }
  serve();
  return win::RPC_S_OK;
}

RPC_STATUS RpcRuntime::RpcMgmtStopServerListening(RPC_BINDING_HANDLE binding) {
  if (binding) return win::RPC_S_INVALID_BINDING;
  return impl_->Stop();
}

std::size_t RpcRuntime::ConnectionCount() const { return impl_->connectionCount.load(); }

bool RpcRuntime::IsListening() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->listening && !impl_->stopRequested;
}

template <>
RpcApi& Api<RpcApi>::Default() {
  // Lives until the process ends, like the system's run time: the control
  // thread may still be inside RpcServerListen when statics are destroyed.
  static RpcRuntime* runtime = new RpcRuntime();
  return *runtime;
}

}  // namespace zv::platform
