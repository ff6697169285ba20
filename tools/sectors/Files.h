// The user's own files: the raw output of a read and the input of a write.
#pragma once
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace sectors {

// A failure the tool reports in one line and exits 1 for.
class TFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws TFailure when `path` is the very file one of the mapped drives
// stands for, so that a read never replaces the image it reads.
void RefuseMappedFile(const std::string& path, const std::map<char, std::string>& maps, const char* role);

// The raw bytes of a read. A regular file is written under a temporary name
// beside it and renamed over `path` only by Commit, so a failed read leaves
// any earlier file of that name as it was; a device, a pipe or a name
// under /dev or /proc is written directly.
class TRawOutput {
 public:
  explicit TRawOutput(const std::string& path);
  ~TRawOutput();
  TRawOutput(const TRawOutput&) = delete;
  TRawOutput& operator=(const TRawOutput&) = delete;

  void Write(const uint8_t* data, size_t size);
  void Commit();

 private:
  std::string FPath;
  std::string FTemp;  // empty when writing to FPath directly
  int FFd = -1;
};

// The data of a write: exactly `size` bytes, or with `size` 0 all of the
// file. "-" is standard input. `limit` bounds what an unsized input may hold.
std::vector<uint8_t> ReadInput(const std::string& path, uint64_t size, uint64_t limit);

}  // namespace sectors
