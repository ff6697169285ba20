// TLS inside a SOCKS 5 tunnel through a real Dante on 127.0.0.1: the
// handshake starts once the proxy has connected, and line mode sees the
// plaintext lines.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "SslTestUtil.h"
#include "common/DanteConfig.h"

namespace sslt {
namespace {

TEST(SslProxy, TlsLinesThroughDante) {
  std::string danted = loopback::FindProgram("danted");
  if (danted.empty()) GTEST_SKIP() << "danted is not installed (scripts/install-deps installs it)";
  loopback::TTempDir dir;
  loopback::TLoopbackPeer proxy;
  int proxyPort = 0;
  ASSERT_TRUE(loopback::StartDante(proxy, dir, proxyPort)) << proxy.Log();

  const TCerts& c = Certs();
  SSL_CTX* ctx = PeerContext(c.serverCert, c.serverKey);
  std::string peerGot;
  TPeer peer([&](int fd) {
    SSL* ssl = AcceptTls(ctx, fd);
    if (!ssl) return;
    SSL_write(ssl, "first line\r\nsecond ", 19);
    SSL_write(ssl, "line\r\n", 6);
    char buf[256];
    int n = SSL_read(ssl, buf, sizeof(buf));
    if (n > 0) peerGot.assign(buf, static_cast<size_t>(n));
    SSL_shutdown(ssl);
    ReadUntilClosed(fd, 2000);
    SSL_free(ssl);
  });

  auto s = Client(peer.Port());
  s->SetSocksServer("127.0.0.1");
  s->SetSocksPort(std::to_string(proxyPort));
  s->SetLineMode(true);
  std::vector<std::string> lines;
  std::vector<std::string> events;
  s->OnSocksConnected = [&](TObject*, WORD e) { events.push_back("socks " + std::to_string(e)); };
  s->OnSslHandshakeDone = [&](TObject*, WORD e) { events.push_back("handshake " + std::to_string(e)); };
  s->OnSessionConnected = [&](TObject*, WORD e) { events.push_back("connected " + std::to_string(e)); };
  s->OnDataAvailable = [&](TObject*, WORD) {
    lines.push_back(s->ReceiveText());
    if (lines.size() == 2) s->SendText("thanks\r\n");
  };
  s->OnSessionClosed = [&](TObject*, WORD e) { events.push_back("closed " + std::to_string(e)); };
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return !events.empty() && events.back().rfind("closed", 0) == 0; }, 10000))
      << ::testing::PrintToString(events) << " " << s->SslErrorDetail();
  EXPECT_EQ(events, (std::vector<std::string>{"socks 0", "handshake 0", "connected 0", "closed 0"}));
  EXPECT_EQ(lines, (std::vector<std::string>{"first line\r\n", "second line\r\n"}));
  PumpUntil([&] { return peer.Done(); }, 3000);
  EXPECT_EQ(peerGot, "thanks\r\n");
  SSL_CTX_free(ctx);
}

}  // namespace
}  // namespace sslt
