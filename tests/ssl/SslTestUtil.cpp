#include "SslTestUtil.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include "ssl/SslCertMaker.h"

namespace sslt {

TCerts::TCerts() {
  auto pair = [&](const std::string& name, std::string& cert, std::string& key) {
    cert = dir.File(name + ".pem");
    key = dir.File(name + ".key");
  };
  pair("expired", expiredCert, expiredKey);
  pair("otherhost", otherHostCert, otherHostKey);
  pair("selfsigned", selfSignedCert, selfSignedKey);
  pair("client", clientCert, clientKey);
  TLoopbackCertificates made = MakeLoopbackCertificates(dir.Path(), "evcomp test authority");
  caCert = made.CAFile, caKey = made.CAKey, serverCert = made.CertFile, serverKey = made.KeyFile;
  TCertRequest server;
  server.CommonName = "localhost";
  server.DnsNames = {"localhost"};
  server.IpAddresses = {"127.0.0.1"};
  TCertRequest expired = server;
  expired.NotBefore = -10L * 24 * 3600;
  expired.NotAfter = -24L * 3600;
  MakeCertificate(expired, expiredCert, expiredKey, caCert, caKey);
  TCertRequest other;
  other.CommonName = "elsewhere.example";
  other.DnsNames = {"elsewhere.example"};
  MakeCertificate(other, otherHostCert, otherHostKey, caCert, caKey);
  MakeCertificate(server, selfSignedCert, selfSignedKey);
  TCertRequest client;
  client.CommonName = "evcomp test client";
  MakeCertificate(client, clientCert, clientKey, caCert, caKey);
}

const TCerts& Certs() {
  static TCerts certs;
  return certs;
}

SSL_CTX* PeerContext(const std::string& cert, const std::string& key, int maxVersion, int minVersion,
                     const std::string& caFile) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (maxVersion && maxVersion < TLS1_2_VERSION) SSL_CTX_set_security_level(ctx, 0);
  if (maxVersion) SSL_CTX_set_max_proto_version(ctx, maxVersion);
  if (minVersion) SSL_CTX_set_min_proto_version(ctx, minVersion);
  SSL_CTX_use_certificate_chain_file(ctx, cert.c_str());
  SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM);
  if (!caFile.empty()) {
    SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  return ctx;
}

TPeer::TPeer(std::function<void(int fd)> script) {
  // OpenSSL's socket transport writes without MSG_NOSIGNAL: a peer writing
  // to a client that has gone must not end the test program.
  std::signal(SIGPIPE, SIG_IGN);
  FListen = loopback::ListenLoopback(&FPort);
  FThread = std::thread([this, script = std::move(script)] {
    pollfd p{FListen, POLLIN, 0};
    if (::poll(&p, 1, 10000) > 0) {
      int fd = ::accept(FListen, nullptr, nullptr);
      if (fd >= 0) {
        script(fd);
        ::close(fd);
      }
    }
    FDone = true;
  });
}

TPeer::~TPeer() {
  // A script still waiting for a connection gives up when the listener goes.
  ::shutdown(FListen, SHUT_RDWR);
  if (FThread.joinable()) FThread.join();
  ::close(FListen);
}

std::string ReadUntilClosed(int fd, int milliseconds) {
  std::string got;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

SSL* AcceptTls(SSL_CTX* ctx, int fd) {
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) != 1) {
    SSL_free(ssl);
    return nullptr;
  }
  return ssl;
}

SSL* ConnectTls(SSL_CTX* ctx, int fd) {
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  if (SSL_connect(ssl) != 1) {
    SSL_free(ssl);
    return nullptr;
  }
  return ssl;
}

void TSslRecorder::Attach(TSslWSocket& s, bool read) {
  auto log = store;
  auto got = data;
  TSslWSocket* sock = &s;
  s.OnSessionConnected = [log](TObject*, WORD e) { log->push_back("connected " + std::to_string(e)); };
  s.OnSessionClosed = [log](TObject*, WORD e) { log->push_back("closed " + std::to_string(e)); };
  s.OnSslHandshakeDone = [log](TObject*, WORD e) { log->push_back("handshake " + std::to_string(e)); };
  s.OnError = [log, sock](TObject*) { log->push_back("error " + std::to_string(sock->LastError())); };
  s.OnDataAvailable = [log, got, sock, read](TObject*, WORD) {
    if (!read) {
      log->push_back("data");
      return;
    }
    char buf[8192];
    int n = sock->Receive(buf, sizeof(buf));
    if (n > 0) {
      got->append(buf, static_cast<size_t>(n));
      if (log->empty() || log->back() != "data") log->push_back("data");
    }
  };
}

int TSslRecorder::Count(const std::string& prefix) const {
  int n = 0;
  for (const auto& l : log) n += l.compare(0, prefix.size(), prefix) == 0;
  return n;
}

std::string TSslRecorder::Joined() const {
  std::string s;
  for (const auto& l : log) s += (s.empty() ? "" : ", ") + l;
  return s;
}

std::unique_ptr<TSslWSocket> Client(int port, const std::string& caFile) {
  auto s = std::make_unique<TSslWSocket>(nullptr);
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(port));
  s->SetSslEnable(true);
  s->SetSslCAFile(caFile);
  return s;
}

}  // namespace sslt
