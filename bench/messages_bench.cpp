// Posted-message throughput and cross-thread wake latency of the message
// layer, against a plain mutex and condition-variable queue doing the same
// work in the same run.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/messages.h"

using namespace evc;

namespace {

constexpr int kBatch = 100000;

// The baseline: what a program without the message layer would write.
class TCondQueue {
 public:
  void Push(int v) {
    {
      std::lock_guard g(FLock);
      FItems.push_back(v);
    }
    FReady.notify_one();
  }
  int Pop() {
    std::unique_lock g(FLock);
    FReady.wait(g, [&] { return !FItems.empty(); });
    int v = FItems.front();
    FItems.pop_front();
    return v;
  }

 private:
  std::mutex FLock;
  std::condition_variable FReady;
  std::deque<int> FItems;
};

void BM_PostThroughput_MessageLayer(benchmark::State& state) {
  long received = 0;
  HWND h = AllocateHWnd([&](TMessage&) { ++received; });
  for (auto _ : state) {
    received = 0;
    std::thread producer([h] {
      for (int i = 0; i < kBatch; ++i) PostMessage(h, WM_USER + 1, static_cast<WPARAM>(i), 0);
    });
    MSG m;
    while (received < kBatch && GetMessage(&m, 0, 0, 0) > 0) DispatchMessage(&m);
    producer.join();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  DeallocateHWnd(h);
}

void BM_PostThroughput_CondVarQueue(benchmark::State& state) {
  TCondQueue q;
  for (auto _ : state) {
    std::thread producer([&q] {
      for (int i = 0; i < kBatch; ++i) q.Push(i);
    });
    long received = 0;
    while (received < kBatch) {
      benchmark::DoNotOptimize(q.Pop());
      ++received;
    }
    producer.join();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// Round trips between two threads that each sleep until the other posts:
// half a round trip is one cross-thread wake-up.
void BM_WakeLatency_MessageLayer(benchmark::State& state) {
  HWND replyTo = AllocateHWnd([](TMessage&) {});
  std::atomic<HWND> echo{0};
  std::thread peer([&] {
    HWND own = AllocateHWnd([&](TMessage& m) {
      if (m.Msg == WM_USER + 1) PostMessage(replyTo, WM_USER + 2, 0, 0);
    });
    echo = own;
    MSG m;
    while (GetMessage(&m, 0, 0, 0) > 0) DispatchMessage(&m);
    DeallocateHWnd(own);
  });
  while (!echo) std::this_thread::yield();
  MSG m;
  for (auto _ : state) {
    PostMessage(echo, WM_USER + 1, 0, 0);
    GetMessage(&m, 0, 0, 0);
  }
  PostMessage(echo, WM_QUIT, 0, 0);
  peer.join();
  DeallocateHWnd(replyTo);
}

void BM_WakeLatency_CondVarQueue(benchmark::State& state) {
  TCondQueue there, back;
  std::thread peer([&] {
    while (there.Pop() >= 0) back.Push(1);
  });
  for (auto _ : state) {
    there.Push(1);
    benchmark::DoNotOptimize(back.Pop());
  }
  there.Push(-1);
  peer.join();
}

BENCHMARK(BM_PostThroughput_MessageLayer)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_PostThroughput_CondVarQueue)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_WakeLatency_MessageLayer)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_WakeLatency_CondVarQueue)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1.0);

// Prints each pair's ratio after the usual table.
class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      auto it = r.counters.find("items_per_second");
      FItems[r.benchmark_name()] = it == r.counters.end() ? 0 : double(it->second);
      FTime[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    double ours = Find(FItems, "BM_PostThroughput_MessageLayer"), base = Find(FItems, "BM_PostThroughput_CondVarQueue");
    if (ours > 0 && base > 0)
      std::printf("post throughput: message layer %.2f M msg/s, mutex+condvar queue %.2f M msg/s, ratio %.2f\n",
                  ours / 1e6, base / 1e6, ours / base);
    double lo = Find(FTime, "BM_WakeLatency_MessageLayer"), lb = Find(FTime, "BM_WakeLatency_CondVarQueue");
    if (lo > 0 && lb > 0)
      std::printf("wake latency (half round trip): message layer %.1f us, mutex+condvar queue %.1f us, "
                  "ratio (baseline/ours) %.2f\n",
                  lo / 2, lb / 2, lb / lo);
  }

 private:
  static double Find(const std::map<std::string, double>& m, const std::string& prefix) {
    for (const auto& [k, v] : m)
      if (k.rfind(prefix, 0) == 0) return v;
    return 0;
  }
  std::map<std::string, double> FItems, FTime;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
