// Framed protocol to the driver stand-in: see filter_wire.h.
#include "platform/filter/filter_wire.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/files/machine.h"
#include "platform/base/text.h"

namespace zv::platform::wire {
namespace {

bool ReadAll(int fd, char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::recv(fd, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Sends the parts from `skip` bytes on, blocking until all went.
bool SendParts(int fd, const std::string_view* parts, int count, std::size_t skip) {
  iovec iov[3];
  int n = 0;
  for (int i = 0; i < count; ++i) {
    if (skip >= parts[i].size()) {
      skip -= parts[i].size();
      continue;
    }
    iov[n++] = {const_cast<char*>(parts[i].data()) + skip, parts[i].size() - skip};
    skip = 0;
  }
  int first = 0;
  while (first < n) {
    msghdr message{};
    message.msg_iov = iov + first;
    message.msg_iovlen = static_cast<std::size_t>(n - first);
    const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    for (std::size_t left = static_cast<std::size_t>(sent); left > 0;) {
      const std::size_t step = std::min(left, iov[first].iov_len);
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + step;
      iov[first].iov_len -= step;
      left -= step;
      if (iov[first].iov_len == 0) ++first;
    }
    while (first < n && iov[first].iov_len == 0) ++first;
  }
  return true;
}

void PutHeader(char (&header)[kHeaderSize], Frame type, std::uint32_t request, std::size_t length) {
  const std::uint32_t fields[3] = {static_cast<std::uint32_t>(length), static_cast<std::uint32_t>(type), request};
  for (int f = 0; f < 3; ++f) {
    for (int i = 0; i < 4; ++i) header[4 * f + i] = static_cast<char>((fields[f] >> (8 * i)) & 0xFF);
  }
}

std::string BaseName(std::wstring_view filterName) {
  return text::ToUtf8(text::AsciiLowerCopy(filterName));
}

}  // namespace

void PutU32(std::string& b, std::size_t o, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[o + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void PutU64(std::string& b, std::size_t o, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[o + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
std::uint32_t GetU32(std::string_view b, std::size_t o) {
  if (b.size() < o + 4) return 0;
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[o + i]);
  return v;
}
std::uint64_t GetU64(std::string_view b, std::size_t o) {
  if (b.size() < o + 8) return 0;
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[o + i]);
  return v;
}

bool SendFrame(int fd, Frame type, std::uint32_t request, std::string_view body) {
  return SendFrame(fd, type, request, body, {});
}

bool TrySendFrame(int fd, Frame type, std::uint32_t request, std::string_view body) {
  if (body.size() > kMaxBody) return false;
  char header[kHeaderSize];
  PutHeader(header, type, request, body.size());
  const std::string_view parts[2] = {std::string_view(header, kHeaderSize), body};
  iovec iov[2] = {{header, kHeaderSize}, {const_cast<char*>(body.data()), body.size()}};
  msghdr message{};
  message.msg_iov = iov;
  message.msg_iovlen = body.empty() ? 1 : 2;
  ssize_t n;
  do {
    n = ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  return SendParts(fd, parts, 2, static_cast<std::size_t>(n));
}

bool SendFrame(int fd, Frame type, std::uint32_t request, std::string_view part1, std::string_view part2) {
  std::size_t length = part1.size() + part2.size();
  if (length > kMaxBody) return false;
  // One call for the whole frame (finished by more when the socket takes
  // it in parts): frames from several threads never interleave as long
  // as each writer holds the connection's write lock. Nothing is copied.
  char header[kHeaderSize];
  PutHeader(header, type, request, length);
  const std::string_view parts[3] = {std::string_view(header, kHeaderSize), part1, part2};
  return SendParts(fd, parts, 3, 0);
}

bool ReceiveFrame(int fd, FrameHeader& header, std::string& body) {
  char raw[kHeaderSize];
  if (!ReadAll(fd, raw, sizeof raw)) return false;
  std::string_view h(raw, sizeof raw);
  header.length = GetU32(h, 0);
  header.type = static_cast<Frame>(GetU32(h, 4));
  header.request = GetU32(h, 8);
  if (header.length > kMaxBody) return false;
  body.resize(header.length);
  return header.length == 0 || ReadAll(fd, body.data(), body.size());
}

std::string ResultBody(win::HRESULT hr, std::string_view payload) {
  std::string body(4, '\0');
  PutU32(body, 0, static_cast<std::uint32_t>(hr));
  body.append(payload);
  return body;
}

win::HRESULT ResultCode(std::string_view body) {
  return body.size() < 4 ? win::E_FAIL : static_cast<win::HRESULT>(GetU32(body, 0));
}

std::string DriverSocketPath(std::wstring_view filterName) {
  return Machine::Current()->SocketPath(BaseName(filterName) + "-driver.sock");
}
std::string DriverLockPath(std::wstring_view filterName) {
  return Machine::Current()->SocketPath(BaseName(filterName) + "-driver.lock");
}
std::string DriverPidPath(std::wstring_view filterName) {
  return Machine::Current()->SocketPath(BaseName(filterName) + "-driver.pid");
}

std::uint32_t CallTimeoutMs() {
  try {
    if (auto v = Machine::Current()->Setting("driver.CallTimeoutMs")) {
      long long ms = std::atoll(v->c_str());
      if (ms > 0 && ms <= 3600000) return static_cast<std::uint32_t>(ms);
    }
  } catch (const std::exception&) {
  }
  return kDefaultCallTimeoutMs;
}

int ConnectUnix(const std::string& path, std::uint32_t timeoutMs) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return -1;
  if (!S_ISSOCK(st.st_mode)) {
    errno = S_ISLNK(st.st_mode) ? ELOOP : ENOTSOCK;
    return -1;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A Unix listener with a full backlog (a stopped daemon) answers EAGAIN
  // to a non-blocking connect: retry until the time is up.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
    int e = errno;
    if (e == EINTR) continue;
    if (e == EAGAIN && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    ::close(fd);
    errno = e == EAGAIN ? ETIMEDOUT : e;
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int ConnectControl(std::wstring_view filterName) {
  const std::uint32_t timeout = CallTimeoutMs();
  int fd = ConnectUnix(DriverSocketPath(filterName), timeout);
  if (fd < 0) return -1;
  std::string hello(4, '\0');
  PutU32(hello, 0, static_cast<std::uint32_t>(Role::Control));
  win::HRESULT hr = win::E_FAIL;
  std::string payload;
  CallStatus status = Call(fd, Frame::Hello, hello, hr, payload, timeout);
  if (status != CallStatus::Answered || hr != win::S_OK) {
    ::close(fd);
    if (status == CallStatus::TimedOut) errno = ETIMEDOUT;
    else if (status == CallStatus::Answered && hr == win::HRESULT_FROM_WIN32(win::ERROR_ACCESS_DENIED)) errno = EACCES;
    else errno = ECONNREFUSED;
    return -1;
  }
  return fd;
}

CallStatus Call(int fd, Frame type, std::string_view body, win::HRESULT& hr, std::string& payload,
                std::uint32_t timeoutMs) {
  timeval tv{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>(timeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  auto failed = [] { return errno == EAGAIN || errno == EWOULDBLOCK ? CallStatus::TimedOut : CallStatus::Broken; };
  errno = 0;
  if (!SendFrame(fd, type, 1, body)) return failed();
  FrameHeader header;
  std::string reply;
  for (;;) {
    errno = 0;
    if (!ReceiveFrame(fd, header, reply)) return failed();
    if (header.type == Frame::Result) break;
  }
  hr = ResultCode(reply);
  payload = reply.size() > 4 ? reply.substr(4) : std::string();
  return CallStatus::Answered;
}

}  // namespace zv::platform::wire
