// Error texts, the text helpers and the blocking resolvers.
#include <gtest/gtest.h>

#include "SocketTestUtil.h"

using namespace evc;

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

TEST(SocketErrorTextTest, KnownAndUnknownCodes) {
  EXPECT_EQ(SocketErrorText(10061), "Connection refused");
  EXPECT_EQ(SocketErrorText(0), "No Error");
  EXPECT_EQ(SocketErrorText(1), "Not a WinSock error");
  EXPECT_EQ(SocketErrorText(11005), "Not a WinSock error");
  EXPECT_EQ(SocketErrorText(10057), "Socket is not connected");
  EXPECT_EQ(SocketErrorText(10059), "Too many references: can't splice");
  EXPECT_EQ(SocketErrorText(10092), "WinSock DLL cannot support this application");
  EXPECT_EQ(SocketErrorText(11004), "No Data");
  EXPECT_EQ(SocketErrorText(10072), "Not a WinSock error");  // gap in the table
}

TEST(FormatTextTest, PlaceholdersInOrder) {
  EXPECT_EQ(FormatText("%s: can't start DNS lookup, error #%d", {std::string("host"), int64_t(10022)}),
            "host: can't start DNS lookup, error #10022");
  EXPECT_EQ(FormatText("100%% %d", {int64_t(-1)}), "100% -1");
  EXPECT_EQ(FormatText("%s %s", {std::string("only")}), "only %s");  // missing argument stays visible
  EXPECT_EQ(FormatText("tail %", {}), "tail %");
}

TEST(IsDottedQuadTest, AcceptsFourGroupsWithBlanksAround) {
  EXPECT_TRUE(IsDottedQuad("10.1.2.3"));
  EXPECT_TRUE(IsDottedQuad("  10.1.2.3  "));
  EXPECT_TRUE(IsDottedQuad("255.255.255.255"));
  EXPECT_TRUE(IsDottedQuad("0.0.0.0"));
  for (const char* bad : {"1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", ".1.2.3", "1.2.3.4x", "1.2.3.", "",
                          "   ", "1.2.3.256", "1.2.3.4 x", "a.b.c.d", "1.2.3.99999999999999999999"})
    EXPECT_FALSE(IsDottedQuad(bad)) << "'" << bad << "'";
}

TEST(ParseDecimalTest, DigitsUpToTheFirstOther) {
  EXPECT_EQ(ParseDecimal("80"), 80);
  EXPECT_EQ(ParseDecimal("  443x"), 443);
  EXPECT_EQ(ParseDecimal("x1"), 0);
  EXPECT_EQ(ParseDecimal(""), 0);
  EXPECT_EQ(ParseDecimal("65536"), 65536);  // no range check
  // A long digit run wraps instead of being undefined.
  (void)ParseDecimal(std::string(100, '9'));
}

TEST(ResolvePortTest, NumbersServicesAndRefusals) {
  EXPECT_EQ(WSocketResolvePort("80", "tcp"), 80);
  EXPECT_EQ(WSocketResolvePort("80x", "tcp"), 80);
  EXPECT_EQ(WSocketResolvePort("65537", "tcp"), 1);  // kept to 16 bits
  EXPECT_EQ(WSocketResolvePort("http", "tcp"), 80);
  EXPECT_EQ(WSocketResolvePort("http", " tcp "), 80);
  // A leading blank sends the text to the service database, trimmed.
  EXPECT_EQ(Raised([] { WSocketResolvePort(" 80", "tcp"); }).rfind("WSocketResolvePort: Cannot convert port ' 80', Error #", 0),
            0u);
  EXPECT_EQ(Raised([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(Raised([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }), "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(WSocketResolvePort(std::string(31, '0') , "tcp"), 0);
  EXPECT_EQ(Raised([] { WSocketResolvePort("80", ""); }), "WSocketResolvePort: Invalid Proto.");
  EXPECT_EQ(Raised([] { WSocketResolvePort("80", std::string(32, 't')); }), "WSocketResolvePort: Invalid Proto.");
  std::string m = Raised([] { WSocketResolvePort("no-such-service-here", "tcp"); });
  EXPECT_EQ(m.rfind("WSocketResolvePort: Cannot convert port 'no-such-service-here', Error #", 0), 0u) << m;
  sockt::PumpFor(0);
  wsocket::UnloadSocketLibrary();
}

TEST(ResolveProtoTest, NumbersNamesAndRefusals) {
  EXPECT_EQ(WSocketResolveProto("udp"), 17);
  EXPECT_EQ(WSocketResolveProto("tcp"), 6);
  EXPECT_EQ(WSocketResolveProto(" 17 "), 17);
  EXPECT_EQ(WSocketResolveProto("icmp"), 1);
  EXPECT_EQ(Raised([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
  EXPECT_EQ(Raised([] { WSocketResolveProto(std::string(32, 'u')); }), "WSocketResolveProto: Invalid Protocol.");
  std::string m = Raised([] { WSocketResolveProto(" nosuchproto "); });
  EXPECT_EQ(m.rfind("WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #", 0), 0u) << m;
  wsocket::UnloadSocketLibrary();
}

TEST(ResolveHostTest, AddressesNamesAndRefusals) {
  EXPECT_EQ(WSocketResolveHost("127.0.0.1"), wsocket::inet_addr("127.0.0.1"));
  EXPECT_EQ(WSocketResolveHost(" 127.0.0.1 "), wsocket::inet_addr("127.0.0.1"));
  EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(WSocketResolveHost("localhost"), wsocket::inet_addr("127.0.0.1"));
  EXPECT_EQ(Raised([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
  std::string longName(257, 'a');
  EXPECT_EQ(Raised([&] { WSocketResolveHost(longName); }), "WSocketResolveHost: '" + longName + "' Invalid Hostname.");
  // A dotted quad the library cannot read (09 is no octal number).
  EXPECT_EQ(Raised([] { WSocketResolveHost("09.1.1.1"); }), "WSocketResolveHost: '09.1.1.1' Invalid IP address.");
  EXPECT_EQ(Raised([] { WSocketGetHostByName(""); }), "WSocketGetHostByName: Invalid Hostname.");
  EXPECT_NE(WSocketGetHostByName("localhost"), nullptr);
  TStringList list;
  CollectAddresses(WSocketGetHostByName("localhost"), list);
  EXPECT_GE(list.Count(), 1);
  EXPECT_EQ(list.IndexOf("127.0.0.1") >= 0, true);
  EXPECT_FALSE(MachineHostName().empty());
  wsocket::UnloadSocketLibrary();
}
