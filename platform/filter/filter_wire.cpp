// Framed protocol to the driver stand-in: see filter_wire.h.
#include "platform/filter/filter_wire.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/files/machine.h"
#include "platform/base/text.h"

namespace zv::platform::wire {
namespace {

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

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

bool SendFrame(int fd, Frame type, std::uint32_t request, std::string_view part1, std::string_view part2) {
  std::size_t length = part1.size() + part2.size();
  if (length > kMaxBody) return false;
  // One buffer, one send: frames from several threads never interleave
  // as long as each writer holds the connection's write lock.
  std::string frame(kHeaderSize, '\0');
  PutU32(frame, 0, static_cast<std::uint32_t>(length));
  PutU32(frame, 4, static_cast<std::uint32_t>(type));
  PutU32(frame, 8, request);
  frame.append(part1);
  frame.append(part2);
  return WriteAll(fd, frame.data(), frame.size());
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

int ConnectUnix(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    ::close(fd);
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

int ConnectControl(std::wstring_view filterName) {
  int fd = ConnectUnix(DriverSocketPath(filterName));
  if (fd < 0) return -1;
  std::string hello(4, '\0');
  PutU32(hello, 0, static_cast<std::uint32_t>(Role::Control));
  win::HRESULT hr = win::E_FAIL;
  std::string payload;
  if (!Call(fd, Frame::Hello, hello, hr, payload) || hr != win::S_OK) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool Call(int fd, Frame type, std::string_view body, win::HRESULT& hr, std::string& payload) {
  if (!SendFrame(fd, type, 1, body)) return false;
  FrameHeader header;
  std::string reply;
  for (;;) {
    if (!ReceiveFrame(fd, header, reply)) return false;
    if (header.type == Frame::Result) break;
  }
  hr = ResultCode(reply);
  payload = reply.size() > 4 ? reply.substr(4) : std::string();
  return true;
}

}  // namespace zv::platform::wire
