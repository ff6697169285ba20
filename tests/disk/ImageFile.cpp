#include "disk/ImageFile.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace evc::test {

TTempDir::TTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/evc-disk-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  FPath = buf.data();
}

TTempDir::~TTempDir() {
  std::error_code ec;
  std::filesystem::remove_all(FPath, ec);
}

void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot create " + path);
  if (!data.empty() && std::fwrite(data.data(), 1, data.size(), f) != data.size()) {
    std::fclose(f);
    throw std::runtime_error("cannot write " + path);
  }
  std::fclose(f);
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot open " + path);
  std::vector<uint8_t> data;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
  std::fclose(f);
  return data;
}

void MakeSparseFile(const std::string& path, uint64_t size) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot make sparse " + path);
  }
  ::close(fd);
}

std::vector<uint8_t> ReadAt(const std::string& path, uint64_t offset, size_t count) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  std::vector<uint8_t> data(count);
  ssize_t n = pread(fd, data.data(), count, static_cast<off_t>(offset));
  ::close(fd);
  data.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return data;
}

void WriteAt(const std::string& path, uint64_t offset, const std::vector<uint8_t>& data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  ssize_t n = pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
  ::close(fd);
  if (n != static_cast<ssize_t>(data.size())) throw std::runtime_error("short write to " + path);
}

std::string ShellQuote(const std::string& s) {
  std::string r = "'";
  for (char c : s) {
    if (c == '\'')
      r += "'\\''";
    else
      r += c;
  }
  return r + "'";
}

int RunCommand(const std::string& command, std::string* out, bool mergeErr) {
  std::string cmd = command + (mergeErr ? " 2>&1" : "");
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
    if (out) out->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> DdRead(const std::string& path, uint64_t skipSectors, uint64_t countSectors) {
  std::string out;
  RunCommand("dd if=" + ShellQuote(path) + " bs=512 skip=" + std::to_string(skipSectors) +
                 " count=" + std::to_string(countSectors) + " status=none",
             &out);
  return std::vector<uint8_t>(out.begin(), out.end());
}

}  // namespace evc::test
