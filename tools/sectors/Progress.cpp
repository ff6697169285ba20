#include "Progress.h"

#include <unistd.h>

#include <cstdio>

namespace sectors {

namespace {
// Smaller transfers end before a display would be seen.
constexpr uint64_t kWorthShowing = 16ull << 20;
constexpr auto kInterval = std::chrono::milliseconds(200);
}  // namespace

TProgress::TProgress(const char* verb, uint64_t total, bool outputOnTerminal)
    : FVerb(verb), FTotal(total), FShown(total >= kWorthShowing && !outputOnTerminal && isatty(STDERR_FILENO)) {
  FLast = std::chrono::steady_clock::now() - kInterval;
}

TProgress::~TProgress() { Finish(); }

void TProgress::Update(uint64_t done) {
  if (!FShown) return;
  auto now = std::chrono::steady_clock::now();
  if (now - FLast < kInterval && done < FTotal) return;
  FLast = now;
  std::fprintf(stderr, "\rsectors: %s %3u%% (%llu of %llu MiB)", FVerb,
               static_cast<unsigned>(done * 100 / FTotal), static_cast<unsigned long long>(done >> 20),
               static_cast<unsigned long long>(FTotal >> 20));
  std::fflush(stderr);
  FDrawn = true;
}

void TProgress::Finish() {
  if (!FDrawn) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  FDrawn = false;
}

}  // namespace sectors
