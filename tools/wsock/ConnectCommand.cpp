// wsock connect: standard input to the socket, the socket to standard output.
#include <unistd.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "Commands.h"
#include "InputPump.h"
#include "StreamSocket.h"
#include "Timer.h"
#include "socket/WSocketBinder.h"

namespace wsock {

namespace {

constexpr size_t kInputChunk = 64 * 1024;
// Input stops while this much waits in the send queue, and resumes once the
// queue has drained: memory stays bounded whatever the size of the input.
constexpr int64_t kHighWater = 1 << 20;
// The largest UDP payload over IPv4.
constexpr size_t kMaxDatagram = 65507;
constexpr size_t kReadBuffer = 64 * 1024;

class TConnectRun {
 public:
  explicit TConnectRun(const TToolOptions& options)
      : FOptions(options), FUdp(options.Proto == "udp"), FInput(STDIN_FILENO, kInputChunk), FBuffer(kReadBuffer) {}

  ~TConnectRun() { FSocket.DetachHandlers(); }

  void Start() {
    using namespace evc;
    FSocket.OnSessionConnected = [this](TObject*, WORD e) { Guarded([&] { OnConnected(e); }); };
    FSocket.OnDataAvailable = [this](TObject*, WORD) { Guarded([&] { FUdp ? OnDatagrams() : OnData(); }); };
    FSocket.OnDataSent = [this](TObject*, WORD) { Guarded([&] { FUdp ? SendDatagrams() : OnSent(); }); };
    FSocket.OnEnded = [this](WORD e) { OnClosed(e); };
    FSocket.OnBgException = [](TObject*, Exception& e, bool&) { Finish(1, MessageLine(e.Message())); };
    FSocket.LocalSideDone = [this] { return FShutDown; };
    FInput.OnChunk = [this](const char* d, size_t n) { Guarded([&] { FUdp ? OnDatagramInput(d, n) : OnInput(d, n); }); };
    FInput.OnEnd = [this](int e) { Guarded([&] { OnInputEnd(e); }); };
    FQuiet.OnTimer = [] { Finish(0); };
    FConnectLimit.OnTimer = [] {
      Finish(1, ErrorLine(evc::SocketErrorText(evc::winsock::WSAETIMEDOUT), evc::winsock::WSAETIMEDOUT));
    };
    if (FOptions.ConnectTimeoutMs > 0 && !FUdp) FConnectLimit.Start(FOptions.ConnectTimeoutMs);
    Guarded([&] {
      FSocket.SetProto(FOptions.Proto);
      FSocket.SetAddr(FOptions.Host);
      FSocket.SetPort(FOptions.Port);
      FSocket.SetLocalPort(FOptions.LocalPort);
      if (!FOptions.SocksServer.empty()) UseSocks();
      if (FOptions.Tls) UseTls();
      if (FOptions.LineMode) {
        FSocket.SetLineMode(true);
        FSocket.SetLineEnd(FOptions.LineEnd);
        // No limit: a long line is delivered whole rather than dropped.
        FSocket.SetLineLimit(0);
      }
      FSocket.Connect();
    });
  }

 private:
  // The proxy settings go back to their defaults at every close, so they
  // are set for this one connection.
  void UseSocks() {
    using namespace evc;
    FSocket.SetSocksServer(FOptions.SocksServer);
    FSocket.SetSocksPort(FOptions.SocksPort);
    FSocket.SetSocksLevel(FOptions.SocksLevel);
    if (!FOptions.SocksUser.empty()) {
      FSocket.SetSocksUsercode(FOptions.SocksUser);
      FSocket.SetSocksPassword(FOptions.SocksPass);
      FSocket.SetSocksAuthentication(socksAuthenticateUsercode);
    }
    // The handshake's own text says more than the code's.
    FSocket.OnSocksError = [this](TObject*, int32_t, const std::string& msg) { FSocksError = msg; };
  }

  void UseTls() {
    FSocket.SetSslEnable(true);
    FSocket.SetSslCAFile(FOptions.CaCert);
    FSocket.SetSslVerifyPeer(!FOptions.Insecure);
    FSocket.SetSslServerName(FOptions.Sni);
    FSocket.OnSslHandshakeDone = [this](evc::TObject*, evc::WORD e) {
      if (e == 0) Warn(FSocket.HandshakeLine());
    };
  }

  void OnConnected(evc::WORD error) {
    FConnectLimit.Stop();
    if (error != 0) {
      Finish(1, ErrorLine(FSocksError.empty() ? FSocket.CodeText(error) : FSocksError, error));
      return;
    }
    FInput.Resume();
  }

  void OnClosed(evc::WORD error) {
    if (error != 0)
      Finish(1, ErrorLine(FSocket.CodeText(error), error));
    else
      Finish(0);
  }

  // --- stream ---

  void OnData() {
    if (FSocket.LineMode()) {
      // One event per line; reading past it would bypass the line buffer.
      std::string line = FSocket.ReceiveText();
      WriteOutput(line.data(), line.size());
      return;
    }
    for (;;) {
      int n = FSocket.Receive(FBuffer.data(), static_cast<int>(FBuffer.size()));
      if (n <= 0) return;
      if (!WriteOutput(FBuffer.data(), static_cast<size_t>(n))) return;
    }
  }

  void OnInput(const char* data, size_t size) {
    if (Finished()) return;
    FSocket.Send(data, static_cast<int>(size));
    if (FSocket.BufferedByteCount() >= kHighWater)
      FInputPaused = true;
    else
      FInput.Resume();
  }

  void OnSent() {
    if (FInputPaused) {
      FInputPaused = false;
      FInput.Resume();
    }
    ShutDownWhenDrained();
  }

  void OnInputEnd(int error) {
    if (error != 0) {
      Finish(1, std::string("wsock: standard input: ") + std::strerror(error));
      return;
    }
    FInputEnded = true;
    if (FUdp) {
      if (!FLine.empty()) FDatagrams.push_back(std::move(FLine));
      FLine.clear();
      SendDatagrams();
      return;
    }
    ShutDownWhenDrained();
  }

  // Everything read has gone to the library: end our sending side, and the
  // session with it if the peer has already ended its side.
  void ShutDownWhenDrained() {
    if (!FInputEnded || FShutDown || Finished()) return;
    if (!FSocket.AllSent() || FSocket.BufferedByteCount() != 0) return;
    FShutDown = true;
    FSocket.Shutdown(1);
    FSocket.ReleaseClose();
  }

  // --- datagram ---

  // Each line (with its line feed) is one datagram; a line longer than a
  // datagram can carry is cut.
  void OnDatagramInput(const char* data, size_t size) {
    if (Finished()) return;
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
      if (data[i] == '\n' || FLine.size() + (i - start) + 1 >= kMaxDatagram) {
        FLine.append(data + start, i + 1 - start);
        FDatagrams.push_back(std::move(FLine));
        FLine.clear();
        start = i + 1;
      }
    }
    FLine.append(data + start, size - start);
    SendDatagrams();
  }

  void SendDatagrams() {
    if (Finished()) return;
    const auto* to = reinterpret_cast<const evc::winsock::sockaddr_w*>(&FSocket.RemoteAddress());
    while (!FDatagrams.empty()) {
      const std::string& d = FDatagrams.front();
      int r = FSocket.SendDatagram(to, sizeof(evc::winsock::sockaddr_in_w), d.data(), static_cast<int>(d.size()));
      if (r < 0) {
        int e = evc::wsocket::WSAGetLastError();
        // Full: the write notification that follows room brings us back.
        if (e == evc::winsock::WSAEWOULDBLOCK) return;
        Finish(1, ErrorLine(evc::SocketErrorText(e), e));
        return;
      }
      FDatagrams.pop_front();
    }
    if (!FInputEnded)
      FInput.Resume();
    else if (!FQuiet.Running())
      FQuiet.Start(FOptions.UdpWaitMs);
  }

  void OnDatagrams() {
    evc::winsock::sockaddr_in_w from{};
    for (;;) {
      int len = sizeof(from);
      int n = FSocket.ReceiveDatagram(FBuffer.data(), static_cast<int>(FBuffer.size()),
                                      reinterpret_cast<evc::winsock::sockaddr_w*>(&from), &len);
      if (n < 0) return;
      if (n > 0 && !WriteOutput(FBuffer.data(), static_cast<size_t>(n))) return;
      // Replies keep coming: wait the full time again after this one.
      if (FInputEnded && FDatagrams.empty()) FQuiet.Start(FOptions.UdpWaitMs);
    }
  }

  const TToolOptions& FOptions;
  bool FUdp;
  TStreamSocket FSocket{nullptr};
  TInputPump FInput;
  TTimer FQuiet;
  TTimer FConnectLimit;  // --timeout
  std::vector<char> FBuffer;
  bool FInputPaused = false;
  bool FInputEnded = false;
  bool FShutDown = false;
  std::string FSocksError;
  std::string FLine;                 // UDP: the line not yet ended
  std::deque<std::string> FDatagrams;  // UDP: datagrams waiting for room
};

}  // namespace

int RunConnect(const TToolOptions& options) {
  TConnectRun run(options);
  run.Start();
  RunLoop();
  return ExitStatus();
}

}  // namespace wsock
