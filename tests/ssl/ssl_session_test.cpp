// Sessions over TLS: data both ways through the send queue and line mode,
// the ends of a session (close_notify both ways, truncation), and the
// server side, where a listening socket hands accepted connections to TLS
// sockets through Dup.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "SslTestUtil.h"
#include "base/FormFile.h"
#include "base/Streams.h"

namespace sslt {
namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

TEST(SslSession, BulkBothWaysAndLinesAcrossRecords) {
  // The client sends 1 MiB; the peer answers with three lines cut across
  // records, then the whole megabyte back, then close_notify.
  const TCerts& c = Certs();
  SSL_CTX* ctx = PeerContext(c.serverCert, c.serverKey);
  const std::string bulk = Pattern(1 << 20);
  std::string peerGot;
  TPeer peer([&](int fd) {
    SSL* ssl = AcceptTls(ctx, fd);
    if (!ssl) return;
    char buf[16384];
    while (peerGot.size() < bulk.size()) {
      int n = SSL_read(ssl, buf, sizeof(buf));
      if (n <= 0) break;
      peerGot.append(buf, static_cast<size_t>(n));
    }
    for (const char* piece : {"one\r\ntw", "o\r\nthr", "ee\r\n"}) SSL_write(ssl, piece, static_cast<int>(strlen(piece)));
    SSL_write(ssl, bulk.data(), static_cast<int>(bulk.size()));
    SSL_shutdown(ssl);
    ReadUntilClosed(fd, 3000);
    SSL_free(ssl);
  });
  auto s = Client(peer.Port());
  s->SetLineMode(true);
  std::vector<std::string> lines;
  std::string rest;
  bool closed = false;
  WORD closeError = 1;
  s->OnSessionConnected = [&](TObject*, WORD e) {
    if (e == 0) s->Send(bulk.data(), static_cast<int>(bulk.size()));
  };
  s->OnDataAvailable = [&](TObject*, WORD) {
    if (s->LineMode()) {
      lines.push_back(s->ReceiveText());
      if (lines.size() == 3) s->SetLineMode(false);
      return;
    }
    char buf[65536];
    int n = s->Receive(buf, sizeof(buf));
    if (n > 0) rest.append(buf, static_cast<size_t>(n));
  };
  s->OnSessionClosed = [&](TObject*, WORD e) {
    closed = true;
    closeError = e;
  };
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return closed; }, 20000)) << rest.size();
  EXPECT_EQ(peerGot.size(), bulk.size());
  EXPECT_TRUE(peerGot == bulk);
  EXPECT_EQ(lines, (std::vector<std::string>{"one\r\n", "two\r\n", "three\r\n"}));
  EXPECT_EQ(rest.size(), bulk.size());
  EXPECT_TRUE(rest == bulk);
  EXPECT_EQ(closeError, 0) << "close_notify arrived, so this is no truncation";
  EXPECT_FALSE(s->SslTruncated());
  PumpUntil([&] { return peer.Done(); }, 3000);
  SSL_CTX_free(ctx);
}

TEST(SslSession, EndsOfASession) {
  // Who ends the session and how, and what each side sees.
  enum TEnd { clientCloses, peerNotifies, peerJustCloses };
  struct TCase {
    const char* name;
    TEnd end;
    WORD expectClose;
    bool truncated;
    bool peerSawNotify;
  };
  const std::vector<TCase> cases = {
      {"client Close sends close_notify", clientCloses, 0, false, true},
      {"peer's close_notify", peerNotifies, 0, false, false},
      {"peer closes without close_notify", peerJustCloses, kSslTruncated, true, false},
  };
  const TCerts& c = Certs();
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    SSL_CTX* ctx = PeerContext(c.serverCert, c.serverKey);
    std::atomic<bool> sawNotify{false};
    TPeer peer([&](int fd) {
      SSL* ssl = AcceptTls(ctx, fd);
      if (!ssl) return;
      SSL_write(ssl, "last words", 10);
      if (tc.end == peerNotifies) SSL_shutdown(ssl);
      if (tc.end == clientCloses) {
        char buf[64];
        int n = SSL_read(ssl, buf, sizeof(buf));
        sawNotify = n <= 0 && SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
        ReadUntilClosed(fd, 2000);
      }
      SSL_free(ssl);
    });
    auto s = Client(peer.Port());
    TSslRecorder rec;
    rec.Attach(*s);
    s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return *rec.data == "last words"; })) << rec.Joined();
    if (tc.end == clientCloses) s->Close();
    ASSERT_TRUE(PumpUntil([&] { return rec.Count("closed") > 0; })) << rec.Joined();
    PumpUntil([&] { return peer.Done(); }, 3000);
    EXPECT_EQ(rec.Joined(), "handshake 0, connected 0, data, closed " + std::to_string(tc.expectClose));
    EXPECT_EQ(s->SslTruncated(), tc.truncated);
    EXPECT_EQ(sawNotify.load(), tc.peerSawNotify);
    s.reset();
    SSL_CTX_free(ctx);
  }
}

TEST(SslSession, ShutdownSendsCloseNotifyAndReadingGoesOn) {
  // Shutdown(1) ends our side with close_notify; the peer may still answer.
  const TCerts& c = Certs();
  SSL_CTX* ctx = PeerContext(c.serverCert, c.serverKey);
  std::atomic<bool> sawNotify{false};
  TPeer peer([&](int fd) {
    SSL* ssl = AcceptTls(ctx, fd);
    if (!ssl) return;
    char buf[64];
    std::string got;
    int n;
    while ((n = SSL_read(ssl, buf, sizeof(buf))) > 0) got.append(buf, static_cast<size_t>(n));
    sawNotify = got == "question" && SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
    SSL_write(ssl, "answer after your end", 21);
    SSL_shutdown(ssl);
    ReadUntilClosed(fd, 2000);
    SSL_free(ssl);
  });
  auto s = Client(peer.Port());
  TSslRecorder rec;
  rec.Attach(*s);
  TSslWSocket* sock = s.get();
  s->OnSessionConnected = [&, sock](TObject*, WORD) {
    sock->SendText("question");
    sock->Shutdown(1);
  };
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return rec.Count("closed") > 0; })) << rec.Joined();
  EXPECT_TRUE(sawNotify.load());
  EXPECT_EQ(*rec.data, "answer after your end");
  EXPECT_EQ(rec.Joined(), "handshake 0, data, closed 0");
  s.reset();
  PumpUntil([&] { return peer.Done(); }, 3000);
  SSL_CTX_free(ctx);
}

TEST(SslSession, ServerSideEchoWithClientCertificates) {
  // A listening socket hands each connection to a TLS socket through Dup;
  // the server asks for a client certificate from the test authority.
  struct TCase {
    const char* name;
    bool clientHasCert;
    int serverError;
  };
  const std::vector<TCase> cases = {
      {"client with certificate", true, 0},
      {"client without certificate", false, kSslCertNotTrusted},
  };
  const TCerts& c = Certs();
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    DAVidavi listener(nullptr);
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    std::unique_ptr<TSslWSocket> server;
    TSslRecorder srec;
    std::string subject;
    listener.OnSessionAvailable = [&](TObject*, WORD) {
      server = std::make_unique<TSslWSocket>(nullptr);
      server->SetSslEnable(true);
      server->SetSslCertFile(c.serverCert);
      server->SetSslKeyFile(c.serverKey);
      server->SetSslCAFile(c.caCert);
      srec.Attach(*server, false);
      TSslWSocket* sv = server.get();
      sv->OnSslHandshakeDone = [&, sv](TObject*, WORD e) {
        srec.log.push_back("handshake " + std::to_string(e));
        subject = sv->SslPeerSubject();
      };
      sv->OnDataAvailable = [sv](TObject*, WORD) {
        std::string t = sv->ReceiveText();
        if (!t.empty()) sv->SendText(t);
      };
      server->Dup(listener.Accept());
    };
    listener.Listen();
    auto client = Client(std::stoi(listener.BoundPort()));
    if (tc.clientHasCert) {
      client->SetSslCertFile(c.clientCert);
      client->SetSslKeyFile(c.clientKey);
    }
    TSslRecorder crec;
    crec.Attach(*client);
    client->OnSessionConnected = [&](TObject*, WORD e) {
      crec.log.push_back("connected " + std::to_string(e));
      if (e == 0) client->SendText("ping\r\n");
    };
    client->Connect();
    if (tc.serverError == 0) {
      ASSERT_TRUE(PumpUntil([&] { return *crec.data == "ping\r\n"; })) << crec.Joined() << " | " << srec.Joined();
      EXPECT_EQ(srec.Joined(), "handshake 0");
      EXPECT_NE(subject.find("CN=evcomp test client"), std::string::npos) << subject;
      client->Close();
      ASSERT_TRUE(PumpUntil([&] { return srec.Count("closed") > 0; })) << srec.Joined();
      EXPECT_EQ(srec.Joined(), "handshake 0, closed 0");
    } else {
      ASSERT_TRUE(PumpUntil([&] { return srec.Count("error") > 0; })) << srec.Joined();
      const std::string code = std::to_string(tc.serverError);
      EXPECT_EQ(srec.Joined(), "handshake " + code + ", closed " + code + ", error " + code)
          << server->SslErrorDetail();
      // The client learns of it from the server's alert, whatever its phase.
      ASSERT_TRUE(PumpUntil([&] { return crec.Count("closed") > 0; })) << crec.Joined();
      EXPECT_EQ(crec.Count("error"), 1) << crec.Joined();
    }
  }
}

TEST(SslSession, SettingsAreStoredInFormFiles) {
  TSslWSocket s(nullptr);
  s.SetName("Tls1");
  s.SetSslEnable(true);
  s.SetSslCAFile("/etc/ca.pem");
  s.SetSslMinVersion(sslTLSv1_3);
  s.SetSslVerifyPeer(false);
  s.SetSslServerName("example.org");
  s.SetSslCipherSuites("TLS_AES_256_GCM_SHA384");
  TMemoryStream out;
  WriteComponent(out, s);
  std::string text(reinterpret_cast<const char*>(out.Memory()), static_cast<size_t>(out.Size()));
  EXPECT_NE(text.find("SslMinVersion = sslTLSv1_3"), std::string::npos) << text;
  EXPECT_EQ(text.find("SslProtocol"), std::string::npos) << "results are not stored";
  EXPECT_EQ(text.find("SslVerifyDepth"), std::string::npos) << "defaults are not written";
  out.SetPosition(0);
  std::unique_ptr<TComponent> back(ReadComponent(out, nullptr));
  auto* t = dynamic_cast<TSslWSocket*>(back.get());
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->SslEnable());
  EXPECT_EQ(t->SslCAFile(), "/etc/ca.pem");
  EXPECT_EQ(t->SslMinVersion(), sslTLSv1_3);
  EXPECT_FALSE(t->SslVerifyPeer());
  EXPECT_EQ(t->SslServerName(), "example.org");
  EXPECT_EQ(t->SslCipherSuites(), "TLS_AES_256_GCM_SHA384");
  EXPECT_EQ(t->SslVerifyDepth(), 10);
}

}  // namespace
}  // namespace sslt
