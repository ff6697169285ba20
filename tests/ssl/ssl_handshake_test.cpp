// Handshake verdicts of the TLS socket against real TLS peers on 127.0.0.1:
// trusted, untrusted, wrong name, expired, too old a protocol, the host's
// own verdict, and what the socket reports about the session.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <set>

#include "SslTestUtil.h"

namespace sslt {
namespace {

struct THandshakeCase {
  const char* name;
  const std::string TCerts::*cert;
  const std::string TCerts::*key;
  int peerMaxVersion;
  std::function<void(TSslWSocket&)> setup;
  int expectCode;
  int expectVerify;  // SslVerifyResult after the handshake, -1: not checked
};

TEST(SslHandshake, VerdictsOnTheServerCertificate) {
  const TCerts& c = Certs();
  auto none = [](TSslWSocket&) {};
  const std::vector<THandshakeCase> cases = {
      {"trusted", &TCerts::serverCert, &TCerts::serverKey, 0, none, 0, X509_V_OK},
      {"trusted by name", &TCerts::serverCert, &TCerts::serverKey, 0, [](TSslWSocket& s) { s.SetAddr("localhost"); },
       0, X509_V_OK},
      {"system store only", &TCerts::serverCert, &TCerts::serverKey, 0, [](TSslWSocket& s) { s.SetSslCAFile(""); },
       kSslCertNotTrusted, -1},
      {"self-signed", &TCerts::selfSignedCert, &TCerts::selfSignedKey, 0, none, kSslCertNotTrusted, -1},
      {"other host", &TCerts::otherHostCert, &TCerts::otherHostKey, 0, none, kSslHostMismatch, -1},
      {"other host named", &TCerts::otherHostCert, &TCerts::otherHostKey, 0,
       [](TSslWSocket& s) { s.SetSslServerName("elsewhere.example"); }, 0, X509_V_OK},
      {"expired", &TCerts::expiredCert, &TCerts::expiredKey, 0, none, kSslCertExpired, -1},
      {"TLS 1.0 only", &TCerts::serverCert, &TCerts::serverKey, TLS1_VERSION, none, kSslVersionTooOld, -1},
      {"insecure", &TCerts::selfSignedCert, &TCerts::selfSignedKey, 0,
       [](TSslWSocket& s) { s.SetSslVerifyPeer(false); }, 0, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
      {"host refuses", &TCerts::serverCert, &TCerts::serverKey, 0,
       [](TSslWSocket& s) { s.OnSslVerifyPeer = [](TObject*, int32_t, bool& accept) { accept = false; }; },
       kSslCertRefused, -1},
      {"host accepts expired", &TCerts::expiredCert, &TCerts::expiredKey, 0,
       [](TSslWSocket& s) {
         s.OnSslVerifyPeer = [](TObject*, int32_t result, bool& accept) {
           accept = accept || result == X509_V_ERR_CERT_HAS_EXPIRED;
         };
       },
       0, X509_V_ERR_CERT_HAS_EXPIRED},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    SSL_CTX* ctx = PeerContext(c.*tc.cert, c.*tc.key, tc.peerMaxVersion);
    TPeer peer([ctx](int fd) {
      if (SSL* ssl = AcceptTls(ctx, fd)) {
        SSL_write(ssl, "hello", 5);
        char buf[64];
        SSL_read(ssl, buf, sizeof(buf));  // until the client's close_notify
        SSL_free(ssl);
      }
      ReadUntilClosed(fd, 2000);
    });
    auto s = Client(peer.Port());
    tc.setup(*s);
    TSslRecorder rec;
    rec.Attach(*s);
    s->Connect();
    if (tc.expectCode == 0) {
      ASSERT_TRUE(PumpUntil([&] { return *rec.data == "hello" || rec.Count("closed") > 0; })) << rec.Joined();
      EXPECT_EQ(*rec.data, "hello") << rec.Joined() << " / " << s->SslErrorDetail();
      EXPECT_EQ(rec.Joined(), "handshake 0, connected 0, data");
      EXPECT_EQ(s->SslState(), sslEstablished);
      EXPECT_EQ(s->SslProtocol(), "TLSv1.3");
      EXPECT_FALSE(s->SslCipher().empty());
      EXPECT_NE(s->SslPeerSubject().find("O=evcomp"), std::string::npos) << s->SslPeerSubject();
      if (c.*tc.cert != c.selfSignedCert) {
        EXPECT_NE(s->SslPeerIssuer().find("CN=evcomp test authority"), std::string::npos);
      }
      EXPECT_LT(s->SslPeerNotBefore(), s->SslPeerNotAfter());
      EXPECT_EQ(s->SslPeerNotAfter().size(), 20u) << s->SslPeerNotAfter();
      s->Close();
      EXPECT_EQ(rec.Joined(), "handshake 0, connected 0, data, closed 0");
    } else {
      ASSERT_TRUE(PumpUntil([&] { return rec.Count("error") > 0; })) << rec.Joined();
      PumpFor(50);
      std::string code = std::to_string(tc.expectCode);
      EXPECT_EQ(rec.Joined(), "handshake " + code + ", closed " + code + ", error " + code)
          << s->SslErrorDetail();
      EXPECT_EQ(s->LastError(), tc.expectCode);
      EXPECT_FALSE(s->SslErrorDetail().empty());
      EXPECT_EQ(s->State(), wsClosed);
    }
    if (tc.expectVerify >= 0) {
      EXPECT_EQ(s->SslVerifyResult(), tc.expectVerify) << s->SslVerifyResultText();
    }
    s.reset();
    PumpUntil([&] { return peer.Done(); }, 3000);
    SSL_CTX_free(ctx);
  }
}

TEST(SslHandshake, VerifyHandlerThatClosesEndsTheSessionQuietly) {
  // The handler runs inside OpenSSL's handshake; closing there must not pull
  // the session out from under it.
  const TCerts& c = Certs();
  SSL_CTX* ctx = PeerContext(c.serverCert, c.serverKey);
  TPeer peer([ctx](int fd) {
    if (SSL* ssl = AcceptTls(ctx, fd)) SSL_free(ssl);
    ReadUntilClosed(fd, 2000);
  });
  auto s = Client(peer.Port());
  TSslRecorder rec;
  rec.Attach(*s);
  TSslWSocket* sock = s.get();
  s->OnSslVerifyPeer = [sock](TObject*, int32_t, bool&) { sock->Close(); };
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return rec.Count("closed") > 0; })) << rec.Joined();
  PumpFor(100);
  EXPECT_EQ(rec.Joined(), "closed 0");
  EXPECT_EQ(s->State(), wsClosed);
  s.reset();
  PumpUntil([&] { return peer.Done(); }, 3000);
  SSL_CTX_free(ctx);
}

TEST(SslHandshake, ErrorTextsAndCodesAreDistinct) {
  std::set<std::string> texts;
  for (int code = kSslHandshakeFailed; code <= kSslSetupFailed; ++code) texts.insert(SslErrorText(code));
  EXPECT_EQ(texts.size(), static_cast<size_t>(kSslSetupFailed - kSslHandshakeFailed + 1));
  EXPECT_EQ(SslErrorText(kSslCertNotTrusted), "certificate not trusted");
  EXPECT_EQ(SslErrorText(kSslClosedInHandshake), "peer closed during the handshake");
  EXPECT_EQ(SslErrorText(30099), "Not a TLS error");
  EXPECT_TRUE(IsSslErrorCode(30050));
  EXPECT_FALSE(IsSslErrorCode(20001));
}

TEST(SslHandshake, BadSettingsFailOnTheErrorChannel) {
  // A missing CA file, a key that does not fit, a cipher list with nothing
  // usable: each is one setup failure, no connection reported.
  const TCerts& c = Certs();
  const std::vector<std::pair<const char*, std::function<void(TSslWSocket&)>>> cases = {
      {"missing CA file", [](TSslWSocket& s) { s.SetSslCAFile("/nonexistent/ca.pem"); }},
      {"key of another certificate",
       [&](TSslWSocket& s) {
         s.SetSslCertFile(c.clientCert);
         s.SetSslKeyFile(c.serverKey);
       }},
      {"no usable cipher",
       [](TSslWSocket& s) {
         s.SetSslCiphers("NOSUCHCIPHER");
       }},
  };
  for (const auto& [name, setup] : cases) {
    SCOPED_TRACE(name);
    TPeer peer([](int fd) { ReadUntilClosed(fd, 2000); });
    auto s = Client(peer.Port());
    setup(*s);
    TSslRecorder rec;
    rec.Attach(*s);
    s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return rec.Count("error") > 0; })) << rec.Joined();
    std::string code = std::to_string(kSslSetupFailed);
    EXPECT_EQ(rec.Joined(), "handshake " + code + ", closed " + code + ", error " + code);
    EXPECT_FALSE(s->SslErrorDetail().empty());
  }
}

}  // namespace
}  // namespace sslt
