#include "ssl/SslCertMaker.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <memory>

#include "base/Exception.h"
#include "ssl/SslContext.h"

namespace evc {

namespace {

template <class T, void (*F)(T*)>
struct TFree {
  void operator()(T* p) const { F(p); }
};
using TKeyPtr = std::unique_ptr<EVP_PKEY, TFree<EVP_PKEY, EVP_PKEY_free>>;
using TCertPtr = std::unique_ptr<X509, TFree<X509, X509_free>>;

[[noreturn]] void Fail(const std::string& what) {
  std::string detail = TakeOpenSslErrors();
  throw Exception(detail.empty() ? what : what + ": " + detail);
}

TKeyPtr ReadKey(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) Fail("cannot read key '" + path + "'");
  TKeyPtr key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
  std::fclose(f);
  if (!key) Fail("no key in '" + path + "'");
  return key;
}

TCertPtr ReadCert(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) Fail("cannot read certificate '" + path + "'");
  TCertPtr cert(PEM_read_X509(f, nullptr, nullptr, nullptr));
  std::fclose(f);
  if (!cert) Fail("no certificate in '" + path + "'");
  return cert;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) Fail("bad certificate extension '" + value + "'");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

void WritePem(const std::string& path, const std::function<int(FILE*)>& write) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) throw Exception("cannot write '" + path + "'");
  int ok = write(f);
  if (std::fclose(f) != 0 || ok != 1) Fail("cannot write '" + path + "'");
}

}  // namespace

void MakeCertificate(const TCertRequest& request, const std::string& certFile, const std::string& keyFile,
                     const std::string& issuerCert, const std::string& issuerKey) {
  TKeyPtr key(EVP_EC_gen("P-256"));
  if (!key) Fail("cannot make a key");
  TCertPtr cert(X509_new());
  if (!cert) Fail("cannot make a certificate");
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof(serial));
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial, sizeof(serial), nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), request.NotBefore);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), request.NotAfter);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("evcomp"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(request.CommonName.c_str()), -1, -1, 0);

  TCertPtr issuer;
  TKeyPtr signer;
  if (!issuerCert.empty()) {
    issuer = ReadCert(issuerCert);
    signer = ReadKey(issuerKey);
  }
  X509* issuedBy = issuer ? issuer.get() : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(issuedBy));

  if (request.Authority) {
    AddExtension(cert.get(), issuedBy, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), issuedBy, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(cert.get(), issuedBy, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), issuedBy, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    AddExtension(cert.get(), issuedBy, NID_ext_key_usage, "serverAuth,clientAuth");
  }
  AddExtension(cert.get(), issuedBy, NID_subject_key_identifier, "hash");
  if (issuer) AddExtension(cert.get(), issuedBy, NID_authority_key_identifier, "keyid:always");
  std::string alt;
  for (const auto& d : request.DnsNames) alt += (alt.empty() ? "DNS:" : ",DNS:") + d;
  for (const auto& ip : request.IpAddresses) alt += (alt.empty() ? "IP:" : ",IP:") + ip;
  if (!alt.empty()) AddExtension(cert.get(), issuedBy, NID_subject_alt_name, alt);

  if (!X509_sign(cert.get(), signer ? signer.get() : key.get(), EVP_sha256())) Fail("cannot sign the certificate");
  WritePem(keyFile, [&](FILE* f) {
    ::fchmod(::fileno(f), 0600);  // a private key is for its owner's eyes
    return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  WritePem(certFile, [&](FILE* f) { return PEM_write_X509(f, cert.get()); });
}

TLoopbackCertificates MakeLoopbackCertificates(const std::string& dir, const std::string& authorityName) {
  TLoopbackCertificates c{dir + "/ca.pem", dir + "/ca.key", dir + "/server.pem", dir + "/server.key"};
  TCertRequest authority;
  authority.CommonName = authorityName;
  authority.Authority = true;
  MakeCertificate(authority, c.CAFile, c.CAKey);
  TCertRequest host;
  host.CommonName = "localhost";
  host.DnsNames = {"localhost"};
  host.IpAddresses = {"127.0.0.1"};
  MakeCertificate(host, c.CertFile, c.KeyFile, c.CAFile, c.CAKey);
  return c;
}

}  // namespace evc
