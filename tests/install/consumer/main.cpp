// Makes a TLS socket from the installed headers and libraries and reads
// its published settings back.
#include <cstdio>

#include "ssl/SslWSocket.h"

int main() {
  evc::TSslWSocket s(nullptr);
  s.SetSslEnable(true);
  bool ok = s.SslEnable() && s.SslVerifyPeer() && s.SslMinVersion() == evc::sslTLSv1_2 &&
            evc::SslErrorText(evc::kSslCertExpired) == "certificate expired";
  std::puts(ok ? "consumer ok" : "consumer wrong");
  return ok ? 0 : 1;
}
