// Library calls that a real socket cannot be made to fail, failed on
// purpose through a replacement "wsock32.dll": each report carries its
// exact label and text.
#include <gtest/gtest.h>

#include "SocketTestUtil.h"

using namespace evc;
using sockt::PumpUntil;
using sockt::TFaultModule;

namespace {
std::string Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const ESocketException& e) {
    return e.Message();
  }
  return "(nothing raised)";
}
void Aim(TCustomWSocket& s, int port, const char* proto = "tcp") {
  s.SetProto(proto);
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(port));
}
}  // namespace

TEST(FaultTest, ConnectLabels) {
  sockt::TRawListener peer;
  struct TCase {
    const char* entry;
    int level, option;  // for setsockopt
    const char* proto;
    std::string expected;
  };
  const TCase cases[] = {
      {"socket", 0, 0, "tcp", "Error 10024 in function Connect (socket)\r\nToo many open files"},
      {"", 0xFFFF, 4, "tcp", "Error 10042 in function setsockopt(SO_REUSEADDR)\r\nProtocol not available"},
      {"", 0xFFFF, 8, "tcp", "Error 10042 in function setsockopt(SO_KEEPALIVE)\r\nProtocol not available"},
      {"", 0xFFFF, 0x80, "tcp", "Error 10042 in function setsockopt(SO_LINGER)\r\nProtocol not available"},
      {"WSAAsyncSelect", 0, 0, "tcp", "Error 10055 in function WSAAsyncSelect\r\nNo buffer space available"},
      {"connect", 0, 0, "tcp", "Error 10051 in function Connect\r\nNetwork is unreachable"},
  };
  for (const auto& c : cases) {
    TFaultModule fm;
    if (*c.entry) {
      int code = std::string(c.entry) == "socket" ? 10024 : std::string(c.entry) == "connect" ? 10051 : 10055;
      fm.Fail(c.entry, code);
    } else {
      fm.FailOption(c.level, c.option, 10042);
    }
    DAVidavi s(nullptr);
    Aim(s, peer.port, c.proto);
    EXPECT_EQ(Raised([&] { s.Connect(); }), c.expected);
    EXPECT_EQ(s.LastError(), std::stoi(c.expected.substr(6, 5)));
    s.Close();
  }
}

TEST(FaultTest, NoDelayBroadcastAndMulticastLabels) {
  {
    TFaultModule fm;
    fm.FailOption(6, 1, 10042);
    DAVidavi s(nullptr);
    s.SetComponentOptions(OptionBit(wsoTcpNoDelay));
    Aim(s, 9);
    EXPECT_EQ(Raised([&] { s.Connect(); }),
              "Error 10042 in function setsockopt(IPPROTO_TCP, TCP_NODELAY)\r\nProtocol not available");
    s.Close();
  }
  {
    TFaultModule fm;
    fm.FailOption(0xFFFF, 0x20, 10013);
    DAVidavi s(nullptr);
    s.SetProto("udp");
    s.SetAddr("255.255.255.255");
    s.SetPort("9");
    EXPECT_EQ(Raised([&] { s.Connect(); }), "Error 10013 in function setsockopt(SO_BROADCAST)\r\nPermission denied");
    s.Close();
  }
  {
    TFaultModule fm;
    fm.FailOption(0, 3, 10022);
    DAVidavi s(nullptr);
    s.SetMultiCast(true);
    s.SetMultiCastIpTTL(5);
    Aim(s, 9, "udp");
    EXPECT_EQ(Raised([&] { s.Connect(); }), "Error 10022 in function setsockopt(IP_MULTICAST_TTL)\r\nInvalid argument");
    s.Close();
  }
  {
    TFaultModule fm;
    fm.FailOption(0, 2, 10049);
    DAVidavi s(nullptr);
    s.SetMultiCast(true);
    s.SetLocalAddr("127.0.0.1");
    Aim(s, 9, "udp");
    EXPECT_EQ(Raised([&] { s.Connect(); }), "Error 10049 in function setsockopt(IP_MULTICAST_IF)\r\nAddress not available");
    s.Close();
  }
}

TEST(FaultTest, ListenLabels) {
  const std::pair<const char*, std::string> cases[] = {
      {"socket", "Error 10024 in function socket\r\nToo many open files"},
      {"listen", "Error 10024 in function Listen\r\nToo many open files"},
      {"WSAAsyncSelect", "Error 10024 in function WSAASyncSelect\r\nToo many open files"},
  };
  for (const auto& [entry, expected] : cases) {
    TFaultModule fm;
    fm.Fail(entry, 10024);
    DAVidavi s(nullptr);
    Aim(s, 0);
    EXPECT_EQ(Raised([&] { s.Listen(); }), expected);
    s.Close();
  }
  {
    TFaultModule fm;
    fm.FailOption(0xFFFF, 4, 10042);
    DAVidavi s(nullptr);
    s.SetReuseAddr(true);
    Aim(s, 0, "udp");
    EXPECT_EQ(Raised([&] { s.Listen(); }), "Error 10042 in function setsockopt(SO_REUSEADDR)\r\nProtocol not available");
    s.Close();
    EXPECT_EQ(s.HSocket(), winsock::INVALID_SOCKET);  // released, not leaked
  }
  {
    TFaultModule fm;
    fm.FailOption(0, 5, 10049);
    DAVidavi s(nullptr);
    s.SetMultiCast(true);
    s.SetMultiCastAddrStr("239.1.2.3");
    Aim(s, 0, "udp");
    EXPECT_EQ(Raised([&] { s.Listen(); }), "Error 10049 in function setsockopt(IP MULTICAST)\r\nAddress not available");
    s.Close();
  }
}

TEST(FaultTest, SessionLabels) {
  TFaultModule fm;
  DAVidavi l(nullptr);
  std::vector<winsock::SOCKET> accepted;
  std::string acceptError;
  l.OnSessionAvailable = [&](TObject*, WORD) {
    try {
      accepted.push_back(l.Accept());
    } catch (const ESocketException& e) {
      acceptError = e.Message();
    }
  };
  Aim(l, 0);
  l.Listen();
  int port = std::stoi(l.BoundPort());
  DAVidavi c(nullptr);
  Aim(c, port);
  c.Connect();
  ASSERT_TRUE(PumpUntil([&] { return accepted.size() == 1 && c.State() == wsConnected; }));
  fm.Fail("accept", 10024);
  DAVidavi c2(nullptr);
  Aim(c2, port);
  c2.Connect();
  ASSERT_TRUE(PumpUntil([&] { return !acceptError.empty(); }));
  EXPECT_EQ(acceptError, "Error 10024 in function Accept\r\nToo many open files");
  fm.Fail("getpeername", 10022);
  EXPECT_EQ(Raised([&] { (void)c.PeerAddr(); }), "Error 10022 in function GetPeerName\r\nInvalid argument");
  EXPECT_EQ(Raised([&] { (void)c.PeerPort(); }), "Error 10022 in function GetPeerPort\r\nInvalid argument");
  int errors = 0;
  c.OnError = [&](TObject*) { ++errors; };
  EXPECT_EQ(c.PeerAddr(), "error");
  EXPECT_EQ(errors, 1);
  c.OnError = nullptr;
  fm.Fail("getsockname", 10022);
  EXPECT_EQ(c.BoundPort(), "error");  // no report
  fm.Fail("ioctlsocket", 10038);
  EXPECT_EQ(Raised([&] { (void)c.RcvdCount(); }), "Error 10038 in function ioctlSocket\r\nSocket operation on non-socket");
  fm.Fail("send", 10055);
  EXPECT_EQ(Raised([&] { c.SendText("x"); }), "Error 10055 in function TryToSend failed\r\nNo buffer space available");
  EXPECT_EQ(c.BufferedByteCount(), 1);  // still queued
  // Connection-level send errors close the session, reported once.
  int closed = 0;
  WORD closeError = 0;
  c.OnSessionClosed = [&](TObject*, WORD e) {
    ++closed;
    closeError = e;
  };
  fm.Fail("send", 10053);
  c.SendText("y");
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(closeError, 10053);
  EXPECT_EQ(c.State(), wsClosed);
  for (auto h : accepted) wsocket::closesocket(h);
}

TEST(FaultTest, FailCallWith10054ClosesBeforeOnError) {
  TFaultModule fm;
  sockt::TRawListener peer;
  DAVidavi s(nullptr);
  sockt::TRecorder r;
  r.Attach(s);
  s.OnError = [&](TObject*) { r.log.push_back("error " + std::to_string(s.LastError())); };
  Aim(s, peer.port);
  s.Connect();
  int fd = peer.AcceptOne();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
  r.log.clear();
  fm.Fail("getpeername", 10054);
  EXPECT_EQ(s.PeerAddr(), "error");
  EXPECT_EQ(r.Joined(), "closed 10054, state wsConnected>wsClosed, error 10054");
  EXPECT_EQ(s.HSocket(), winsock::INVALID_SOCKET);
  sockt::RawClose(fd);
}

TEST(FaultTest, CloseLookupAndDnsLabels) {
  {
    TFaultModule fm;
    sockt::TRawListener peer;
    DAVidavi s(nullptr);
    Aim(s, peer.port);
    s.Connect();
    fm.Fail("closesocket", 10038);
    EXPECT_EQ(Raised([&] { s.Close(); }), "Error 10038 in function Disconnect (closesocket)\r\nSocket operation on non-socket");
    EXPECT_EQ(s.HSocket(), winsock::INVALID_SOCKET);
  }
  {
    TFaultModule fm;
    fm.Fail("WSAAsyncGetHostByName", 10055);
    fm.Fail("WSAAsyncGetHostByAddr", 10055);
    DAVidavi s(nullptr);
    EXPECT_EQ(Raised([&] { s.DnsLookup("localhost"); }), "localhost: can't start DNS lookup, error #10055");
    EXPECT_EQ(Raised([&] { s.ReverseDnsLookup("127.0.0.1"); }), "127.0.0.1: can't start DNS lookup, error #10055");
  }
  {
    TFaultModule fm;
    DAVidavi s(nullptr);
    s.DnsLookup("localhost");
    fm.Fail("WSACancelAsyncRequest", 10022);
    EXPECT_EQ(Raised([&] { s.CancelLookup(); }), "Error 10022 in function WSACancelAsyncRequest\r\nInvalid argument");
    fm.Fail("WSACancelAsyncRequest", 0);
  }
  {
    TFaultModule fm;
    fm.Fail("gethostname", 10093);
    EXPECT_EQ(Raised([] { MachineHostName(); }), "Winsock.GetHostName failed");
  }
  {
    TFaultModule fm;
    fm.Fail("bind", 10048);
    DAVidavi s(nullptr);
    s.SetLocalPort("0");
    Aim(s, 9, "udp");
    EXPECT_EQ(Raised([&] { s.Connect(); }), "winsock.bind failed, error #10048");
    s.Close();
    fm.Fail("bind", 0);
  }
}
