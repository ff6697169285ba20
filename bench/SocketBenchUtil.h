// Shared pieces of the socket benchmarks: a pair of connected components on
// 127.0.0.1, raw loopback pairs for the baselines, and a reporter that prints
// each figure beside its baseline.
#pragma once
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "base/Application.h"
#include "platform/messages.h"
#include "socket/DAVidavi.h"

namespace sockbench {

using namespace evc;

using evcbench::Fatal;
using evcbench::PumpUntil;

// A listening component on 127.0.0.1 that adopts every incoming connection
// into a new component of its own.
class TAcceptor {
 public:
  TAcceptor() {
    FListener.SetProto("tcp");
    FListener.SetAddr("127.0.0.1");
    FListener.SetPort("0");
    FListener.OnSessionAvailable = [this](TObject*, WORD error) {
      if (error != 0) return;
      winsock::SOCKET h = FListener.Accept();
      if (h == winsock::INVALID_SOCKET) return;
      auto s = std::make_unique<DAVidavi>(nullptr);
      if (OnAdopt) OnAdopt(*s);
      s->Dup(h);
      Accepted.push_back(std::move(s));
    };
    FListener.Listen();
    if (FListener.State() != wsListening) Fatal("cannot listen on 127.0.0.1");
    Port = FListener.BoundPort();
  }
  std::string Port;
  // Called for each new component before it takes the connection over.
  std::function<void(DAVidavi&)> OnAdopt;
  std::vector<std::unique_ptr<DAVidavi>> Accepted;

 private:
  DAVidavi FListener{nullptr};
};

// Starts a client component's connection to the acceptor.
inline void StartConnect(DAVidavi& client, const TAcceptor& acceptor) {
  client.SetProto("tcp");
  client.SetAddr("127.0.0.1");
  client.SetPort(acceptor.Port);
  client.Connect();
  if (client.State() != wsConnecting && client.State() != wsConnected) Fatal("connect failed to start");
}

// Two components connected to each other: Client made the connection,
// Server is the accepted end.
struct TComponentPair {
  TAcceptor Acceptor;
  std::unique_ptr<DAVidavi> Client = std::make_unique<DAVidavi>(nullptr);
  DAVidavi* Server = nullptr;

  TComponentPair() {
    bool connected = false;
    Client->OnSessionConnected = [&connected](TObject*, WORD e) { connected = e == 0; };
    StartConnect(*Client, Acceptor);
    if (!PumpUntil([&] { return connected && !Acceptor.Accepted.empty(); }, 5000)) Fatal("pair did not connect");
    Client->OnSessionConnected.Clear();
    Server = Acceptor.Accepted.front().get();
  }
};

// Two connected non-blocking POSIX sockets on 127.0.0.1 for the baselines.
struct TRawPair {
  int Client = -1, Server = -1;
  TRawPair() {
    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (lfd < 0 || ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(lfd, 1) != 0 ||
        ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      Fatal("raw listener");
    Client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(Client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Fatal("raw connect");
    Server = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(lfd);
    if (Server < 0) Fatal("raw accept");
    for (int fd : {Client, Server}) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      // The components set keep-alive on every stream; do the same so the
      // sockets differ only in who drives them.
      int on = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    }
  }
  ~TRawPair() {
    ::close(Client);
    ::close(Server);
  }
  TRawPair(const TRawPair&) = delete;
  TRawPair& operator=(const TRawPair&) = delete;
};

// One line of the summary: a figure of ours against its baseline. The
// target is judged on the counter (from the time the benchmark reports);
// the ratio of the process CPU times per iteration is printed beside it,
// since on a loaded machine waiting for a processor can swamp wall time.
struct TComparison {
  std::string Title;     // what is compared
  std::string Ours;      // benchmark name (prefix) of our side
  std::string Baseline;  // benchmark name (prefix) of the baseline; "a|b" averages runs a and b
  std::string Counter;   // counter both report, higher is better
  std::string Unit;      // how the counter reads, e.g. "MiB/s"
  double Scale;          // counter value times Scale gives Unit
  double Target;         // least acceptable ratio ours / baseline (0: shown for reference only)
};

// A figure of its own with a limit (no baseline), e.g. processor use.
struct TFigure {
  std::string Title;
  std::string Bench;
  std::string Counter;
  std::string Unit;
  double Limit;       // the figure must stay below this (0: no limit)
};

// Prints the usual table, then one line per comparison with both figures,
// their ratio and whether the target is met.
class TComparisonReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so that logs and pipes get plain text.
  explicit TComparisonReporter(std::vector<TComparison> lines, std::vector<TFigure> figures = {})
      : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular),
        FLines(std::move(lines)),
        FFigures(std::move(figures)) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      auto& v = FValues[r.benchmark_name()];
      for (const auto& [name, c] : r.counters) v[name] = double(c);
      v["cpu_time"] = r.GetAdjustedCPUTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& l : FLines) {
      double ours = Find(l.Ours, l.Counter), base = Find(l.Baseline, l.Counter);
      if (ours <= 0 || base <= 0) continue;
      double ratio = ours / base;
      double oursCpu = Find(l.Ours, "cpu_time"), baseCpu = Find(l.Baseline, "cpu_time");
      std::string verdict = "no target";
      if (l.Target > 0)
        verdict = "target >= " + std::to_string(l.Target).substr(0, 4) + ": " + (ratio >= l.Target ? "met" : "MISSED");
      std::printf("%s: ours %.1f %s, baseline %.1f %s, ratio %.2f (%s); cpu-time ratio %.2f\n", l.Title.c_str(),
                  ours * l.Scale, l.Unit.c_str(), base * l.Scale, l.Unit.c_str(), ratio, verdict.c_str(),
                  oursCpu > 0 ? baseCpu / oursCpu : 0.0);
    }
    for (const auto& f : FFigures) {
      double v = Find(f.Bench, f.Counter);
      if (f.Limit > 0)
        std::printf("%s: %.3f %s (limit < %.3f: %s)\n", f.Title.c_str(), v, f.Unit.c_str(), f.Limit,
                    v < f.Limit ? "met" : "MISSED");
      else
        std::printf("%s: %.3f %s\n", f.Title.c_str(), v, f.Unit.c_str());
    }
    std::fflush(stdout);
  }
  // A counter of the first run whose name starts with `prefix` (0 if none);
  // for "a|b|..." the mean over the prefixes found.
  double Find(const std::string& prefixes, const std::string& counter) const {
    double sum = 0;
    int found = 0;
    size_t from = 0;
    for (;;) {
      size_t bar = prefixes.find('|', from);
      std::string prefix = prefixes.substr(from, bar == std::string::npos ? std::string::npos : bar - from);
      for (const auto& [name, counters] : FValues)
        if (name.rfind(prefix, 0) == 0) {
          auto it = counters.find(counter);
          if (it == counters.end()) continue;
          sum += it->second;
          ++found;
          break;
        }
      if (bar == std::string::npos) break;
      from = bar + 1;
    }
    return found ? sum / found : 0;
  }

 private:
  std::vector<TComparison> FLines;
  std::vector<TFigure> FFigures;
  std::map<std::string, std::map<std::string, double>> FValues;
};

}  // namespace sockbench
