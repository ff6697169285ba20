// wsock listen: a TCP server for many connections at once, or a UDP
// receiver; prints what arrives or sends it back.
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Commands.h"
#include "StreamSocket.h"
#include "socket/WSocketBinder.h"

namespace wsock {

namespace {

// An echoing connection stops reading while this much waits to go back, so a
// peer that sends without reading cannot make us buffer without limit.
constexpr int64_t kHighWater = 1 << 20;
constexpr size_t kReadBuffer = 64 * 1024;
constexpr evc::UINT kReapMessage = evc::WM_USER + 1;

class TListenRun;

// One accepted connection.
class TServedSession : public TStreamSocket {
 public:
  TServedSession(TListenRun& run, const TToolOptions& o)
      : TStreamSocket(nullptr), FRun(run), FEcho(o.Echo), FOnce(o.Once) {
    using namespace evc;
    if (o.Tls) {
      // Dup makes the server handshake; no client certificate is asked for.
      SetSslEnable(true);
      SetSslCertFile(o.Cert);
      SetSslKeyFile(o.Key);
      SetSslVerifyPeer(false);
    }
    if (o.LineMode) {
      SetLineMode(true);
      SetLineEnd(o.LineEnd);
      SetLineEcho(o.LineEcho);
      SetLineEdit(o.LineEdit);
      // No limit: a long line is delivered whole rather than dropped.
      SetLineLimit(0);
    }
    OnDataAvailable = [this](TObject*, WORD) { Guard([&] { LineMode() ? TakeLine() : Pump(); }); };
    OnDataSent = [this](TObject*, WORD) { Guard([&] { LineMode() ? EndIfDone() : Pump(); }); };
    OnEnded = [this](WORD e) { Ended(e); };
    OnBgException = [this](TObject*, Exception& e, bool&) { Warn(MessageLine(e.Message())); };
    // In line mode the layer reads everything itself; otherwise the end of
    // data must have been read, too.
    LocalSideDone = [this] { return (FEof || LineMode()) && AllSent() && BufferedByteCount() == 0; };
  }
  ~TServedSession() override { DetachHandlers(); }

 private:
  template <class F>
  void Guard(F&& f);
  void Ended(evc::WORD error);

  // Reads what waits and prints or echoes it, unless the echo queue is full;
  // the end of the queue (OnDataSent) calls it again.
  void Pump() {
    std::vector<char>& buffer = Buffer();
    for (;;) {
      if (FEcho && BufferedByteCount() >= kHighWater) break;
      int n = Receive(buffer.data(), static_cast<int>(buffer.size()));
      if (n < 0) break;
      if (n == 0) {
        FEof = true;
        break;
      }
      if (FEcho)
        Send(buffer.data(), n);
      else if (!WriteOutput(buffer.data(), static_cast<size_t>(n)))
        return;
    }
    EndIfDone();
  }

  // Line mode: the layer hands out one line per event.
  void TakeLine() {
    std::string line = ReceiveText();
    if (line.empty()) return;
    if (FEcho)
      SendText(line);
    else
      WriteOutput(line.data(), line.size());
  }

  void EndIfDone() {
    if (CloseHeld() && LocalSideDone()) ReleaseClose();
  }

  static std::vector<char>& Buffer() {
    static std::vector<char> buffer(kReadBuffer);
    return buffer;
  }

  TListenRun& FRun;
  bool FEcho;
  bool FOnce;
  bool FEof = false;
};

class TListenRun {
 public:
  explicit TListenRun(const TToolOptions& options)
      : FOptions(options), FBuffer(kReadBuffer) {
    FReaper = evc::AllocateHWnd([this](evc::TMessage& m) {
      if (m.Msg == kReapMessage)
        FEnded.clear();
      else
        m.Result = evc::DefWindowProc(FReaper, m.Msg, m.WParam, m.LParam);
    });
  }
  ~TListenRun() {
    FServer.OnSessionAvailable.Clear();
    FServer.OnDataAvailable.Clear();
    FServer.OnDataSent.Clear();
    FServer.OnBgException.Clear();
    for (auto& entry : FSessions) entry.second->DetachHandlers();
    FSessions.clear();
    FEnded.clear();
    evc::DeallocateHWnd(FReaper);
  }

  void Start() {
    using namespace evc;
    FServer.OnSessionAvailable = [this](TObject*, WORD e) { Accept(e); };
    FServer.OnDataAvailable = [this](TObject*, WORD) { Guarded([&] { ReadDatagrams(); }); };
    FServer.OnDataSent = [this](TObject*, WORD) { Guarded([&] { FlushEchoes(true); }); };
    FServer.OnBgException = [](TObject*, Exception& e, bool&) { Finish(1, MessageLine(e.Message())); };
    Guarded([&] {
      FServer.SetProto(FOptions.Proto);
      FServer.SetAddr(FOptions.Host);
      FServer.SetPort(FOptions.Port);
      // A server under a burst of connections should not make clients wait
      // for a retransmitted SYN: by default ask for the longest queue.
      FServer.SetListenBacklog(FOptions.Backlog > 0 ? FOptions.Backlog : evc::wsListenBacklogMax);
      FServer.Listen();
      Warn("listening on " + FServer.BoundAddr() + ":" + FServer.BoundPort());
    });
  }

  // A connection has ended; `session` is freed after its event returns.
  void SessionEnded(TServedSession* session, evc::WORD error) {
    std::string line = error ? ErrorLine(session->CodeText(error), error) : std::string();
    auto it = FSessions.find(session);
    if (it != FSessions.end()) {
      FEnded.push_back(std::move(it->second));
      FSessions.erase(it);
      evc::PostMessage(FReaper, kReapMessage, 0, 0);
    }
    if (FOptions.Once)
      Finish(error ? 1 : 0, line);
    else if (!line.empty())
      Warn(line);
  }

 private:
  void Accept(evc::WORD error) {
    if (error != 0) {
      Warn(ErrorLine(evc::SocketErrorText(error), error));
      return;
    }
    auto session = std::make_unique<TServedSession>(*this, FOptions);
    try {
      evc::winsock::SOCKET handle = FServer.Accept();
      if (handle == evc::winsock::INVALID_SOCKET) return;
      // One connection only: later ones are refused rather than left waiting.
      if (FOptions.Once) FServer.Close();
      TServedSession* s = session.get();
      FSessions.emplace(s, std::move(session));
      s->Dup(handle);
    } catch (const evc::Exception& e) {
      Warn(MessageLine(e.Message()));
    }
  }

  // --- datagrams ---

  void ReadDatagrams() {
    while (FEchoes.empty() && !Finished()) {
      TEcho d;
      int len = sizeof(d.To);
      int n = FServer.ReceiveDatagram(FBuffer.data(), static_cast<int>(FBuffer.size()),
                                      reinterpret_cast<evc::winsock::sockaddr_w*>(&d.To), &len);
      if (n < 0) return;
      if (FOptions.Echo) {
        d.Data.assign(FBuffer.data(), static_cast<size_t>(n));
        FEchoes.push_back(std::move(d));
        FlushEchoes(false);
      } else {
        if (!WriteOutput(FBuffer.data(), static_cast<size_t>(n))) return;
        if (FOptions.Once) Finish(0);
      }
    }
  }

  // Sends back the echoes that wait; once none is left, reading goes on
  // (here when `thenRead`, else in the caller's loop).
  void FlushEchoes(bool thenRead) {
    bool sent = false;
    while (!FEchoes.empty()) {
      TEcho& d = FEchoes.front();
      int r = FServer.SendDatagram(reinterpret_cast<const evc::winsock::sockaddr_w*>(&d.To), sizeof(d.To),
                                   d.Data.data(), static_cast<int>(d.Data.size()));
      if (r < 0) {
        int e = evc::wsocket::WSAGetLastError();
        if (e == evc::winsock::WSAEWOULDBLOCK) return;  // the write notification brings us back
        Warn(ErrorLine(evc::SocketErrorText(e), e));
      }
      FEchoes.pop_front();
      sent = true;
    }
    if (sent && FOptions.Once) {
      Finish(0);
      return;
    }
    if (sent && thenRead) ReadDatagrams();
  }

  struct TEcho {
    evc::winsock::sockaddr_in_w To{};
    std::string Data;
  };

  const TToolOptions& FOptions;
  evc::DAVidavi FServer{nullptr};
  evc::HWND FReaper = 0;
  std::unordered_map<TServedSession*, std::unique_ptr<TServedSession>> FSessions;
  std::vector<std::unique_ptr<TServedSession>> FEnded;  // freed from the next message
  std::vector<char> FBuffer;
  std::deque<TEcho> FEchoes;
};

template <class F>
void TServedSession::Guard(F&& f) {
  try {
    f();
  } catch (const evc::Exception& e) {
    // One connection failing is that connection's end, not the server's.
    if (FOnce) {
      Finish(1, MessageLine(e.Message()));
    } else {
      Warn(MessageLine(e.Message()));
    }
    if (State() != evc::wsClosed) Abort();
  }
}

void TServedSession::Ended(evc::WORD error) { FRun.SessionEnded(this, error); }

}  // namespace

int RunListen(const TToolOptions& options) {
  TListenRun run(options);
  run.Start();
  RunLoop();
  return ExitStatus();
}

}  // namespace wsock
