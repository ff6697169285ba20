#include "ToolRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>

namespace httpget_test {

std::string ToolPath() { return std::string(EVC_BINARY_DIR) + "/bin/httpget"; }
bool ToolBuilt() { return access(ToolPath().c_str(), X_OK) == 0; }

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string TempPath(const std::string& name) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string p = ::testing::TempDir() + "httpget_" + std::to_string(getpid()) + "_" +
                  (info ? std::string(info->name()) : std::string("x")) + "_" + name;
  unlink(p.c_str());
  return p;
}

TRun RunTool(const std::vector<std::string>& args, const std::string& stdinFile, int seconds) {
  TRun run;
  const std::string out = TempPath("stdout"), err = TempPath("stderr");
  pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    int in = open(stdinFile.empty() ? "/dev/null" : stdinFile.c_str(), O_RDONLY);
    int o = open(out.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    int e = open(err.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (in < 0 || o < 0 || e < 0) _exit(126);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    std::string tool = ToolPath();
    argv.push_back(tool.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (status != -1 && WIFEXITED(status)) run.Status = WEXITSTATUS(status);
  run.Out = ReadFile(out);
  run.Err = ReadFile(err);
  unlink(out.c_str());
  unlink(err.c_str());
  return run;
}

}  // namespace httpget_test
