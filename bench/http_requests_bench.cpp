// 2,000 sequential requests for a 1 KiB document from nginx on 127.0.0.1,
// each on a new connection: THttpCli against libcurl in the same process
// with connection reuse forbidden, both speaking HTTP/1.0.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "HttpBenchClient.h"
#include "LoopbackNginx.h"

using namespace evc;

namespace {

constexpr int kRequests = 2000;
constexpr int kDocument = 1024;
using TClock = std::chrono::steady_clock;
using evcbench::Fatal;

size_t CountBytes(char*, size_t size, size_t n, void* total) {
  *static_cast<size_t*>(total) += size * n;
  return size * n;
}

double LibcurlSeconds(const std::string& url) {
  CURL* h = curl_easy_init();
  if (!h) Fatal("curl_easy_init failed");
  size_t bytes = 0;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, CountBytes);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &bytes);
  auto t0 = TClock::now();
  for (int i = 0; i < kRequests; ++i) {
    CURLcode rc = curl_easy_perform(h);
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    if (rc != CURLE_OK || code != 200) Fatal(std::string("libcurl: ") + curl_easy_strerror(rc));
  }
  double s = std::chrono::duration<double>(TClock::now() - t0).count();
  curl_easy_cleanup(h);
  if (bytes != size_t{kRequests} * kDocument) Fatal("libcurl received " + std::to_string(bytes) + " bytes");
  return s;
}

double HttpCliSeconds(const std::string& url) {
  evcbench::TCountingHttpClient client(url);
  auto t0 = TClock::now();
  for (int i = 0; i < kRequests; ++i) client.Get();
  double s = std::chrono::duration<double>(TClock::now() - t0).count();
  if (client.Bytes() != int64_t{kRequests} * kDocument)
    Fatal("THttpCli received " + std::to_string(client.Bytes()) + " bytes");
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  if (rounds < 1) rounds = 1;
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) Fatal("curl_global_init failed");
  evcpeer::TLoopbackNginx nginx;
  if (!nginx.WriteDocument("/1k.bin", std::string(kDocument, 'k'))) Fatal("cannot write the document");
  if (!nginx.Start()) Fatal(nginx.Error());
  const std::string url = nginx.Url("/1k.bin");

  double ours = 1e30, theirs = 1e30;
  for (int i = 0; i < rounds; ++i) {
    double a = HttpCliSeconds(url), b = LibcurlSeconds(url);
    std::printf("round %d: THttpCli %.0f requests/s, libcurl %.0f requests/s\n", i + 1, kRequests / a, kRequests / b);
    ours = std::min(ours, a);
    theirs = std::min(theirs, b);
  }
  const double ratio = theirs / ours;
  std::printf("%d requests of 1 KiB, a new connection each: THttpCli %.0f requests/s, libcurl %.0f requests/s, "
              "ratio %.2f (target >= 0.80: %s)\n",
              kRequests, kRequests / ours, kRequests / theirs, ratio, ratio >= 0.8 ? "met" : "missed");
  curl_global_cleanup();
  return 0;
}
