#include "ssl/SslContext.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <ctime>
#include <map>
#include <memory>

namespace evc {

namespace {

int ProtocolNumber(TSslVersion v) {
  switch (v) {
    case sslTLSv1: return TLS1_VERSION;
    case sslTLSv1_1: return TLS1_1_VERSION;
    case sslTLSv1_2: return TLS1_2_VERSION;
    case sslTLSv1_3: return TLS1_3_VERSION;
  }
  return TLS1_2_VERSION;
}

// The file's change time, so that a replaced certificate gives a new context.
std::string Stamp(const std::string& path) {
  if (path.empty()) return "-";
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return path + "@?";
  return path + "@" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

std::string CacheKey(const TSslSettings& s) {
  std::string k = s.Server ? "S|" : "C|";
  for (const std::string* f : {&s.CAFile, &s.CertFile, &s.KeyFile}) k += Stamp(*f) + "|";
  k += s.CAPath + "|" + std::to_string(s.MinVersion) + "|" + s.Ciphers + "|" + s.CipherSuites;
  return k;
}

struct TCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using TCtxPtr = std::unique_ptr<SSL_CTX, TCtxFree>;

SSL_CTX* Build(const TSslSettings& s, std::string* error) {
  TCtxPtr ctx(SSL_CTX_new(s.Server ? TLS_server_method() : TLS_client_method()));
  auto fail = [&](const std::string& what) -> SSL_CTX* {
    std::string detail = TakeOpenSslErrors();
    if (error) *error = detail.empty() ? what : what + ": " + detail;
    return nullptr;
  };
  if (!ctx) return fail("cannot create a TLS context");
  int minVersion = ProtocolNumber(s.MinVersion);
  // Versions below 1.2 only work at the lowest security level; a host that
  // asks for them has chosen that.
  if (minVersion < TLS1_2_VERSION) SSL_CTX_set_security_level(ctx.get(), 0);
  if (!SSL_CTX_set_min_proto_version(ctx.get(), minVersion)) return fail("bad lowest protocol version");
  if (!s.Ciphers.empty() && !SSL_CTX_set_cipher_list(ctx.get(), s.Ciphers.c_str()))
    return fail("no usable cipher in '" + s.Ciphers + "'");
  if (!s.CipherSuites.empty() && !SSL_CTX_set_ciphersuites(ctx.get(), s.CipherSuites.c_str()))
    return fail("no usable cipher suite in '" + s.CipherSuites + "'");
  if (s.CAFile.empty() && s.CAPath.empty()) {
    if (!SSL_CTX_set_default_verify_paths(ctx.get())) return fail("cannot use the system's trusted certificates");
  } else if (!SSL_CTX_load_verify_locations(ctx.get(), s.CAFile.empty() ? nullptr : s.CAFile.c_str(),
                                            s.CAPath.empty() ? nullptr : s.CAPath.c_str())) {
    return fail("cannot load trusted certificates from '" + (s.CAFile.empty() ? s.CAPath : s.CAFile) + "'");
  }
  if (!s.CertFile.empty()) {
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), s.CertFile.c_str()) != 1)
      return fail("cannot load certificate '" + s.CertFile + "'");
    const std::string& key = s.KeyFile.empty() ? s.CertFile : s.KeyFile;
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) != 1)
      return fail("cannot load key '" + key + "'");
    if (SSL_CTX_check_private_key(ctx.get()) != 1) return fail("key does not match certificate '" + s.CertFile + "'");
  } else if (s.Server) {
    return fail("a TLS server needs a certificate and a key");
  } else if (!s.KeyFile.empty()) {
    return fail("a key without a certificate");
  }
  // Renegotiation is refused (and reported); TLS 1.3 has none at all.
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION);
  // The socket layer hands OpenSSL the same queue block again after a
  // refusal, but not always at the same address.
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return ctx.release();
}

// Contexts are cheap to keep and costly to make; a handful of settings per
// thread is the common case, so the cache is simply emptied when it grows.
constexpr size_t kCacheLimit = 16;

}  // namespace

SSL_CTX* SslContextFor(const TSslSettings& settings, std::string* error) {
  thread_local std::map<std::string, TCtxPtr> cache;
  std::string key = CacheKey(settings);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second.get();
  SSL_CTX* ctx = Build(settings, error);
  if (!ctx) return nullptr;
  // Connections hold their own reference, so dropping the cache is safe.
  if (cache.size() >= kCacheLimit) cache.clear();
  cache.emplace(key, TCtxPtr(ctx));
  return ctx;
}

std::string TakeOpenSslErrors() {
  std::string all;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof(buf));
    if (!all.empty()) all += "; ";
    all += buf;
  }
  return all;
}

std::string SslTimeText(const ASN1_TIME* t) {
  struct tm tm {};
  if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return std::string();
  char buf[32];
  std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string SslNameText(const X509_NAME* name) {
  if (!name) return std::string();
  BIO* b = BIO_new(BIO_s_mem());
  if (!b) return std::string();
  X509_NAME_print_ex(b, name, 0, XN_FLAG_RFC2253);
  char* p = nullptr;
  long n = BIO_get_mem_data(b, &p);
  std::string text(p ? p : "", n > 0 ? static_cast<size_t>(n) : 0);
  BIO_free(b);
  return text;
}

}  // namespace evc
