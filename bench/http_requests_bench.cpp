// Sequential requests for a 1 KiB document from nginx on 127.0.0.1, against
// libcurl in the same process. First each on a new connection: 2,000 over
// http (THttpCli), then 500 over https (THttpsCli, a full handshake each),
// libcurl with connection reuse forbidden (and, over https, without resuming
// TLS sessions either), both speaking HTTP/1.0. Then 2,000 over http and
// 2,000 over https on one kept connection, both speaking HTTP/1.1 with reuse
// allowed. `http_requests_bench [ROUNDS] [http|https]` measures one scheme
// only.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "HttpBenchClient.h"
#include "LoopbackNginx.h"
#include "ssl/HttpsCli.h"
#include "ssl/SslCertMaker.h"

using namespace evc;

namespace {

constexpr int kDocument = 1024;
using TClock = std::chrono::steady_clock;
using evcbench::Fatal;

size_t CountBytes(char*, size_t size, size_t n, void* total) {
  *static_cast<size_t*>(total) += size * n;
  return size * n;
}

double LibcurlSeconds(const std::string& url, const std::string& caFile, int requests, bool keep) {
  CURL* h = curl_easy_init();
  if (!h) Fatal("curl_easy_init failed");
  size_t bytes = 0;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_FORBID_REUSE, keep ? 0L : 1L);
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(keep ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_1_0));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, CountBytes);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &bytes);
  if (!caFile.empty()) {
    curl_easy_setopt(h, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, 0L);
  }
  auto t0 = TClock::now();
  for (int i = 0; i < requests; ++i) {
    CURLcode rc = curl_easy_perform(h);
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    if (rc != CURLE_OK || code != 200) Fatal(std::string("libcurl: ") + curl_easy_strerror(rc));
  }
  double s = std::chrono::duration<double>(TClock::now() - t0).count();
  curl_easy_cleanup(h);
  if (bytes != static_cast<size_t>(requests) * kDocument) Fatal("libcurl received " + std::to_string(bytes) + " bytes");
  return s;
}

template <class TClient>
double ClientSeconds(const std::string& url, const std::string& caFile, int requests, bool keep) {
  evcbench::TCountingClientOf<TClient> client(url);
  if constexpr (std::is_same_v<TClient, THttpsCli>) client.Client().SetSslCAFile(caFile);
  client.Client().SetRequestVer(keep ? "1.1" : "1.0");
  auto t0 = TClock::now();
  for (int i = 0; i < requests; ++i) client.Get();
  double s = std::chrono::duration<double>(TClock::now() - t0).count();
  if (client.Bytes() != int64_t{requests} * kDocument)
    Fatal("the client received " + std::to_string(client.Bytes()) + " bytes");
  // The last request tells whether the connection was kept as asked.
  if (client.Client().ConnectionReused() != keep) Fatal("the client did not keep its connection as asked");
  return s;
}

void Measure(const char* name, double (*ours)(const std::string&, const std::string&, int, bool),
             const std::string& url, const std::string& caFile, int requests, bool keep, int rounds, double target) {
  double best = 1e30, theirs = 1e30;
  for (int i = 0; i < rounds; ++i) {
    double a = ours(url, caFile, requests, keep), b = LibcurlSeconds(url, caFile, requests, keep);
    std::printf("%s round %d: ours %.0f requests/s, libcurl %.0f requests/s\n", name, i + 1, requests / a,
                requests / b);
    best = std::min(best, a);
    theirs = std::min(theirs, b);
  }
  const double ratio = theirs / best;
  std::printf("%d %s requests of 1 KiB, %s: ours %.0f requests/s, libcurl %.0f requests/s, "
              "ratio %.2f (target >= %.2f: %s)\n",
              requests, name, keep ? "one kept connection (HTTP/1.1)" : "a new connection each", requests / best, requests / theirs, ratio, target, ratio >= target ? "met" : "missed");
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  if (rounds < 1) rounds = 1;
  const std::string only = argc > 2 ? argv[2] : "";
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) Fatal("curl_global_init failed");
  char dir[] = "/tmp/evc-bench-certs-XXXXXX";
  if (!mkdtemp(dir)) Fatal("mkdtemp failed");
  const TLoopbackCertificates certs = MakeLoopbackCertificates(dir, "benchmark authority");
  // nginx closes a kept connection after 1,000 requests by default.
  evcpeer::TLoopbackNginx nginx("keepalive_requests 100000;\n");
  nginx.EnableTls(certs.CertFile, certs.KeyFile);
  if (!nginx.WriteDocument("/1k.bin", std::string(kDocument, 'k'))) Fatal("cannot write the document");
  if (!nginx.Start()) Fatal(nginx.Error());

  if (only.empty() || only == "http") {
    Measure("http", &ClientSeconds<THttpCli>, nginx.Url("/1k.bin"), "", 2000, false, rounds, 0.8);
    Measure("http", &ClientSeconds<THttpCli>, nginx.Url("/1k.bin"), "", 2000, true, rounds, 1.0);
  }
  if (only.empty() || only == "https") {
    Measure("https", &ClientSeconds<THttpsCli>, nginx.TlsUrl("/1k.bin"), certs.CAFile, 500, false, rounds, 0.9);
    Measure("https", &ClientSeconds<THttpsCli>, nginx.TlsUrl("/1k.bin"), certs.CAFile, 2000, true, rounds, 0.9);
  }
  curl_global_cleanup();
  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
  return 0;
}
