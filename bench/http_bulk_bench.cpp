// One 256 MiB document from nginx on 127.0.0.1: THttpCli counting the bytes
// as they arrive, against the curl program downloading the same document to
// /dev/null (timed as a child process, start-up included), in the same run.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "HttpBenchClient.h"
#include "LoopbackNginx.h"

using namespace evc;

namespace {

constexpr int64_t kSize = int64_t{256} << 20;
using TClock = std::chrono::steady_clock;
using evcbench::Fatal;

std::string CurlProgram() {
  for (const char* p : {"/usr/bin/curl", "/usr/local/bin/curl"})
    if (access(p, X_OK) == 0) return p;
  return {};
}

double CurlSeconds(const std::string& curl, const std::string& url) {
  auto t0 = TClock::now();
  pid_t pid = fork();
  if (pid < 0) Fatal("fork failed");
  if (pid == 0) {
    execl(curl.c_str(), curl.c_str(), "-s", "-o", "/dev/null", url.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double s = std::chrono::duration<double>(TClock::now() - t0).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fatal("curl failed");
  return s;
}

double HttpCliSeconds(const std::string& url) {
  evcbench::TCountingHttpClient client(url);
  auto t0 = TClock::now();
  client.Get();
  double s = std::chrono::duration<double>(TClock::now() - t0).count();
  if (client.Bytes() != kSize) Fatal("THttpCli received " + std::to_string(client.Bytes()) + " bytes");
  return s;
}

double MiBps(double seconds) { return static_cast<double>(kSize) / (1 << 20) / seconds; }

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  if (rounds < 1) rounds = 1;
  const std::string curl = CurlProgram();
  if (curl.empty()) Fatal("curl is not installed");
  evcpeer::TLoopbackNginx nginx;
  if (!nginx.WriteSparseDocument("/bulk.bin", kSize)) Fatal("cannot write the document");
  if (!nginx.Start()) Fatal(nginx.Error());
  const std::string url = nginx.Url("/bulk.bin");

  // Best of the rounds, alternating, so that neither side gets a warmer cache.
  double ours = 1e30, theirs = 1e30;
  for (int i = 0; i < rounds; ++i) {
    double a = HttpCliSeconds(url), b = CurlSeconds(curl, url);
    std::printf("round %d: THttpCli %.3f s (%.0f MiB/s), curl %.3f s (%.0f MiB/s)\n", i + 1, a, MiBps(a), b, MiBps(b));
    ours = std::min(ours, a);
    theirs = std::min(theirs, b);
  }
  const double ratio = MiBps(ours) / MiBps(theirs);
  std::printf("256 MiB document over loopback: THttpCli %.0f MiB/s, curl %.0f MiB/s, ratio %.2f (target >= 0.80: %s)\n",
              MiBps(ours), MiBps(theirs), ratio, ratio >= 0.8 ? "met" : "missed");
  return 0;
}
