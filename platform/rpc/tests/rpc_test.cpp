#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/base/clock.h"
#include "platform/files/machine.h"
#include "platform/rpc/rpc_client.h"
#include "platform/rpc/rpc_server.h"
#include "platform/rpc/rpc_wire.h"

using namespace zv::platform;
using namespace zv::platform::rpc;
namespace fs = std::filesystem;
namespace win = zv::win;

namespace {

// A test interface: op 0 (int, string) echoes int + string length; op 1
// (string, string) returns the total length.
std::mutex seenMutex;
std::wstring lastText;

std::int32_t Echo(const NdrValue* a, std::size_t) {
  std::lock_guard lock(seenMutex);
  lastText = a[1].Text;
  return a[0].Int + static_cast<std::int32_t>(a[1].Text.size());
}
std::int32_t Lengths(const NdrValue* a, std::size_t) {
  return static_cast<std::int32_t>(a[0].Text.size() + a[1].Text.size());
}
constexpr NdrParam kEchoParams[] = {NdrParam::Int32, NdrParam::WideString};
constexpr NdrParam kLengthParams[] = {NdrParam::WideString, NdrParam::WideString};
constexpr RPC_PROCEDURE kTable[] = {{kEchoParams, 2, Echo}, {kLengthParams, 2, Lengths}};
constexpr RPC_SYNTAX_IDENTIFIER kTestIf = {{0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}}, {1, 0}};
constexpr RPC_SERVER_INTERFACE kTestInterface = {kTestIf, kNdrSyntax, kTable, 2};

std::string EchoStub(int value, std::wstring_view text) {
  NdrWriter w;
  w.Int32(value);
  w.WideString(text);
  return w.Bytes();
}

const std::uint8_t* U8(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

Header HeaderOf(const std::string& pdu) {
  Header h;
  EXPECT_EQ(ParseHeader(U8(pdu), pdu.size(), 0xFFFF, h), WireError::None);
  return h;
}

std::uint32_t FaultOf(const std::string& pdu) {
  Header h = HeaderOf(pdu);
  if (h.type != kFault) return 0;
  FaultBody f;
  EXPECT_EQ(ParseFault(h, U8(pdu), f), WireError::None);
  return f.status;
}

std::string BindPdu(std::uint32_t callId, const RPC_SYNTAX_IDENTIFIER& abstract,
                    const RPC_SYNTAX_IDENTIFIER& transfer = kNdrSyntax, std::uint8_t type = kBind,
                    std::uint16_t contextId = 0) {
  PresentationContext pc;
  pc.id = contextId;
  pc.abstract = abstract;
  pc.transfers.push_back(transfer);
  return BuildBind(type, callId, 5840, 5840, 0, {pc});
}

// The same request with big-endian integers throughout.
std::string BigEndianEchoRequest(std::uint32_t callId, int value, std::wstring_view text) {
  std::string stub;
  auto u32 = [&](std::uint32_t v) {
    for (int i = 3; i >= 0; --i) stub.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  u32(static_cast<std::uint32_t>(value));
  u32(static_cast<std::uint32_t>(text.size() + 1));
  u32(0);
  u32(static_cast<std::uint32_t>(text.size() + 1));
  for (wchar_t c : text) {
    stub.push_back(static_cast<char>(c >> 8));
    stub.push_back(static_cast<char>(c & 0xFF));
  }
  stub += std::string(2, '\0');
  std::string pdu;
  auto put8 = [&](std::uint8_t b) { pdu.push_back(static_cast<char>(b)); };
  for (std::uint8_t b : {5, 0, 0, 3, 0, 0, 0, 0}) put8(b);  // drep 0: big-endian
  std::uint16_t len = static_cast<std::uint16_t>(24 + stub.size());
  put8(len >> 8), put8(len & 0xFF), put8(0), put8(0);
  for (int i = 3; i >= 0; --i) put8(static_cast<std::uint8_t>(callId >> (8 * i)));
  std::uint32_t hint = static_cast<std::uint32_t>(stub.size());
  for (int i = 3; i >= 0; --i) put8(static_cast<std::uint8_t>(hint >> (8 * i)));
  put8(0), put8(0), put8(0), put8(0);  // context 0, opnum 0
  return pdu + stub;
}

}  // namespace

// ---- wire ---------------------------------------------------------------------------

TEST(RpcWire, BindAndBindAckRoundTrip) {
  std::string bind = BindPdu(7, kTestIf);
  Header h = HeaderOf(bind);
  EXPECT_EQ(h.type, kBind);
  EXPECT_EQ(h.callId, 7u);
  EXPECT_EQ(h.fragLength, bind.size());
  BindBody body;
  ASSERT_EQ(ParseBind(h, U8(bind), body), WireError::None);
  ASSERT_EQ(body.contexts.size(), 1u);
  EXPECT_TRUE(SameSyntax(body.contexts[0].abstract, kTestIf));
  EXPECT_TRUE(SameSyntax(body.contexts[0].transfers.at(0), kNdrSyntax));

  // "\PIPE\x" + NUL is 8 bytes: the results start on the next 4-byte boundary.
  std::string ack = BuildBindAck(kBindAck, 7, 5840, 5840, 0x1234, "\\PIPE\\x",
                                 {{kAcceptance, 0, kNdrSyntax}, {kProviderRejection, 2, {}}});
  EXPECT_EQ(ack.size() % 4, 0u);
  BindAckBody parsed;
  ASSERT_EQ(ParseBindAck(HeaderOf(ack), U8(ack), parsed), WireError::None);
  EXPECT_EQ(parsed.secondaryAddress, "\\PIPE\\x");
  EXPECT_EQ(parsed.assocGroupId, 0x1234u);
  ASSERT_EQ(parsed.results.size(), 2u);
  EXPECT_EQ(parsed.results[1].reason, 2);
}

TEST(RpcWire, HeaderChecks) {
  std::string ok = BuildRequest(1, kFirstFrag | kLastFrag, 0, 0, 0, "");
  Header h;
  EXPECT_EQ(ParseHeader(U8(ok), 10, 5840, h), WireError::Truncated);
  std::string v = ok;
  v[0] = 4;
  EXPECT_EQ(ParseHeader(U8(v), v.size(), 5840, h), WireError::BadVersion);
  std::string ebcdic = ok;
  ebcdic[4] = 0x11;
  EXPECT_EQ(ParseHeader(U8(ebcdic), ebcdic.size(), 5840, h), WireError::BadFormat);
  std::string big = ok;
  big[8] = static_cast<char>(0xD1), big[9] = 0x16;  // 5841
  EXPECT_EQ(ParseHeader(U8(big), big.size(), 5840, h), WireError::BadLength);
  std::string tiny = ok;
  tiny[8] = 8, tiny[9] = 0;
  EXPECT_EQ(ParseHeader(U8(tiny), tiny.size(), 5840, h), WireError::BadLength);
  std::string auth = ok;
  auth[10] = 100;  // an authentication trailer larger than the fragment
  EXPECT_EQ(ParseHeader(U8(auth), auth.size(), 5840, h), WireError::Malformed);
}

TEST(RpcWire, NdrStringsAreCheckedAgainstTheirCounts) {
  std::vector<NdrValue> out;
  auto decode = [&](const std::string& stub) {
    return DecodeArguments(kEchoParams, 2, U8(stub), stub.size(), false, 1024, out);
  };
  ASSERT_TRUE(decode(EchoStub(5, L"abc")));
  EXPECT_EQ(out[0].Int, 5);
  EXPECT_EQ(out[1].Text, L"abc");

  auto withCounts = [](std::uint32_t max, std::uint32_t offset, std::uint32_t actual, std::wstring_view units) {
    NdrWriter w;
    w.Int32(1);
    std::string s = w.Bytes();
    for (std::uint32_t v : {max, offset, actual})
      for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    for (wchar_t c : units) s.push_back(static_cast<char>(c)), s.push_back(0);
    return s;
  };
  EXPECT_FALSE(decode(withCounts(0, 0, 0, L"")));                    // a null string
  EXPECT_FALSE(decode(withCounts(3, 0, 3, std::wstring(L"abc"))));   // unterminated
  EXPECT_FALSE(decode(withCounts(4, 0, 5, std::wstring(L"abcd\0", 5))));  // actual above max
  EXPECT_FALSE(decode(withCounts(9, 0, 9, std::wstring(L"ab\0", 3))));    // counts beyond the data
  EXPECT_FALSE(decode(withCounts(4, 1, 3, std::wstring(L"ab\0", 3))));    // offset not 0
  EXPECT_FALSE(decode(withCounts(0xFFFFFFFF, 0, 0xFFFFFFFF, L"")));       // huge counts, no data
  EXPECT_FALSE(decode(EchoStub(1, std::wstring(2000, L'x'))));          // above the unit limit
  std::string truncated = EchoStub(5, L"abc");
  EXPECT_FALSE(decode(truncated.substr(0, truncated.size() - 1)));
  ASSERT_TRUE(decode(withCounts(4, 0, 4, std::wstring(L"a\0b\0", 4))));  // text ends at the first zero
  EXPECT_EQ(out[1].Text, L"a");
}

// ---- server ----------------------------------------------------------------------

class RpcServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("zvm-rpc-" + std::to_string(getpid()));
    fs::remove_all(root_);
    Machine::SetCurrent(Machine::Open(root_, true));
    // Tests that fork a client keep only the forking thread in the child: a
    // lazily made object a server thread was making at the fork would stay
    // "being made" there for ever. The clock is the one both sides reach
    // first; make it before any server thread runs.
    (void)CurrentClock();
    StartServer();
  }
  void TearDown() override {
    StopServer();
    Machine::SetCurrent(nullptr);
    fs::remove_all(root_);
  }
  void StartServer() {
    runtime_ = std::make_unique<RpcRuntime>(limits_);
    ASSERT_EQ(runtime_->RpcServerUseProtseqEpW(L"ncacn_np", 20, L"\\pipe\\RpcTest", nullptr), win::RPC_S_OK);
    ASSERT_EQ(runtime_->RpcServerRegisterIf(&kTestInterface, nullptr, nullptr), win::RPC_S_OK);
    listener_ = std::thread([this] { runtime_->RpcServerListen(1, 1234, 0); });
    while (!runtime_->IsListening()) std::this_thread::yield();
    path_ = PipeSocketPath(L"\\pipe\\rpctest");
  }
  void StopServer() {
    if (!runtime_) return;
    runtime_->RpcMgmtStopServerListening(nullptr);
    listener_.join();
    runtime_.reset();
  }
  // A connected client bound to the test interface.
  std::unique_ptr<RpcClient> Bound() {
    auto c = std::make_unique<RpcClient>();
    c->SetTimeout(5000);
    EXPECT_EQ(c->Connect(path_), win::RPC_S_OK);
    EXPECT_EQ(c->Bind(kTestIf), win::RPC_S_OK);
    return c;
  }
  // Whether a fresh client still gets an answer.
  void ExpectServing() {
    auto c = Bound();
    std::string response;
    ASSERT_EQ(c->Call(0, EchoStub(40, L"ok"), response), win::RPC_S_OK);
    NdrReader r(U8(response), response.size(), false);
    std::int32_t v = 0;
    ASSERT_TRUE(r.Int32(v));
    EXPECT_EQ(v, 42);
  }
  // Sends raw bytes on a fresh connection and returns the answer ("" when
  // the server closed without one).
  std::string Exchange(RpcClient& c, const std::string& bytes) {
    EXPECT_EQ(c.SendRaw(bytes), win::RPC_S_OK);
    std::string pdu;
    return c.ReceivePdu(pdu) == win::RPC_S_OK ? pdu : std::string();
  }
  bool ClosedByServer(RpcClient& c) {
    std::string pdu;
    return c.ReceivePdu(pdu) != win::RPC_S_OK;
  }

  RpcLimits limits_{};
  fs::path root_;
  std::string path_;
  std::unique_ptr<RpcRuntime> runtime_;
  std::thread listener_;
};

TEST_F(RpcServerTest, CallsInBothByteOrdersAndFragments) {
  auto c = Bound();
  std::string response;
  ASSERT_EQ(c->Call(0, EchoStub(1, L"\\\\?\\c:\\qd"), response), win::RPC_S_OK);
  EXPECT_EQ(lastText, L"\\\\?\\c:\\qd");

  // Big-endian integers and units: decoded by the sender's format label.
  std::string pdu = Exchange(*c, BigEndianEchoRequest(77, 10, L"xyz"));
  ASSERT_EQ(HeaderOf(pdu).type, kResponse);
  EXPECT_EQ(HeaderOf(pdu).callId, 77u);
  EXPECT_EQ(lastText, L"xyz");

  // A long text sent in 40-byte pieces is reassembled.
  auto small = std::make_unique<RpcClient>();
  small->SetSendFragment(64);
  ASSERT_EQ(small->Connect(path_), win::RPC_S_OK);
  ASSERT_EQ(small->Bind(kTestIf), win::RPC_S_OK);
  std::wstring text(500, L'q');
  ASSERT_EQ(small->Call(0, EchoStub(0, text), response), win::RPC_S_OK);
  std::int32_t v = 0;
  NdrReader(U8(response), response.size(), false).Int32(v);
  EXPECT_EQ(v, 500);
  EXPECT_EQ(lastText, text);
}

TEST_F(RpcServerTest, BindNegotiation) {
  // Unknown interface and foreign transfer syntax: provider rejections.
  RpcClient c;
  ASSERT_EQ(c.Connect(path_), win::RPC_S_OK);
  RPC_SYNTAX_IDENTIFIER other = kTestIf;
  other.SyntaxGUID.Data1 ^= 1;
  PresentationContext a{0, other, {kNdrSyntax}};
  RPC_SYNTAX_IDENTIFIER ndr64 = {{0x71710533, 0xbeba, 0x4937, {0x83, 0x19, 0xb5, 0xdb, 0xef, 0x9c, 0xcc, 0x36}}, {1, 0}};
  PresentationContext b{1, kTestIf, {ndr64}};
  PresentationContext good{2, kTestIf, {ndr64, kNdrSyntax}};
  std::string ack = Exchange(c, BuildBind(kBind, 1, 5840, 5840, 0, {a, b, good}));
  BindAckBody body;
  ASSERT_EQ(HeaderOf(ack).type, kBindAck);
  ASSERT_EQ(ParseBindAck(HeaderOf(ack), U8(ack), body), WireError::None);
  EXPECT_EQ(body.secondaryAddress, "\\PIPE\\RpcTest");
  ASSERT_EQ(body.results.size(), 3u);
  EXPECT_EQ(body.results[0].result, kProviderRejection);
  EXPECT_EQ(body.results[0].reason, kAbstractSyntaxNotSupported);
  EXPECT_EQ(body.results[1].reason, kTransferSyntaxesNotSupported);
  EXPECT_EQ(body.results[2].result, kAcceptance);
  // A call on a rejected context: unknown interface, connection kept.
  EXPECT_EQ(FaultOf(Exchange(c, BuildRequest(2, 3, 0, 0, 0, EchoStub(1, L"a")))), kNcaUnknownInterface);
  std::string ok = Exchange(c, BuildRequest(3, 3, 0, 2, 0, EchoStub(1, L"a")));
  EXPECT_EQ(HeaderOf(ok).type, kResponse);
  // alter_context adds a context on the same connection.
  std::string alter = Exchange(c, BindPdu(4, kTestIf, kNdrSyntax, kAlterContext, 9));
  ASSERT_EQ(HeaderOf(alter).type, kAlterContextResp);
  EXPECT_EQ(HeaderOf(Exchange(c, BuildRequest(5, 3, 0, 9, 1, EchoStub(1, L"a")))).type, kFault);  // op 1 wants 2 strings
  NdrWriter w;
  w.WideString(L"ab");
  w.WideString(L"c");
  std::string r = Exchange(c, BuildRequest(6, 3, 0, 9, 1, w.Bytes()));
  EXPECT_EQ(HeaderOf(r).type, kResponse);

  // Authentication is refused at bind.
  RpcClient d;
  ASSERT_EQ(d.Connect(path_), win::RPC_S_OK);
  std::string withAuth = BindPdu(1, kTestIf);
  withAuth += std::string(8 + 16, '\0');
  withAuth[8] = static_cast<char>(withAuth.size() & 0xFF), withAuth[9] = static_cast<char>(withAuth.size() >> 8);
  withAuth[10] = 16;
  std::string nak = Exchange(d, withAuth);
  ASSERT_EQ(HeaderOf(nak).type, kBindNak);
  std::uint16_t reason = 0;
  ParseBindNak(HeaderOf(nak), U8(nak), reason);
  EXPECT_EQ(reason, kNakAuthenticationTypeNotRecognized);
}

TEST_F(RpcServerTest, MalformedPdusGetAFaultOrACloseAndTheServerGoesOn) {
  struct Case {
    const char* what;
    bool bindFirst;
    std::string bytes;
    std::uint32_t fault;  // 0: a close (or a bind_nak) is expected
    bool closes;
  };
  std::string wrongVersion = BuildRequest(5, 3, 0, 0, 0, EchoStub(1, L"a"));
  wrongVersion[1] = 1;
  std::string tooLong = BuildRequest(5, 3, 0, 0, 0, EchoStub(1, L"a"));
  tooLong[8] = static_cast<char>(0xB0), tooLong[9] = 0x17;  // 6064
  std::string shortFrag = BuildRequest(5, 3, 0, 0, 0, "");
  shortFrag[8] = 12;
  std::string nullString;
  {
    NdrWriter w;
    w.Int32(1);
    nullString = w.Bytes() + std::string(12, '\0');
  }
  std::string unterminated = EchoStub(1, L"abc");
  unterminated[unterminated.size() - 2] = 'x';  // the terminator
  std::string countsBeyond = EchoStub(1, L"abc");
  countsBeyond[12] = 50;  // actual count 50
  std::vector<Case> cases = {
      {"request before bind", false, BuildRequest(5, 3, 0, 0, 0, EchoStub(1, L"a")), kNcaProtocolError, true},
      {"wrong minor version", true, wrongVersion, kNcaProtocolError, true},
      {"frag length above the limit", true, tooLong, kNcaProtocolError, true},
      {"frag length below the header", true, shortFrag, kNcaProtocolError, true},
      {"unknown context", true, BuildRequest(5, 3, 0, 4, 0, EchoStub(1, L"a")), kNcaUnknownInterface, false},
      {"unknown opnum", true, BuildRequest(5, 3, 0, 0, 9, EchoStub(1, L"a")), kNcaOpRangeError, false},
      {"null string", true, BuildRequest(5, 3, 0, 0, 0, nullString), kNcaFaultNdr, false},
      {"unterminated string", true, BuildRequest(5, 3, 0, 0, 0, unterminated), kNcaFaultNdr, false},
      {"counts beyond the data", true, BuildRequest(5, 3, 0, 0, 0, countsBeyond), kNcaFaultNdr, false},
      {"empty stub", true, BuildRequest(5, 3, 0, 0, 0, ""), kNcaFaultNdr, false},
      {"middle fragment first", true, BuildRequest(5, 0, 0, 0, 0, "abcd"), kNcaProtocolError, true},
      {"a response from the client", true, BuildResponse(5, 3, 0, 0, ""), kNcaProtocolError, true},
      {"second bind", true, BindPdu(5, kTestIf), kNcaProtocolError, true},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    RpcClient c;
    c.SetTimeout(5000);
    ASSERT_EQ(c.Connect(path_), win::RPC_S_OK);
    if (k.bindFirst) {
      ASSERT_EQ(c.Bind(kTestIf), win::RPC_S_OK);
    }
    std::string answer = Exchange(c, k.bytes);
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(HeaderOf(answer).callId, k.bytes.size() >= 16 ? 5u : 0u);
    EXPECT_EQ(FaultOf(answer), k.fault);
    if (k.closes) {
      EXPECT_TRUE(ClosedByServer(c));
    } else {  // the connection still serves
      std::string response;
      EXPECT_EQ(c.Call(0, EchoStub(1, L"a"), response), win::RPC_S_OK);
    }
  }
  // A bind of protocol version 4: bind_nak, then closed.
  RpcClient v4;
  ASSERT_EQ(v4.Connect(path_), win::RPC_S_OK);
  std::string bind4 = BindPdu(1, kTestIf);
  bind4[0] = 4;
  ASSERT_EQ(v4.SendRaw(bind4), win::RPC_S_OK);
  std::string nak;
  ASSERT_EQ(v4.ReceivePdu(nak), win::RPC_S_OK);
  ASSERT_EQ(HeaderOf(nak).type, kBindNak);
  std::uint16_t reason = 0;
  ParseBindNak(HeaderOf(nak), U8(nak), reason);
  EXPECT_EQ(reason, kNakProtocolVersionNotSupported);
  EXPECT_TRUE(ClosedByServer(v4));
  ExpectServing();
}

TEST_F(RpcServerTest, OversizedStubIsRefused) {
  auto c = std::make_unique<RpcClient>();
  ASSERT_EQ(c->Connect(path_), win::RPC_S_OK);
  ASSERT_EQ(c->Bind(kTestIf), win::RPC_S_OK);
  // 280 KB of fragments: beyond the 256 KiB stub limit.
  std::string chunk(4000, 'a');
  std::uint32_t fault = 0;
  std::string answer;
  for (int i = 0; i < 70 && answer.empty(); ++i) {
    if (c->SendRaw(BuildRequest(9, i == 0 ? kFirstFrag : 0, 0, 0, 0, chunk)) != win::RPC_S_OK) break;
  }
  ASSERT_EQ(c->ReceivePdu(answer), win::RPC_S_OK);
  fault = FaultOf(answer);
  EXPECT_EQ(fault, kNcaRemoteNoMemory);
  EXPECT_TRUE(ClosedByServer(*c));
  ExpectServing();
}

// The documented string limit fits the stub limit: two strings at the
// limit pass; one unit more is bad stub data; a stub beyond the limit is
// refused with a fault the client reads even though the server closed
// while it was still sending.
TEST_F(RpcServerTest, StringsAtTheLimitPassAndLargerCallsAreToldWhy) {
  auto c = Bound();
  std::string response;
  NdrWriter both;
  both.WideString(std::wstring(kMaxStringUnits - 1, L'x'));
  both.WideString(std::wstring(kMaxStringUnits - 1, L'y'));
  ASSERT_EQ(c->Call(1, both.Bytes(), response), win::RPC_S_OK);
  NdrReader r(U8(response), response.size(), false);
  std::int32_t v = 0;
  ASSERT_TRUE(r.Int32(v));
  EXPECT_EQ(v, 2 * static_cast<std::int32_t>(kMaxStringUnits - 1));
  std::uint32_t fault = 0;
  EXPECT_EQ(c->Call(0, EchoStub(1, std::wstring(kMaxStringUnits, L'z')), response, &fault), win::RPC_X_BAD_STUB_DATA);
  EXPECT_EQ(c->Call(0, EchoStub(1, std::wstring(150000, L'z')), response, &fault), win::RPC_S_OUT_OF_MEMORY);
  EXPECT_EQ(fault, kNcaRemoteNoMemory);
  ExpectServing();
}

// The server judges a peer by the groups its process really has, not by
// what the user database says its user could have.
TEST_F(RpcServerTest, PeersAreJudgedByTheirRealGroups) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  auto asNobody = [&](std::vector<gid_t> groups) {
    pid_t child = fork();
    if (child == 0) {
      if (setgroups(groups.size(), groups.data()) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
      RpcClient c;
      c.SetTimeout(5000);
      if (c.Connect(path_) != win::RPC_S_OK || c.Bind(kTestIf) != win::RPC_S_OK) _exit(11);
      std::string response;
      _exit(c.Call(0, EchoStub(1, L"a"), response) == win::RPC_S_OK ? 0 : 12);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  // Group 0 given at run time, though nobody is not in it in the database.
  EXPECT_EQ(asNobody({0}), 0);
  // The socket opened to everyone: a process without the group is still
  // turned away by the peer check.
  ASSERT_EQ(chmod(path_.c_str(), 0666), 0);
  EXPECT_EQ(asNobody({}), 11);
  ExpectServing();
}

// Connections that trickle a small fragment every 2 s never finish their
// call; the bound on one call's time drops them, so a good client gets in
// within a few seconds of clock even when they fill every slot.
TEST(RpcServerLimits, TricklingCallsDoNotLockOutAGoodClient) {
  fs::path root = fs::temp_directory_path() / ("zvm-rpctrickle-" + std::to_string(getpid()));
  fs::remove_all(root);
  Machine::SetCurrent(Machine::Open(root, true));
  RealClock clock(10);
  ScopedClock scoped(clock);
  RpcLimits limits;
  limits.maxConnections = 8;
  RpcRuntime runtime(limits);
  ASSERT_EQ(runtime.RpcServerUseProtseqEpW(L"ncacn_np", 20, L"\\pipe\\trickle", nullptr), win::RPC_S_OK);
  ASSERT_EQ(runtime.RpcServerRegisterIf(&kTestInterface, nullptr, nullptr), win::RPC_S_OK);
  ASSERT_EQ(runtime.RpcServerListen(1, 1234, 1), win::RPC_S_OK);
  std::string path = PipeSocketPath(L"\\pipe\\trickle");

  std::atomic<bool> stop{false};
  std::vector<std::thread> tricklers;
  std::atomic<int> started{0};
  for (int i = 0; i < 8; ++i) {
    tricklers.emplace_back([&] {
      RpcClient c;
      if (c.Connect(path) != win::RPC_S_OK || c.Bind(kTestIf) != win::RPC_S_OK) return;
      if (c.SendRaw(BuildRequest(5, kFirstFrag, 0, 0, 0, "ab")) != win::RPC_S_OK) return;
      ++started;
      while (!stop && c.SendRaw(BuildRequest(5, 0, 0, 0, 0, "ab")) == win::RPC_S_OK) Sleep(2000);
    });
  }
  while (started < 8) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::uint64_t begin = GetTickCount64();
  bool served = false;
  while (!served && GetTickCount64() - begin < 60000) {
    RpcClient good;
    good.SetTimeout(1000);
    std::string response;
    served = good.Connect(path) == win::RPC_S_OK && good.Bind(kTestIf) == win::RPC_S_OK &&
             good.Call(0, EchoStub(1, L"a"), response) == win::RPC_S_OK;
    if (!served) Sleep(500);
  }
  std::uint64_t waited = GetTickCount64() - begin;
  stop = true;
  for (auto& t : tricklers) t.join();
  EXPECT_TRUE(served);
  EXPECT_LT(waited, 10000u) << "clock ms until the good client got through";
  EXPECT_EQ(runtime.RpcMgmtStopServerListening(nullptr), win::RPC_S_OK);
  Machine::SetCurrent(nullptr);
  fs::remove_all(root);
}

TEST(RpcServerLimits, StalledAndIdleConnectionsAreDropped) {
  fs::path root = fs::temp_directory_path() / ("zvm-rpclim-" + std::to_string(getpid()));
  fs::remove_all(root);
  Machine::SetCurrent(Machine::Open(root, true));
  RpcLimits limits;
  limits.pduTimeoutMs = 300;
  limits.maxConnections = 4;
  RpcRuntime runtime(limits);
  ASSERT_EQ(runtime.RpcServerUseProtseqEpW(L"ncacn_np", 20, L"\\pipe\\limits", nullptr), win::RPC_S_OK);
  ASSERT_EQ(runtime.RpcServerRegisterIf(&kTestInterface, nullptr, nullptr), win::RPC_S_OK);
  ASSERT_EQ(runtime.RpcServerListen(1, 1234, 1), win::RPC_S_OK);  // serves on its own thread
  std::string path = PipeSocketPath(L"\\pipe\\limits");

  // Half a PDU, then silence: dropped after the PDU time-out.
  RpcClient stalled;
  ASSERT_EQ(stalled.Connect(path), win::RPC_S_OK);
  std::string bind = BindPdu(1, kTestIf);
  ASSERT_EQ(stalled.SendRaw(bind.substr(0, 30)), win::RPC_S_OK);
  std::string pdu;
  stalled.SetTimeout(10000);
  EXPECT_EQ(stalled.ReceivePdu(pdu), win::RPC_S_CALL_FAILED);  // closed, not timed out here

  // Idle connections beyond the limit: the longest-idle one makes room.
  std::vector<std::unique_ptr<RpcClient>> idle;
  for (int i = 0; i < 4; ++i) {
    idle.push_back(std::make_unique<RpcClient>());
    ASSERT_EQ(idle.back()->Connect(path), win::RPC_S_OK);
    ASSERT_EQ(idle.back()->Bind(kTestIf), win::RPC_S_OK);
  }
  RpcClient fresh;
  fresh.SetTimeout(5000);
  ASSERT_EQ(fresh.Connect(path), win::RPC_S_OK);
  ASSERT_EQ(fresh.Bind(kTestIf), win::RPC_S_OK);
  std::string response;
  EXPECT_EQ(fresh.Call(0, EchoStub(1, L"a"), response), win::RPC_S_OK);
  idle[0]->SetTimeout(5000);
  EXPECT_NE(idle[0]->Call(0, EchoStub(1, L"a"), response), win::RPC_S_OK);
  EXPECT_LE(runtime.ConnectionCount(), 4u);
  EXPECT_EQ(runtime.RpcMgmtStopServerListening(nullptr), win::RPC_S_OK);
  Machine::SetCurrent(nullptr);
  fs::remove_all(root);
}

TEST_F(RpcServerTest, EndpointOwnership) {
  // A second live server cannot take the endpoint.
  RpcRuntime second;
  EXPECT_EQ(second.RpcServerUseProtseqEpW(L"ncacn_np", 20, L"\\pipe\\rpctest", nullptr),
            win::RPC_S_DUPLICATE_ENDPOINT);
  EXPECT_EQ(second.RpcServerUseProtseqEpW(L"ncacn_ip_tcp", 20, L"\\pipe\\x", nullptr),
            win::RPC_S_PROTSEQ_NOT_SUPPORTED);
  EXPECT_EQ(second.RpcServerUseProtseqEpW(L"ncacn_np", 20, L"\\pipe\\a\\..\\b", nullptr),
            win::RPC_S_INVALID_ENDPOINT_FORMAT);
  EXPECT_EQ(second.RpcServerUseProtseqEpW(L"ncacn_np", 20, L"pipe", nullptr), win::RPC_S_INVALID_ENDPOINT_FORMAT);
  EXPECT_EQ(second.RpcServerListen(1, 10, 0), win::RPC_S_NO_PROTSEQS_REGISTERED);
  // After the first server is gone (its socket file left behind), the
  // endpoint is free again.
  StopServer();
  { std::FILE* f = std::fopen(path_.c_str(), "w"); if (f) std::fclose(f); }
  EXPECT_EQ(second.RpcServerUseProtseqEpW(L"ncacn_np", 20, L"\\pipe\\rpctest", nullptr), win::RPC_S_OK);
  RpcClient c;
  EXPECT_EQ(c.Connect(PipeSocketPath(L"\\pipe\\nothing")), win::RPC_S_SERVER_UNAVAILABLE);
}

TEST_F(RpcServerTest, OnlyOwnerAndAdminGroupMayConnect) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  // A second endpoint whose admin group is nobody's group.
  Machine::Current()->SetSetting("rpc.admin_group", "65534");
  RpcRuntime groupRuntime;
  ASSERT_EQ(groupRuntime.RpcServerUseProtseqEpW(L"ncacn_np", 20, L"\\pipe\\grouped", nullptr), win::RPC_S_OK);
  ASSERT_EQ(groupRuntime.RpcServerRegisterIf(&kTestInterface, nullptr, nullptr), win::RPC_S_OK);
  ASSERT_EQ(groupRuntime.RpcServerListen(1, 4, 1), win::RPC_S_OK);
  std::string grouped = PipeSocketPath(L"\\pipe\\grouped");

  pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    RpcClient c;
    if (c.Connect(path_) != win::RPC_S_ACCESS_DENIED) _exit(11);
    RpcClient g;
    if (g.Connect(grouped) != win::RPC_S_OK || g.Bind(kTestIf) != win::RPC_S_OK) _exit(12);
    std::string response;
    if (g.Call(0, EchoStub(1, L"a"), response) != win::RPC_S_OK) _exit(13);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  groupRuntime.RpcMgmtStopServerListening(nullptr);
  ExpectServing();
}
