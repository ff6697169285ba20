#include "ToolProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>

extern char** environ;

namespace wsocktest {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

std::string ToolPath() { return std::string(EVC_BINARY_DIR) + "/bin/wsock"; }

TToolProcess::TToolProcess(const std::vector<std::string>& args, const std::string& stdinFile) {
  int in[2] = {-1, -1}, out[2], err[2];
  if (stdinFile.empty()) {
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  } else {
    in[0] = open(stdinFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (in[0] < 0) throw std::runtime_error("open " + stdinFile);
  }
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<std::string> all{ToolPath()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) throw std::runtime_error(std::string("spawn: ") + std::strerror(rc));
  FIn = in[1];
  FOutFd = out[0];
  FErrFd = err[0];
  if (FIn >= 0) fcntl(FIn, F_SETFL, O_NONBLOCK);
  // Our writes to a tool that is gone must fail, not kill the test.
  signal(SIGPIPE, SIG_IGN);
}

TToolProcess::~TToolProcess() {
  if (!FReaped) Kill();
  CloseFd(FIn);
  CloseFd(FOutFd);
  CloseFd(FErrFd);
}

bool TToolProcess::Step(const std::string* pending, size_t* written, int timeoutMs) {
  pollfd fds[3];
  int n = 0;
  int outIdx = -1, errIdx = -1, inIdx = -1;
  if (FOutFd >= 0) fds[outIdx = n++] = {FOutFd, POLLIN, 0};
  if (FErrFd >= 0) fds[errIdx = n++] = {FErrFd, POLLIN, 0};
  if (pending && FIn >= 0 && *written < pending->size()) fds[inIdx = n++] = {FIn, POLLOUT, 0};
  if (n == 0) return false;
  int r = poll(fds, static_cast<nfds_t>(n), timeoutMs);
  if (r < 0 && errno != EINTR) return false;
  if (r <= 0) return true;
  char buf[65536];
  auto drain = [&](int idx, int& fd, std::string& into) {
    if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
    ssize_t got = read(fd, buf, sizeof buf);
    if (got > 0)
      into.append(buf, static_cast<size_t>(got));
    else if (got == 0 || (errno != EINTR && errno != EAGAIN))
      CloseFd(fd);
  };
  drain(outIdx, FOutFd, FOut);
  drain(errIdx, FErrFd, FErr);
  if (inIdx >= 0 && (fds[inIdx].revents & (POLLOUT | POLLERR | POLLHUP))) {
    ssize_t w = write(FIn, pending->data() + *written, pending->size() - *written);
    if (w > 0)
      *written += static_cast<size_t>(w);
    else if (w < 0 && errno != EAGAIN && errno != EINTR)
      return false;
  }
  return true;
}

bool TToolProcess::WaitForStderr(const std::string& text, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (FErr.find(text) == std::string::npos) {
    if (RemainingMs(deadline) == 0) return false;
    if (!Step(nullptr, nullptr, RemainingMs(deadline))) return FErr.find(text) != std::string::npos;
  }
  return true;
}

bool TToolProcess::WaitForStdout(const std::string& text, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (FOut.find(text) == std::string::npos) {
    if (RemainingMs(deadline) == 0) return false;
    if (!Step(nullptr, nullptr, RemainingMs(deadline))) return FOut.find(text) != std::string::npos;
  }
  return true;
}

int TToolProcess::WaitForListening(int timeoutMs) {
  const std::string head = "listening on ";
  if (!WaitForStderr(head, timeoutMs)) return 0;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t at = FErr.find(head);
  while (FErr.find('\n', at) == std::string::npos && RemainingMs(deadline) > 0)
    if (!Step(nullptr, nullptr, RemainingMs(deadline))) break;
  size_t end = FErr.find('\n', at);
  size_t colon = FErr.rfind(':', end);
  if (end == std::string::npos || colon == std::string::npos || colon < at) return 0;
  return std::atoi(FErr.substr(colon + 1, end - colon - 1).c_str());
}

bool TToolProcess::Write(const std::string& data, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t written = 0;
  while (written < data.size()) {
    if (FIn < 0 || RemainingMs(deadline) == 0) return false;
    if (!Step(&data, &written, RemainingMs(deadline))) return false;
  }
  return true;
}

void TToolProcess::CloseStdin() { CloseFd(FIn); }

bool TToolProcess::Exited() {
  if (FReaped) return true;
  int status;
  pid_t r = waitpid(FPid, &status, WNOHANG);
  if (r != FPid) return false;
  FReaped = true;
  FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

bool TToolProcess::Reap(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Exited()) {
    if (RemainingMs(deadline) == 0) return false;
    if (!Step(nullptr, nullptr, std::min(50, RemainingMs(deadline)))) usleep(10000);
  }
  return true;
}

TToolResult TToolProcess::Finish(const std::string& input, int timeoutMs) {
  TToolResult result;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t written = 0;
  while (written < input.size() && FIn >= 0 && RemainingMs(deadline) > 0)
    if (!Step(&input, &written, RemainingMs(deadline))) break;
  CloseStdin();
  // Both outputs to their end, then the exit status.
  while ((FOutFd >= 0 || FErrFd >= 0) && RemainingMs(deadline) > 0) Step(nullptr, nullptr, RemainingMs(deadline));
  if (!Reap(RemainingMs(deadline))) {
    result = Kill();
    result.TimedOut = true;
    return result;
  }
  result.Status = FStatus;
  result.Out = FOut;
  result.Err = FErr;
  return result;
}

TToolResult TToolProcess::Kill() {
  if (!FReaped) {
    kill(FPid, SIGKILL);
    int status;
    waitpid(FPid, &status, 0);
    FReaped = true;
    FStatus = -1;
  }
  CloseFd(FIn);
  // Whatever is left in the pipes (the writer is gone, so this ends).
  while (FOutFd >= 0 || FErrFd >= 0)
    if (!Step(nullptr, nullptr, 1000)) break;
  TToolResult result;
  result.Status = FStatus;
  result.Out = FOut;
  result.Err = FErr;
  return result;
}

TToolResult RunTool(const std::vector<std::string>& args, const std::string& input, int timeoutMs) {
  TToolProcess p(args);
  return p.Finish(input, timeoutMs);
}

int UnusedPort(bool udp) {
  int s = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(s);
    return 0;
  }
  close(s);
  return ntohs(a.sin_port);
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

}  // namespace wsocktest
