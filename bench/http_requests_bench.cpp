// Sequential requests for a 1 KiB document from nginx on 127.0.0.1, each on
// a new connection: 2,000 over http (THttpCli), then 500 over https
// (THttpsCli, a full handshake each), against libcurl in the same process
// with connection reuse forbidden (and, over https, without resuming TLS
// sessions either), both speaking HTTP/1.0. `http_requests_bench [ROUNDS]
// [http|https]` measures one scheme only.
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

double LibcurlSeconds(const std::string& url, const std::string& caFile, int requests) {
  CURL* h = curl_easy_init();
  if (!h) Fatal("curl_easy_init failed");
  size_t bytes = 0;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
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
double ClientSeconds(const std::string& url, const std::string& caFile, int requests) {
  evcbench::TCountingClientOf<TClient> client(url);
  if constexpr (std::is_same_v<TClient, THttpsCli>) client.Client().SetSslCAFile(caFile);
  auto t0 = TClock::now();
  for (int i = 0; i < requests; ++i) client.Get();
  double s = std::chrono::duration<double>(TClock::now() - t0).count();
  if (client.Bytes() != int64_t{requests} * kDocument)
    Fatal("the client received " + std::to_string(client.Bytes()) + " bytes");
  return s;
}

void Measure(const char* name, double (*ours)(const std::string&, const std::string&, int), const std::string& url,
             const std::string& caFile, int requests, int rounds, double target) {
  double best = 1e30, theirs = 1e30;
  for (int i = 0; i < rounds; ++i) {
    double a = ours(url, caFile, requests), b = LibcurlSeconds(url, caFile, requests);
    std::printf("%s round %d: ours %.0f requests/s, libcurl %.0f requests/s\n", name, i + 1, requests / a,
                requests / b);
    best = std::min(best, a);
    theirs = std::min(theirs, b);
  }
  const double ratio = theirs / best;
  std::printf("%d %s requests of 1 KiB, a new connection each: ours %.0f requests/s, libcurl %.0f requests/s, "
              "ratio %.2f (target >= %.2f: %s)\n",
              requests, name, requests / best, requests / theirs, ratio, target, ratio >= target ? "met" : "missed");
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
  evcpeer::TLoopbackNginx nginx;
  nginx.EnableTls(certs.CertFile, certs.KeyFile);
  if (!nginx.WriteDocument("/1k.bin", std::string(kDocument, 'k'))) Fatal("cannot write the document");
  if (!nginx.Start()) Fatal(nginx.Error());

  if (only.empty() || only == "http")
    Measure("http", &ClientSeconds<THttpCli>, nginx.Url("/1k.bin"), "", 2000, rounds, 0.8);
  if (only.empty() || only == "https")
    Measure("https", &ClientSeconds<THttpsCli>, nginx.TlsUrl("/1k.bin"), certs.CAFile, 500, rounds, 0.9);
  curl_global_cleanup();
  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
  return 0;
}
