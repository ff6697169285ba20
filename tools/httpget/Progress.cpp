#include "Progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace httpget {

std::string TProgress::Size(double bytes) {
  static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024 && u < 4) {
    bytes /= 1024;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[u]);
  return buf;
}

std::string TProgress::Format(int64_t done, int64_t total, double seconds, int width) {
  std::string rate = seconds > 0 ? Size(static_cast<double>(done) / seconds) + "/s" : "-";
  std::string text = Size(static_cast<double>(done)) + "  " + rate;
  if (total < 0) return text;
  // A server may send more than it announced; the bar stops at full.
  const double share = total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
  char pct[16];
  std::snprintf(pct, sizeof pct, "%3d%% ", static_cast<int>(share * 100));
  const int barWidth = std::max(10, width - static_cast<int>(text.size()) - 20 - static_cast<int>(Size(static_cast<double>(total)).size()));
  const int filled = static_cast<int>(share * barWidth);
  return std::string(pct) + "[" + std::string(filled, '#') + std::string(barWidth - filled, ' ') + "] " + text +
         " of " + Size(static_cast<double>(total));
}

void TProgress::Begin(int64_t total) {
  FDone = 0;
  FTotal = total;
  FStart = FLastDraw = std::chrono::steady_clock::now();
}

void TProgress::Advance(int64_t bytes) {
  FDone += bytes;
  if (!FEnabled) return;
  auto now = std::chrono::steady_clock::now();
  if (now - FLastDraw >= std::chrono::milliseconds(200)) {
    FLastDraw = now;
    Draw();
  }
}

void TProgress::Finish() {
  if (!FEnabled || FStart == std::chrono::steady_clock::time_point{}) return;
  Draw();
  std::fputc('\n', stderr);
  FShown = false;
}

void TProgress::Draw() {
  int width = 80;
  winsize ws{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) width = ws.ws_col;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
  std::string line = Format(FDone, FTotal, seconds, width - 1);
  if (static_cast<int>(line.size()) > width - 1) line.resize(static_cast<size_t>(width - 1));
  std::fprintf(stderr, "\r%-*s", width - 1, line.c_str());
  std::fflush(stderr);
  FShown = true;
}

}  // namespace httpget
