// Peers that break the protocol: each gives one error with its code, one
// close with that code, and nothing else.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include "SslTestUtil.h"

namespace sslt {
namespace {

struct TBadPeer {
  const char* name;
  std::function<void(int fd, SSL_CTX* ctx)> script;
  int expectCode;
  bool handshakeDone;  // the failure comes after a good handshake
};

void SendRaw(int fd, const std::string& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

TEST(SslBadPeer, OneErrorOneCloseNothingElse) {
  const std::vector<TBadPeer> cases = {
      {"garbage instead of a ServerHello",
       [](int fd, SSL_CTX*) {
         char hello[512];
         ::recv(fd, hello, sizeof(hello), 0);
         SendRaw(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
         ReadUntilClosed(fd);
       },
       kSslHandshakeFailed, false},
      {"close during the handshake",
       [](int fd, SSL_CTX*) {
         char hello[512];
         ::recv(fd, hello, sizeof(hello), 0);
       },
       kSslClosedInHandshake, false},
      {"half a ServerHello, then close",
       [](int fd, SSL_CTX*) {
         char hello[512];
         ::recv(fd, hello, sizeof(hello), 0);
         SendRaw(fd, std::string("\x16\x03\x03\x00\x40\x02\x00\x00", 8));
       },
       kSslClosedInHandshake, false},
      {"record too large",
       [](int fd, SSL_CTX* ctx) {
         SSL* ssl = AcceptTls(ctx, fd);
         if (!ssl) return;
         // A record header claiming 65535 bytes, far past any TLS limit.
         SendRaw(fd, std::string("\x17\x03\x03\xff\xff", 5) + std::string(64, 'x'));
         ReadUntilClosed(fd);
         SSL_free(ssl);
       },
       kSslRecordTooLarge, true},
      {"renegotiation",
       [](int fd, SSL_CTX* ctx) {
         SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
         SSL* ssl = AcceptTls(ctx, fd);
         if (!ssl) return;
         SSL_renegotiate(ssl);
         SSL_do_handshake(ssl);
         ReadUntilClosed(fd);
         SSL_free(ssl);
       },
       kSslRenegotiation, true},
  };
  const TCerts& c = Certs();
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    SSL_CTX* ctx = PeerContext(c.serverCert, c.serverKey);
    TPeer peer([&tc, ctx](int fd) { tc.script(fd, ctx); });
    auto s = Client(peer.Port());
    TSslRecorder rec;
    rec.Attach(*s, false);
    s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return rec.Count("error") > 0 && rec.Count("closed") > 0; })) << rec.Joined();
    PumpFor(100);  // nothing may follow
    const std::string code = std::to_string(tc.expectCode);
    const std::string expected = tc.handshakeDone ? "handshake 0, connected 0, closed " + code + ", error " + code
                                                  : "handshake " + code + ", closed " + code + ", error " + code;
    EXPECT_EQ(rec.Joined(), expected) << s->SslErrorDetail();
    EXPECT_EQ(s->LastError(), tc.expectCode);
    EXPECT_EQ(s->State(), wsClosed);
    EXPECT_FALSE(s->SslErrorDetail().empty());
    s.reset();
    PumpUntil([&] { return peer.Done(); }, 3000);
    SSL_CTX_free(ctx);
  }
}

}  // namespace
}  // namespace sslt
