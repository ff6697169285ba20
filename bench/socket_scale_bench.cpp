// Ten thousand connected pairs of socket components in one thread.
//
// Figures: the time to connect them all; the heap each connected component
// costs; round trips per second on one pair while all the others sit idle,
// against the same pair with no other pairs; and the processor time the
// thread uses while every pair is open and nothing happens.
//
// The round trips are measured in cycles (alone, open the crowd, with the
// crowd, close it, ...) and each figure with the crowd is set against the
// mean of the figures alone just before and just after it, so that a
// change in the machine's load during the run does not pass for a cost of
// the idle pairs; the verdict is on all cycles together. A raw epoll echo
// loop (the same system calls the components make per round trip, without
// them) runs the same comparison at the end: what the kernel itself loses
// to the idle sockets shows there.
//
// Each pair holds two descriptors, so the program raises its descriptor
// limit as far as it needs (or may); when the hard limit leaves too few, it
// opens as many pairs as fit and says so.
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <cstring>

#include "SocketBenchUtil.h"

using namespace evc;
using namespace sockbench;

namespace {

constexpr int kWantedPairs = 10000;
// Descriptors kept for everything else: standard streams, the poller and
// its wake-up, the listener, the socket layer's spare, the measuring pair.
constexpr int kReserve = 32;
// The listener's backlog is 5: more connections in flight than it holds
// would be dropped by the kernel and retried a second later.
constexpr int kConnectWindow = 4;
constexpr int kMessage = 32;  // bytes per round trip

int gPairs = 0;  // idle pairs to open, set from the descriptor limit
rlim_t gLimit = 0;
int gAskedPairs = kWantedPairs;  // --pairs=N, for smaller runs under a profiler

void RaiseDescriptorLimit() {
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rlim_t want = rlim_t(2 * gAskedPairs + kReserve);
  rl.rlim_cur = std::min(want, rl.rlim_max);
  if (rl.rlim_max < want) {
    // Only a privileged process may raise the hard limit; try, and live
    // with what is allowed.
    rlimit more{want, want};
    if (setrlimit(RLIMIT_NOFILE, &more) == 0) rl = more;
  }
  setrlimit(RLIMIT_NOFILE, &rl);
  getrlimit(RLIMIT_NOFILE, &rl);
  gLimit = rl.rlim_cur;
  gPairs = static_cast<int>(std::min<rlim_t>(rlim_t(gAskedPairs), (rl.rlim_cur - kReserve) / 2));
}

size_t HeapInUse() {
  struct mallinfo2 mi = mallinfo2();
  return mi.uordblks + mi.hblkhd;
}

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The pair the round trips run on, and the idle crowd around it.
struct TWorld {
  TComponentPair Echo;
  int Replies = 0;
  int ReplyBytes = 0;
  TAcceptor Crowd;
  std::vector<std::unique_ptr<DAVidavi>> Clients;
  int Connected = 0;
  bool Opened = false;
  double ConnectSeconds = 0;
  double HeapPerSocket = 0;

  TWorld() {
    Echo.Server->OnDataAvailable = [this](TObject*, WORD) {
      char buf[256];
      int n = Echo.Server->Receive(buf, sizeof buf);
      if (n > 0) Echo.Server->Send(buf, n);
    };
    Echo.Client->OnDataAvailable = [this](TObject*, WORD) {
      char buf[256];
      int n = Echo.Client->Receive(buf, sizeof buf);
      if (n <= 0) return;
      ReplyBytes += n;
      while (ReplyBytes >= kMessage) {
        ReplyBytes -= kMessage;
        ++Replies;
      }
    };
  }

  // Destroys the idle pairs (both ends) and returns how long it took.
  double CloseCrowd() {
    auto t0 = std::chrono::steady_clock::now();
    Clients.clear();
    Crowd.Accepted.clear();
    Opened = false;
    Connected = 0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }

  bool RoundTrip() {
    static const char message[kMessage] = "ping ping ping ping ping ping p";
    int before = Replies;
    if (Echo.Client->Send(message, kMessage) != kMessage) return false;
    return PumpUntil([&] { return Replies != before; }, 5000);
  }

  // Opens the idle pairs, never more connections in flight than the
  // listener's backlog holds.
  void OpenCrowd() {
    if (Opened) return;
    Opened = true;
    size_t heapBefore = HeapInUse();
    auto start = std::chrono::steady_clock::now();
    Clients.reserve(static_cast<size_t>(gPairs));
    Crowd.Accepted.reserve(static_cast<size_t>(gPairs));
    bool ok = PumpUntil(
        [&] {
          while (Clients.size() < static_cast<size_t>(gPairs) &&
                 Clients.size() - Crowd.Accepted.size() < static_cast<size_t>(kConnectWindow)) {
            auto c = std::make_unique<DAVidavi>(nullptr);
            c->OnSessionConnected = [this](TObject*, WORD e) {
              if (e == 0) ++Connected;
            };
            StartConnect(*c, Crowd);
            Clients.push_back(std::move(c));
          }
          return Crowd.Accepted.size() == static_cast<size_t>(gPairs) && Connected == gPairs;
        },
        90000);
    ConnectSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok)
      Fatal("only " + std::to_string(Crowd.Accepted.size()) + " of " + std::to_string(gPairs) + " pairs connected");
    // Both ends of every pair are connected components now.
    HeapPerSocket = double(HeapInUse() - heapBefore) / (2.0 * gPairs);
    for (auto& s : Crowd.Accepted)
      if (s->State() != wsConnected) Fatal("an accepted end is not connected");
  }
};

TWorld* gWorld = nullptr;

void RunRoundTrips(benchmark::State& state) {
  for (auto _ : state)
    if (!gWorld->RoundTrip()) Fatal("a round trip did not come back");
  state.SetItemsProcessed(state.iterations());
}

void BM_RoundTrip_Alone(benchmark::State& state) {
  if (gWorld->Opened) Fatal("the crowd is open during a round trip measured alone");
  RunRoundTrips(state);
}

void BM_ConnectAll(benchmark::State& state) {
  for (auto _ : state) gWorld->OpenCrowd();
  state.counters["pairs"] = gPairs;
  state.counters["connect_s"] = gWorld->ConnectSeconds;
  state.counters["us_per_pair"] = gWorld->ConnectSeconds * 1e6 / gPairs;
  state.counters["heap_per_socket"] = gWorld->HeapPerSocket;
}

void BM_RoundTrip_WithIdlePairs(benchmark::State& state) {
  gWorld->OpenCrowd();
  RunRoundTrips(state);
  state.counters["idle_pairs"] = gPairs;
}

void BM_IdleCpu(benchmark::State& state) {
  gWorld->OpenCrowd();
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    double c0 = CpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    PumpUntil([] { return false; }, 2000);
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu = CpuSeconds() - c0;
  }
  state.counters["cpu_percent"] = 100.0 * cpu / wall;
  state.counters["wall_s"] = wall;
}

void BM_CloseAll(benchmark::State& state) {
  gWorld->OpenCrowd();
  double seconds = 0;
  for (auto _ : state) seconds = gWorld->CloseCrowd();
  state.counters["close_s"] = seconds;
}

// The raw loop: one echo pair and a crowd of idle pairs in one epoll set,
// every descriptor one-shot and re-armed after each read, as the socket
// layer does.
struct TRawWorld {
  int Epoll = epoll_create1(EPOLL_CLOEXEC);
  TRawPair Echo;
  std::vector<std::unique_ptr<TRawPair>> Crowd;

  TRawWorld() {
    Arm(Echo.Client, EPOLL_CTL_ADD);
    Arm(Echo.Server, EPOLL_CTL_ADD);
  }
  ~TRawWorld() {
    Crowd.clear();
    ::close(Epoll);
  }
  void Arm(int fd, int op) {
    epoll_event e{};
    e.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    e.data.fd = fd;
    epoll_ctl(Epoll, op, fd, &e);
  }
  bool WaitFor(int fd) {
    epoll_event ev[64];
    for (int tries = 0; tries < 5; ++tries) {
      int n = epoll_wait(Epoll, ev, 64, 1000);
      for (int i = 0; i < n; ++i)
        if (ev[i].data.fd == fd) return true;
    }
    return false;
  }
  bool Hop(int from, int to) {
    char buf[256] = "ping";
    if (::send(from, buf, kMessage, MSG_NOSIGNAL) != kMessage || !WaitFor(to)) return false;
    ssize_t n = ::recv(to, buf, sizeof buf, 0);
    Arm(to, EPOLL_CTL_MOD);
    return n == kMessage;
  }
  bool RoundTrip() { return Hop(Echo.Client, Echo.Server) && Hop(Echo.Server, Echo.Client); }
  void Open() {
    for (int i = 0; i < gPairs; ++i) {
      Crowd.push_back(std::make_unique<TRawPair>());
      Arm(Crowd.back()->Client, EPOLL_CTL_ADD);
      Arm(Crowd.back()->Server, EPOLL_CTL_ADD);
    }
  }
};

TRawWorld* gRaw = nullptr;

void BM_RawRoundTrip(benchmark::State& state) {
  if (!gRaw) {
    if (gWorld->Opened) gWorld->CloseCrowd();  // its descriptors are needed now
    gRaw = new TRawWorld;
  }
  bool crowd = state.range(0) != 0;
  if (crowd && gRaw->Crowd.empty()) gRaw->Open();
  if (!crowd) gRaw->Crowd.clear();
  for (auto _ : state)
    if (!gRaw->RoundTrip()) Fatal("a raw round trip did not come back");
  state.SetItemsProcessed(state.iterations());
}

constexpr int kCycles = 3;

// Registration order is run order: kCycles cycles, then one more alone.
void RegisterAll() {
  using benchmark::RegisterBenchmark;
  auto tag = [](const char* name, int cycle) { return std::string(name) + "/cycle:" + std::to_string(cycle); };
  for (int k = 0; k < kCycles; ++k) {
    RegisterBenchmark(tag("BM_RoundTrip_Alone", k).c_str(), BM_RoundTrip_Alone)
        ->MinTime(1.0)
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark(tag("BM_ConnectAll", k).c_str(), BM_ConnectAll)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    RegisterBenchmark(tag("BM_RoundTrip_WithIdlePairs", k).c_str(), BM_RoundTrip_WithIdlePairs)
        ->MinTime(1.0)
        ->Unit(benchmark::kMicrosecond);
    if (k == 0)
      RegisterBenchmark("BM_IdleCpu", BM_IdleCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
    RegisterBenchmark(tag("BM_CloseAll", k).c_str(), BM_CloseAll)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  RegisterBenchmark(tag("BM_RoundTrip_Alone", kCycles).c_str(), BM_RoundTrip_Alone)
      ->MinTime(1.0)
      ->Unit(benchmark::kMicrosecond);
  // Alone, with the raw crowd, alone again.
  for (const char* name : {"BM_RawRoundTrip/alone", "BM_RawRoundTrip/with_idle_pairs", "BM_RawRoundTrip/alone_again"})
    RegisterBenchmark(name, BM_RawRoundTrip)
        ->Arg(std::string(name).find("with") != std::string::npos)
        ->MinTime(1.0)
        ->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--pairs=", 8) == 0) gAskedPairs = std::max(1, std::atoi(argv[i] + 8));
  RaiseDescriptorLimit();
  std::printf("pairs: %d (descriptor limit %llu%s), sizeof(DAVidavi) %zu\n", gPairs,
              static_cast<unsigned long long>(gLimit),
              gPairs < gAskedPairs ? ", too low for the pairs asked" : "", sizeof(DAVidavi));
  std::fflush(stdout);
  gWorld = new TWorld;
  RegisterAll();
  std::vector<TComparison> lines;
  std::string allIdle, allAlone;
  for (int k = 0; k < kCycles; ++k) {
    std::string c = "/cycle:" + std::to_string(k), next = "/cycle:" + std::to_string(k + 1);
    lines.push_back({"round trips, cycle " + std::to_string(k) + ": idle pairs open vs none",
                     "BM_RoundTrip_WithIdlePairs" + c, "BM_RoundTrip_Alone" + c + "|BM_RoundTrip_Alone" + next,
                     "items_per_second", "round trips/s", 1.0, 0.9});
    allIdle += (k ? "|" : "") + ("BM_RoundTrip_WithIdlePairs" + c);
    allAlone += (k ? "|" : "") + ("BM_RoundTrip_Alone" + c);
  }
  allAlone += "|BM_RoundTrip_Alone/cycle:" + std::to_string(kCycles);
  lines.push_back({"round trips, all cycles: idle pairs open vs none", allIdle, allAlone, "items_per_second",
                   "round trips/s", 1.0, 0.9});
  lines.push_back({"raw epoll round trips (reference): idle pairs open vs none", "BM_RawRoundTrip/with_idle_pairs",
                   "BM_RawRoundTrip/alone/|BM_RawRoundTrip/alone_again/", "items_per_second", "round trips/s", 1.0,
                   0});
  TComparisonReporter reporter(
      lines, {{"pairs connected", "BM_ConnectAll/cycle:0", "pairs", "", 0},
              {"time to connect every pair", "BM_ConnectAll/cycle:0", "connect_s", "s", 0},
              {"heap per connected component", "BM_ConnectAll/cycle:0", "heap_per_socket", "bytes", 0},
              {"idle processor use with every pair open", "BM_IdleCpu", "cpu_percent", "% of a core", 1.0},
              {"time to close every pair", "BM_CloseAll/cycle:0", "close_s", "s", 0}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  delete gRaw;
  delete gWorld;
  benchmark::Shutdown();
  return 0;
}
