// Processor identification: how long creating a TqmOstra takes (every query
// it makes at creation), against one CPUID execution as the baseline; and a
// 500 ms clock measurement against the kernel's "cpu MHz" figure.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "cpu/qmOstraAPI.h"
#include "cpu/qmOstraIntf.h"
#include "cpu/qmOstraVcl.h"

using namespace evc;

namespace {

void BM_CreateOstra(benchmark::State& state) {
  for (auto _ : state) {
    TqmOstra o(nullptr);
    benchmark::DoNotOptimize(o.FullName().data());
  }
}
BENCHMARK(BM_CreateOstra);

void BM_OneCpuidLeaf(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(qmCpuidSource().Execute(0).EAX);
}
BENCHMARK(BM_OneCpuidLeaf);

template <class F>
double MicrosPerCall(int n, F f) {
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) f();
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() / n;
}

double KernelMHz() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("cpu MHz", 0) == 0) return std::stod(line.substr(line.find(':') + 1));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const double create = MicrosPerCall(200, [] {
    TqmOstra o(nullptr);
    benchmark::DoNotOptimize(o.FullName().data());
  });
  const double leaf = MicrosPerCall(20000, [] { benchmark::DoNotOptimize(qmCpuidSource().Execute(0).EAX); });
  std::printf("\ncreate TqmOstra: %.2f us; baseline, one CPUID leaf: %.3f us; ratio %.1f\n", create, leaf,
              create / leaf);

  const float measured = qmGetRawSpeed(0, 500);
  const double kernel = KernelMHz();
  if (kernel > 0)
    std::printf("clock over 500 ms: %.2f MHz (normalized %d); baseline, kernel cpu MHz: %.3f; ratio %.4f\n",
                measured, qmNormalizeSpeed(measured), kernel, measured / kernel);
  else
    std::printf("clock over 500 ms: %.2f MHz (normalized %d); /proc/cpuinfo gives no cpu MHz to compare\n",
                measured, qmNormalizeSpeed(measured));
  return 0;
}
