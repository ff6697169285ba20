// Where the document goes: standard output or a file that is created only
// when the first byte arrives, so that a request that fails before the
// server answers leaves no empty file behind.
#pragma once
#include <cstddef>
#include <string>

namespace httpget {

class TOutput {
 public:
  // An empty path means standard output.
  explicit TOutput(std::string path) : FPath(std::move(path)) {}
  ~TOutput();
  TOutput(const TOutput&) = delete;
  TOutput& operator=(const TOutput&) = delete;

  // Writes all of the bytes; false (with Error set) when the system refuses.
  bool Write(const void* data, size_t len);
  // Flushes and closes; false when that fails.
  bool Close();
  const std::string& Error() const { return FError; }
  size_t Written() const { return FWritten; }

 private:
  bool Open();
  std::string FPath;
  std::string FError;
  int FFd = -1;
  size_t FWritten = 0;
};

}  // namespace httpget
