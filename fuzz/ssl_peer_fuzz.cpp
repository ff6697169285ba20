// Arbitrary peer bytes, cut into arbitrary pieces, fed to a TLS client
// socket that connects to a "server" on 127.0.0.1 played by this program:
// either in place of the server's handshake, or after a real handshake as
// raw bytes in the record stream, or as the plaintext of genuine records of
// the pieces' sizes. Whatever arrives, the socket reports at most one error
// and one close, in that order after the handshake's own event, never data
// before the session is connected, never plaintext that no genuine record
// carried, and every byte of genuine records exactly once, in order.
//
// Input: one byte of settings (mode, how the application reads), then
// pieces, each a length byte and that many bytes; a length of 0 makes the
// server close its side.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzLoopback.h"
#include "ssl/SslCertMaker.h"
#include "ssl/SslWSocket.h"

namespace {

using namespace evc;

using fuzzloop::Check;
using fuzzloop::Listener;
using fuzzloop::Settle;

// A certificate for 127.0.0.1 and a server context, made once.
struct TServer {
  TLoopbackCertificates certs;
  SSL_CTX* ctx = nullptr;
  TServer() {
    char tmpl[] = "/tmp/evc-ssl-fuzz.XXXXXX";
    certs = MakeLoopbackCertificates(::mkdtemp(tmpl), "fuzz authority");
    ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx, certs.CertFile.c_str());
    SSL_CTX_use_PrivateKey_file(ctx, certs.KeyFile.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_num_tickets(ctx, 0);
  }
};
const TServer& Server() {
  static TServer s;
  return s;
}

enum TMode { rawHandshake = 0, rawRecords = 1, genuineRecords = 2 };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const auto mode = static_cast<TMode>(data[0] % 3);
  const int reader = (data[0] >> 2) & 3;  // 0 all, 1 one byte a call, 2 no handler, 3 line mode
  const TServer& server = Server();
  int port = 0;
  int listenFd = Listener(&port);
  int errors = 0, closes = 0, handshakes = 0;
  bool connected = false, handshakeOk = false;
  std::string received, genuine;
  int conn = -1;
  SSL* peer = nullptr;
  {
    TSslWSocket s(nullptr);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.SetSslEnable(true);
    s.SetSslCAFile(server.certs.CAFile);
    if (reader == 3) s.SetLineMode(true);
    s.OnSslHandshakeDone = [&](TObject*, WORD e) {
      Check(++handshakes == 1 && closes == 0 && errors == 0);
      handshakeOk = e == 0;
      Check(e == 0 || IsSslErrorCode(e));
    };
    s.OnSessionConnected = [&](TObject*, WORD e) {
      Check(e == 0 && handshakeOk && !connected && closes == 0);
      connected = true;
    };
    s.OnError = [&](TObject*) {
      Check(++errors == 1 && closes == 1 && IsSslErrorCode(s.LastError()));
    };
    s.OnSessionClosed = [&](TObject*, WORD) { Check(++closes == 1 && errors == 0); };
    if (reader != 2)
      s.OnDataAvailable = [&](TObject*, WORD) {
        Check(connected);
        char b[512];
        int n;
        if (reader == 1) {
          if ((n = s.Receive(b, 1)) > 0) received.append(b, 1);
          return;
        }
        while ((n = s.Receive(b, sizeof(b))) > 0) received.append(b, static_cast<size_t>(n));
      };
    s.Connect();

    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, 2000) > 0) conn = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    Check(conn >= 0);
    int one = 1;
    ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (mode != rawHandshake) {
      peer = SSL_new(server.ctx);
      SSL_set_fd(peer, conn);
      SSL_set_accept_state(peer);
      bool done = false;
      Settle(
          [&] {
            if (!done) done = SSL_do_handshake(peer) == 1;
            return done && connected;
          },
          2000);
      Check(done && connected);
    } else {
      Settle([&] { return s.State() == wsConnected; });
    }

    size_t i = 1, len = 0;
    const uint8_t* piece = nullptr;
    bool finished = false;
    while (!finished && s.State() != wsClosed && fuzzloop::NextPiece(data, size, i, piece, len)) {
      if (len == 0) {
        ::shutdown(conn, SHUT_WR);
        finished = true;
      } else if (mode == genuineRecords) {
        Check(SSL_write(peer, piece, static_cast<int>(len)) == static_cast<int>(len));
        genuine.append(reinterpret_cast<const char*>(piece), len);
      } else {
        ::send(conn, piece, len, MSG_NOSIGNAL);
      }
      Settle([&] { return s.State() == wsClosed || (mode == genuineRecords && received.size() >= genuine.size()); },
             finished ? 300 : 30);
      char b[1024];
      while (::recv(conn, b, sizeof(b), MSG_DONTWAIT) > 0) {
      }
    }
    Settle([&] { return s.State() == wsClosed || errors > 0; }, 20);
    if (mode == genuineRecords && reader != 2 && reader != 3)
      Settle([&] { return received.size() >= genuine.size() || errors > 0; }, 300);
    Check(errors <= 1 && closes <= 1 && handshakes <= 1);
    if (errors == 1) Check(s.State() == wsClosed);
    if (mode == rawRecords) Check(received.empty());
    if (mode == genuineRecords && reader != 2 && errors == 0) {
      if (reader == 3) {
        // Line mode keeps an unterminated tail; what was handed out is a prefix.
        Check(genuine.compare(0, received.size(), received) == 0);
      } else {
        Check(received == genuine);
      }
    }
  }
  if (peer) SSL_free(peer);
  if (conn >= 0) ::close(conn);
  return 0;
}
