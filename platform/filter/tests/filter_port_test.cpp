#include "platform/filter/filter_port.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "platform/filter/filter_wire.h"

using namespace zv;
using namespace zv::platform;
using namespace std::chrono_literals;

// The port reads frames into its own buffer, many at a time: a burst
// several times that buffer, cut anywhere by the socket, must arrive whole
// and in order; a frame longer than the protocol allows ends the port.
TEST(FilterPortObject, BurstsArriveWholeAndInOrderAndAnOverlongFrameEndsThePort) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  auto completion = std::make_shared<CompletionPortObject>(1);
  auto port = std::make_shared<FilterPortObject>(fds[0], 5000);
  ASSERT_TRUE(port->Bind(completion, 7));

  constexpr std::uint32_t kCount = 300;
  std::thread driver([fd = fds[1]] {
    // The frames as one stream, then a header announcing too long a body,
    // written in pieces that cut frames anywhere.
    std::string stream;
    std::string frame(wire::kHeaderSize + wire::kMessageSize, '\0');
    wire::PutU32(frame, 0, wire::kMessageSize);
    wire::PutU32(frame, 4, static_cast<std::uint32_t>(wire::Frame::Message));
    for (std::uint32_t i = 0; i < kCount; ++i) {
      wire::PutU32(frame, wire::kHeaderSize, i);
      wire::PutU32(frame, frame.size() - 4, ~i);
      stream += frame;
    }
    std::string tooLong(wire::kHeaderSize, '\0');
    wire::PutU32(tooLong, 0, wire::kMaxBody + 1);
    wire::PutU32(tooLong, 4, static_cast<std::uint32_t>(wire::Frame::Message));
    stream += tooLong;
    for (std::size_t at = 0; at < stream.size(); at += 1000) {
      const std::size_t n = std::min<std::size_t>(1000, stream.size() - at);
      if (::send(fd, stream.data() + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) return;
    }
  });

  // One read at a time, so the frames wait in the port's buffer.
  std::string buffer(wire::kMessageSize, '\0');
  win::OVERLAPPED overlapped{};
  for (std::uint32_t i = 0; i < kCount; ++i) {
    ASSERT_EQ(port->GetMessage(buffer.data(), wire::kMessageSize, &overlapped), win::HR_IO_PENDING);
    CompletionPacket packet;
    ASSERT_EQ(completion->Dequeue(std::chrono::nanoseconds(5s), packet, nullptr), CompletionPortObject::Result::Packet)
        << "message " << i;
    ASSERT_EQ(packet.bytes, wire::kMessageSize);
    EXPECT_EQ(packet.key, 7u);
    ASSERT_EQ(wire::GetU32(buffer, 0), i);
    ASSERT_EQ(wire::GetU32(buffer, buffer.size() - 4), ~i);
  }
  driver.join();
  for (int i = 0; i < 500 && port->Connected(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(port->Connected());
  EXPECT_EQ(port->GetMessage(buffer.data(), wire::kMessageSize, &overlapped), win::HR_INVALID_HANDLE);
  ::close(fds[1]);
}
