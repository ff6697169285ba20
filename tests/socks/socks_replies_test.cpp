// Replies as they really arrive: application bytes right behind the final
// reply, replies cut into pieces of every size, bound names of any length,
// and values too long for a request block.
#include <gtest/gtest.h>

#include "SocksTestUtil.h"
#include "base/TypInfo.h"

namespace sockstest {
namespace {

struct TOutcome {
  std::string events;
  std::string received;
  std::vector<std::string> requests;  // what the proxy read, step by step
};

// Runs one SOCKS 5 session with authentication against a proxy that sends
// each of its replies in pieces of `chunk` bytes (0: whole), then `tail`
// behind the final reply in the same write, then `later` after a pause.
TOutcome RunSocks5(size_t chunk, const std::string& finalReply, const std::string& tail,
                   const std::string& later) {
  TOutcome out;
  {
    TSessionLog log;
    DAVidavi s(nullptr);
    log.Attach(s);
    TScriptedPeer peer([&](TPeerConn& c) {
      out.requests.push_back(c.Read(3));
      c.Write(Bytes({5, 2}), chunk);
      out.requests.push_back(c.Read(3 + 4 + 6));
      c.Write(Bytes({1, 0}), chunk);
      out.requests.push_back(c.Read(16));
      c.Write(finalReply + tail, chunk);
      if (!later.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        c.Write(later);
      }
      c.WaitClosed();
    });
    s.SetSocksUsercode("user");
    s.SetSocksPassword("secret");
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(peer.Port()));
    s.SetAddr("localhost");
    s.SetPort("80");
    s.Connect();
    size_t want = tail.size() + later.size();
    PumpUntil([&] { return log.closed || (log.received.size() >= want && log.events.size() >= 4); });
    PumpFor(5);
    s.Close();
    peer.Join();
    out.events = log.Joined();
    out.received = log.received;
  }
  return out;
}

TEST(SocksHeldData, BytesBehindTheReplyComeFirstAndCountAsReceivable) {
  TSessionLog log;
  DAVidavi s(nullptr);
  log.Attach(s);
  std::string firstRead;
  // The reply and five application bytes in one write, more bytes later.
  TScriptedPeer peer([&](TPeerConn& c) {
    c.Read(3);
    c.Write(Bytes({5, 0}));
    c.Read(16);
    c.Write(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80}) + "HELLO");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    c.Write(" WORLD");
    c.WaitClosed();
  });
  s.OnDataAvailable = [&](TObject*, WORD) {
    char buf[64];
    int n;
    while ((n = s.Receive(buf, sizeof(buf))) > 0) {
      if (firstRead.empty()) firstRead.assign(buf, static_cast<size_t>(n));
      log.received.append(buf, static_cast<size_t>(n));
    }
  };
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(peer.Port()));
  s.SetAddr("localhost");
  s.SetPort("80");
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.received.size() >= 11; })) << log.Joined();
  EXPECT_EQ(log.rcvdAfterConnected, 5);
  EXPECT_EQ(firstRead, "HELLO");
  EXPECT_EQ(log.received, "HELLO WORLD");
  // Handshake bytes are read through Receive too; the held ones count once.
  EXPECT_EQ(s.ReadCount(), 2 + 10 + 5 + 6);
  s.Close();
  peer.Join();
}

TEST(SocksHeldData, ReadingFromOnSessionConnectedGetsTheHeldBytesFirst) {
  TSessionLog log;
  DAVidavi s(nullptr);
  log.Attach(s);
  std::string inConnected;
  TScriptedPeer peer([&](TPeerConn& c) {
    c.Read(3);
    c.Write(Bytes({5, 0}));
    c.Read(16);
    c.Write(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80}) + "abc");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    c.Write("def");
    c.WaitClosed();
  });
  s.OnSessionConnected = [&](TObject*, WORD) {
    char buf[2];
    int n = s.Receive(buf, sizeof(buf));
    if (n > 0) inConnected.assign(buf, static_cast<size_t>(n));
  };
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(peer.Port()));
  s.SetAddr("localhost");
  s.SetPort("80");
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.received.size() >= 4; })) << log.Joined();
  EXPECT_EQ(inConnected, "ab");
  EXPECT_EQ(log.received, "cdef");
  s.Close();
  peer.Join();
}

TEST(SocksHeldData, HandlerTakingOneByteAtATimeStillGetsEveryHeldByte) {
  DAVidavi s(nullptr);
  std::string got;
  bool connected = false;
  TScriptedPeer peer([&](TPeerConn& c) {
    c.Read(3);
    c.Write(Bytes({5, 0}));
    c.Read(16);
    c.Write(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80}) + "0123456789");
    c.WaitClosed();
  });
  s.OnSessionConnected = [&](TObject*, WORD e) { connected = e == 0; };
  s.OnDataAvailable = [&](TObject*, WORD) {
    char c;
    if (s.Receive(&c, 1) == 1) got.push_back(c);
  };
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(peer.Port()));
  s.SetAddr("localhost");
  s.SetPort("80");
  s.Connect();
  // No further bytes arrive: the held ones must not wait for a notification.
  EXPECT_TRUE(PumpUntil([&] { return got.size() >= 10; }, 3000)) << got;
  EXPECT_TRUE(connected);
  EXPECT_EQ(got, "0123456789");
  s.Close();
  peer.Join();
}

TEST(SocksHeldData, MoreDataBehindTheReplyThanTheReplyBufferHoldsArrivesInOrder) {
  std::string data;
  for (int i = 0; i < 3000; ++i) data.push_back(static_cast<char>('A' + i % 26));
  TOutcome o = RunSocks5(0, Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80}), data, "");
  EXPECT_EQ(o.received.size(), data.size());
  EXPECT_EQ(o.received, data);
}

TEST(SocksHeldData, NameBoundAddressOfEveryLengthCompletesAndKeepsTheBytesBehind) {
  for (int len : {0, 1, 60, 119, 120, 121, 200, 255}) {
    std::string reply = Bytes({5, 0, 0, 3, len}) + std::string(static_cast<size_t>(len), 'n') + Bytes({0, 80});
    TOutcome o = RunSocks5(0, reply, "behind", " later");
    EXPECT_EQ(o.received, "behind later") << "name length " << len << ": " << o.events;
    EXPECT_NE(o.events.find("SessionConnected(0)"), std::string::npos) << len;
  }
}

TEST(SocksFragments, EveryPieceSizeGivesTheSameOutcomeAsWholeReplies) {
  const std::string reply = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});
  TOutcome whole = RunSocks5(0, reply, "tail!", " and more");
  ASSERT_EQ(whole.received, "tail! and more") << whole.events;
  ASSERT_EQ(whole.requests.size(), 3u);
  for (size_t chunk = 1; chunk <= reply.size() + 5; ++chunk) {
    TOutcome cut = RunSocks5(chunk, reply, "tail!", " and more");
    EXPECT_EQ(cut.events, whole.events) << "pieces of " << chunk;
    EXPECT_EQ(cut.received, whole.received) << "pieces of " << chunk;
    EXPECT_EQ(cut.requests, whole.requests) << "pieces of " << chunk;
  }
}

TEST(SocksFragments, NameReplyInPiecesOfEverySize) {
  const std::string reply = Bytes({5, 0, 0, 3, 9}) + "localhost" + Bytes({0, 80});
  TOutcome whole = RunSocks5(0, reply, "x", "");
  ASSERT_EQ(whole.received, "x") << whole.events;
  for (size_t chunk = 1; chunk <= reply.size(); ++chunk) {
    TOutcome cut = RunSocks5(chunk, reply, "x", "");
    EXPECT_EQ(cut.events, whole.events) << "pieces of " << chunk;
    EXPECT_EQ(cut.received, whole.received) << "pieces of " << chunk;
  }
}

TEST(SocksFragments, FailingRepliesInPiecesFailTheSameWay) {
  for (const std::string& reply : {Bytes({5, 4, 0, 1, 0, 0, 0, 0, 0, 0}), Bytes({5, 0, 0, 4, 0, 0, 0, 0})}) {
    TOutcome whole = RunSocks5(0, reply, "", "");
    ASSERT_NE(whole.events.find("SocksError"), std::string::npos) << whole.events;
    for (size_t chunk = 1; chunk <= reply.size(); ++chunk)
      EXPECT_EQ(RunSocks5(chunk, reply, "", "").events, whole.events) << Hex(reply) << " in pieces of " << chunk;
  }
}

TEST(SocksFragments, Socks4ReplyInPiecesLeavesTheBytesBehindInTheSocket) {
  const std::string reply = Bytes({0, 90, 0, 80, 127, 0, 0, 1});
  for (size_t chunk = 0; chunk <= reply.size(); ++chunk) {
    TSessionLog log;
    DAVidavi s(nullptr);
    log.Attach(s);
    TScriptedPeer peer([&](TPeerConn& c) {
      c.Read(9);
      c.Write(reply + "data after", chunk);
      c.WaitClosed();
    });
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(peer.Port()));
    s.SetSocksLevel("4");
    s.SetAddr("localhost");
    s.SetPort("80");
    s.Connect();
    EXPECT_TRUE(PumpUntil([&] { return log.received.size() >= 10; })) << chunk << ": " << log.Joined();
    EXPECT_EQ(log.received, "data after") << chunk;
    EXPECT_EQ(log.JoinedUntil("SessionConnected"), "SocksConnected(0) SessionConnected(0)") << chunk;
    s.Close();
    peer.Join();
  }
}

// --- values too long for a request block ---

struct TTooLong {
  std::string level;
  size_t user, pass, addr;
  TSocksAuthentication auth;
  std::string refusal;  // "" when it fits
};

class SocksRequestSize : public ::testing::TestWithParam<TTooLong> {};

TEST_P(SocksRequestSize, FitsExactlyOrIsRefusedBeforeAnythingIsSent) {
  const TTooLong& k = GetParam();
  std::string first;
  size_t authLen = 0;
  std::atomic<bool> accepted{false};
  size_t expected = 0;
  if (k.level == "5") expected = 3;
  else if (k.level == "4") expected = 9 + k.user;
  else expected = 10 + k.user + k.addr;
  TScriptedPeer peer([&](TPeerConn& c) {
    accepted = true;
    first = c.Read(expected, 1500);
    if (k.level == "5") {
      c.Write(Bytes({5, static_cast<int>(k.auth == socksNoAuthentication ? 0 : 2)}));
      if (k.auth != socksNoAuthentication) {
        authLen = c.Read(3 + k.user + k.pass).size();
        c.Write(Bytes({1, 0}));
      }
      first = c.Read(7 + k.addr);
    }
  });
  DAVidavi s(nullptr);
  std::string error;
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(peer.Port()));
  s.SetSocksLevel(k.level);
  s.SetSocksUsercode(std::string(k.user, 'u'));
  s.SetSocksPassword(std::string(k.pass, 'p'));
  s.SetSocksAuthentication(k.auth);
  // SOCKS 4 resolves the destination here: only a name of the hosts file.
  s.SetAddr(k.level == "4" ? std::string("localhost") : std::string(k.addr, 'a'));
  s.SetPort("80");
  try {
    s.Connect();
  } catch (const ESocketException& e) {
    error = e.Message();
  }
  EXPECT_EQ(error, k.refusal);
  if (k.refusal.empty()) {
    size_t last = k.level == "5" ? 7 + k.addr : expected;
    // The script ends once the proxy has read the last request.
    EXPECT_TRUE(peer.Join(4000));
    EXPECT_EQ(first.size(), last);
    EXPECT_LE(last, 128u);
    if (k.auth != socksNoAuthentication) {
      EXPECT_EQ(authLen, 3 + k.user + k.pass);
    }
  } else {
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.SocksState(), socksData);
    PumpFor(50);
    EXPECT_FALSE(accepted);  // refused before the proxy was contacted
    return;                  // the peer stops listening when it goes
  }
  s.Close();
}

INSTANTIATE_TEST_SUITE_P(
    Limits, SocksRequestSize,
    ::testing::Values(
        TTooLong{"5", 0, 0, 121, socksNoAuthentication, ""},
        TTooLong{"5", 0, 0, 122, socksNoAuthentication,
                 "Connect: Addr too long for a socks 5 request (121 bytes at most)"},
        TTooLong{"4", 119, 0, 9, socksNoAuthentication, ""},
        TTooLong{"4", 120, 0, 9, socksNoAuthentication,
                 "Connect: SocksUsercode too long for a socks 4 request (119 bytes at most)"},
        TTooLong{"4A", 60, 0, 58, socksNoAuthentication, ""},
        TTooLong{"4A", 60, 0, 59, socksNoAuthentication,
                 "Connect: SocksUsercode and Addr too long for a socks 4A request (118 bytes at most together)"},
        TTooLong{"5", 100, 25, 9, socksAuthenticateUsercode, ""},
        TTooLong{"5", 100, 26, 9, socksAuthenticateUsercode,
                 "Connect: SocksUsercode and SocksPassword too long for socks authentication (125 bytes at most "
                 "together)"},
        TTooLong{"5", 300, 0, 9, socksAuthenticateUsercode,
                 "Connect: SocksUsercode and SocksPassword too long for socks authentication (125 bytes at most "
                 "together)"}));

TEST(SocksRequestSizeDuringHandshake, CredentialsTooLongWhenTheServerAsksForThemEndTheHandshake) {
  TSessionLog log;
  DAVidavi s(nullptr);
  log.Attach(s);
  std::string after;
  TScriptedPeer peer([&](TPeerConn& c) {
    c.Read(3);
    c.Write(Bytes({5, 2}));  // not offered, and the credentials do not fit
    after = c.Read(1, 500);
  });
  s.SetSocksUsercode(std::string(200, 'u'));
  s.SetSocksPassword(std::string(200, 'p'));
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(peer.Port()));
  s.SetAddr("localhost");
  s.SetPort("80");
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.closed; })) << log.Joined();
  EXPECT_EQ(log.Joined(),
            "SocksConnected(0) SocksAuthState(socksAuthStart) SocksError(20001,socks request too long) "
            "SessionConnected(20001) SessionClosed(20001)");
  peer.Join();
  EXPECT_EQ(after, "");
}

TEST(SocksRequestSizeDuringHandshake, UserCodeGrownAfterConnectEndsTheHandshake) {
  TSessionLog log;
  DAVidavi s(nullptr);
  log.Attach(s);
  std::string sent;
  TScriptedPeer peer([&](TPeerConn& c) { sent = c.Read(1, 500); });
  s.OnSocksConnected = [&](TObject*, WORD e) {
    log.Add("SocksConnected(" + std::to_string(e) + ")");
    s.SetSocksUsercode(std::string(400, 'u'));  // plain field: may change at any time
  };
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(peer.Port()));
  s.SetSocksLevel("4");
  s.SetAddr("localhost");
  s.SetPort("80");
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.closed; })) << log.Joined();
  EXPECT_EQ(log.Joined(),
            "SocksConnected(0) SocksError(20001,socks request too long) SessionConnected(20001) SessionClosed(20001)");
  peer.Join();
  EXPECT_EQ(sent, "");
}

}  // namespace
}  // namespace sockstest

namespace sockstest {
namespace {

TEST(SocksWithLineMode, LinesBehindTheReplyAndLaterOnesArriveWholeAndInOrder) {
  DAVidavi s(nullptr);
  std::vector<std::string> lines;
  TScriptedPeer peer([&](TPeerConn& c) {
    c.Read(3);
    c.Write(Bytes({5, 0}));
    c.Read(16);
    c.Write(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80}) + "one\ntwo\nthr");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    c.Write("ee\n");
    c.WaitClosed();
  });
  s.SetLineMode(true);
  s.SetLineEnd("\n");
  s.OnDataAvailable = [&](TObject*, WORD) {
    std::string line = s.ReceiveText();
    if (!line.empty()) lines.push_back(line);
  };
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(peer.Port()));
  s.SetAddr("localhost");
  s.SetPort("80");
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return lines.size() >= 3; }));
  EXPECT_EQ(lines, (std::vector<std::string>{"one\n", "two\n", "three\n"}));
  s.Close();
  peer.Join();
}

}  // namespace
}  // namespace sockstest
