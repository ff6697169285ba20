// THttpsCli against real peers on 127.0.0.1: nginx over https, relocations
// between http and https, a CONNECT tunnel through tinyproxy, TLS inside
// Dante's SOCKS 5, and what a failed handshake or a cut transfer ends the
// request with.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <memory>

#include "../../bench/LoopbackNginx.h"
#include "SslTestUtil.h"
#include "common/DanteConfig.h"
#include "common/Noise.h"
#include "common/Tinyproxy.h"
#include "ssl/HttpsCli.h"

namespace sslt {
namespace {

struct TOutcome {
  bool done = false;
  WORD error = 0;
  std::string body;
  std::vector<std::string> locations;
};

// One GET to its end (or the time limit); false when it did not end.
bool Fetch(THttpCli& c, const std::string& url, TOutcome& out) {
  out = TOutcome();
  c.SetURL(url);
  c.OnDocData = [&out](TObject*, const void* p, int32_t n) { out.body.append(static_cast<const char*>(p), n); };
  c.OnLocationChange = [&out, &c](TObject*) { out.locations.push_back(c.Location()); };
  c.OnRequestDone = [&out](TObject*, THttpRequest, WORD e) {
    out.done = true;
    out.error = e;
  };
  c.RequestAsync(hrGet);
  return PumpUntil([&] { return out.done; }, 20000);
}

std::unique_ptr<THttpsCli> TrustingClient() {
  auto c = std::make_unique<THttpsCli>(nullptr);
  c->SetSslCAFile(Certs().caCert);
  return c;
}

class HttpsNginx : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (evcpeer::NginxProgram().empty()) return;
    Server = std::make_unique<evcpeer::TLoopbackNginx>(
        "absolute_redirect off;\n"
        "location = /to-https { return 302 https://127.0.0.1:@TLSPORT@/hop; }\n"
        "location = /hop { return 301 http://127.0.0.1:@PORT@/small.txt; }\n"
        "location = /rel { return 302 /small.txt; }\n"
        "location = /missing { return 404 'none here'; }\n");
    Server->EnableTls(Certs().serverCert, Certs().serverKey);
    std::vector<uint8_t> noise = testdata::Noise(1024 * 1024 + 7, 12);
    Document.assign(noise.begin(), noise.end());
    Server->WriteDocument("/doc.bin", Document);
    Server->WriteDocument("/small.txt", "hello over tls\n");
    if (!Server->Start()) StartError = Server->Error();
  }
  static void TearDownTestSuite() { Server.reset(); }
  void SetUp() override {
    if (!Server) GTEST_SKIP() << "nginx is not installed (scripts/install-deps installs it)";
    ASSERT_TRUE(StartError.empty()) << StartError;
  }
  static std::unique_ptr<evcpeer::TLoopbackNginx> Server;
  static std::string Document;
  static std::string StartError;
};
std::unique_ptr<evcpeer::TLoopbackNginx> HttpsNginx::Server;
std::string HttpsNginx::Document;
std::string HttpsNginx::StartError;

TEST_F(HttpsNginx, FetchesOverTlsAndFollowsRelocationsBetweenSchemes) {
  auto c = TrustingClient();
  TOutcome out;
  ASSERT_TRUE(Fetch(*c, Server->TlsUrl("/doc.bin"), out));
  EXPECT_EQ(out.error, 0) << c->StatusText();
  EXPECT_EQ(c->HttpStatus(), 200);
  EXPECT_EQ(c->TargetScheme(), "https");
  EXPECT_TRUE(out.body == Document) << "got " << out.body.size() << " bytes";
  EXPECT_EQ(c->SslSocket()->SslProtocol().rfind("TLSv1.", 0), 0u) << c->SslSocket()->SslProtocol();
  EXPECT_EQ(c->SslSocket()->SslVerifyResult(), 0);

  struct {
    std::string url;
    std::vector<std::string> locations;
    std::string finalScheme;
  } cases[] = {
      // http -> https -> http, each hop on its own port and transport
      // (Location names no port, as for plain http).
      {Server->Url("/to-https"), {"https://127.0.0.1/hop", "http://127.0.0.1/small.txt"}, "http"},
      // A path-only location stays on TLS.
      {Server->TlsUrl("/rel"), {"https://127.0.0.1/small.txt"}, "https"},
  };
  for (const auto& k : cases) {
    ASSERT_TRUE(Fetch(*c, k.url, out)) << k.url;
    EXPECT_EQ(out.error, 0) << k.url << ": " << c->StatusText();
    EXPECT_EQ(c->HttpStatus(), 200) << k.url;
    EXPECT_EQ(out.body, "hello over tls\n") << k.url;
    EXPECT_EQ(out.locations, k.locations) << k.url;
    EXPECT_EQ(c->TargetScheme(), k.finalScheme) << k.url;
  }
}

TEST_F(HttpsNginx, Http11KeepsTheTlsConnectionForTheNextRequest) {
  auto c = TrustingClient();
  c->SetRequestVer("1.1");
  TOutcome out;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(Fetch(*c, Server->TlsUrl(i == 1 ? "/doc.bin" : "/small.txt"), out));
    EXPECT_EQ(out.error, 0) << c->StatusText();
    EXPECT_EQ(c->ConnectionReused(), i > 0);
    EXPECT_TRUE(out.body == (i == 1 ? Document : std::string("hello over tls\n")));
  }
  // The plain port is another place: its request opens a connection of its own.
  ASSERT_TRUE(Fetch(*c, Server->Url("/small.txt"), out));
  EXPECT_EQ(out.error, 0) << c->StatusText();
  EXPECT_FALSE(c->ConnectionReused());
  EXPECT_EQ(c->TargetScheme(), "http");
}

TEST_F(HttpsNginx, OnlyTheHostsChoiceSkipsTheCertificateVerdict) {
  struct {
    const char* name;
    std::string caFile;
    bool verify;
    std::string host;
    WORD error;
  } cases[] = {
      {"system store only", "", true, "127.0.0.1", kSslCertNotTrusted},
      {"insecure by choice", "", false, "127.0.0.1", 0},
      {"our authority, name", Certs().caCert, true, "localhost", 0},
      {"self-signed authority", Certs().selfSignedCert, true, "127.0.0.1", kSslCertNotTrusted},
  };
  for (const auto& k : cases) {
    THttpsCli c(nullptr);
    c.SetSslCAFile(k.caFile);
    c.SetSslVerifyPeer(k.verify);
    TOutcome out;
    ASSERT_TRUE(Fetch(c, "https://" + k.host + ":" + std::to_string(Server->TlsPort()) + "/small.txt", out));
    EXPECT_EQ(out.error, k.error) << k.name << ": " << c.StatusText();
    if (k.error == 0) {
      EXPECT_EQ(out.body, "hello over tls\n") << k.name;
    } else {
      EXPECT_EQ(out.body, "") << k.name;
      EXPECT_EQ(c.HttpStatus(), 404) << k.name;
      EXPECT_EQ(c.StatusText().rfind(SslErrorText(k.error), 0), 0u) << k.name << ": " << c.StatusText();
    }
  }
  // The plain client names what it lacks instead of sending http to port 443.
  THttpCli plain(nullptr);
  TOutcome out;
  ASSERT_TRUE(Fetch(plain, Server->TlsUrl("/small.txt"), out));
  EXPECT_EQ(out.error, httpErrNoTls);
  EXPECT_EQ(out.body, "");
  // Nor does it follow a relocation to https over plain http.
  ASSERT_TRUE(Fetch(plain, Server->Url("/to-https"), out));
  EXPECT_EQ(out.error, httpErrNoTls);
  EXPECT_EQ(out.locations, std::vector<std::string>{"https://127.0.0.1/hop"});
  EXPECT_EQ(plain.TargetScheme(), "https");
}

TEST_F(HttpsNginx, ThroughTinyproxyWithConnectAndProxyAuthentication) {
  if (loopback::FindProgram("tinyproxy").empty()) GTEST_SKIP() << "tinyproxy is not installed";
  loopback::TTempDir dir;
  loopback::TLoopbackPeer proxy;
  int port = 0;
  ASSERT_TRUE(loopback::StartTinyproxy(proxy, dir, port, "BasicAuth puser ppass\n")) << proxy.Log();
  auto c = TrustingClient();
  c->SetProxy("127.0.0.1");
  c->SetProxyPort(std::to_string(port));
  TOutcome out;
  // Refused without credentials: the proxy's status, no TLS, no document.
  ASSERT_TRUE(Fetch(*c, Server->TlsUrl("/small.txt"), out));
  EXPECT_EQ(out.error, httpErrTunnelRefused);
  EXPECT_EQ(c->HttpStatus(), 407);
  EXPECT_EQ(out.body, "");
  EXPECT_EQ(c->SslSocket()->SslProtocol(), "");

  c->SetProxyUsername("puser");
  c->SetProxyPassword("ppass");
  ASSERT_TRUE(Fetch(*c, Server->TlsUrl("/doc.bin"), out)) << proxy.Log();
  EXPECT_EQ(out.error, 0) << c->StatusText() << proxy.Log();
  EXPECT_TRUE(out.body == Document) << "got " << out.body.size() << " bytes";
  // Forwarded http, then a tunnel for the https hop, then forwarded again.
  ASSERT_TRUE(Fetch(*c, Server->Url("/to-https"), out));
  EXPECT_EQ(out.error, 0) << c->StatusText();
  EXPECT_EQ(out.body, "hello over tls\n");
  EXPECT_EQ(out.locations.size(), 2u);
  // An error status inside the tunnel is the server's, not the proxy's.
  ASSERT_TRUE(Fetch(*c, Server->TlsUrl("/missing"), out));
  EXPECT_EQ(out.error, 0);
  EXPECT_EQ(c->HttpStatus(), 404);
}

TEST_F(HttpsNginx, TlsInsideDantesSocksTunnel) {
  std::string danted = loopback::FindProgram("danted");
  if (danted.empty()) GTEST_SKIP() << "danted is not installed";
  loopback::TTempDir dir;
  loopback::TLoopbackPeer proxy;
  int port = 0;
  ASSERT_TRUE(loopback::StartDante(proxy, dir, port)) << proxy.Log();
  auto c = TrustingClient();
  c->SetSocksServer("127.0.0.1");
  c->SetSocksPort(std::to_string(port));
  TOutcome out;
  ASSERT_TRUE(Fetch(*c, Server->TlsUrl("/doc.bin"), out));
  EXPECT_EQ(out.error, 0) << c->StatusText() << proxy.Log();
  EXPECT_TRUE(out.body == Document) << "got " << out.body.size() << " bytes";
  EXPECT_NE(c->SslSocket()->SslCipher(), "");
}

TEST(HttpsTunnelReply, VerdictsOnWhatAProxyAnswers) {
  struct {
    std::string bytes;
    TTunnelReply::TVerdict verdict;
    int status;
    size_t lines;
  } cases[] = {
      {"HTTP/1.0 200 Connection established\r\nProxy-agent: tinyproxy\r\n\r\n", TTunnelReply::trOpen, 200, 2},
      {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n<html>",
       TTunnelReply::trRefused, 407, 2},
      {"HTTP/1.0 200 OK\n\n\x16\x03\x01", TTunnelReply::trExtraBytes, 200, 1},
      {"HTTP/1.0 200 OK\r\n", TTunnelReply::trIncomplete, 0, 0},
      {"SSH-2.0-OpenSSH_9.2\r\n\r\n", TTunnelReply::trMalformed, 0, 1},
      {"HTTP/1.0 2x0 OK\r\n\r\n", TTunnelReply::trMalformed, 0, 1},
      {"\r\n\r\n", TTunnelReply::trMalformed, 0, 0},
      {std::string(TTunnelReply::kLimit + 1, 'a'), TTunnelReply::trTooLong, 0, 0},
  };
  for (const auto& k : cases) {
    TTunnelReply whole, bytewise;
    whole.Take(k.bytes.data(), k.bytes.size());
    // Extra bytes in a later piece are the handshake's to meet, not the reply's.
    const size_t feed = k.verdict == TTunnelReply::trExtraBytes ? k.bytes.size() : 1;
    for (size_t i = 0; i < k.bytes.size(); i += feed) bytewise.Take(k.bytes.data() + i, std::min(feed, k.bytes.size() - i));
    for (const TTunnelReply* r : {&whole, &bytewise}) {
      EXPECT_EQ(r->Verdict(), k.verdict) << k.bytes.substr(0, 40);
      EXPECT_EQ(r->Status(), k.status) << k.bytes.substr(0, 40);
      EXPECT_EQ(r->Lines().size(), k.lines) << k.bytes.substr(0, 40);
    }
  }
}

// Peers that misbehave in one way each; the request ends with the code
// that names it, and a cut document is never reported as complete.
TEST(HttpsPeer, FailuresAndTruncationEndTheRequestWithTheirCode) {
  const TCerts& k = Certs();
  enum TEnd { endNone, endCloseNotify, endBare };
  struct {
    const char* name;
    std::string cert, key;
    bool plainGarbage;
    TEnd end;
    WORD error;
    std::string body;
  } cases[] = {
      {"complete", k.serverCert, k.serverKey, false, endCloseNotify, 0, "whole"},
      {"truncated", k.serverCert, k.serverKey, false, endBare, static_cast<WORD>(kSslTruncated), "whole"},
      {"expired", k.expiredCert, k.expiredKey, false, endNone, static_cast<WORD>(kSslCertExpired), ""},
      {"other host", k.otherHostCert, k.otherHostKey, false, endNone, static_cast<WORD>(kSslHostMismatch), ""},
      {"plain http reply", "", "", true, endNone, static_cast<WORD>(kSslHandshakeFailed), ""},
  };
  for (const auto& t : cases) {
    SSL_CTX* ctx = t.plainGarbage ? nullptr : PeerContext(t.cert, t.key);
    TPeer peer([&](int fd) {
      if (t.plainGarbage) {
        ReadUntilClosed(fd, 200);
        static const char reply[] = "HTTP/1.0 200 OK\r\n\r\nnot tls at all";
        (void)!::write(fd, reply, sizeof(reply) - 1);
        ReadUntilClosed(fd, 2000);
        return;
      }
      SSL* ssl = AcceptTls(ctx, fd);
      if (!ssl) return;
      char buf[2048];
      SSL_read(ssl, buf, sizeof(buf));
      static const char reply[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nwhole";
      SSL_write(ssl, reply, sizeof(reply) - 1);
      if (t.end == endCloseNotify) SSL_shutdown(ssl);
      SSL_free(ssl);  // endBare: the connection just ends
    });
    auto c = TrustingClient();
    TOutcome out;
    ASSERT_TRUE(Fetch(*c, "https://127.0.0.1:" + std::to_string(peer.Port()) + "/", out)) << t.name;
    EXPECT_EQ(out.error, t.error) << t.name << ": " << c->StatusText() << " / " << c->SslSocket()->SslErrorDetail();
    EXPECT_EQ(out.body, t.body) << t.name;
    EXPECT_EQ(c->SslSocket()->SslTruncated(), t.end == endBare) << t.name;
    PumpUntil([&] { return peer.Done(); }, 3000);
    if (ctx) SSL_CTX_free(ctx);
  }
}

}  // namespace
}  // namespace sslt
