#include "driver_channel/records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace zv::channel;

namespace {

// A raw buffer filled from the driver's offset table, then read back through
// the records.
class Bytes {
 public:
  explicit Bytes(std::size_t size) : data_(size, 0) {}
  void U8(std::size_t at, std::uint8_t v) { data_.at(at) = v; }
  void U32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) data_.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void U64(std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) data_.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void Utf16(std::size_t at, std::wstring_view s) {
    for (wchar_t c : s) {
      U8(at++, static_cast<std::uint8_t>(c & 0xFF));
      U8(at++, static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
  }
  std::uint8_t At(std::size_t i) const { return data_.at(i); }
  template <class T>
  T As(std::size_t at = 0) const {
    T out;
    std::memcpy(&out, data_.data() + at, sizeof(T));
    return out;
  }
  template <class T>
  static Bytes Of(const T& record) {
    Bytes b(sizeof(T));
    std::memcpy(b.data_.data(), &record, sizeof(T));
    return b;
  }

 private:
  std::vector<std::uint8_t> data_;
};

constexpr std::size_t kNote = 16;  // notification offset in the message buffer
constexpr std::size_t kPath = 44;

}  // namespace

TEST(Records, MessageBufferFieldsAtDriverOffsets) {
  Bytes b(2152);
  b.U32(0, 2076);
  b.U64(8, 0x1122334455667788ull);
  b.U32(kNote + 4, 0xA1A2A3A4);
  b.U8(kNote + 8, kKindRename);
  b.U32(kNote + 20, 0xB1B2B3B4);
  b.U32(kNote + 28, 1);
  b.U32(kNote + 32, 4321);
  b.U32(kNote + 36, 0x00120089);
  b.Utf16(kNote + kPath, L"\\Device\\HarddiskVolume3\\a.txt");
  b.Utf16(kNote + kPath + 2 * 31, L"\\Device\\HarddiskVolume3\\b.txt");
  b.U32(kNote + 2096, 31);
  b.U64(2120 + 16, 77);  // overlapped Offset/OffsetHigh

  auto m = b.As<MXRED_MESSAGE>();
  EXPECT_EQ(m.ReplyLength, 2076u);
  EXPECT_EQ(m.MessageId, 0x1122334455667788ull);
  const _MXRED_NOTIFICATION& n = m.Notification;
  EXPECT_EQ(n.Param1, 0xA1A2A3A4u);
  EXPECT_EQ(n.Kind, kKindRename);
  EXPECT_EQ(n.Param2, 0xB1B2B3B4u);
  EXPECT_EQ(n.Param3, 1u);
  EXPECT_EQ(n.ProcessId, 4321u);
  EXPECT_EQ(n.DesiredAccess, 0x00120089u);
  EXPECT_EQ(n.SourcePath(), L"\\Device\\HarddiskVolume3\\a.txt");
  EXPECT_EQ(n.TargetPath(), L"\\Device\\HarddiskVolume3\\b.txt");
  EXPECT_EQ(m.Overlapped.Offset, 77u);
  EXPECT_EQ(MXRED_MESSAGE::FromOverlapped(&m.Overlapped), &m);
}

TEST(Records, ReplyAndCommandBytes) {
  _MXRED_REPLY_MESSAGE r{};
  r.MessageId = 0x0102030405060708ull;
  r.Allow = 1;
  Bytes rb = Bytes::Of(r);
  EXPECT_EQ(rb.As<std::uint64_t>(8), 0x0102030405060708ull);
  EXPECT_EQ(rb.At(16), 1);
  EXPECT_EQ(rb.At(17), 0);
  for (std::size_t i : {0u, 4u, 18u, 2075u}) EXPECT_EQ(rb.At(i), 0) << i;

  Bytes unload = Bytes::Of(MakeAllowUnloadCommand());
  EXPECT_EQ(unload.As<std::uint32_t>(0), 2u);
  EXPECT_EQ(unload.As<std::uint32_t>(4), 0u);
  EXPECT_EQ(unload.As<std::uint32_t>(8), 153u);
  EXPECT_EQ(Bytes::Of(MakeAllowUnloadCommand(false)).As<std::uint32_t>(8), 0u);
  Bytes add = Bytes::Of(MakeAddDirectFreeCommand(9876));
  EXPECT_EQ(add.As<std::uint32_t>(0), 0u);
  EXPECT_EQ(add.As<std::uint32_t>(8), 9876u);
  for (std::size_t i = 12; i < 520; ++i) ASSERT_EQ(add.At(i), 0) << i;
}

TEST(Records, KindsThatExpectReply) {
  std::vector<int> expecting;
  for (int k = 0; k < 256; ++k)
    if (KindExpectsReply(static_cast<zv::win::BYTE>(k))) expecting.push_back(k);
  EXPECT_EQ(expecting, (std::vector<int>{3, 4, 5, 7, 8, 10}));
}

TEST(Records, RenameTargetStaysInsideTheField) {
  Bytes b(sizeof(_MXRED_NOTIFICATION));
  b.Utf16(kPath, L"src");
  b.Utf16(kPath + 2 * 4, L"dst");

  b.U32(2096, 0);  // no offset: the target is the source
  EXPECT_EQ(b.As<_MXRED_NOTIFICATION>().TargetPath(), L"src");
  b.U32(2096, 4);
  EXPECT_EQ(b.As<_MXRED_NOTIFICATION>().TargetPath(), L"dst");
  b.U32(2096, 1025);  // last unit of the field, which is zero here
  EXPECT_EQ(b.As<_MXRED_NOTIFICATION>().TargetPath(), L"");
  for (std::uint32_t past : {1026u, 5000u, 0xFFFFFFFFu}) {
    b.U32(2096, past);
    EXPECT_EQ(b.As<_MXRED_NOTIFICATION>().TargetPath(), L"") << past;
  }
}

TEST(Records, UnterminatedPathEndsAtTheFieldEnd) {
  Bytes b(sizeof(_MXRED_NOTIFICATION));
  b.Utf16(kPath, std::wstring(kPathUnits, L'x'));
  b.U32(2096, 0x00790079);  // the bytes after the field are not path units
  auto n = b.As<_MXRED_NOTIFICATION>();
  EXPECT_EQ(n.SourcePath(), std::wstring(kPathUnits, L'x'));
  n.PathLength = 1020;
  EXPECT_EQ(n.TargetPath(), std::wstring(6, L'x'));
}

TEST(Records, WritersTruncateToFitTheField) {
  _MXRED_NOTIFICATION n{};
  n.SetRenamePaths(L"\\a\\old", L"\\a\\new");
  EXPECT_EQ(n.PathLength, 7u);
  EXPECT_EQ(n.SourcePath(), L"\\a\\old");
  EXPECT_EQ(n.TargetPath(), L"\\a\\new");

  n.SetPath(std::wstring(2000, L'p'));
  EXPECT_EQ(n.SourcePath().size(), kPathUnits - 1);
  EXPECT_EQ(n.PathLength, 0u);
  n.SetRenamePaths(std::wstring(2000, L's'), L"t");
  EXPECT_EQ(n.SourcePath().size(), kPathUnits - 2);
  EXPECT_EQ(n.TargetPath(), L"");
}
