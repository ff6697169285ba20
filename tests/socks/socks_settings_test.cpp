// The proxy settings: what the setters accept, when they refuse, how they
// revert after a close, what Connect and Listen refuse, and how the
// properties are published.
#include <gtest/gtest.h>

#include "SocksTestUtil.h"
#include "base/TypInfo.h"

namespace sockstest {
namespace {

std::string Refusal(const std::function<void()>& call) {
  try {
    call();
  } catch (const ESocketException& e) {
    return e.Message();
  }
  return "";
}

// A finished SOCKS 5 session against a scripted proxy that echoes.
struct TEchoThroughProxy {
  TScriptedPeer peer{[](TPeerConn& c) {
    c.Read(3);
    c.Write(Bytes({5, 0}));
    c.Read(16);
    c.Write(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80}));
    c.EchoUntilClosed();
  }};
};

TEST(SocksSettings, LevelAcceptsFourFourAAndFiveOnly) {
  DAVidavi s(nullptr);
  EXPECT_EQ(s.SocksLevel(), "5");
  s.SetSocksLevel("4a");
  EXPECT_EQ(s.SocksLevel(), "4A");
  s.SetSocksLevel("4");
  EXPECT_EQ(s.SocksLevel(), "4");
  s.SetSocksLevel("4A");
  EXPECT_EQ(s.SocksLevel(), "4A");
  for (const char* bad : {"4B", "", "6", " 4", "5 ", "04"}) {
    EXPECT_EQ(Refusal([&] { s.SetSocksLevel(bad); }), "Invalid socks level. Must be 4, 4A or 5.") << bad;
    EXPECT_EQ(s.SocksLevel(), "4A");
  }
  // With OnError assigned the refusal goes there and nothing is raised.
  int errors = 0;
  s.OnError = [&](TObject*) { ++errors; };
  s.SetSocksLevel("4B");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.SocksLevel(), "4A");
}

TEST(SocksSettings, ServerAndPortAreTrimmedAndServerSwitchesSocksOn) {
  DAVidavi s(nullptr);
  EXPECT_FALSE(s.SocksServerAssigned());
  s.SetSocksServer("  127.0.0.1 \t");
  s.SetSocksPort(" 1080 ");
  EXPECT_EQ(s.SocksServer(), "127.0.0.1");
  EXPECT_EQ(s.SocksPort(), "1080");
  EXPECT_TRUE(s.SocksServerAssigned());
  s.SetSocksServer("   ");
  EXPECT_EQ(s.SocksServer(), "");
  EXPECT_FALSE(s.SocksServerAssigned());
}

TEST(SocksSettings, ProxyPropertiesCannotChangeWhileConnected) {
  TEchoThroughProxy proxy;
  TSessionLog log;
  DAVidavi s(nullptr);
  log.Attach(s);
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(proxy.peer.Port()));
  s.SetAddr("localhost");
  s.SetPort("80");
  s.Connect();
  // Refused as early as while connecting to the proxy.
  EXPECT_EQ(Refusal([&] { s.SetSocksServer("localhost"); }), "Can't change socks server if not closed");
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected && s.SocksState() == socksData; }));
  EXPECT_EQ(Refusal([&] { s.SetSocksLevel("4"); }), "Can't change socks level if not closed");
  EXPECT_EQ(Refusal([&] { s.SetSocksPort("1"); }), "Can't change socks port if not closed");
  EXPECT_EQ(Refusal([&] { s.SetSocksServer("localhost"); }), "Can't change socks server if not closed");
  EXPECT_EQ(s.SocksLevel(), "5");
  EXPECT_EQ(s.SocksPort(), std::to_string(proxy.peer.Port()));
  EXPECT_EQ(s.SocksServer(), "127.0.0.1");
  s.Close();
  proxy.peer.Join();
}

TEST(SocksSettings, ProxySettingsRevertAfterCloseAndTheNextConnectGoesDirect) {
  TEchoServer echo;
  TEchoThroughProxy proxy;
  TSessionLog log;
  DAVidavi s(nullptr);
  log.Attach(s);
  s.SetSocksUsercode("kept");
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(proxy.peer.Port()));
  s.SetSocksLevel("5");
  s.SetAddr("localhost");
  s.SetPort("80");
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected && s.SocksState() == socksData; }));
  s.Close();
  proxy.peer.Join();
  EXPECT_EQ(s.SocksServer(), "");
  EXPECT_EQ(s.SocksPort(), "");
  EXPECT_EQ(s.SocksLevel(), "5");
  EXPECT_FALSE(s.SocksServerAssigned());
  EXPECT_EQ(s.SocksUsercode(), "kept");

  TSessionLog direct;
  direct.Attach(s);
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(echo.Port()));
  s.OnSessionConnected = [&, prev = s.OnSessionConnected](TObject* o, WORD e) {
    prev(o, e);
    s.SendText("direct");
  };
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return direct.received == "direct"; })) << direct.Joined();
  EXPECT_EQ(direct.JoinedUntil("SessionConnected"), "SessionConnected(0)");
  s.Close();
}

TEST(SocksSettings, ListenAndNonTcpProtocolsAreRefusedWithAProxy) {
  DAVidavi s(nullptr);
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort("1080");
  s.SetAddr("127.0.0.1");
  s.SetPort("0");
  EXPECT_EQ(Refusal([&] { s.Listen(); }), "Listening is not supported thru socks server");
  EXPECT_EQ(s.State(), wsClosed);
  s.SetProto("udp");
  s.SetPort("53");
  EXPECT_EQ(Refusal([&] { s.Connect(); }), "tcp is the only protocol supported thru socks server");
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(s.SocksState(), socksData);
}

TEST(SocksSettings, UnresolvableProxyPortIsReportedAsAConnectFailure) {
  DAVidavi s(nullptr);
  s.SetSocksServer("127.0.0.1");
  s.SetAddr("localhost");
  s.SetPort("80");
  EXPECT_EQ(Refusal([&] { s.Connect(); }), "connect: WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(s.SocksState(), socksData);
}

TEST(SocksSettings, ConnectRefusedByTheCoreLeavesNoHandshakeWaiting) {
  TEchoServer echo;
  TSessionLog log;
  DAVidavi s(nullptr);
  log.Attach(s);
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort("1080");
  s.SetPort("80");  // no Addr
  EXPECT_EQ(Refusal([&] { s.Connect(); }), "Connect: No IP Address Specified");
  EXPECT_EQ(s.SocksState(), socksData);
  // The host gives up the proxy and connects directly: no handshake runs.
  s.SetSocksServer("");
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(echo.Port()));
  s.OnSessionConnected = [&, prev = s.OnSessionConnected](TObject* o, WORD e) {
    prev(o, e);
    s.SendText("plain");
  };
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.received == "plain"; })) << log.Joined();
  EXPECT_EQ(log.Joined(), "SessionConnected(0) DataAvailable(0)");
  s.Close();
}

TEST(SocksSettings, FailedProxyResolutionLeavesNothingForADirectConnect) {
  TEchoServer echo;
  TSessionLog log;
  DAVidavi s(nullptr);
  log.Attach(s);
  std::string badName(300, 'p');  // refused by the resolver without any lookup
  s.SetSocksServer(badName);
  s.SetSocksPort("1");
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(echo.Port()));
  EXPECT_EQ(Refusal([&] { s.Connect(); }), "connect: WSocketResolveHost: '" + badName + "' Invalid Hostname.");
  // Without the proxy, the same Addr and Port reach the echo server, not
  // port 1 of the proxy's attempt.
  s.SetSocksServer("");
  s.OnSessionConnected = [&, prev = s.OnSessionConnected](TObject* o, WORD e) {
    prev(o, e);
    if (e == 0) s.SendText("direct");
  };
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.received == "direct" || log.closed; })) << log.Joined();
  EXPECT_EQ(log.received, "direct");
  s.Close();
}

TEST(SocksSettings, ChangedProxyPortIsResolvedAgain) {
  TEchoServer echo;
  TSessionLog log;
  DAVidavi s(nullptr);
  log.Attach(s);
  // A first attempt fails on the proxy's name after its port was resolved.
  s.SetSocksServer(std::string(300, 'p'));
  s.SetSocksPort("1");
  s.SetAddr("localhost");
  s.SetPort("80");
  EXPECT_NE(Refusal([&] { s.Connect(); }), "");
  // The host corrects both: the proxy must be reached at its new port.
  TScriptedPeer peer([&](TPeerConn& c) {
    c.Read(3);
    c.Write(Bytes({5, 0}));
    c.Read(16);
    c.Write(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80}));
    c.WaitClosed();
  });
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(peer.Port()));
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.closed || (s.SocksState() == socksData && s.State() == wsConnected); }))
      << log.Joined();
  EXPECT_EQ(log.JoinedUntil("SessionConnected"), "SocksConnected(0) SessionConnected(0)");
  s.Close();
  peer.Join();
}

TEST(SocksSettings, ConnectOnALiveProxiedSessionIsRefusedAndTheSessionGoesOn) {
  TEchoThroughProxy proxy;
  TSessionLog log;
  DAVidavi s(nullptr);
  log.Attach(s);
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(proxy.peer.Port()));
  s.SetAddr("localhost");
  s.SetPort("80");
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected && s.SocksState() == socksData; }));
  EXPECT_EQ(Refusal([&] { s.Connect(); }), "Connect: Socket already in use");
  EXPECT_EQ(s.SocksState(), socksData);
  s.SendText("still here");
  ASSERT_TRUE(PumpUntil([&] { return log.received == "still here"; })) << log.Joined();
  s.Close();
  proxy.peer.Join();
}

TEST(SocksSettings, PublishedAtTheEndInOrder) {
  const auto& props = DAVidavi::StaticClassInfo().Props();
  ASSERT_GE(props.size(), 6u);
  std::vector<std::string> last;
  for (size_t i = props.size() - 6; i < props.size(); ++i) last.push_back(props[i]->Name);
  EXPECT_EQ(last, (std::vector<std::string>{"SocksLevel", "SocksServer", "SocksPort", "SocksUsercode",
                                            "SocksPassword", "SocksAuthentication"}));
  DAVidavi s(nullptr);
  const TClassInfo& info = DAVidavi::StaticClassInfo();
  SetPropValue(s, *info.FindProp("SocksLevel"), TPropValue(std::string("4a")));
  EXPECT_EQ(s.SocksLevel(), "4A");
  SetPropValue(s, *info.FindProp("SocksAuthentication"), TPropValue(int64_t(1)));
  EXPECT_EQ(s.SocksAuthentication(), socksAuthenticateUsercode);
  EXPECT_EQ(std::get<std::string>(GetPropValue(s, *info.FindProp("SocksServer"))), "");
  for (const char* n : {"SocksLevel", "SocksServer", "SocksPort", "SocksUsercode", "SocksPassword",
                        "SocksAuthentication"})
    EXPECT_FALSE(info.FindProp(n)->Default.has_value()) << n;
}

}  // namespace
}  // namespace sockstest
