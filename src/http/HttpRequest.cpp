// THttpCli: the connection target and request target, the request header
// and the POST body.
#include "http/HttpProt.h"

namespace evc {

void THttpCli::ComputeRequestTarget() {
  std::string proto, user, pass, host, port, path;
  if (FProxy.empty()) {
    // A relative URL resolves against the previous request's path.
    path = FPath;
    SplitUrl(FURL, proto, user, pass, host, port, path);
    // A relative URL stays with the last request's scheme.
    if (!proto.empty() || !host.empty()) FTargetScheme = proto.empty() ? std::string("http") : proto;
    FPath = path;
    FTargetHost = host;
    FDocName = FPath;
    if (!user.empty()) FUsername = user;
    if (!pass.empty()) FPassword = pass;
    if (port.empty()) port = DefaultHttpPort(proto);
  } else {
    SplitUrl(FURL, proto, user, pass, host, port, path);
    FTargetScheme = proto.empty() ? std::string("http") : proto;
    FTargetHost = host;
    FDocName = path;
    if (!user.empty()) FUsername = user;
    if (!pass.empty()) FPassword = pass;
    if (!port.empty()) port = ":" + port;
    // The proxy gets the absolute URL on the request line.
    FPath = (proto.empty() ? std::string("http") : proto) + "://" + host + port + path;
    std::string proxyPath;
    SplitUrl(FProxy, proto, user, pass, host, port, proxyPath);
    if (port.empty()) port = FProxyPort;
  }
  if (FPath.empty()) FPath = "/";
  AdjustDocumentName();
  FHostName = host;
  FPort = port;
}

void THttpCli::AdjustDocumentName() {
  size_t q = FDocName.find('?');
  if (q != std::string::npos) FDocName.resize(q);
  if (FDocName.empty() || FDocName.back() == '/') {
    FDocName = "document.htm";
    return;
  }
  size_t slash = FDocName.rfind('/');
  if (slash != std::string::npos) FDocName = FDocName.substr(slash + 1);
  if (FDocName.size() > 255) FDocName.resize(255);
}

bool THttpCli::SendRequest(const std::string& method, const std::string& version) {
  const uint32_t serial = FRequestSerial;
  FReqStream->Clear();
  // A handler that aborts the request stops it here: no half-built header
  // is kept, and nothing goes out.
  auto over = [&] {
    if (!RequestOver(serial)) return false;
    FReqStream->Clear();
    return true;
  };
  FireRequestHeaderBegin();
  if (over()) return false;

  TStringList headers;
  std::string target = FPath;
  // The server's port: the one connected to, or through a proxy the one in
  // the absolute URL of the request line.
  std::string serverPort = FPort;
  if (!FProxy.empty()) {
    std::string proto, user, pass, host, path;
    SplitUrl(FPath, proto, user, pass, host, serverPort, path);
    // Inside a tunnel the server itself reads the request: the path alone.
    if (FTunnel) target = path.empty() ? std::string("/") : path;
  }
  headers.Add(method + " " + target + " HTTP/" + version);
  if (!FSender.empty()) headers.Add("From: " + FSender);
  if (!FAccept.empty()) headers.Add("Accept: " + FAccept);
  if (!FReference.empty()) headers.Add("Referer: " + FReference);
  if (!FAcceptLanguage.empty()) headers.Add("Accept-Language: " + FAcceptLanguage);
  if (method == "POST" && !FContentTypePost.empty()) headers.Add("Content-Type: " + FContentTypePost);
  if (!FAgent.empty()) headers.Add("User-Agent: " + FAgent);
  // HTTP/1.1 names a port other than the scheme's own in Host, since a
  // server may keep several sites apart by it; 1.0 keeps the bare name.
  std::string hostLine = FTargetHost;
  if (Http11() && !serverPort.empty() && serverPort != DefaultHttpPort(FTargetScheme)) hostLine += ":" + serverPort;
  headers.Add("Host: " + hostLine);
  // A client that keeps nothing open says so, and the server need not wait.
  if (Http11() && FKeepAliveTimeout == 0) headers.Add("Connection: close");
  if (FNoCache) headers.Add("Pragma: no-cache");
  if (method == "POST") {
    int64_t size = FSendStream ? FSendStream->Size() : 0;
    headers.Add("Content-Length: " + std::to_string(size));
  }
  if (FModifiedSince != 0) headers.Add("If-Modified-Since: " + FormatHttpDate(FModifiedSince) + " GMT");
  if (!FUsername.empty())
    headers.Add("Authorization: Basic " + EncodeText(1, FUsername + ":" + FPassword));
  if (!FProxy.empty() && !FTunnel && !FProxyUsername.empty())
    headers.Add("Proxy-Authorization: Basic " + EncodeText(1, FProxyUsername + ":" + FProxyPassword));
  if (!FCookie.empty()) headers.Add("Cookie: " + FCookie);
  if (!FContentRangeBegin.empty() || !FContentRangeEnd.empty()) {
    headers.Add("Range: bytes=" + FContentRangeBegin + "-" + FContentRangeEnd);
    FContentRangeBegin.clear();
    FContentRangeEnd.clear();
  }
  FAcceptRanges.clear();

  FireBeforeHeaderSend(method, &headers);
  if (over()) return false;
  for (int i = 0; i < headers.Count(); ++i) {
    SendHeaderLine(headers[i]);
    if (over()) return false;
  }
  FireRequestHeaderEnd();
  if (over()) return false;
  SendHeaderLine(std::string());
  if (over()) return false;

  // One hand-over for the whole header: it leaves in as few segments as the
  // socket can make of it.
  auto size = static_cast<int>(FReqStream->Size());
  try {
    FCtrlSocket->Send(FReqStream->Memory(), size);
  } catch (...) {
    FReqStream->Clear();
    throw;
  }
  FReqStream->Clear();
  return !RequestOver(serial);
}

void THttpCli::SendHeaderLine(std::string line) {
  OnCommand(this, line);
  if (!line.empty()) FReqStream->Write(line.data(), static_cast<int64_t>(line.size()));
  static const char kCrLf[2] = {13, 10};
  FReqStream->Write(kCrLf, 2);
}

void THttpCli::SocketDataSent(TObject* sender, WORD error) {
  if (!FAllowedToSend) return;
  int64_t n = FSendStream ? FSendStream->Read(FSendBuffer, kHttpSendChunk) : 0;
  if (n <= 0) {
    FAllowedToSend = false;
    FireSendEnd();
    return;
  }
  const uint32_t serial = FRequestSerial;
  FSentCount = static_cast<int32_t>(static_cast<uint32_t>(FSentCount) + static_cast<uint32_t>(n));
  FireSendData(FSendBuffer, static_cast<int32_t>(n));
  if (RequestOver(serial)) return;
  FCtrlSocket->Send(FSendBuffer, static_cast<int>(n));
}

}  // namespace evc
