// The handshake against a scripted proxy on loopback: the exact request
// bytes of every level, the replies that end it either way, and the events
// the application sees.
#include <gtest/gtest.h>

#include <atomic>

#include "SocksTestUtil.h"

namespace sockstest {
namespace {

const std::string kReplyOk5 = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});
const std::string kReplyOk4 = Bytes({0, 90, 0x1F, 0x90, 127, 0, 0, 1});

class SocksHandshake : public ::testing::Test {
 protected:
  TSessionLog log;  // outlives the socket, whose destruction may report a close
  DAVidavi sock{nullptr};

  void SetUp() override { log.Attach(sock); }

  void ConnectThrough(int proxyPort, const std::string& level, const std::string& addr = "localhost",
                      const std::string& port = "80") {
    sock.SetSocksServer("127.0.0.1");
    sock.SetSocksPort(std::to_string(proxyPort));
    sock.SetSocksLevel(level);
    sock.SetAddr(addr);
    sock.SetPort(port);
    sock.Connect();
  }
  bool WaitConnected() {
    return PumpUntil([&] { return log.JoinedUntil("SessionConnected").find("SessionConnected") != std::string::npos; });
  }
  bool WaitClosed() { return PumpUntil([&] { return log.closed; }); }
};

TEST_F(SocksHandshake, Socks5WithoutAuthenticationSendsNameAndPortAndRelaysBothWays) {
  std::string greeting, request, echoed;
  TScriptedPeer peer([&](TPeerConn& c) {
    greeting = c.Read(3);
    c.Write(Bytes({5, 0}));
    request = c.Read(7 + 9);
    c.Write(kReplyOk5);
    c.EchoUntilClosed();
  });
  sock.OnSessionConnected = [&, prev = sock.OnSessionConnected](TObject* o, WORD e) {
    prev(o, e);
    if (e == 0) sock.SendText("ping through the proxy");
  };
  ConnectThrough(peer.Port(), "5");
  ASSERT_TRUE(PumpUntil([&] { return log.received.size() >= 22; })) << log.Joined();
  EXPECT_EQ(log.received, "ping through the proxy");
  EXPECT_EQ(Hex(greeting), "05 01 00");
  EXPECT_EQ(request, Bytes({5, 1, 0, 3, 9}) + "localhost" + Bytes({0, 80}));
  EXPECT_EQ(sock.SocksState(), socksData);
  sock.Close();
  EXPECT_TRUE(peer.Join());
  EXPECT_EQ(log.Joined(), "SocksConnected(0) SessionConnected(0) DataAvailable(0) SessionClosed(0)");
}

TEST_F(SocksHandshake, Socks5DottedAddrTravelsAsANameNotResolvedLocally) {
  std::string request;
  TScriptedPeer peer([&](TPeerConn& c) {
    c.Read(3);
    c.Write(Bytes({5, 0}));
    request = c.Read(7 + 9);
    c.Write(kReplyOk5);
    c.WaitClosed();
  });
  ConnectThrough(peer.Port(), "5", "127.0.0.9", "8080");
  ASSERT_TRUE(WaitConnected());
  EXPECT_EQ(request, Bytes({5, 1, 0, 3, 9}) + "127.0.0.9" + Bytes({0x1F, 0x90}));
  sock.Close();
  peer.Join();
}

TEST_F(SocksHandshake, Socks5WithUsernameAndPassword) {
  std::string greeting, auth, request;
  TScriptedPeer peer([&](TPeerConn& c) {
    greeting = c.Read(3);
    c.Write(Bytes({5, 2}));
    auth = c.Read(3 + 4 + 6);
    c.Write(Bytes({1, 0}));
    request = c.Read(16);
    c.Write(kReplyOk5);
    c.WaitClosed();
  });
  sock.SetSocksUsercode("user");
  sock.SetSocksPassword("secret");
  sock.SetSocksAuthentication(socksAuthenticateUsercode);
  ConnectThrough(peer.Port(), "5");
  ASSERT_TRUE(WaitConnected()) << log.Joined();
  EXPECT_EQ(Hex(greeting), "05 01 02");
  EXPECT_EQ(auth, Bytes({1, 4}) + "user" + Bytes({6}) + "secret");
  EXPECT_EQ(request, Bytes({5, 1, 0, 3, 9}) + "localhost" + Bytes({0, 80}));
  EXPECT_EQ(log.JoinedUntil("SessionConnected"),
            "SocksConnected(0) SocksAuthState(socksAuthStart) SocksAuthState(socksAuthSuccess) SessionConnected(0)");
  sock.Close();
  peer.Join();
  // Credentials outlive the session; the proxy settings do not.
  EXPECT_EQ(sock.SocksUsercode(), "user");
  EXPECT_EQ(sock.SocksPassword(), "secret");
  EXPECT_EQ(sock.SocksAuthentication(), socksAuthenticateUsercode);
}

TEST_F(SocksHandshake, ServerAskingForPasswordWhenNoneWasOfferedStillGetsOne) {
  std::string auth;
  TScriptedPeer peer([&](TPeerConn& c) {
    c.Read(3);
    c.Write(Bytes({5, 2}));
    auth = c.Read(5);
    c.Write(Bytes({1, 0}));
    c.Read(16);
    c.Write(kReplyOk5);
    c.WaitClosed();
  });
  sock.SetSocksUsercode("u");
  sock.SetSocksPassword("p");
  ConnectThrough(peer.Port(), "5");
  ASSERT_TRUE(WaitConnected());
  EXPECT_EQ(Hex(auth), "01 01 75 01 70");
  EXPECT_EQ(log.JoinedUntil("SessionConnected"),
            "SocksConnected(0) SocksAuthState(socksAuthStart) SocksAuthState(socksAuthSuccess) SessionConnected(0)");
  sock.Close();
  peer.Join();
}

TEST_F(SocksHandshake, OfferedPasswordButServerNeedsNoneReportsNotRequired) {
  std::string request;
  TScriptedPeer peer([&](TPeerConn& c) {
    c.Read(3);
    c.Write(Bytes({5, 0}));
    request = c.Read(16);
    c.Write(kReplyOk5);
    c.WaitClosed();
  });
  sock.SetSocksUsercode("user");
  sock.SetSocksPassword("secret");
  sock.SetSocksAuthentication(socksAuthenticateUsercode);
  ConnectThrough(peer.Port(), "5");
  ASSERT_TRUE(WaitConnected());
  EXPECT_EQ(request.substr(0, 4), Bytes({5, 1, 0, 3}));
  EXPECT_EQ(log.JoinedUntil("SessionConnected"),
            "SocksConnected(0) SocksAuthState(socksAuthNotRequired) SessionConnected(0)");
  sock.Close();
  peer.Join();
}

TEST_F(SocksHandshake, RejectedPasswordFailsWithoutAuthFailureState) {
  TScriptedPeer peer([&](TPeerConn& c) {
    c.Read(3);
    c.Write(Bytes({5, 2}));
    c.Read(3 + 4 + 5);
    c.Write(Bytes({1, 1}));
    c.WaitClosed();
  });
  sock.SetSocksUsercode("user");
  sock.SetSocksPassword("wrong");
  sock.SetSocksAuthentication(socksAuthenticateUsercode);
  ConnectThrough(peer.Port(), "5");
  ASSERT_TRUE(WaitClosed()) << log.Joined();
  EXPECT_EQ(log.Joined(),
            "SocksConnected(0) SocksAuthState(socksAuthStart) SocksError(20015,socks authentication failed) "
            "SessionConnected(20015) SessionClosed(20015)");
  EXPECT_EQ(sock.State(), wsClosed);
  EXPECT_TRUE(peer.Join());
}

TEST_F(SocksHandshake, ProxyClosingDuringAuthenticationReportsAuthFailureBeforeClose) {
  TScriptedPeer peer([&](TPeerConn& c) {
    c.Read(3);
    c.Write(Bytes({5, 2}));
    c.Read(3 + 4 + 6);
  });
  sock.SetSocksUsercode("user");
  sock.SetSocksPassword("secret");
  sock.SetSocksAuthentication(socksAuthenticateUsercode);
  ConnectThrough(peer.Port(), "5");
  ASSERT_TRUE(WaitClosed()) << log.Joined();
  EXPECT_EQ(log.Joined(),
            "SocksConnected(0) SocksAuthState(socksAuthStart) SocksAuthState(socksAuthFailure) SessionClosed(0)");
  peer.Join();
}

TEST_F(SocksHandshake, Socks4RequestCarriesResolvedAddressAndUserCode) {
  std::string request;
  TScriptedPeer peer([&](TPeerConn& c) {
    request = c.Read(11);
    c.Write(kReplyOk4);
    c.EchoUntilClosed();
  });
  sock.SetSocksUsercode("ab");
  sock.OnSessionConnected = [&, prev = sock.OnSessionConnected](TObject* o, WORD e) {
    prev(o, e);
    if (e == 0) sock.SendText("four");
  };
  ConnectThrough(peer.Port(), "4", "127.0.0.1", "8080");
  ASSERT_TRUE(PumpUntil([&] { return log.received == "four"; })) << log.Joined();
  EXPECT_EQ(Hex(request), "04 01 1F 90 7F 00 00 01 61 62 00");
  EXPECT_EQ(log.JoinedUntil("SessionConnected"), "SocksConnected(0) SessionConnected(0)");
  sock.Close();
  peer.Join();
}

TEST_F(SocksHandshake, Socks4WithoutUserCodeEndsWithTheZeroAlone) {
  std::string request;
  TScriptedPeer peer([&](TPeerConn& c) {
    request = c.Read(9);
    c.Write(kReplyOk4);
    c.WaitClosed();
  });
  ConnectThrough(peer.Port(), "4", "localhost", "80");
  ASSERT_TRUE(WaitConnected());
  EXPECT_EQ(Hex(request), "04 01 00 50 7F 00 00 01 00");
  sock.Close();
  peer.Join();
}

TEST_F(SocksHandshake, Socks4AAddressFieldIsMarkerAndNameFollowsUserCode) {
  std::string request;
  TScriptedPeer peer([&](TPeerConn& c) {
    request = c.Read(11 + 10);
    c.Write(kReplyOk4);
    c.WaitClosed();
  });
  sock.SetSocksUsercode("ab");
  ConnectThrough(peer.Port(), "4a", "localhost", "80");
  ASSERT_TRUE(WaitConnected()) << log.Joined();
  EXPECT_EQ(request, Bytes({4, 1, 0, 80, 0, 0, 0, 1}) + "ab" + Bytes({0}) + "localhost" + Bytes({0}));
  sock.Close();
  peer.Join();
}

TEST_F(SocksHandshake, Socks4UnresolvableDestinationClosesWithoutSessionConnected) {
  bool peerSawBytes = false;
  TScriptedPeer peer([&](TPeerConn& c) { peerSawBytes = !c.Read(1, 1000).empty(); });
  // Too long for any host name: fails before any lookup is asked for.
  std::string addr(300, 'h');
  ConnectThrough(peer.Port(), "4", addr, "80");
  ASSERT_TRUE(WaitClosed()) << log.Joined();
  EXPECT_EQ(log.Joined(), "SocksConnected(0) SocksError(20017,ESocketException WSocketResolveHost: '" + addr +
                              "' Invalid Hostname.) SessionClosed(20017)");
  peer.Join();
  EXPECT_FALSE(peerSawBytes);
}

TEST_F(SocksHandshake, ReadNotificationWithAnErrorEndsTheHandshake) {
  std::atomic<bool> greeted{false};
  TScriptedPeer peer([&](TPeerConn& c) {
    greeted = c.Read(3).size() == 3;
    c.WaitClosed();
  });
  ConnectThrough(peer.Port(), "5");
  ASSERT_TRUE(PumpUntil([&] { return greeted.load(); }));
  // What the library posts when a read fails on the connection.
  PostMessage(sock.WindowHandle(), WM_ASYNCSELECT, static_cast<WPARAM>(sock.HSocket()),
              static_cast<LPARAM>(winsock::FD_READ | (10054 << 16)));
  ASSERT_TRUE(WaitClosed()) << log.Joined();
  EXPECT_EQ(log.Joined(),
            "SocksConnected(0) SocksError(10054,data receive error) SessionConnected(10054) SessionClosed(10054)");
  peer.Join();
}

TEST_F(SocksHandshake, FailedTcpConnectToTheProxy) {
  int port;
  {
    TEchoServer gone;  // a port that was just in use and is free again
    port = gone.Port();
  }
  ConnectThrough(port, "5");
  ASSERT_TRUE(WaitClosed()) << log.Joined();
  EXPECT_EQ(log.Joined(), "SocksConnected(10061) SessionConnected(10061) SessionClosed(0)");
  EXPECT_EQ(sock.SocksState(), socksData);
  EXPECT_EQ(sock.SocksServer(), "");
}

// One failing reply of each kind, with the code and text it must give.
struct TFailure {
  std::string level;
  std::string reply;  // after the method selection, for level 5
  int code;
  std::string text;
};

class SocksFailures : public SocksHandshake, public ::testing::WithParamInterface<TFailure> {};

TEST_P(SocksFailures, ReportErrorThenConnectedWithCodeThenClose) {
  const TFailure& f = GetParam();
  TScriptedPeer peer([&](TPeerConn& c) {
    if (f.level == "5") {
      c.Read(3);
      c.Write(Bytes({5, 0}));
      c.Read(16);
    } else {
      c.Read(9);
    }
    c.Write(f.reply);
    c.WaitClosed();
  });
  ConnectThrough(peer.Port(), f.level);
  ASSERT_TRUE(WaitClosed()) << log.Joined();
  std::string code = std::to_string(f.code);
  EXPECT_EQ(log.Joined(), "SocksConnected(0) SocksError(" + code + "," + f.text + ") SessionConnected(" + code +
                              ") SessionClosed(" + code + ")");
  EXPECT_EQ(sock.SocksState(), socksData);
  EXPECT_TRUE(peer.Join());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SocksFailures,
    ::testing::Values(
        TFailure{"5", Bytes({4, 0, 0, 1, 0, 0, 0, 0, 0, 0}), 20002, "socks version error"},
        TFailure{"5", Bytes({5, 1, 0, 1}), 20004, "general SOCKS server failure"},
        TFailure{"5", Bytes({5, 2, 0, 1}), 20005, "connection not allowed by ruleset"},
        TFailure{"5", Bytes({5, 3, 0, 1}), 20006, "network unreachable"},
        TFailure{"5", Bytes({5, 4, 0, 1}), 20007, "host unreachable"},
        TFailure{"5", Bytes({5, 5, 0, 1}), 20008, "connection refused"},
        TFailure{"5", Bytes({5, 6, 0, 1}), 20009, "time to live expired"},
        TFailure{"5", Bytes({5, 7, 0, 1}), 20010, "command not supported"},
        TFailure{"5", Bytes({5, 8, 0, 1}), 20011, "address type not supported"},
        TFailure{"5", Bytes({5, 9}), 20012, "unassigned error #9"},
        TFailure{"5", Bytes({5, 0xFF}), 20012, "unassigned error #255"},
        // Type 4 fails as soon as five bytes are in: no more are sent.
        TFailure{"5", Bytes({5, 0, 0, 4, 0}), 20011, "address type not supported"},
        TFailure{"4", Bytes({4, 90, 0, 0, 0, 0, 0, 0}), 20002, "socks version error"},
        TFailure{"4", Bytes({0, 91, 0, 0, 0, 0, 0, 0}), 20016, "request rejected or failed"},
        TFailure{"4", Bytes({0, 92, 0, 0, 0, 0, 0, 0}), 20008, "connection refused"},
        TFailure{"4", Bytes({0, 93, 0, 0, 0, 0, 0, 0}), 20015, "authentification failed"},
        TFailure{"4", Bytes({0, 32, 0, 0, 0, 0, 0, 0}), 20012, "unassigned error #32"}));

// A handler of the failure may drop the connection and start another
// through a second proxy: the first handshake's ending must leave the new
// one alone, so that it negotiates from the start.
TEST_F(SocksHandshake, AFailureHandlerCanReconnectThroughAnotherProxy) {
  TScriptedPeer bad([&](TPeerConn& c) {
    c.Read(3);
    c.Write(Bytes({4, 0}));  // wrong version: the handshake fails
    c.WaitClosed();
  });
  std::string greeting, request;
  TScriptedPeer good([&](TPeerConn& c) {
    greeting = c.Read(3);
    c.Write(Bytes({5, 0}));
    request = c.Read(7 + 9);
    c.Write(kReplyOk5);
    c.WaitClosed();
  });
  bool retried = false;
  sock.OnSocksError = [&, prev = sock.OnSocksError](TObject* o, int32_t e, const std::string& m) {
    prev(o, e, m);
    if (retried) return;
    retried = true;
    sock.Abort();
    ConnectThrough(good.Port(), "5");
  };
  ConnectThrough(bad.Port(), "5");
  ASSERT_TRUE(PumpUntil([&] { return log.Joined().find("SessionConnected(0)") != std::string::npos; })) << log.Joined();
  EXPECT_EQ(Hex(greeting), "05 01 00");
  EXPECT_EQ(request, Bytes({5, 1, 0, 3, 9}) + "localhost" + Bytes({0, 80}));
  EXPECT_EQ(sock.SocksState(), socksData);
  sock.Close();
  EXPECT_TRUE(bad.Join());
  EXPECT_TRUE(good.Join());
}

struct TMethodFailure {
  std::string reply;
  int code;
  std::string text;
};
class SocksMethodFailures : public SocksHandshake, public ::testing::WithParamInterface<TMethodFailure> {};

TEST_P(SocksMethodFailures, MethodSelectionRefused) {
  const TMethodFailure& f = GetParam();
  TScriptedPeer peer([&](TPeerConn& c) {
    c.Read(3);
    c.Write(f.reply);
    c.WaitClosed();
  });
  ConnectThrough(peer.Port(), "5");
  ASSERT_TRUE(WaitClosed()) << log.Joined();
  std::string code = std::to_string(f.code);
  EXPECT_EQ(log.Joined(), "SocksConnected(0) SocksError(" + code + "," + f.text + ") SessionConnected(" + code +
                              ") SessionClosed(" + code + ")");
  peer.Join();
}

INSTANTIATE_TEST_SUITE_P(Replies, SocksMethodFailures,
                         ::testing::Values(TMethodFailure{Bytes({5, 0xFF}), 20003, "authentification method not acceptable"},
                                           TMethodFailure{Bytes({5, 1}), 20003, "authentification method not acceptable"},
                                           TMethodFailure{Bytes({4, 0}), 20002, "socks version error"}));

TEST_F(SocksHandshake, AuthenticationReplyFailures) {
  struct {
    std::string reply;
    std::string expect;
  } cases[] = {
      {Bytes({2, 0}), "SocksError(20002,socks version error) SessionConnected(20002) SessionClosed(20002)"},
      {Bytes({1, 0, 0}), "SocksError(20001,too much data availaible) SessionConnected(20001) SessionClosed(20001)"},
  };
  for (const auto& k : cases) {
    TSessionLog l;
    DAVidavi s(nullptr);
    l.Attach(s);
    TScriptedPeer peer([&](TPeerConn& c) {
      c.Read(3);
      c.Write(Bytes({5, 2}));
      c.Read(3);
      c.Write(k.reply);
      c.WaitClosed();
    });
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(peer.Port()));
    s.SetAddr("localhost");
    s.SetPort("80");
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return l.closed; })) << l.Joined();
    EXPECT_EQ(l.Joined(), "SocksConnected(0) SocksAuthState(socksAuthStart) " + k.expect) << Hex(k.reply);
    peer.Join();
  }
}

}  // namespace
}  // namespace sockstest
