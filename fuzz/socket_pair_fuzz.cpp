// A connected pair of socket components on 127.0.0.1 driven by a random
// sequence of calls (send, receive, close, abort, pause, resume, posted
// close, reconnect, handlers that act from inside their own events), with
// the messages pumped between steps.
//
// What must hold whatever the sequence: nothing crashes; OnSessionClosed
// fires at most once per session; what a side receives is always a prefix
// of what the other side's Send accepted in that session (bytes may be
// dropped by a close, never changed, reordered or invented); no call raises
// while OnError is assigned; no descriptor is left behind once both
// components are gone. A violation aborts with a message.
#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "socket/DAVidavi.h"

using namespace evc;

namespace {

[[noreturn]] void Violation(const std::string& what) {
  std::fprintf(stderr, "socket_pair_fuzz: %s\n", what.c_str());
  std::abort();
}

// The byte at position `pos` of every session's stream.
inline char StreamByte(int64_t pos) { return static_cast<char>((pos * 131) ^ (pos >> 7) ^ 0x5A); }

enum class TReadMode { All, OneBlock, Nothing, Reply };
enum class THandlerAction { None, Close, Abort, PostClose };

// One end of the pair and what the harness knows about it.
struct TSide {
  std::unique_ptr<DAVidavi> Sock;
  TSide* Peer = nullptr;
  int Session = 0;       // sessions started on this component
  int ClosedEvents = 0;  // OnSessionClosed in the current session
  int64_t Sent = 0;      // stream bytes that Send accepted this session
  int64_t Received = 0;  // stream bytes read this session
  TReadMode Mode = TReadMode::All;
  THandlerAction Action = THandlerAction::None;
  int ReplyLen = 100;
  int RepliesLeft = 0;  // replies this end may still send (two replying ends would never stop)
  int Depth = 0;  // nesting of our own handler calls

  void StartSession() {
    ++Session;
    ClosedEvents = 0;
    Sent = 0;
    Received = 0;
    RepliesLeft = 16;
  }
};

TSide gA, gB;

// Handles at most `budget` messages; false when the queue ran empty first.
// Two ends that keep answering each other never empty it, so pumping is
// bounded by count rather than by an empty queue.
bool Dispatch(int budget) {
  MSG m;
  for (int i = 0; i < budget; ++i) {
    if (!PeekMessage(&m, 0, 0, 0, PM_REMOVE)) return false;
    if (m.message == WM_QUIT) continue;
    TranslateMessage(&m);
    DispatchMessage(&m);
  }
  return true;
}

// Pumps until the queue stays empty or the step's budget is spent.
void Pump(int rounds = 8) {
  for (int i = 0; i < rounds; ++i) {
    Dispatch(256);
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT) == WAIT_TIMEOUT) return;
  }
  Dispatch(256);
}

void CheckArrival(TSide& s, const char* buf, int n) {
  for (int i = 0; i < n; ++i)
    if (buf[i] != StreamByte(s.Received + i))
      Violation("byte " + std::to_string(s.Received + i) + " of the stream arrived changed");
  s.Received += n;
  // Both ends of a session are in this process: nothing can arrive that
  // the peer's Send did not accept in the same session.
  if (s.Peer && s.Received > s.Peer->Sent) Violation("received more than was sent");
}

int ReceiveInto(TSide& s, int size) {
  std::vector<char> buf(static_cast<size_t>(size));
  int n = s.Sock->Receive(buf.data(), size);
  if (n > 0) CheckArrival(s, buf.data(), n);
  return n;
}

void SendStream(TSide& s, int len) {
  std::vector<char> buf(static_cast<size_t>(len));
  for (int i = 0; i < len; ++i) buf[static_cast<size_t>(i)] = StreamByte(s.Sent + i);
  int r = s.Sock->Send(buf.data(), len);
  if (r == len)
    s.Sent += len;
  else if (r != -1 && !(len <= 0 && r == 0))
    Violation("Send returned " + std::to_string(r) + " for " + std::to_string(len) + " bytes");
}

void OnData(TSide& s) {
  ++s.Depth;
  switch (s.Mode) {
    case TReadMode::All:
      while (ReceiveInto(s, 1500) > 0) {
      }
      break;
    case TReadMode::OneBlock:
      ReceiveInto(s, 700);
      break;
    case TReadMode::Nothing:
      break;
    case TReadMode::Reply:
      ReceiveInto(s, 4096);
      if (s.Sock->State() == wsConnected && s.RepliesLeft > 0) {
        --s.RepliesLeft;
        SendStream(s, s.ReplyLen);
      }
      break;
  }
  switch (s.Action) {
    case THandlerAction::None: break;
    case THandlerAction::Close: s.Sock->Close(); break;
    case THandlerAction::Abort: s.Sock->Abort(); break;
    case THandlerAction::PostClose: s.Sock->PostClose(); break;
  }
  --s.Depth;
}

void Attach(TSide& s) {
  DAVidavi& d = *s.Sock;
  TSide* p = &s;
  d.OnDataAvailable = [p](TObject*, WORD) { OnData(*p); };
  d.OnSessionClosed = [p](TObject*, WORD) {
    if (++p->ClosedEvents > 1) Violation("OnSessionClosed fired twice in one session");
  };
  d.OnError = [](TObject*) {};
}

// The listener, kept for the whole run; every accepted connection is
// adopted by a component and handed out by port.
struct TListener {
  DAVidavi Sock{nullptr};
  std::vector<std::unique_ptr<DAVidavi>> Accepted;
  std::string Port;
  TListener() {
    Sock.SetProto("tcp");
    Sock.SetAddr("127.0.0.1");
    Sock.SetPort("0");
    Sock.OnError = [](TObject*) {};
    Sock.OnSessionAvailable = [this](TObject*, WORD e) {
      if (e != 0) return;
      winsock::SOCKET h = Sock.Accept();
      if (h == winsock::INVALID_SOCKET) return;
      auto s = std::make_unique<DAVidavi>(nullptr);
      s->OnError = [](TObject*) {};
      s->Dup(h);
      Accepted.push_back(std::move(s));
    };
    Sock.Listen();
    if (Sock.State() != wsListening) Violation("cannot listen on 127.0.0.1");
    Port = Sock.BoundPort();
  }
  // The accepted end whose peer is `client`'s local port, taken out of the list.
  std::unique_ptr<DAVidavi> Take(DAVidavi& client) {
    std::string local = client.BoundPort();
    for (size_t i = 0; i < Accepted.size(); ++i)
      if (Accepted[i]->State() == wsConnected && Accepted[i]->PeerPort() == local) {
        auto s = std::move(Accepted[i]);
        Accepted.erase(Accepted.begin() + static_cast<std::ptrdiff_t>(i));
        return s;
      }
    return nullptr;
  }
};

TListener* gListener = nullptr;

// Connects gA's component to the listener and gives gB the accepted end.
void ConnectPair() {
  if (!gA.Sock) {
    gA.Sock = std::make_unique<DAVidavi>(nullptr);
    Attach(gA);
  }
  gA.Sock->SetProto("tcp");
  gA.Sock->SetAddr("127.0.0.1");
  gA.Sock->SetPort(gListener->Port);
  gA.StartSession();
  gA.Sock->Connect();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  std::unique_ptr<DAVidavi> server;
  while (!server && std::chrono::steady_clock::now() < deadline) {
    Dispatch(256);
    if (gA.Sock->State() == wsConnected) server = gListener->Take(*gA.Sock);
    if (!server) MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  // The old accepted end goes before the new session is looked at.
  gB.Sock.reset();
  gB.StartSession();
  if (!server) return;  // the pair could not be formed; the steps then act on one end
  gB.Sock = std::move(server);
  Attach(gB);
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

void Step(TSide& s, uint8_t op, uint8_t arg, uint8_t more) {
  DAVidavi* d = s.Sock.get();
  if (!d) return;
  switch (op) {
    case 0: SendStream(s, 1 + ((arg << 8) | more) % 24000); break;
    case 1: ReceiveInto(s, 1 + arg * 37); break;
    case 2: d->Close(); break;
    case 3: d->Abort(); break;
    case 4: d->Pause(); break;
    case 5: d->Resume(); break;
    case 6: d->PostClose(); break;
    case 7:
      switch (arg & 15) {
        case 0: s.Mode = TReadMode::All; break;
        case 1: s.Mode = TReadMode::OneBlock; break;
        case 2: s.Mode = TReadMode::Nothing; break;
        case 3:
          s.Mode = TReadMode::Reply;
          s.ReplyLen = 1 + more * 11;
          break;
        case 4: s.Action = THandlerAction::None; break;
        case 5: s.Action = THandlerAction::Close; break;
        case 6: s.Action = THandlerAction::Abort; break;
        case 7: s.Action = THandlerAction::PostClose; break;
        // Not below 16 bytes: a stream of one-byte segments makes the kernel
        // merge its receive queue over and over, seconds per input.
        case 8: d->ChunkSize = 16 + more * 97; break;
        case 9: d->SetComponentOptions(d->ComponentOptions() ^ OptionBit(wsoNoReceiveLoop)); break;
        case 10: d->Shutdown(1); break;
        case 11:
          if (&s == &gA && d->State() == wsClosed) ConnectPair();
          break;
        default: Pump(32); break;
      }
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int baseline = -1;
  static long inputs = 0;
  if (!gListener) gListener = new TListener;  // lives for the whole run
  gA = TSide{};
  gB = TSide{};
  gA.Peer = &gB;
  gB.Peer = &gA;
  try {
    ConnectPair();
    // Each step: one byte for the call and its side, one or two arguments.
    constexpr size_t kMaxSteps = 160;
    size_t steps = 0;
    for (size_t i = 0; i + 2 < size && steps < kMaxSteps; i += 3, ++steps) {
      uint8_t b = data[i];
      TSide& side = (b & 8) ? gB : gA;
      Step(side, b & 7, data[i + 1], data[i + 2]);
      Pump();
    }
    Pump(32);
  } catch (const std::exception& e) {
    Violation(std::string("a call raised with OnError assigned: ") + e.what());
  }
  // Destruction closes what is open (firing OnSessionClosed at most once
  // more); then every queued message for the gone windows is dropped.
  gA.Sock.reset();
  gB.Sock.reset();
  gListener->Accepted.clear();
  Pump(32);
  int open = OpenDescriptors();
  if (baseline < 0 || ++inputs % 512 == 1) {
    if (baseline < 0) baseline = open;
    // A few descriptors may come and go with the run itself (the fuzzer's
    // own files); a leak per input grows without bound.
    if (open > baseline + 64) Violation("descriptors leak: " + std::to_string(open) + " open, " +
                                        std::to_string(baseline) + " at the start");
  }
  return 0;
}
