// THttpsCli: which connections get TLS, the CONNECT tunnel through an HTTP
// proxy, and TLS failures turned into the request's outcome.
#include "ssl/HttpsCli.h"

#include "base/TypInfo.h"

namespace evc {

THttpsCli::THttpsCli(TComponent* owner)
    : THttpCli(owner, [](TComponent* socketOwner) -> DAVidavi* { return new TSslWSocket(socketOwner); }) {
  SslSocket()->OnSslHandshakeDone.Bind(this, &THttpsCli::SocketSslHandshakeDone);
  SslSocket()->OnSslVerifyPeer = [this](TObject* sender, int32_t result, bool& accept) {
    OnSslVerifyPeer(sender, result, accept);
  };
}

bool THttpsCli::PrepareTransport() {
  THttpCli::PrepareTransport();
  FTunnelState = tnNone;
  FTunnelTarget.clear();
  FTunnelReply = TTunnelReply();
  TSslWSocket* s = SslSocket();
  const bool secure = FTargetScheme == "https";
  // The certificate must name the host of the URL, not the address it was
  // looked up to, nor the proxy.
  s->SetSslServerName(secure ? FTargetHost : std::string());
  if (secure && !FProxy.empty()) {
    std::string proto, user, pass, host, port, path;
    SplitUrl(FPath, proto, user, pass, host, port, path);
    FTunnelTarget = host + ":" + (port.empty() ? DefaultHttpPort(proto) : port);
    s->SetSslEnable(false);  // the proxy's connection is plain until the tunnel is open
  } else {
    s->SetSslEnable(secure);
  }
  return true;
}

// --- the tunnel ---

void THttpsCli::SocketSessionConnected(TObject* sender, WORD error) {
  if (error != 0 || FTunnelTarget.empty() || FTunnelState != tnNone) {
    THttpCli::SocketSessionConnected(sender, error);
    return;
  }
  // Connected to the proxy: the tunnel comes first, the request after the
  // handshake inside it (which connects the session a second time).
  const uint32_t serial = FRequestSerial;
  if (RequestOver(serial)) return;
  FConnected = true;
  ChangeState(hcConnected);
  if (RequestOver(serial)) return;  // a handler aborted the request
  FTunnelState = tnAwaitingReply;
  SendConnectRequest();
}

void THttpsCli::SendConnectRequest() {
  std::string r = "CONNECT " + FTunnelTarget + " HTTP/1.0\r\nHost: " + FTunnelTarget + "\r\n";
  if (!FAgent.empty()) r += "User-Agent: " + FAgent + "\r\n";
  if (!FProxyUsername.empty())
    r += "Proxy-Authorization: Basic " + EncodeText(1, FProxyUsername + ":" + FProxyPassword) + "\r\n";
  r += "\r\n";
  try {
    FCtrlSocket->Send(r.data(), static_cast<int>(r.size()));
  } catch (...) {
    CloseConnection();
  }
}

void THttpsCli::SocketDataAvailable(TObject* sender, WORD error) {
  if (FTunnelState != tnAwaitingReply) {
    THttpCli::SocketDataAvailable(sender, error);
    return;
  }
  char buf[1024];
  int n = FCtrlSocket->Receive(buf, sizeof(buf));
  if (n <= 0) return;
  switch (FTunnelReply.Take(buf, static_cast<size_t>(n))) {
    case TTunnelReply::trIncomplete:
      return;
    case TTunnelReply::trOpen:
      FTunnelState = tnOpen;
      FTunnel = true;
      SslSocket()->SetSslEnable(true);
      SslSocket()->StartSslClient();
      return;
    case TTunnelReply::trRefused:
      // The answer's lines are the response header the host sees.
      for (const std::string& line : FTunnelReply.Lines()) FResponseHeader->Add(line);
      EndTunnel(httpErrTunnelRefused, FTunnelReply.Status(), FTunnelReply.Reason());
      return;
    case TTunnelReply::trMalformed:
      EndTunnel(httpErrBadResponse, 404, "the proxy's answer to CONNECT is not HTTP");
      return;
    case TTunnelReply::trTooLong:
      EndTunnel(httpErrLineTooLong, 404, "HTTP line too long");
      return;
    case TTunnelReply::trExtraBytes:
      // The server behind the tunnel says nothing before our hello: bytes
      // after the proxy's consent would be taken for TLS nobody protected.
      EndTunnel(httpErrBadResponse, 404, "the proxy sent bytes after its answer to CONNECT");
      return;
  }
}

void THttpsCli::EndTunnel(uint16_t error, int32_t status, const std::string& reason) {
  FTunnelState = tnNone;
  FTunnelTarget.clear();
  FRequestDoneError = error;
  FStatusCode = status;
  FReasonPhrase = reason;
  CloseConnection();  // the close ends the request
}

// --- TLS outcome ---

void THttpsCli::SocketSslHandshakeDone(TObject* sender, WORD error) {
  if (error != 0) {
    // What a host (or httpget) shows when no server answered.
    FStatusCode = 404;
    FReasonPhrase = SslErrorText(error);
    const std::string& detail = SslSocket()->SslErrorDetail();
    if (!detail.empty() && detail != FReasonPhrase) FReasonPhrase += ": " + detail;
  }
  OnSslHandshakeDone(sender, error);
}

// --- class information ---

const TClassInfo& THttpsCli::StaticClassInfo() {
  using P = Published<THttpsCli>;
  static const TClassInfo info(
      "THttpsCli", &THttpCli::StaticClassInfo(),
      {
          P::String("SslCAFile", &THttpsCli::SslCAFile, &THttpsCli::SetSslCAFile).WithDefault(std::string()),
          P::String("SslCAPath", &THttpsCli::SslCAPath, &THttpsCli::SetSslCAPath).WithDefault(std::string()),
          P::String("SslCertFile", &THttpsCli::SslCertFile, &THttpsCli::SetSslCertFile).WithDefault(std::string()),
          P::String("SslKeyFile", &THttpsCli::SslKeyFile, &THttpsCli::SetSslKeyFile).WithDefault(std::string()),
          P::Enum("SslMinVersion", &THttpsCli::SslMinVersion, &THttpsCli::SetSslMinVersion,
                  {"sslTLSv1", "sslTLSv1_1", "sslTLSv1_2", "sslTLSv1_3"})
              .WithDefault(int64_t{sslTLSv1_2}),
          P::String("SslCiphers", &THttpsCli::SslCiphers, &THttpsCli::SetSslCiphers).WithDefault(std::string()),
          P::Boolean("SslVerifyPeer", &THttpsCli::SslVerifyPeer, &THttpsCli::SetSslVerifyPeer).WithDefault(true),
          P::Integer("SslVerifyDepth", &THttpsCli::SslVerifyDepth, &THttpsCli::SetSslVerifyDepth)
              .WithDefault(int64_t{10}),
      },
      &CreateComponentOf<THttpsCli>);
  return info;
}

namespace {
const bool kRegistered = (RegisterComponentClass(THttpsCli::StaticClassInfo()), true);
}

}  // namespace evc
