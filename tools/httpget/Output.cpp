#include "Output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace httpget {

TOutput::~TOutput() { Close(); }

bool TOutput::Open() {
  if (FFd >= 0) return true;
  if (FPath.empty()) {
    FFd = STDOUT_FILENO;
    return true;
  }
  FFd = open(FPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (FFd < 0) {
    FError = "cannot create " + FPath + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool TOutput::Write(const void* data, size_t len) {
  if (!FError.empty() || !Open()) return false;
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = write(FFd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      FError = "cannot write to " + (FPath.empty() ? std::string("standard output") : FPath) + ": " +
               std::strerror(errno);
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
    FWritten += static_cast<size_t>(n);
  }
  return true;
}

bool TOutput::Close() {
  if (FFd < 0) return FError.empty();
  int fd = FFd;
  FFd = -1;
  if (fd == STDOUT_FILENO) return FError.empty();
  if (close(fd) != 0 && FError.empty()) FError = "cannot close " + FPath + ": " + std::strerror(errno);
  return FError.empty();
}

}  // namespace httpget
