// Ending a session from inside every event of a component: Close, Abort,
// PostClose, PostFree, or destroying another busy component. Each case
// ends with at most one OnSessionClosed, nothing of the session after it,
// and no byte on the wire that was not reported sent; in line mode too.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "SocketTestUtil.h"
#include "common/ChainEvent.h"
#include "common/LoopbackPeer.h"

using namespace evc;
using evctest::Chain;
using sockt::PumpFor;
using sockt::PumpUntil;

namespace {

enum TAction { kClose, kAbort, kPostClose, kPostFree, kDestroyOther };
const char* const kActionNames[] = {"Close", "Abort", "PostClose", "PostFree", "destroy other"};

struct TPoint {
  const char* at;   // the recorded event whose handler acts (a prefix)
  bool listening;   // the component listens instead of connecting
  bool session;     // a session is open (or opens) when it acts
};

// The script: look up, connect, send "hello", read the peer's two lines,
// then the peer closes. A listening component takes one connection.
const TPoint kPoints[] = {
    {"dns 0", false, false},
    {"state wsClosed>wsOpened", false, true},
    {"state wsOpened>wsConnecting", false, true},
    {"state wsConnecting>wsConnected", false, true},
    {"connected 0", false, true},
    {"senddata 5", false, true},
    {"sent 0", false, true},
    {"data 0", false, true},
    {"closed 0", false, true},
    {"state wsConnected>wsClosed", false, true},
    {"bgexception", false, true},
    {"state wsClosed>wsBound", true, true},
    {"state wsBound>wsListening", true, true},
    {"available 0", true, true},
};

// A raw peer on loopback: accepts, reads, answers once, closes, and tells
// when the connection has ended.
struct TPeer {
  int listenFd = -1, port = 0, fd = -1;
  std::string got;
  bool answered = false, ended = false;
  TPeer() { listenFd = loopback::ListenLoopback(&port); }
  ~TPeer() {
    if (fd >= 0) ::close(fd);
    if (listenFd >= 0) ::close(listenFd);
  }
  void Step(bool closeNow) {
    pollfd p{listenFd, POLLIN, 0};
    if (fd < 0 && listenFd >= 0 && ::poll(&p, 1, 0) == 1) fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK);
    if (fd < 0 || ended) return;
    char buf[4096];
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        got.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ended = true;
      break;
    }
    if (!ended && !answered && got.size() >= 5) {
      answered = true;
      (void)!::send(fd, "wor\r\nld\r\n", 9, MSG_NOSIGNAL);
    }
    if (!ended && closeNow) {
      ::close(fd);
      fd = -1;
      ended = true;
    }
  }
};

// Knows when the component is gone (PostFree deletes it).
class TWatched : public DAVidavi {
 public:
  explicit TWatched(bool* gone) : DAVidavi(nullptr), FGone(gone) {}
  ~TWatched() override { *FGone = true; }

 private:
  bool* FGone;
};

void RunCase(const TPoint& point, TAction action, bool lineMode) {
  SCOPED_TRACE(std::string(kActionNames[action]) + " at '" + point.at + "'" + (lineMode ? " in line mode" : ""));
  TPeer peer;
  ASSERT_GE(peer.listenFd, 0);
  bool gone = false;
  auto* s = new TWatched(&gone);
  sockt::TRecorder rec;
  rec.Attach(*s);
  auto log = rec.store;
  int32_t sent = 0;
  s->OnSendData = [log, &sent](TObject*, int32_t n) {
    log->push_back("senddata " + std::to_string(n));
    sent += n;
  };
  // Kept open, so that only the action under test ends the session.
  s->OnBgException = [log](TObject*, Exception&, bool& canClose) {
    log->push_back("bgexception");
    canClose = false;
  };
  s->SetLineMode(lineMode);
  std::string read;

  // A second component, busy with a lookup, a connection and a send, to a
  // listener of its own that never accepts.
  int otherPort = 0;
  int otherListen = loopback::ListenLoopback(&otherPort);
  sockt::TRecorder otherRec;
  auto* other = new DAVidavi(nullptr);
  otherRec.Attach(*other);
  other->OnSessionConnected = [&](TObject*, WORD) {
    otherRec.log.push_back("connected");
    std::string lots(65536, 'o');
    other->SendText(lots);
  };
  other->DnsLookup("localhost");
  other->SetAddr("127.0.0.1");
  other->SetPort(std::to_string(otherPort));
  other->Connect();

  bool acted = false;
  auto act = [&] {
    acted = true;
    switch (action) {
      case kClose: s->Close(); break;
      case kAbort: s->Abort(); break;
      case kPostClose: s->PostClose(); break;
      case kPostFree: s->PostFree(); break;
      case kDestroyOther:
        delete other;
        other = nullptr;
        break;
    }
  };
  // The script goes on only while nothing ended it; destroying the other
  // component must not disturb this one.
  auto drive = [&] { return !acted || action == kDestroyOther; };
  auto guarded = [&](const std::function<void()>& f) {
    try {
      f();
    } catch (const Exception&) {
      log->push_back("raised");
    }
  };
  // Every event is a point to act at, right after it was recorded.
  auto maybeAct = [&] {
    if (acted || log->empty() || log->back().rfind(point.at, 0) != 0) return;
    act();
  };
  Chain(s->OnChangeState, maybeAct);
  Chain(s->OnSessionConnected, maybeAct);
  Chain(s->OnSessionClosed, maybeAct);
  Chain(s->OnSessionAvailable, maybeAct);
  Chain(s->OnDataSent, maybeAct);
  Chain(s->OnDataAvailable, maybeAct);
  Chain(s->OnDnsLookupDone, maybeAct);
  Chain(s->OnSendData, maybeAct);
  Chain(s->OnBgException, maybeAct);
  Chain(s->OnDnsLookupDone, [&] {
    if (drive()) guarded([&] {
      s->SetAddr(s->DnsResult());
      s->SetPort(std::to_string(peer.port));
      s->Connect();
    });
  });
  Chain(s->OnSessionConnected, [&] {
    if (drive()) guarded([&] { s->SendText("hello"); });
  });
  Chain(s->OnDataAvailable, [&] {
    if (!drive()) return;
    std::string t = s->ReceiveText();
    read += t;
  });
  Chain(s->OnSessionAvailable, [&] {
    if (!drive()) return;
    winsock::SOCKET h = s->Accept();
    if (h != winsock::INVALID_SOCKET) wsocket::closesocket(h);
    if (drive()) guarded([&] { s->Close(); });
  });
  bool raisedOnce = false;
  if (std::string(point.at) == "bgexception") {
    Chain(s->OnDataSent, [&] {
      if (!raisedOnce) PostMessage(s->WindowHandle(), WM_TRIGGER_EXCEPTION, 0, 0);
      raisedOnce = true;
    });
  }

  int clientFd = -1;
  if (point.listening) {
    s->SetProto("tcp");
    s->SetAddr("127.0.0.1");
    s->SetPort("0");
    s->Listen();
    if (!gone && s->State() == wsListening) clientFd = sockt::RawConnect(std::stoi(s->BoundPort()));
  } else {
    s->DnsLookup("localhost");
  }

  // Runs the peer until the session is over: the peer closes once it has
  // answered and the component has read the answer.
  auto over = [&] {
    peer.Step(peer.answered && read.size() >= 9);
    bool closedOnce = rec.Count("closed 0") > 0;
    if (point.listening) return gone || closedOnce;
    if (!point.session && acted && action != kDestroyOther) return true;
    return gone || (closedOnce && (peer.ended || peer.fd < 0));
  };
  EXPECT_TRUE(PumpUntil(over, 5000)) << rec.Joined();
  PumpFor(60);
  peer.Step(false);
  EXPECT_TRUE(acted) << rec.Joined();

  // One end of the session where one was open, and nothing of it after.
  const bool session = point.session || action == kDestroyOther;
  EXPECT_EQ(rec.Count("closed 0"), session ? 1 : 0) << rec.Joined();
  auto closed = std::find(log->begin(), log->end(), "closed 0");
  for (auto it = closed == log->end() ? closed : closed + 1; it != log->end(); ++it)
    EXPECT_TRUE(it->rfind("state wsConnected>wsClosed", 0) == 0 || *it == "raised")
        << "after the close: " << *it << " in " << rec.Joined();
  if (action == kPostFree) {
    EXPECT_TRUE(gone);
  }
  if (!session) {
    EXPECT_EQ(peer.fd, -1) << "connected after the end";
  }
  // The peer got exactly what was reported sent, and saw the end.
  if (!point.listening) {
    EXPECT_EQ(peer.got, std::string("hello").substr(0, static_cast<size_t>(sent)));
  }
  if (peer.fd >= 0) {
    EXPECT_TRUE(peer.ended) << "the connection is still open";
  }
  if (action == kDestroyOther) {
    EXPECT_EQ(other, nullptr);
    EXPECT_LE(otherRec.Count("closed 0"), 1) << otherRec.Joined();
    if (!point.listening) {
      EXPECT_EQ(read, "wor\r\nld\r\n");
    }
  }
  if (!gone) {
    EXPECT_EQ(s->State(), wsClosed);
    delete s;
  }
  delete other;
  if (clientFd >= 0) sockt::RawClose(clientFd);
  ::close(otherListen);
}

TEST(SessionEndFromHandlers, EveryEventCrossedWithEveryWayToEnd) {
  for (bool lineMode : {false, true})
    for (const TPoint& point : kPoints)
      for (TAction action : {kClose, kAbort, kPostClose, kPostFree, kDestroyOther}) RunCase(point, action, lineMode);
}

}  // namespace
