// One 256 MiB document from nginx on 127.0.0.1, over http with its length,
// over https, and over http chunked (nginx's server-side includes send it
// without a length; our client speaking HTTP/1.1): THttpCli (THttpsCli)
// counting the bytes as they arrive, against the curl program downloading the
// same document to /dev/null (timed as a child process, start-up included),
// in the same run. `http_bulk_bench [ROUNDS] [http|https|chunked]` measures
// one of them only.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include "CurlProgram.h"
#include "HttpBenchClient.h"
#include "LoopbackNginx.h"
#include "ssl/HttpsCli.h"
#include "ssl/SslCertMaker.h"

using namespace evc;

namespace {

constexpr int64_t kSize = int64_t{256} << 20;
using TClock = std::chrono::steady_clock;
using evcbench::CurlProgram;
using evcbench::CurlSeconds;
using evcbench::Fatal;

template <class TClient>
double ClientSeconds(const std::string& url, const std::string& caFile, const char* version) {
  evcbench::TCountingClientOf<TClient> client(url);
  if constexpr (std::is_same_v<TClient, THttpsCli>) client.Client().SetSslCAFile(caFile);
  client.Client().SetRequestVer(version);
  auto t0 = TClock::now();
  client.Get();
  double s = std::chrono::duration<double>(TClock::now() - t0).count();
  if (client.Bytes() != kSize) Fatal("the client received " + std::to_string(client.Bytes()) + " bytes");
  return s;
}

double MiBps(double seconds) { return static_cast<double>(kSize) / (1 << 20) / seconds; }

// Best of the rounds, alternating, so that neither side gets a warmer cache.
void Measure(const char* name, double (*ours)(const std::string&, const std::string&, const char*),
             const std::string& url, const std::string& caFile, const char* version,
             const std::vector<std::string>& curlOptions, int rounds, double target) {
  const std::string curl = CurlProgram();
  double best = 1e30, theirs = 1e30;
  for (int i = 0; i < rounds; ++i) {
    double a = ours(url, caFile, version), b = CurlSeconds(curl, url, curlOptions);
    std::printf("%s round %d: ours %.3f s (%.0f MiB/s), curl %.3f s (%.0f MiB/s)\n", name, i + 1, a, MiBps(a), b,
                MiBps(b));
    best = std::min(best, a);
    theirs = std::min(theirs, b);
  }
  const double ratio = MiBps(best) / MiBps(theirs);
  std::printf("256 MiB document over loopback %s: ours %.0f MiB/s, curl %.0f MiB/s, ratio %.2f (target >= %.2f: %s)\n",
              name, MiBps(best), MiBps(theirs), ratio, target, ratio >= target ? "met" : "missed");
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  if (rounds < 1) rounds = 1;
  const std::string only = argc > 2 ? argv[2] : "";
  if (CurlProgram().empty()) Fatal("curl is not installed");
  char dir[] = "/tmp/evc-bench-certs-XXXXXX";
  if (!mkdtemp(dir)) Fatal("mkdtemp failed");
  const TLoopbackCertificates certs = MakeLoopbackCertificates(dir, "benchmark authority");
  evcpeer::TLoopbackNginx nginx("location /chunked/ { ssi on; ssi_types *; }\n");
  nginx.EnableTls(certs.CertFile, certs.KeyFile);
  if (!nginx.WriteSparseDocument("/bulk.bin", kSize)) Fatal("cannot write the document");
  if (mkdir((nginx.DocumentRoot() + "/chunked").c_str(), 0755) != 0 ||
      !nginx.WriteSparseDocument("/chunked/bulk.bin", kSize))
    Fatal("cannot write the chunked document");
  if (!nginx.Start()) Fatal(nginx.Error());

  if (only.empty() || only == "http")
    Measure("http", &ClientSeconds<THttpCli>, nginx.Url("/bulk.bin"), "", "1.0", {}, rounds, 0.8);
  if (only.empty() || only == "https")
    Measure("https", &ClientSeconds<THttpsCli>, nginx.TlsUrl("/bulk.bin"), certs.CAFile, "1.0",
            {"--cacert", certs.CAFile}, rounds, 0.9);
  if (only.empty() || only == "chunked")
    Measure("http chunked", &ClientSeconds<THttpCli>, nginx.Url("/chunked/bulk.bin"), "", "1.1", {}, rounds, 0.9);
  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
  return 0;
}
