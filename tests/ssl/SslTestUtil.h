// Helpers of the TLS tests: a certificate authority made at test time, TLS
// peers on 127.0.0.1 that run on a thread of their own with plain blocking
// OpenSSL, and a recorder of a TLS socket's events.
#pragma once
#include <openssl/ssl.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/LoopbackPeer.h"
#include "common/Pump.h"
#include "ssl/SslWSocket.h"

namespace sslt {

using namespace evc;
using evctest::PumpFor;
using evctest::PumpUntil;

// Certificates made once per test program: an authority, a server
// certificate for localhost and 127.0.0.1, an expired one, one for another
// host name, a self-signed one and a client certificate.
struct TCerts {
  loopback::TTempDir dir;
  std::string caCert, caKey;
  std::string serverCert, serverKey;
  std::string expiredCert, expiredKey;
  std::string otherHostCert, otherHostKey;
  std::string selfSignedCert, selfSignedKey;
  std::string clientCert, clientKey;
  TCerts();
};
const TCerts& Certs();

// A server context for a peer: certificate and key, a highest protocol
// version (0: any), and when caFile is set, a client certificate required.
SSL_CTX* PeerContext(const std::string& cert, const std::string& key, int maxVersion = 0, int minVersion = 0,
                     const std::string& caFile = std::string());

// One connection's worth of peer behaviour on a thread: listens on
// 127.0.0.1, accepts one connection and runs `script` with its descriptor.
class TPeer {
 public:
  explicit TPeer(std::function<void(int fd)> script);
  ~TPeer();
  int Port() const { return FPort; }
  // Whether the script has finished.
  bool Done() const { return FDone; }

 private:
  int FListen = -1;
  int FPort = 0;
  std::atomic<bool> FDone{false};
  std::thread FThread;
};

// Reads from fd until the peer closes or the time passes; what came.
std::string ReadUntilClosed(int fd, int milliseconds = 5000);
// Blocking TLS server handshake on fd; nullptr when it fails.
SSL* AcceptTls(SSL_CTX* ctx, int fd);
// Blocking TLS client handshake on fd.
SSL* ConnectTls(SSL_CTX* ctx, int fd);

// Records the events of a TLS socket as short texts, in order.
struct TSslRecorder {
  std::shared_ptr<std::vector<std::string>> store = std::make_shared<std::vector<std::string>>();
  std::vector<std::string>& log = *store;
  std::shared_ptr<std::string> data = std::make_shared<std::string>();
  // With `read`, OnDataAvailable takes what waits into `data`.
  void Attach(TSslWSocket& s, bool read = true);
  int Count(const std::string& prefix) const;
  std::string Joined() const;
};

// A client socket for 127.0.0.1:port, trusting the test authority.
std::unique_ptr<TSslWSocket> Client(int port, const std::string& caFile = Certs().caCert);

}  // namespace sslt
