// Making keys and certificates, for a loopback authority of one's own: the
// tests, the demo and the benchmarks use it, and so can a host that needs a
// quick private certificate authority. Keys are P-256, written as PEM.
#pragma once
#include <string>
#include <vector>

namespace evc {

struct TCertRequest {
  std::string CommonName;
  std::vector<std::string> DnsNames;     // subjectAltName DNS entries
  std::vector<std::string> IpAddresses;  // subjectAltName IP entries
  // Validity relative to now, in seconds (negative: in the past).
  long NotBefore = -3600;
  long NotAfter = 30L * 24 * 3600;
  bool Authority = false;  // may sign other certificates
};

// Writes a new key to keyFile and a certificate for it to certFile, signed
// by the authority in issuerCert / issuerKey, or by itself when those are
// empty. Raises Exception with OpenSSL's reason on failure.
void MakeCertificate(const TCertRequest& request, const std::string& certFile, const std::string& keyFile,
                     const std::string& issuerCert = std::string(), const std::string& issuerKey = std::string());

// An authority and a certificate for localhost and 127.0.0.1 that it
// signed, written into `dir` as ca.pem, ca.key, server.pem and server.key.
struct TLoopbackCertificates {
  std::string CAFile, CAKey, CertFile, KeyFile;
};
TLoopbackCertificates MakeLoopbackCertificates(const std::string& dir, const std::string& authorityName);

}  // namespace evc
