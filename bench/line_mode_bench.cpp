// Line mode throughput: 80-byte lines arriving in large reads, handed one by
// one to an OnDataAvailable handler that copies each into a buffer of its
// own, against a plain memchr loop that cuts and copies the same bytes in the
// same run. Both sizes run so that the scaling shows: twice the data should
// take about twice the time. A last figure takes the same path through a
// real loopback connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchUtil.h"
#include "base/Application.h"
#include "platform/messages.h"
#include "socket/DAVidavi.h"

using namespace evc;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kLine = 80;
constexpr size_t kRead = 64 * 1024;

std::string MakeLines(size_t bytes) {
  std::string data;
  data.reserve(bytes);
  for (size_t i = 0; data.size() + kLine <= bytes; ++i) {
    char head[24];
    int n = std::snprintf(head, sizeof(head), "%010zu ", i);
    std::string line(head, static_cast<size_t>(n));
    line.append(kLine - 2 - line.size(), static_cast<char>('a' + i % 26));
    line += "\r\n";
    data += line;
  }
  return data;
}

struct TResult {
  double seconds;
  uint64_t lines;
  uint64_t sum;
};

double Seconds(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Counts the lines a line-mode component hands out, with a checksum the
// baseline's must equal.
struct TLineCounter {
  uint64_t lines = 0, sum = 0;
  char line[256];
  void Attach(DAVidavi& s) {
    s.SetLineMode(true);
    s.OnDataAvailable = [this, &s](TObject*, WORD) {
      int n = s.Receive(line, sizeof(line));
      ++lines;
      sum += static_cast<unsigned char>(line[n / 2]) + static_cast<uint64_t>(n);
    };
  }
};

// The component: lines through the layer, fed read by read.
TResult RunLineMode(const std::string& data) {
  DAVidavi s(nullptr);
  TLineCounter counted;
  counted.Attach(s);
  auto t = Clock::now();
  for (size_t off = 0; off < data.size(); off += kRead)
    s.DeliverReceivedBytes(data.data() + off, static_cast<int>(std::min(kRead, data.size() - off)));
  return {Seconds(t), counted.lines, counted.sum};
}

// The baseline: the same cutting and copying written by hand.
TResult RunMemchr(const std::string& data) {
  uint64_t lines = 0, sum = 0;
  char line[256];
  std::string carry;
  auto t = Clock::now();
  for (size_t off = 0; off < data.size(); off += kRead) {
    const char* p = data.data() + off;
    const char* end = p + std::min(kRead, data.size() - off);
    while (p < end) {
      const char* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(end - p)));
      if (!cr || cr + 1 >= end) {
        carry.append(p, static_cast<size_t>(end - p));
        break;
      }
      if (cr[1] != '\n') {
        carry.append(p, static_cast<size_t>(cr + 1 - p));
        p = cr + 1;
        continue;
      }
      size_t n = static_cast<size_t>(cr + 2 - p);
      if (!carry.empty()) {
        carry.append(p, n);
        std::memcpy(line, carry.data(), std::min(carry.size(), sizeof(line)));
        n = carry.size();
        carry.clear();
      } else {
        std::memcpy(line, p, n);
      }
      ++lines;
      sum += static_cast<unsigned char>(line[n / 2]) + n;
      p = cr + 2;
    }
  }
  return {Seconds(t), lines, sum};
}

// The component on a real loopback connection, written by another thread.
TResult RunLoopback(const std::string& data) {
  int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  ::listen(lfd, 1);
  ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  DAVidavi s(nullptr);
  TLineCounter counted;
  counted.Attach(s);
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(ntohs(a.sin_port)));
  s.Connect();
  pollfd pl{lfd, POLLIN, 0};
  int peer = ::poll(&pl, 1, 5000) == 1 ? ::accept(lfd, nullptr, nullptr) : -1;
  ::close(lfd);
  if (peer < 0) return {0, 0, 0};
  const uint64_t want = data.size() / kLine;
  auto t = Clock::now();
  std::thread writer([&] {
    size_t off = 0;
    while (off < data.size()) {
      ssize_t n = ::send(peer, data.data() + off, std::min(kRead, data.size() - off), MSG_NOSIGNAL);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
  });
  evcbench::PumpUntil([&] { return counted.lines >= want; }, 60000);
  double secs = Seconds(t);
  writer.join();
  ::close(peer);
  return {secs, counted.lines, counted.sum};
}

template <class F>
TResult BestOf(int runs, F f) {
  TResult best{1e30, 0, 0};
  for (int i = 0; i < runs; ++i) {
    TResult r = f();
    if (r.seconds < best.seconds) best = r;
  }
  return best;
}

double MiBps(size_t bytes, double secs) { return static_cast<double>(bytes) / (1024.0 * 1024.0) / secs; }

}  // namespace

int main() {
  std::printf("%-10s %-24s %10s %12s %12s\n", "size", "run", "seconds", "MiB/s", "lines");
  double lineSecs[2] = {0, 0};
  int idx = 0;
  bool ok = true;
  for (size_t mib : {128, 256}) {
    const std::string data = MakeLines(mib * 1024 * 1024);
    TResult line = BestOf(5, [&] { return RunLineMode(data); });
    TResult base = BestOf(5, [&] { return RunMemchr(data); });
    if (line.lines != base.lines || line.sum != base.sum) {
      std::printf("MISMATCH: %llu lines against %llu\n", static_cast<unsigned long long>(line.lines),
                  static_cast<unsigned long long>(base.lines));
      ok = false;
    }
    std::printf("%-10s %-24s %10.3f %12.0f %12llu\n", (std::to_string(mib) + " MiB").c_str(), "line mode (DAVidavi)",
                line.seconds, MiBps(data.size(), line.seconds), static_cast<unsigned long long>(line.lines));
    std::printf("%-10s %-24s %10.3f %12.0f %12llu\n", "", "memchr loop (baseline)", base.seconds,
                MiBps(data.size(), base.seconds), static_cast<unsigned long long>(base.lines));
    std::printf("%-10s %-24s %10.2f\n", "", "ratio (baseline time / ours)", base.seconds / line.seconds);
    lineSecs[idx++] = line.seconds;
    if (mib == 256) {
      TResult net = RunLoopback(data);
      if (net.lines != line.lines || net.sum != line.sum) {
        std::printf("MISMATCH on loopback: %llu lines\n", static_cast<unsigned long long>(net.lines));
        ok = false;
      }
      std::printf("%-10s %-24s %10.3f %12.0f %12llu\n", "", "loopback socket, line mode", net.seconds,
                  MiBps(data.size(), net.seconds), static_cast<unsigned long long>(net.lines));
    }
  }
  std::printf("scaling: 256 MiB took %.2f times as long as 128 MiB\n", lineSecs[1] / lineSecs[0]);
  return ok ? 0 : 1;
}
