// THttpsCli: the HTTP client that also speaks https, on the TLS socket.
//
// Everything of THttpCli holds; in addition:
// - an https URL (or relocation) is fetched over TLS, on port 443 unless the
//   URL names another; the certificate is checked against the URL's host;
//   relocations move between http and https freely;
// - through Proxy, an https target is reached through a CONNECT tunnel
//   (with Proxy-Authorization when ProxyUsername is set), and the request
//   inside it carries the path alone;
// - through the socket's SOCKS proxy, TLS runs inside the SOCKS tunnel.
// A TLS failure ends the request with its code (30001.., see SslErrors.h)
// as the Error of OnRequestDone and its text in StatusText; a connection
// that ends without close_notify ends it with kSslTruncated (30008), so a
// cut transfer is never taken for a complete one. A refused tunnel ends it
// with httpErrTunnelRefused and the proxy's status in HttpStatus.
#pragma once
#include <string>

#include "http/HttpProt.h"
#include "ssl/HttpsTunnelReply.h"
#include "ssl/SslWSocket.h"

namespace evc {

class THttpsCli : public THttpCli {
  EVC_CLASS(THttpsCli)
 public:
  explicit THttpsCli(TComponent* owner);

  void SocketSessionConnected(TObject* sender, WORD error) override;
  void SocketDataAvailable(TObject* sender, WORD error) override;

  // The TLS settings are the socket's own, as the SOCKS settings are.
  const std::string& SslCAFile() const { return SslSocket()->SslCAFile(); }
  void SetSslCAFile(const std::string& v) { SslSocket()->SetSslCAFile(v); }
  const std::string& SslCAPath() const { return SslSocket()->SslCAPath(); }
  void SetSslCAPath(const std::string& v) { SslSocket()->SetSslCAPath(v); }
  const std::string& SslCertFile() const { return SslSocket()->SslCertFile(); }
  void SetSslCertFile(const std::string& v) { SslSocket()->SetSslCertFile(v); }
  const std::string& SslKeyFile() const { return SslSocket()->SslKeyFile(); }
  void SetSslKeyFile(const std::string& v) { SslSocket()->SetSslKeyFile(v); }
  TSslVersion SslMinVersion() const { return SslSocket()->SslMinVersion(); }
  void SetSslMinVersion(TSslVersion v) { SslSocket()->SetSslMinVersion(v); }
  const std::string& SslCiphers() const { return SslSocket()->SslCiphers(); }
  void SetSslCiphers(const std::string& v) { SslSocket()->SetSslCiphers(v); }
  bool SslVerifyPeer() const { return SslSocket()->SslVerifyPeer(); }
  void SetSslVerifyPeer(bool v) { SslSocket()->SetSslVerifyPeer(v); }
  int32_t SslVerifyDepth() const { return SslSocket()->SslVerifyDepth(); }
  void SetSslVerifyDepth(int32_t v) { SslSocket()->SetSslVerifyDepth(v); }

  // The owned socket, with the results of the last handshake.
  TSslWSocket* SslSocket() const { return static_cast<TSslWSocket*>(FCtrlSocket); }

  // Relayed from the socket (Sender is the socket).
  TSslHandshakeDone OnSslHandshakeDone;
  TSslVerifyPeerEvent OnSslVerifyPeer;

 protected:
  bool PrepareTransport() override;

 private:
  enum TTunnelState : uint8_t { tnNone, tnAwaitingReply, tnOpen };
  void SendConnectRequest();
  void EndTunnel(uint16_t error, int32_t status, const std::string& reason);
  void SocketSslHandshakeDone(TObject* sender, WORD error);

  TTunnelState FTunnelState = tnNone;
  std::string FTunnelTarget;  // host:port of the tunnel; empty without one
  TTunnelReply FTunnelReply;
};

}  // namespace evc
