// THttpsCli: which connections get TLS, the CONNECT tunnel through an HTTP
// proxy, and TLS failures turned into the request's outcome.
#include "ssl/HttpsCli.h"

#include "base/TypInfo.h"

namespace evc {

namespace {

// An answer to CONNECT larger than this is no proxy's.
constexpr size_t kTunnelReplyLimit = kHttpLineCapacity;

// Where the blank line of a reply ends (CR LF or a bare LF), or npos.
size_t HeaderEnd(const std::string& s) {
  size_t crlf = s.find("\r\n\r\n");
  size_t lf = s.find("\n\n");
  if (crlf != std::string::npos && (lf == std::string::npos || crlf + 2 <= lf)) return crlf + 4;
  return lf == std::string::npos ? std::string::npos : lf + 2;
}

}  // namespace

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
  FTunnelReply.clear();
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
  FTunnelReply.append(buf, static_cast<size_t>(n));
  size_t end = HeaderEnd(FTunnelReply);
  if (end == std::string::npos) {
    if (FTunnelReply.size() > kTunnelReplyLimit) EndTunnel(httpErrLineTooLong, 404, "HTTP line too long");
    return;
  }
  TunnelReplyDone(end);
}

void THttpsCli::TunnelReplyDone(size_t headerEnd) {
  // The answer's lines are the response header the host sees if it fails.
  const bool extra = headerEnd != FTunnelReply.size();
  std::string text = FTunnelReply.substr(0, headerEnd);
  FTunnelReply.clear();
  std::string status;
  for (size_t pos = 0; pos < text.size();) {
    size_t lf = text.find('\n', pos);
    std::string line = text.substr(pos, lf - pos);
    pos = lf + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    if (status.empty()) status = line;
    FResponseHeader->Add(line);
  }
  int code = 0;
  bool numeric = status.size() >= 12 && status.compare(0, 5, "HTTP/") == 0;
  for (size_t i = 9; numeric && i < 12; ++i) {
    if (status[i] < '0' || status[i] > '9') numeric = false;
    code = code * 10 + (status[i] - '0');
  }
  if (!numeric) {
    EndTunnel(httpErrBadResponse, 404, "the proxy's answer to CONNECT is not HTTP");
    return;
  }
  std::string reason = status.size() > 13 ? status.substr(13) : std::string();
  if (code < 200 || code > 299) {
    EndTunnel(httpErrTunnelRefused, code, reason);
    return;
  }
  // The server behind the tunnel says nothing before our hello: bytes after
  // the proxy's consent would be taken for TLS that nobody protected.
  if (extra) {
    EndTunnel(httpErrBadResponse, 404, "the proxy sent bytes after its answer to CONNECT");
    return;
  }
  FResponseHeader->Clear();
  FTunnelState = tnOpen;
  FTunnel = true;
  SslSocket()->SetSslEnable(true);
  SslSocket()->StartSslClient();
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
