// Arbitrary proxy replies, cut into arbitrary pieces, fed to a socket that
// connects through a "proxy" on 127.0.0.1 played by this program. Whatever
// arrives, the layer stays inside its buffers, the events keep their order
// (no data before the session is connected, a SOCKS error always followed
// by the session's end) and every byte behind a final reply reaches the
// application, in order, exactly once.
//
// Input: one byte of settings (level, offered method, how the application
// reads), then pieces, each a length byte and that many bytes; a length of
// 0 makes the proxy close its side.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzLoopback.h"
#include "socket/DAVidavi.h"

namespace {

using namespace evc;

using fuzzloop::Check;
using fuzzloop::Listener;
using fuzzloop::Settle;

struct TRun {
  std::vector<std::string> events;
  std::string received;
  bool connected = false;  // OnSessionConnected(0) seen
  bool closed = false;
  int socksError = 0;
  int32_t readCountAtClose = -1;
  int32_t heldAtClose = -1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t settings = data[0];
  const char* levels[] = {"5", "4", "4A"};
  const std::string level = levels[settings % 3];
  const bool offerPassword = settings & 0x04;
  const int reader = (settings >> 3) & 3;  // 0 all, 1 one byte a call, 2 no handler, 3 also in connected

  int port = 0;
  int listenFd = Listener(&port);
  TRun run;
  std::string stream;  // every byte the proxy sent
  int conn = -1;
  {
    DAVidavi s(nullptr);
    s.OnSocksError = [&](TObject*, int32_t e, const std::string&) {
      Check(!run.connected && run.socksError == 0);
      run.socksError = e;
      run.events.push_back("error");
    };
    s.OnSessionConnected = [&](TObject*, WORD e) {
      if (e == 0) {
        Check(run.socksError == 0 && !run.connected);
        run.connected = true;
        Check(s.RcvdCount() >= 0);
        if (reader == 3) {
          char b[3];
          int n = s.Receive(b, sizeof(b));
          if (n > 0) run.received.append(b, static_cast<size_t>(n));
        }
      } else if (run.socksError != 0) {
        Check(e == static_cast<WORD>(run.socksError));
      }
      run.events.push_back("connected");
    };
    if (reader != 2)
      s.OnDataAvailable = [&](TObject*, WORD) {
        Check(run.connected);
        char b[512];
        int n;
        if (reader == 1) {
          if ((n = s.Receive(b, 1)) > 0) run.received.append(b, 1);
          return;
        }
        while ((n = s.Receive(b, sizeof(b))) > 0) run.received.append(b, static_cast<size_t>(n));
      };
    s.OnSessionClosed = [&](TObject*, WORD e) {
      if (run.socksError != 0 && run.socksError != 20017) Check(e == static_cast<WORD>(run.socksError));
      run.closed = true;
      run.readCountAtClose = s.ReadCount();
      run.heldAtClose = s.SocksHeldCount();
    };
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(port));
    s.SetSocksLevel(level);
    s.SetSocksUsercode("fuzz");
    s.SetSocksPassword("pw");
    s.SetSocksAuthentication(offerPassword ? socksAuthenticateUsercode : socksNoAuthentication);
    s.SetAddr("localhost");
    s.SetPort("80");
    s.Connect();

    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, 2000) > 0) conn = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    Check(conn >= 0);
    int one = 1;
    ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    // The first request is out once the layer has seen the proxy accept.
    Settle([&] { return s.State() == wsConnected; });

    auto pending = [&] {
      winsock::u_long n = 0;
      if (s.HSocket() == winsock::INVALID_SOCKET) return false;
      return wsocket::ioctlsocket(s.HSocket(), winsock::FIONREAD_W, &n) == 0 && n > 0;
    };
    auto drainRequests = [&] {
      char b[1024];
      while (::recv(conn, b, sizeof(b), MSG_DONTWAIT) > 0) {
      }
    };
    size_t i = 1, len = 0;
    const uint8_t* piece = nullptr;
    bool finished = false;
    while (!finished && s.State() != wsClosed && fuzzloop::NextPiece(data, size, i, piece, len)) {
      if (len == 0) {
        ::shutdown(conn, SHUT_WR);
        finished = true;
      } else {
        ::send(conn, piece, len, MSG_NOSIGNAL);
        stream.append(reinterpret_cast<const char*>(piece), len);
      }
      // Reader 2 drops data unread; the others must take all of it.
      Settle([&] { return s.State() == wsClosed || !pending(); }, finished ? 300 : 100);
      drainRequests();
    }
    // Never past the block.
    Check(s.SocksHeldCount() >= 0 && s.SocksHeldCount() < 128);
    if (run.connected && reader != 2) {
      if (s.State() == wsConnected) Settle([&] { return !pending() && s.SocksHeldCount() == 0; });
      bool open = s.State() == wsConnected;
      int32_t readCount = open ? s.ReadCount() : run.readCountAtClose;
      int32_t held = open ? s.SocksHeldCount() : run.heldAtClose;
      // Nothing lost, nothing twice, nothing out of order: the application
      // holds the tail of the stream, and every byte is counted once.
      Check(held == 0);
      Check(run.received.size() <= stream.size());
      Check(stream.compare(stream.size() - run.received.size(), std::string::npos, run.received) == 0);
      Check(readCount == static_cast<int32_t>(stream.size()));
    }
    if (run.socksError != 0) Check(s.State() == wsClosed);
  }
  if (conn >= 0) ::close(conn);
  return 0;
}
