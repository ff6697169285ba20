// Temporary disk images for the tests that run through the Linux disk layer.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace evc::test {

// A directory of its own under $TMPDIR (or /tmp), removed with everything in it.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  const std::string& Path() const { return FPath; }
  std::string File(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};

// Writes `data` as the whole file.
void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& data);
std::vector<uint8_t> ReadWholeFile(const std::string& path);
// A sparse file of `size` bytes.
void MakeSparseFile(const std::string& path, uint64_t size);
// Bytes at an offset, read with pread.
std::vector<uint8_t> ReadAt(const std::string& path, uint64_t offset, size_t count);
void WriteAt(const std::string& path, uint64_t offset, const std::vector<uint8_t>& data);
// What `dd` reads at a sector offset (bs=512).
std::vector<uint8_t> DdRead(const std::string& path, uint64_t skipSectors, uint64_t countSectors);
// Runs a shell command; returns its exit status and collects standard output
// (and standard error when `mergeErr`).
int RunCommand(const std::string& command, std::string* out, bool mergeErr = false);
std::string ShellQuote(const std::string& s);

}  // namespace evc::test
