// A one-line progress display on standard error for long transfers, shown
// only when standard error is a terminal and would not mix with output
// going to the same terminal.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>

namespace sectors {

class TProgress {
 public:
  // `verb` is "reading" or "writing"; `total` the bytes of the transfer.
  TProgress(const char* verb, uint64_t total, bool outputOnTerminal);
  ~TProgress();
  void Update(uint64_t done);
  // Clears the line; called before any error is printed.
  void Finish();

 private:
  const char* FVerb;
  uint64_t FTotal;
  bool FShown;
  bool FDrawn = false;
  std::chrono::steady_clock::time_point FLast;
};

}  // namespace sectors
