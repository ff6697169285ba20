// The component without a connection: defaults, the addressing setters and
// their refusals, the checks of Connect, the form file, the library binder.
#include <gtest/gtest.h>

#include "SocketTestUtil.h"
#include "base/FormFile.h"

using namespace evc;
using sockt::TRecorder;

namespace {
std::string Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const ESocketException& e) {
    return e.Message();
  }
  return "(nothing raised)";
}
}  // namespace

TEST(WSocketDefaultsTest, ConstructionTouchesNoLibrary) {
  wsocket::UnloadSocketLibrary();
  {
    DAVidavi s(nullptr);
    EXPECT_FALSE(wsocket::SocketLibraryLoaded());
    EXPECT_EQ(s.Addr(), "");
    EXPECT_EQ(s.Port(), "");
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.ReadCount(), 0);
    EXPECT_EQ(s.LastError(), 0);
    EXPECT_EQ(s.ChunkSize, 1460);
    EXPECT_EQ(s.MultiCastIpTTL(), 1);
    EXPECT_EQ(s.FlushTimeout(), 60);
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.LingerTimeout(), 0);
    EXPECT_EQ(s.SendFlags(), wsSendNormal);
    EXPECT_EQ(s.ComponentOptions(), 0);
    EXPECT_EQ(s.HSocket(), winsock::INVALID_SOCKET);
    EXPECT_NE(s.WindowHandle(), 0u);
    EXPECT_EQ(s.PeerAddr(), "error");
    EXPECT_EQ(s.PeerPort(), "error");
    EXPECT_EQ(s.BoundPort(), "error");
    EXPECT_EQ(s.BoundAddr(), "error");
    EXPECT_FALSE(wsocket::SocketLibraryLoaded());  // none of those needed it
    EXPECT_EQ(GetWindowLongPtr(s.WindowHandle(), 0), reinterpret_cast<LONG_PTR>(static_cast<TObject*>(&s)));
    WNDCLASS wc;
    EXPECT_TRUE(GetClassInfo(HInstance(), "XSocketWindowClass", &wc));
    EXPECT_EQ(wc.cbWndExtra, 4);
    EXPECT_EQ(SocketUsers.load(), 1);
  }
  EXPECT_EQ(SocketUsers.load(), 0);
  // The class goes with the last component.
  WNDCLASS wc;
  EXPECT_FALSE(GetClassInfo(HInstance(), "XSocketWindowClass", &wc));
}

TEST(WSocketSettersTest, TrimmedTextsAndAssignedFlags) {
  DAVidavi s(nullptr);
  s.SetAddr("  127.0.0.1\t");
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  s.SetPort("   ");  // blanks only: stays unassigned
  EXPECT_EQ(s.Port(), "");
  s.OnError = [](TObject*) {};
  std::string texts;
  TEvent<TObject*> dummy;
  s.OnError = nullptr;
  EXPECT_EQ(Raised([&] { s.Connect(); }), "Connect: No Port Specified");
  s.SetPort("80");
  s.SetAddr("");
  EXPECT_EQ(Raised([&] { s.Connect(); }), "Connect: No IP Address Specified");
  s.SetAddr("127.0.0.1");
  s.SetProto(" ");
  EXPECT_EQ(Raised([&] { s.Connect(); }), "Connect: No Protocol Specified");
  s.SetLocalAddr("");
  EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
  s.SetLocalPort(" 12 ");  // not trimmed
  EXPECT_EQ(s.LocalPort(), " 12 ");
  s.SetSendFlags(wsSendUrgent);
  EXPECT_EQ(s.SendFlags(), wsSendUrgent);
  EXPECT_EQ(Raised([&] { s.SetSendFlags(static_cast<TSocketSendFlags>(7)); }), "Invalid SendFlags");
  EXPECT_EQ(s.SendFlags(), wsSendUrgent);
}

TEST(WSocketSettersTest, ResolverFailureInConnect) {
  DAVidavi s(nullptr);
  s.SetAddr("127.0.0.1");
  s.SetPort("no-such-service-here");
  std::string m = Raised([&] { s.Connect(); });
  EXPECT_EQ(m.rfind("connect: WSocketResolvePort: Cannot convert port 'no-such-service-here', Error #", 0), 0u) << m;
  EXPECT_EQ(s.State(), wsClosed);
  s.SetPort("80");
  s.SetProto(std::string(40, 'x'));
  EXPECT_EQ(Raised([&] { s.Connect(); }), "connect: WSocketResolveProto: Invalid Protocol.");
  // With OnError assigned the same failure fires it and returns.
  int errors = 0;
  s.OnError = [&](TObject*) { ++errors; };
  s.Connect();
  EXPECT_EQ(errors, 1);
}

TEST(WSocketSettersTest, NotClosedRefusalsKeepOldValues) {
  DAVidavi s(nullptr);
  s.SetProto("udp");
  s.SetAddr("127.0.0.1");
  s.SetPort("9");  // discard port: nothing needs to listen for UDP
  s.Connect();
  ASSERT_EQ(s.State(), wsConnected);
  s.SetPort("9");  // the same text: accepted silently
  s.SetAddr("127.0.0.1");
  s.SetProto("udp");
  EXPECT_EQ(Raised([&] { s.SetPort("10"); }), "Cannot change Port if not closed");
  EXPECT_EQ(Raised([&] { s.SetAddr("127.0.0.2"); }), "Cannot change Addr if not closed");
  EXPECT_EQ(Raised([&] { s.SetProto("tcp"); }), "Cannot change Proto if not closed");
  EXPECT_EQ(Raised([&] { s.SetLocalPort("1"); }), "Cannot change LocalPort if not closed");
  EXPECT_EQ(Raised([&] { s.SetLocalAddr("127.0.0.1"); }), "Cannot change LocalAddr if not closed");
  // An untrimmed text differs from the stored one: refused as well.
  EXPECT_EQ(Raised([&] { s.SetPort(" 9"); }), "Cannot change Port if not closed");
  EXPECT_EQ(s.Port(), "9");
  EXPECT_EQ(Raised([&] { s.Connect(); }), "Connect: Socket already in use");
  s.Close();
  // After a close the texts remain but must be assigned again.
  EXPECT_EQ(s.Port(), "9");
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  EXPECT_EQ(s.Proto(), "tcp");
  EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
  EXPECT_EQ(s.LocalPort(), "0");
  EXPECT_EQ(Raised([&] { s.Connect(); }), "Connect: No Port Specified");
  s.SetPort("9");
  EXPECT_EQ(Raised([&] { s.Connect(); }), "Connect: No IP Address Specified");
}

TEST(WSocketFormTest, PublishedPropertiesRoundTrip) {
  DAVidavi s(nullptr);
  s.SetName("Sock1");
  s.SetAddr("127.0.0.1");
  s.SetPort("8080");
  s.SetMultiCast(true);
  s.SetMultiCastIpTTL(4);
  s.SetComponentOptions(OptionBit(wsoTcpNoDelay));
  s.SetLingerOnOff(wsLingerNoSet);
  std::string text = ComponentToText(s);
  EXPECT_NE(text.find("object Sock1: DAVidavi"), std::string::npos) << text;
  EXPECT_NE(text.find("Port = '8080'"), std::string::npos) << text;
  EXPECT_NE(text.find("ComponentOptions = [wsoTcpNoDelay]"), std::string::npos) << text;
  EXPECT_NE(text.find("LingerOnOff = wsLingerNoSet"), std::string::npos) << text;
  // Read-only values are not written.
  EXPECT_EQ(text.find("PeerAddr"), std::string::npos) << text;
  EXPECT_EQ(text.find("RcvdCount"), std::string::npos) << text;
  EXPECT_EQ(text.find("State"), std::string::npos) << text;
  std::unique_ptr<TComponent> back(TextToComponent(text, nullptr));
  auto* d = dynamic_cast<DAVidavi*>(back.get());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Addr(), "127.0.0.1");
  EXPECT_EQ(d->Port(), "8080");
  EXPECT_TRUE(d->MultiCast());
  EXPECT_EQ(d->MultiCastIpTTL(), 4);
  EXPECT_EQ(d->ComponentOptions(), OptionBit(wsoTcpNoDelay));
  EXPECT_EQ(d->LingerOnOff(), wsLingerNoSet);
  EXPECT_NE(FindComponentClass("DAVidavi"), nullptr);
}

TEST(WSocketMiscTest, TimeValuesAndDesignMode) {
  DAVidavi s(nullptr);
  TTimeVal a{0, 0}, b{1, 2};
  EXPECT_FALSE(s.TimevalIsSet(a));
  EXPECT_TRUE(s.TimevalIsSet(b));
  EXPECT_TRUE(s.TimevalIsSet(TTimeVal{0, 1}));
  EXPECT_TRUE(s.TimevalCompare(b, TTimeVal{1, 2}, true));
  EXPECT_FALSE(s.TimevalCompare(b, TTimeVal{1, 2}, false));
  EXPECT_TRUE(s.TimevalCompare(a, b, false));
  s.TimevalClear(b);
  EXPECT_FALSE(s.TimevalIsSet(b));
  wsocket::UnloadSocketLibrary();
  s.SetDesigning(true);
  EXPECT_EQ(s.RcvdCount(), -1);
  EXPECT_FALSE(wsocket::SocketLibraryLoaded());
  s.SetDesigning(false);
  // Outside design mode, with no socket, the query fails through FailCall.
  std::string m = Raised([&] { (void)s.RcvdCount(); });
  EXPECT_EQ(m.rfind("Error ", 0), 0u) << m;
  EXPECT_NE(m.find(" in function ioctlSocket\r\n"), std::string::npos) << m;
}

TEST(WSocketBinderTest, LoadedAtFirstNeedUnloadedWithLastAndLoadedAgain) {
  {
    DAVidavi a(nullptr);
    DAVidavi b(nullptr);
    EXPECT_FALSE(wsocket::SocketLibraryLoaded());
    EXPECT_EQ(ModuleLoadCount("wsock32.dll"), 0);
    a.SetProto("udp");
    a.SetAddr("127.0.0.1");
    a.SetPort("9");
    a.Connect();
    EXPECT_TRUE(wsocket::SocketLibraryLoaded());
    EXPECT_EQ(ModuleLoadCount("wsock32.dll"), 1);
    EXPECT_EQ(SocketUsers.load(), 2);
  }
  EXPECT_FALSE(wsocket::SocketLibraryLoaded());
  EXPECT_EQ(ModuleLoadCount("wsock32.dll"), 0);
  {
    DAVidavi c(nullptr);
    c.DnsLookup("10.1.2.3");  // needs inet_addr only
    EXPECT_TRUE(wsocket::SocketLibraryLoaded());
    EXPECT_EQ(c.DnsResult(), "10.1.2.3");
  }
  EXPECT_FALSE(wsocket::SocketLibraryLoaded());
}

TEST(WSocketBinderTest, MissingModuleEntryAndFailedStartupTexts) {
  {
    sockt::TFaultModule fm;
    fm.Remove("getprotobyname");
    // Only that entry is missing; others keep working.
    EXPECT_EQ(Raised([] { WSocketResolveProto("udp"); }),
              "Procedure getprotobyname not found in wsock32.dll Error #127");
    EXPECT_EQ(WSocketResolvePort("http", "tcp"), 80);
    EXPECT_EQ(Raised([] { WSocketResolveProto("udp"); }),
              "Procedure getprotobyname not found in wsock32.dll Error #127");
  }
  {
    sockt::TFaultModule fm;
    fm.FailStartup(10091);
    fm.Install();
    EXPECT_EQ(Raised([] { wsocket::LoadSocketFunction(""); }), "wsock32.dll: WSAStartup error #10091");
    // The module stays loaded: a later call does not start it again.
    EXPECT_TRUE(wsocket::SocketLibraryLoaded());
    EXPECT_NO_THROW(wsocket::LoadSocketFunction("socket"));
  }
  {
    sockt::TFaultModule fm;
    UnregisterModule("wsock32.dll");
    DAVidavi s(nullptr);
    s.SetAddr("127.0.0.1");
    s.SetPort("80");
    // Resolution is the first library use; its failure is reported as a
    // resolver failure of Connect.
    EXPECT_EQ(Raised([&] { s.Connect(); }), "connect: Unable to load wsock32.dll Error #126");
    EXPECT_EQ(Raised([] { wsocket::LoadSocketFunction("send"); }), "Unable to load wsock32.dll Error #126");
  }
  // The real module is back.
  EXPECT_EQ(WSocketResolveProto("udp"), 17);
  wsocket::UnloadSocketLibrary();
}
