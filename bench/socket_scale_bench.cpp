// Ten thousand connected pairs of socket components in one thread.
//
// Figures: the time to connect them all; the heap each connected component
// costs; round trips per second on one pair while all the others sit idle,
// against the same pair before the others exist and again after they are
// gone (the mean of the two, so that a drift in the machine's load does not
// pass for a cost of the idle pairs); and the processor time the thread uses
// while every pair is open and nothing happens.
//
// Each pair holds two descriptors, so the program raises its descriptor
// limit as far as it needs (or may); when the hard limit leaves too few, it
// opens as many pairs as fit and says so.
#include <malloc.h>
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

void BM_RoundTrip_Alone(benchmark::State& state) { RunRoundTrips(state); }
void BM_RoundTrip_AloneAgain(benchmark::State& state) { RunRoundTrips(state); }

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

// Registration order is run order.
BENCHMARK(BM_RoundTrip_Alone)->MinTime(1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ConnectAll)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_WithIdlePairs)->MinTime(2.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IdleCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CloseAll)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_AloneAgain)->MinTime(1.0)->Unit(benchmark::kMicrosecond);

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
  TComparisonReporter reporter(
      {{"round trips on one pair, idle pairs open vs none", "BM_RoundTrip_WithIdlePairs",
        "BM_RoundTrip_Alone/|BM_RoundTrip_AloneAgain/",
        "items_per_second", "round trips/s", 1.0, 0.9}},
      {{"pairs connected", "BM_ConnectAll", "pairs", "", 0},
       {"time to connect every pair", "BM_ConnectAll", "connect_s", "s", 0},
       {"heap per connected component", "BM_ConnectAll", "heap_per_socket", "bytes", 0},
       {"idle processor use with every pair open", "BM_IdleCpu", "cpu_percent", "% of a core", 1.0},
       {"time to close every pair", "BM_CloseAll", "close_s", "s", 0}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  delete gWorld;
  benchmark::Shutdown();
  return 0;
}
