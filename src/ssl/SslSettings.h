// The settings a TLS context is made from. Free of OpenSSL's headers, so
// that users of the TLS socket need none of them.
#pragma once
#include <cstdint>
#include <string>

namespace evc {

enum TSslVersion : uint8_t { sslTLSv1 = 0, sslTLSv1_1 = 1, sslTLSv1_2 = 2, sslTLSv1_3 = 3 };

struct TSslSettings {
  bool Server = false;
  std::string CAFile;    // trusted authorities; both empty: the system store
  std::string CAPath;
  std::string CertFile;  // own certificate (chain) and key, PEM
  std::string KeyFile;
  TSslVersion MinVersion = sslTLSv1_2;
  std::string Ciphers;       // TLS 1.2 and older, OpenSSL's syntax; empty: its defaults
  std::string CipherSuites;  // TLS 1.3
};

}  // namespace evc
