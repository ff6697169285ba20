#include "Output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/Application.h"

namespace wsock {

namespace {
bool gFinished = false;
int gStatus = 0;
}  // namespace

std::string ErrorLine(const std::string& text, int code) {
  return "wsock: " + text + " (Error #" + std::to_string(code) + ")";
}

std::string MessageLine(const std::string& message) {
  const std::string head = "Error ";
  const std::string mid = " in function ";
  size_t brk = message.find("\r\n");
  if (message.compare(0, head.size(), head) == 0 && brk != std::string::npos) {
    size_t m = message.find(mid);
    std::string code = message.substr(head.size(), m == std::string::npos ? 0 : m - head.size());
    bool numeric = !code.empty() && code.find_first_not_of("0123456789") == std::string::npos;
    if (m != std::string::npos && m < brk && numeric) {
      std::string label = message.substr(m + mid.size(), brk - m - mid.size());
      std::string text = message.substr(brk + 2);
      return "wsock: " + label + ": " + text + " (Error #" + code + ")";
    }
  }
  std::string flat;
  for (char c : message) {
    if (c == '\r') continue;
    flat += c == '\n' ? ' ' : c;
  }
  return "wsock: " + flat;
}

void Finish(int status, const std::string& line) {
  if (gFinished) return;
  gFinished = true;
  gStatus = status;
  if (!line.empty()) Warn(line);
  evc::Application().Terminate();
}

void Warn(const std::string& line) {
  std::string l = line + "\n";
  WriteAll(STDERR_FILENO, l.data(), l.size());
}

bool Finished() { return gFinished; }
int ExitStatus() { return gStatus; }

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Someone left the descriptor non-blocking: wait for room in the
      // kernel instead of spinning.
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR) return false;
      continue;
    }
    if (n == 0) errno = EIO;
    return false;
  }
  return true;
}

bool WriteOutput(const char* data, size_t size) {
  if (WriteAll(STDOUT_FILENO, data, size)) return true;
  Finish(1, std::string("wsock: standard output: ") + std::strerror(errno));
  return false;
}

}  // namespace wsock
