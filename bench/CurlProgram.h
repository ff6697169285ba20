// The curl program as a baseline: found where Debian installs it, and one
// download to /dev/null timed as a child process, start-up included.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "BenchUtil.h"

namespace evcbench {

inline std::string CurlProgram() {
  for (const char* p : {"/usr/bin/curl", "/usr/local/bin/curl"})
    if (access(p, X_OK) == 0) return p;
  return {};
}

// Seconds curl took to fetch `url` with `options` before it; fatal when it fails.
inline double CurlSeconds(const std::string& curl, const std::string& url, std::vector<std::string> options = {}) {
  std::vector<std::string> args{curl, "-s", "-o", "/dev/null"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(url);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) Fatal("fork failed");
  if (pid == 0) {
    execv(curl.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fatal("curl failed with status " + std::to_string(status));
  return s;
}

}  // namespace evcbench
