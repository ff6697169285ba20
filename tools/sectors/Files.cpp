#include "Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace sectors {

namespace {

std::string Why(int err) { return std::strerror(err); }

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

void WriteAll(int fd, const uint8_t* data, size_t size, const std::string& path) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw TFailure("cannot write " + path + ": " + Why(n < 0 ? errno : ENOSPC));
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

void RefuseMappedFile(const std::string& path, const std::map<char, std::string>& maps, const char* role) {
  struct stat target;
  if (::stat(path.c_str(), &target) != 0) return;  // a new file cannot be an image
  for (const auto& [letter, image] : maps) {
    struct stat st;
    if (::stat(image.c_str(), &st) == 0 && SameFile(st, target) && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)))
      throw TFailure(std::string(role) + " " + path + " is the image of drive " + letter + ":");
  }
}

TRawOutput::TRawOutput(const std::string& path) : FPath(path) {
  struct stat st;
  bool exists = ::stat(path.c_str(), &st) == 0;
  // Devices and pipes cannot be replaced by a rename, and neither can names
  // like /dev/stdout that stand for a descriptor: those are written in place,
  // a regular file behind such a name at its end, as a shell's >> would.
  const bool special = path.rfind("/dev/", 0) == 0 || path.rfind("/proc/", 0) == 0;
  if (exists && (!S_ISREG(st.st_mode) || special)) {
    FFd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | (S_ISREG(st.st_mode) ? O_APPEND : 0));
    if (FFd < 0) throw TFailure("cannot open " + path + ": " + Why(errno));
    return;
  }
  std::string pattern = path + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  FFd = ::mkostemp(name.data(), O_CLOEXEC);
  if (FFd < 0) throw TFailure("cannot create " + path + ": " + Why(errno));
  FTemp = name.data();
  // The finished file gets the mode a plain create would have given it, or
  // keeps the mode of the file it replaces.
  mode_t mode;
  if (exists) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  ::fchmod(FFd, mode);
}

TRawOutput::~TRawOutput() {
  if (FFd >= 0) ::close(FFd);
  if (!FTemp.empty()) ::unlink(FTemp.c_str());
}

void TRawOutput::Write(const uint8_t* data, size_t size) { WriteAll(FFd, data, size, FPath); }

void TRawOutput::Commit() {
  int fd = FFd;
  FFd = -1;
  if (::close(fd) != 0) throw TFailure("cannot write " + FPath + ": " + Why(errno));
  if (FTemp.empty()) return;
  if (::rename(FTemp.c_str(), FPath.c_str()) != 0) throw TFailure("cannot create " + FPath + ": " + Why(errno));
  FTemp.clear();
}

std::vector<uint8_t> ReadInput(const std::string& path, uint64_t size, uint64_t limit) {
  const bool standardInput = path == "-";
  const std::string name = standardInput ? "standard input" : "input " + path;
  int fd = standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw TFailure("cannot open " + name + ": " + Why(errno));
  struct Closer {
    int fd;
    bool own;
    ~Closer() {
      if (own) ::close(fd);
    }
  } closer{fd, !standardInput};

  std::vector<uint8_t> data;
  const uint64_t want = size ? size : limit + 1;  // one more than fits shows an input too large
  try {
    struct stat st;
    if (size) {
      data.resize(size);
    } else if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      data.reserve(static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), want)));
    }
    uint64_t got = 0;
    for (;;) {
      if (got == want) break;
      if (!size && data.size() == got) data.resize(static_cast<size_t>(std::min<uint64_t>(want, got + (1 << 20))));
      ssize_t n = ::read(fd, data.data() + got, static_cast<size_t>(std::min<uint64_t>(data.size() - got, 1 << 30)));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw TFailure("cannot read " + name + ": " + Why(errno));
      if (n == 0) break;
      got += static_cast<uint64_t>(n);
    }
    if (size && got < size)
      throw TFailure(name + " holds " + std::to_string(got) + " bytes, " + std::to_string(size) + " needed");
    data.resize(static_cast<size_t>(got));
  } catch (const std::bad_alloc&) {
    throw TFailure("not enough memory for " + name);
  }
  return data;
}

}  // namespace sectors
