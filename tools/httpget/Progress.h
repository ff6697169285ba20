// A one-line progress bar on standard error: bytes so far, the rate and,
// when the length is known, the share done. Redrawn at most five times a
// second so that it costs nothing next to the transfer.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>

namespace httpget {

class TProgress {
 public:
  explicit TProgress(bool enabled) : FEnabled(enabled) {}
  // A new document starts (after a relocation too); total -1 when unknown.
  void Begin(int64_t total);
  void Advance(int64_t bytes);
  // Draws the final state and ends the line.
  void Finish();

  // The text of the bar, for the tests and for Draw.
  static std::string Format(int64_t done, int64_t total, double seconds, int width);
  // 1536 -> "1.5 KiB"
  static std::string Size(double bytes);

 private:
  void Draw();
  bool FEnabled;
  bool FShown = false;
  int64_t FDone = 0;
  int64_t FTotal = -1;
  std::chrono::steady_clock::time_point FStart{}, FLastDraw{};
};

}  // namespace httpget
