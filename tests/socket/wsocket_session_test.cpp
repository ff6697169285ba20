// Event orders of real sessions on 127.0.0.1.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "SocketTestUtil.h"
#include "common/ListenQueue.h"

using namespace evc;
using sockt::PumpFor;
using sockt::PumpUntil;
using sockt::TRawListener;
using sockt::TRecorder;

namespace {

std::string ReadAllText(TCustomWSocket& s) {
  std::string out;
  char buf[2048];
  for (;;) {
    int n = s.Receive(buf, sizeof(buf));
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

void Aim(TCustomWSocket& s, int port, const char* proto = "tcp") {
  s.SetProto(proto);
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(port));
}

// A listening component on 127.0.0.1, port chosen by the system.
struct TServer {
  DAVidavi listener{nullptr};
  std::vector<std::unique_ptr<DAVidavi>> clients;
  int port = 0;
  explicit TServer(const char* proto = "tcp") {
    listener.SetProto(proto);
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    if (std::string(proto) == "tcp")
      listener.OnSessionAvailable = [this](TObject*, WORD) {
        auto c = std::make_unique<DAVidavi>(nullptr);
        c->Dup(listener.Accept());
        clients.push_back(std::move(c));
      };
    listener.Listen();
    port = std::stoi(listener.BoundPort());
  }
};

}  // namespace

TEST(SessionTest, StreamClientOrderAndLocalClose) {
  TRawListener peer;
  DAVidavi s(nullptr);
  TRecorder r;
  r.Attach(s);
  Aim(s, peer.port);
  s.Connect();
  EXPECT_EQ(r.Joined(), "state wsClosed>wsOpened, state wsOpened>wsConnecting");
  int fd = peer.AcceptOne();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));
  EXPECT_EQ(r.Joined(),
            "state wsClosed>wsOpened, state wsOpened>wsConnecting, state wsConnecting>wsConnected, connected 0, sent 0");
  EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
  EXPECT_EQ(s.PeerPort(), std::to_string(peer.port));
  EXPECT_EQ(s.BoundAddr(), "127.0.0.1");
  r.log.clear();
  s.Close();
  EXPECT_EQ(r.Joined(), "state wsConnected>wsClosed, closed 0");
  s.Close();  // closed already: nothing more
  EXPECT_EQ(r.Joined(), "state wsConnected>wsClosed, closed 0");
  EXPECT_EQ(sockt::RawReadAll(fd), "");  // the peer sees an orderly end
  sockt::RawClose(fd);
  PumpFor(50);
  EXPECT_EQ(r.log.size(), 2u);
}

TEST(SessionTest, FailedConnectReportsRefusalThenCloses) {
  DAVidavi s(nullptr);
  TRecorder r;
  r.Attach(s);
  Aim(s, sockt::ClosedPort());
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return r.Has("closed 0"); }));
  EXPECT_EQ(r.Joined(),
            "state wsClosed>wsOpened, state wsOpened>wsConnecting, state wsConnecting>wsConnected, connected 10061, "
            "state wsConnected>wsClosed, closed 0");
  EXPECT_EQ(s.State(), wsClosed);
}

TEST(SessionTest, PeerCloseDeliversAllWaitingDataFirst) {
  TRawListener peer;
  DAVidavi s(nullptr);
  TRecorder r;
  r.Attach(s, false);
  std::string got;
  s.OnDataAvailable = [&](TObject*, WORD e) {
    r.log.push_back("data " + std::to_string(e));
    char buf[100];  // small reads: the loop must come back for the rest
    int n = s.Receive(buf, sizeof(buf));
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  };
  s.OnSessionClosed = [&](TObject*, WORD e) {
    r.log.push_back("closed " + std::to_string(e) + " in " + SocketStateName(s.State()));
  };
  Aim(s, peer.port);
  s.Connect();
  int fd = peer.AcceptOne();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
  s.Pause();  // let all of it arrive before any notification is handled
  std::string sent(5000, 'x');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 26);
  ASSERT_EQ(::send(fd, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
  ::close(fd);
  PumpFor(50);
  EXPECT_EQ(r.Count("data 0"), 0);  // paused: nothing delivered
  s.Resume();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
  EXPECT_EQ(got, sent);
  EXPECT_EQ(r.Count("closed 0 in wsConnected"), 1) << r.Joined();
  EXPECT_EQ(r.log.back(), "state wsConnected>wsClosed");
  EXPECT_GE(r.Count("data 0"), 50);  // 100 bytes per call
  EXPECT_EQ(s.ReadCount(), 0);       // reset with the session
}

TEST(SessionTest, NoReceiveLoopCallsOncePerNotification) {
  TRawListener peer;
  DAVidavi s(nullptr);
  s.SetComponentOptions(OptionBit(wsoNoReceiveLoop));
  int calls = 0;
  std::string got;
  s.OnDataAvailable = [&](TObject*, WORD) {
    ++calls;
    char buf[10];
    int n = s.Receive(buf, sizeof(buf));
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  };
  Aim(s, peer.port);
  s.Connect();
  int fd = peer.AcceptOne();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
  s.Pause();
  ASSERT_EQ(::send(fd, "0123456789abcdefghij", 20, 0), 20);
  PumpFor(30);
  s.Resume();
  // Each read re-enables the notification while bytes wait, so all 20
  // bytes arrive, one call per notification.
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 20; }));
  EXPECT_EQ(got, "0123456789abcdefghij");
  EXPECT_EQ(calls, 2);
  sockt::RawClose(fd);
}

TEST(SessionTest, NoHandlerDiscardsDataAndAHandlerThatReadsNothingDoesNotSpin) {
  TRawListener peer;
  DAVidavi s(nullptr);
  Aim(s, peer.port);
  s.Connect();
  int fd = peer.AcceptOne();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
  std::string blob(3000, 'q');
  ::send(fd, blob.data(), blob.size(), 0);
  ASSERT_TRUE(PumpUntil([&] { return s.RcvdCount() == 0; }));  // read and dropped
  int calls = 0;
  s.OnDataAvailable = [&](TObject*, WORD) { ++calls; };
  ::send(fd, "abc", 3, 0);
  ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
  PumpFor(50);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(s.RcvdCount(), 3);  // left waiting for the host
  EXPECT_EQ(s.ReceiveText(), "abc");
  sockt::RawClose(fd);
}

TEST(SessionTest, DataSentRulesAndSendData) {
  TRawListener peer;
  DAVidavi s(nullptr);
  TRecorder r;
  r.Attach(s);
  std::vector<int> pieces;
  s.OnSendData = [&](TObject*, int32_t n) { pieces.push_back(n); };
  Aim(s, peer.port);
  s.Connect();
  int fd = peer.AcceptOne();
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));
  r.log.clear();
  EXPECT_EQ(s.Send("", 0), 0);
  EXPECT_TRUE(s.SendQueue().empty() || s.BufferedByteCount() == 0);
  std::string data(5000, 'z');
  int sentDuring = -1;
  EXPECT_EQ(s.Send(data.data(), static_cast<int>(data.size())), 5000);
  sentDuring = r.Count("sent 0");
  EXPECT_EQ(sentDuring, 0);  // OnDataSent comes after Send returned
  EXPECT_EQ(pieces, (std::vector<int>{1460, 1460, 1460, 620}));
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));
  PumpFor(30);
  EXPECT_EQ(r.Count("sent 0"), 1);
  EXPECT_EQ(sockt::RawReadAll(fd, 300).size(), 5000u);
  EXPECT_EQ(s.SendText(""), 0);
  EXPECT_EQ(s.SendText("hi"), 2);
  s.Close();
  sockt::RawClose(fd);
}

TEST(SessionTest, SendQueueBlocksFillToChunkSize) {
  TRawListener peer;
  DAVidavi s(nullptr);
  Aim(s, peer.port);
  s.Connect();
  // Not connected yet: nothing can be sent, so look at the queue via the
  // exported operation directly.
  s.QueueData(std::string(5000, 'a').data(), 5000);
  ASSERT_EQ(s.SendQueue().size(), 4u);
  EXPECT_EQ(s.SendQueue()[0]->WriteIndex(), 1460);
  EXPECT_EQ(s.SendQueue()[3]->WriteIndex(), 620);
  EXPECT_EQ(s.SendQueue()[3]->Capacity(), 1460);
  s.QueueData("bb", 2);  // fills the free room of the last block
  EXPECT_EQ(s.SendQueue().size(), 4u);
  EXPECT_EQ(s.SendQueue()[3]->WriteIndex(), 622);
  s.Abort();
  EXPECT_TRUE(s.SendQueue().empty());
}

TEST(SessionTest, SendWhileNotConnectedFailsWithExactText) {
  TRawListener peer;
  DAVidavi s(nullptr);
  TRecorder r;
  r.Attach(s);
  try {
    s.Send("x", 1);
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Error 10057 in function Send\r\nSocket is not connected");
  }
  EXPECT_EQ(s.LastError(), 10057);
  // While connecting: the socket is closed and the session reported closed.
  Aim(s, peer.port);
  s.Connect();
  ASSERT_EQ(s.State(), wsConnecting);
  r.log.clear();
  int errors = 0;
  s.OnError = [&](TObject*) {
    ++errors;
    r.log.push_back("error");
  };
  EXPECT_EQ(s.Send("x", 1), -1);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.LastError(), 10057);
  EXPECT_EQ(r.Joined(), "closed 10057, state wsConnecting>wsClosed, error");
  EXPECT_EQ(s.HSocket(), winsock::INVALID_SOCKET);
  PumpFor(30);
  EXPECT_EQ(r.Count("closed 10057"), 1);
}

TEST(SessionTest, ResetWhileSendingClosesOnceWith10054) {
  TRawListener peer;
  DAVidavi s(nullptr);
  TRecorder r;
  r.Attach(s);
  Aim(s, peer.port);
  s.Connect();
  int fd = peer.AcceptOne();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
  sockt::RawReset(fd);
  std::string block(64 * 1024, 'r');
  // Keep sending until the reset is noticed (bounded).
  for (int i = 0; i < 200 && s.State() == wsConnected; ++i) {
    s.Send(block.data(), static_cast<int>(block.size()));
    PumpFor(5);
  }
  PumpFor(50);
  EXPECT_EQ(s.State(), wsClosed);
  int closes = 0;
  for (const auto& l : r.log) closes += l.rfind("closed ", 0) == 0;
  EXPECT_EQ(closes, 1) << r.Joined();
  EXPECT_EQ(r.Count("closed 10054"), 1) << r.Joined();
}

TEST(SessionTest, ListenAcceptDupAndEcho) {
  TRecorder rd;
  TServer srv;
  EXPECT_EQ(srv.listener.State(), wsListening);
  std::string echoed;
  DAVidavi c(nullptr);
  c.SetLingerOnOff(wsLingerNoSet);  // an orderly close, not the default reset
  TRecorder rc;
  rc.Attach(c, false);
  c.OnDataAvailable = [&](TObject*, WORD) { echoed += ReadAllText(c); };
  Aim(c, srv.port);
  c.Connect();
  ASSERT_TRUE(PumpUntil([&] { return srv.clients.size() == 1 && c.State() == wsConnected; }));
  DAVidavi& d = *srv.clients[0];
  EXPECT_EQ(d.State(), wsConnected);
  EXPECT_EQ(d.PeerAddr(), "127.0.0.1");
  EXPECT_EQ(d.PeerPort(), c.BoundPort());
  EXPECT_EQ(d.EventMask(), 0x33);
  EXPECT_EQ(srv.listener.EventMask(), 0x2B);
  d.OnDataAvailable = [&](TObject*, WORD) {
    std::string t = ReadAllText(d);
    if (!t.empty()) d.SendText(t);
  };
  c.SendText("hello over loopback");
  ASSERT_TRUE(PumpUntil([&] { return echoed == "hello over loopback"; }));
  rd.Attach(d, false);
  c.Close();
  ASSERT_TRUE(PumpUntil([&] { return d.State() == wsClosed; }));
  EXPECT_EQ(rd.Joined(), "closed 0, state wsConnected>wsClosed");
}

TEST(SessionTest, DupOnConnectedComponentClosesOldSocketQuietly) {
  DAVidavi listener(nullptr);
  std::vector<winsock::SOCKET> handles;
  listener.OnSessionAvailable = [&](TObject*, WORD) { handles.push_back(listener.Accept()); };
  Aim(listener, 0);
  listener.Listen();
  int port = std::stoi(listener.BoundPort());
  DAVidavi a(nullptr), b(nullptr);
  Aim(a, port);
  Aim(b, port);
  a.Connect();
  b.Connect();
  ASSERT_TRUE(PumpUntil([&] { return handles.size() == 2 && b.State() == wsConnected; }));
  TRecorder r;
  DAVidavi d(nullptr);
  d.Dup(handles[0]);
  EXPECT_EQ(d.State(), wsConnected);
  d.QueueData("stale", 5);  // must never reach the next peer
  r.Attach(d);
  d.Dup(handles[1]);
  EXPECT_EQ(r.Joined(), "state wsConnected>wsClosed, state wsClosed>wsConnected");
  EXPECT_TRUE(d.SendQueue().empty());
  std::string got;
  b.OnDataAvailable = [&](TObject*, WORD) { got += ReadAllText(b); };
  d.SendText("fresh");
  ASSERT_TRUE(PumpUntil([&] { return got == "fresh"; }));
  PumpFor(20);
  EXPECT_EQ(got, "fresh");
  // Dup with a bad handle: 10022, label "Dup", nothing changed.
  try {
    d.Dup(0);
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Error 10022 in function Dup\r\nInvalid argument");
  }
  EXPECT_EQ(d.State(), wsConnected);
  EXPECT_FALSE(r.Has("closed 0"));
}

TEST(SessionTest, AcceptOnNonListeningSocket) {
  DAVidavi s(nullptr);
  int errors = 0;
  s.OnError = [&](TObject*) { ++errors; };
  EXPECT_EQ(s.Accept(), winsock::INVALID_SOCKET);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.LastError(), 10022);
  s.OnError = nullptr;
  try {
    s.Accept();
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Error 10022 in function not a listening socket\r\nInvalid argument");
  }
}

TEST(SessionTest, ListenRefusalsAndBindFailure) {
  DAVidavi s(nullptr);
  auto text = [&](auto f) {
    try {
      f();
    } catch (const ESocketException& e) {
      return e.Message();
    }
    return std::string("(nothing)");
  };
  EXPECT_EQ(text([&] { s.Listen(); }), "Error 10022 in function listen: port not assigned\r\nInvalid argument");
  s.SetPort("0");
  s.SetProto("");
  EXPECT_EQ(text([&] { s.Listen(); }), "Error 10022 in function listen: protocol not assigned\r\nInvalid argument");
  s.SetProto("tcp");
  EXPECT_EQ(text([&] { s.Listen(); }), "Error 10022 in function listen: address not assigned\r\nInvalid argument");
  s.SetAddr("nonsense..name");
  std::string m = text([&] { s.Listen(); });
  EXPECT_EQ(m.rfind("listen: WSocketResolveHost: Cannot convert host address 'nonsense..name', Error #", 0), 0u) << m;
  // A port in use: "Bind", and the half-made socket is released.
  TServer other;
  int before = sockt::OpenDescriptorCount();
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(other.port));
  EXPECT_EQ(text([&] { s.Listen(); }), "Error 10048 in function Bind\r\nAddress already in use");
  int errors = 0;
  s.OnError = [&](TObject*) { ++errors; };
  s.Listen();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(s.HSocket(), winsock::INVALID_SOCKET);
  EXPECT_EQ(sockt::OpenDescriptorCount(), before);
}

TEST(SessionTest, ListenBacklogIsTheQueueTheKernelKeeps) {
  const int systemMax = evctest::SystemListenQueueMax();
  ASSERT_GT(systemMax, 5);
  struct Case {
    int32_t asked;  // 0: left at its default
    int kernel;
  };
  for (const Case& c : {Case{0, 5}, Case{1, 1}, Case{64, 64}, Case{wsListenBacklogMax, systemMax}}) {
    DAVidavi s(nullptr);
    if (c.asked) s.SetListenBacklog(c.asked);
    Aim(s, 0);
    s.Listen();
    ASSERT_EQ(s.State(), wsListening);
    EXPECT_EQ(evctest::ListenQueueLimit(std::stoi(s.BoundPort())), c.kernel) << "asked for " << c.asked;
  }
  // A queue for nobody is refused, and the last good value stays.
  DAVidavi s(nullptr);
  s.SetListenBacklog(32);
  for (int32_t bad : {0, -1, INT32_MIN}) {
    try {
      s.SetListenBacklog(bad);
      ADD_FAILURE() << bad << " was taken";
    } catch (const ESocketException& e) {
      EXPECT_EQ(e.Message(), "Invalid ListenBacklog");
    }
    EXPECT_EQ(s.ListenBacklog(), 32);
  }
}

TEST(SessionTest, UdpConnectAndUdpListen) {
  TServer srv("udp");
  EXPECT_EQ(srv.listener.State(), wsConnected);
  std::string got;
  std::string from;
  srv.listener.OnDataAvailable = [&](TObject*, WORD) {
    char buf[1500];
    winsock::sockaddr_in_w src{};
    int len = sizeof(src);
    int n = srv.listener.ReceiveDatagram(buf, sizeof(buf), reinterpret_cast<winsock::sockaddr_w*>(&src), &len);
    if (n > 0) {
      got.assign(buf, static_cast<size_t>(n));
      srv.listener.SendDatagram(reinterpret_cast<winsock::sockaddr_w*>(&src), len, buf, n);
    }
  };
  DAVidavi c(nullptr);
  TRecorder r;
  r.Attach(c, false);
  std::string reply;
  c.OnDataAvailable = [&](TObject*, WORD) { reply += c.ReceiveText(); };
  Aim(c, srv.port, "udp");
  c.Connect();
  EXPECT_EQ(r.Joined(), "state wsClosed>wsOpened, state wsOpened>wsConnected, connected 0");
  EXPECT_NE(c.LocalPort(), "0");  // bound at once, port chosen by the system
  EXPECT_EQ(c.SendText("datagram"), 8);
  ASSERT_TRUE(PumpUntil([&] { return reply == "datagram"; }));
  EXPECT_EQ(got, "datagram");
  EXPECT_EQ(srv.listener.ReadCount(), 8);
}

TEST(SessionTest, PostCloseAndPostFreeFromHandlers) {
  TRawListener peer;
  auto* s = new DAVidavi(nullptr);
  TRecorder r;
  r.Attach(*s);
  bool freed = false;
  s->OnSessionConnected = [&](TObject*, WORD) {
    r.log.push_back("connected");
    s->PostClose();
    r.log.push_back("posted");
  };
  s->OnSessionClosed = [&](TObject*, WORD e) {
    r.log.push_back("closed " + std::to_string(e));
    s->PostFree();
  };
  int users = SocketUsers.load();
  Aim(*s, peer.port);
  s->Connect();
  int fd = peer.AcceptOne();
  ASSERT_TRUE(PumpUntil([&] { return SocketUsers.load() == users - 1; })) << r.Joined() << " users " << users;
  freed = true;
  EXPECT_TRUE(freed);
  EXPECT_NE(r.Joined().find("connected, posted"), std::string::npos) << r.Joined();
  EXPECT_EQ(r.Count("closed 0"), 1);
  sockt::RawClose(fd);
}

TEST(SessionTest, ExceptionInHandlerGoesToBgExceptionAndAborts) {
  TRawListener peer;
  DAVidavi s(nullptr);
  std::string seen;
  bool keep = false;
  s.OnBgException = [&](TObject*, Exception& e, bool& canClose) {
    seen = e.Message();
    canClose = !keep;
  };
  Aim(s, peer.port);
  s.Connect();
  int fd = peer.AcceptOne();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
  keep = true;
  PostMessage(s.WindowHandle(), WM_USER + 6, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "Test exception in WSocket");
  EXPECT_EQ(s.State(), wsConnected);  // CanClose cleared: kept open
  seen.clear();
  keep = false;
  s.OnDataSent = [&](TObject*, WORD) { throw ESocketException("from a handler"); };
  s.SendText("x");
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "from a handler");
  EXPECT_EQ(s.State(), wsClosed);  // aborted
  // An exception from OnDataAvailable is swallowed by the read loop.
  sockt::RawClose(fd);
}

TEST(SessionTest, StaleNotificationsAndPauseAreIgnored) {
  TRawListener peer;
  DAVidavi s(nullptr);
  TRecorder r;
  r.Attach(s);
  Aim(s, peer.port);
  s.Connect();
  int fd = peer.AcceptOne();
  ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }));
  r.log.clear();
  PostMessage(s.WindowHandle(), WM_USER + 1, s.HSocket() + 12345, winsock::FD_CLOSE);
  PumpFor(30);
  EXPECT_TRUE(r.log.empty()) << r.Joined();
  s.Pause();
  PostMessage(s.WindowHandle(), WM_USER + 1, s.HSocket(), winsock::FD_CLOSE);
  PumpFor(30);
  EXPECT_TRUE(r.log.empty()) << r.Joined();
  EXPECT_EQ(s.State(), wsConnected);
  s.Resume();
  // Close notification while connecting is ignored.
  sockt::RawClose(fd);
}

TEST(SessionTest, MultiThreadedPumpTakesQuitAndSetsTerminated) {
  DAVidavi s(nullptr);
  s.SetMultiThreaded(true);
  bool seen = false;
  HWND w = AllocateMethodWindow([&](TMessage& m) {
    if (m.Msg == WM_USER + 77) seen = true;
  });
  PostMessage(w, WM_USER + 77, 0, 0);
  PostQuitMessage(0);
  s.PumpMessages();
  EXPECT_TRUE(seen);
  EXPECT_TRUE(s.Terminated());
  ReleaseMethodWindow(w);
}

TEST(SessionTest, OwnerDestructionClosesWithoutSessionClosed) {
  TRawListener peer;
  int closed = 0, states = 0;
  {
    TComponent owner(nullptr);
    auto* s = new DAVidavi(&owner);
    s->OnSessionClosed = [&](TObject*, WORD) { ++closed; };
    s->OnChangeState = [&](TObject*, TSocketState, TSocketState n) { states += (n == wsClosed); };
    Aim(*s, peer.port);
    s->Connect();
    int fd = peer.AcceptOne();
    ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
    sockt::RawClose(fd);
  }
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(states, 1);
  // Freed on its own, the session-closed event does fire.
  {
    DAVidavi s(nullptr);
    s.OnSessionClosed = [&](TObject*, WORD) { ++closed; };
    Aim(s, peer.port);
    s.Connect();
    int fd = peer.AcceptOne();
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
    sockt::RawClose(fd);
  }
  EXPECT_EQ(closed, 1);
}

TEST(SessionTest, AbortTurnsLingerOffThenDefaultsReturn) {
  TRawListener peer;
  DAVidavi s(nullptr);
  s.SetLingerOnOff(wsLingerNoSet);
  Aim(s, peer.port);
  s.Connect();
  int fd = peer.AcceptOne();
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
  std::vector<TSocketLingerOnOff> during;
  s.OnSessionClosed = [&](TObject*, WORD) { during.push_back(s.LingerOnOff()); };
  s.Abort();
  ASSERT_EQ(during.size(), 1u);
  EXPECT_EQ(during[0], wsLingerOff);
  EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
  sockt::RawClose(fd);
}

TEST(SessionTest, OnChangeStateMeddlingFailsConnect) {
  TRawListener peer;
  DAVidavi s(nullptr);
  s.OnChangeState = [&](TObject*, TSocketState, TSocketState n) {
    if (n == wsOpened) s.SetState(wsBound);
  };
  Aim(s, peer.port);
  try {
    s.Connect();
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Error 10022 in function Connect (Invalid operation in OnChangeState)\r\nInvalid argument");
  }
  EXPECT_EQ(s.LastError(), 10022);
  s.OnChangeState = nullptr;
  s.Close();  // the caller closes the half-made socket
  EXPECT_EQ(s.HSocket(), winsock::INVALID_SOCKET);
}

TEST(SessionTest, ThousandConnectCloseCyclesLeakNothing) {
  TServer srv;
  srv.listener.OnSessionAvailable = [&](TObject*, WORD) {
    winsock::SOCKET h = srv.listener.Accept();
    if (h != winsock::INVALID_SOCKET) wsocket::closesocket(h);
  };
  auto cycle = [&] {
    DAVidavi c(nullptr);
    bool connected = false;
    c.OnSessionConnected = [&](TObject*, WORD) { connected = true; };
    Aim(c, srv.port);
    c.Connect();
    EXPECT_TRUE(PumpUntil([&] { return connected; }, 2000));
    c.Close();
  };
  for (int i = 0; i < 50; ++i) cycle();  // warm up allocators and tables
  PumpFor(20);
  int fds = sockt::OpenDescriptorCount();
  long mem = sockt::ResidentKiB();
  for (int i = 0; i < 1000; ++i) cycle();
  PumpFor(50);
  EXPECT_EQ(sockt::OpenDescriptorCount(), fds);
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer keeps freed blocks in quarantine, so resident memory
  // grows by design there; the descriptor count above still catches leaks.
  (void)mem;
#else
  EXPECT_LE(sockt::ResidentKiB() - mem, 2048) << "resident memory grew by " << (sockt::ResidentKiB() - mem) << " KiB";
#endif
}
