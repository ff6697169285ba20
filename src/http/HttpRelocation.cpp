// THttpCli: following a Location field to the next target.
#include "http/HttpProt.h"

namespace evc {

namespace {

bool StartsWithNoCase(const std::string& v, const char* prefix) {
  for (size_t i = 0; prefix[i] != 0; ++i) {
    if (i >= v.size()) return false;
    char c = v[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// Schemes compare without regard to letter case: 'HTTP://host/x' is as
// absolute as 'http://host/x'; an https location is just as absolute, and
// moves the request onto TLS.
bool IsAbsoluteHttp(const std::string& v) { return StartsWithNoCase(v, "http://") || StartsWithNoCase(v, "https://"); }

}  // namespace

void THttpCli::PrepareRelocation(const std::string& value) {
  FLocationFlag = true;
  std::string proto, user, pass, host, port, path;
  if (FProxy.empty()) {
    if (!value.empty() && value[0] == '/') {
      FPath = value;
      FLocation = FTargetScheme + "://" + FHostName + value;
    } else if (!IsAbsoluteHttp(value)) {
      FPath = ExtractURLDirectory(FPath) + value;
      FLocation = FTargetScheme + "://" + FHostName + FPath;
    } else {
      path = FPath;
      SplitUrl(value, proto, user, pass, host, port, path);
      FPath = path;
      // A location without a host stays on the current server.
      if (!host.empty()) {
        FHostName = host;
        FPort = port.empty() ? DefaultHttpPort(proto) : port;
        FTargetScheme = proto;
      }
      if (!user.empty() && !pass.empty()) {
        FUsername = user;
        FPassword = pass;
      }
      FTargetHost = FHostName;
      if (FPath.empty()) {
        FPath.assign(1, '/');
        FLocation = proto + "://" + FHostName;
      } else {
        FLocation = proto + "://" + FHostName + FPath;
      }
    }
    return;
  }

  // Through a proxy the request line carries the absolute URL.
  // The absolute URL keeps the server's port: without it the proxy would
  // fetch the document from another server (port 80 of the same host).
  if (!value.empty() && value[0] == '/') {
    SplitUrl(FPath, proto, user, pass, host, port, path);
    FLocation = (proto.empty() ? std::string("http") : proto) + "://" + host + (port.empty() ? "" : ":" + port) +
                value;
    FPath = FLocation;
    if (!user.empty() && !pass.empty()) {
      FUsername = user;
      FPassword = pass;
    }
  } else if (!IsAbsoluteHttp(value)) {
    FPath = ExtractURLDirectory(FPath) + value;
    FLocation = FPath;
  } else {
    SplitUrl(value, proto, user, pass, host, port, path);
    if (host.empty()) host = FTargetHost;
    FPort = port.empty() ? DefaultHttpPort(proto) : port;
    FTargetScheme = proto;
    if (!user.empty() && !pass.empty()) {
      FUsername = user;
      FPassword = pass;
    }
    FTargetHost = host;
    FLocation = proto + "://" + host + (port.empty() ? "" : ":" + port) + path;
    FPath = FLocation;
  }
}

void THttpCli::RelocationClosed(TObject* sender, WORD error) {
  FCtrlSocket->OnSessionClosed.Bind(this, &THttpCli::SocketSessionClosed);
  // A request that was aborted meanwhile has been reported done already.
  if (FState == hcReady || FState == hcAborting) {
    FLocationFlag = false;
    return;
  }
  std::string target = FLocation.substr(0, FLocation.find('#'));
  std::string proto, user, pass, host, port, path;
  SplitUrl(target, proto, user, pass, host, port, path);
  FDocName = path;
  AdjustDocumentName();
  FConnected = false;
  FLocationFlag = false;
  if (FRequestType == hrPost) FRequestType = hrGet;  // the body is not sent again

  OnLocationChange(this);
  if (FState == hcReady || FState == hcAborting) return;

  FResponseHeader->Clear();
  FHeaderLineCount = 0;
  FBodyDataCount = 0;
  FContentLength = -1;
  FContentLength64 = -1;
  FContentType.clear();
  FStatusCode = 0;
  if (!FProxy.empty()) {
    // The proxy is the same after a relocation: the port it names, or
    // ProxyPort when it names none.
    std::string proxyPath;
    SplitUrl(FProxy, proto, user, pass, host, port, proxyPath);
    FPort = port.empty() ? FProxyPort : port;
  }
  FRestartPending = true;
  PostMessage(FWindowHandle, WM_HTTP_RELOCATE, static_cast<WPARAM>(FRequestSerial), 0);
}

}  // namespace evc
