// Processor identification: how long creating a TqmOstra takes (every query
// it makes at creation), against one CPUID execution as the baseline; what
// the modern object adds to that creation, against the classic results
// alone, on this processor and on a recorded one; and a 500 ms clock
// measurement against the kernel's "cpu MHz" figure.
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

// What TqmOstra's creation gathers apart from the modern object: its classic
// result objects and queries, in the constructor's order.
void ClassicResultsAlone() {
  TqmAutoBench bench;
  TqmCPUID cpuid;
  TqmDetectedInfo detected;
  TqmFeatureSet features;
  TqmExFeatureSet featuresEx;
  TqmOstraVersionInfo version;
  benchmark::DoNotOptimize(qmCpuidSource().ProcessorCount());
  benchmark::DoNotOptimize(qmFDivBug(0));
  benchmark::DoNotOptimize(qmIsOverDrive(0));
  benchmark::DoNotOptimize(qmHasFeature(0, 23));
  if (qmGetModel(0) >= 7 && qmHasFeature(0, 18)) benchmark::DoNotOptimize(qmGetSerial(0).data());
  benchmark::DoNotOptimize(qmGetVendorName(0).data());
  benchmark::DoNotOptimize(qmGetModelName(0).data());
  benchmark::DoNotOptimize(qmGetFullName(0).data());
  TqmCacheRec rec{};
  rec.Size = sizeof rec;
  benchmark::DoNotOptimize(qmReadCacheRec(rec));
}

// The processor, counting the leaves it executes.
class TCountingCpuid : public TqmProcessorCpuid {
 public:
  TqmRegisters ExecuteSub(uint32_t leaf, uint32_t subleaf) override {
    ++Count;
    return TqmProcessorCpuid::ExecuteSub(leaf, subleaf);
  }
  int Count = 0;
};

void CreateOstra() {
  TqmOstra o(nullptr);
  benchmark::DoNotOptimize(o.Modern()->Flags().data());
}

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

  // The modern object's cost: the whole creation against the classic part
  // alone, alternated in rounds so that both see the same machine state.
  auto modernCost = [](const char* where, int n) {
    double whole = 0, classic = 0;
    for (int round = 0; round < 5; ++round) {
      classic += MicrosPerCall(n, ClassicResultsAlone);
      whole += MicrosPerCall(n, CreateOstra);
    }
    std::printf("%s: create TqmOstra with Modern: %.2f us; baseline, classic results alone: %.2f us; ratio %.2f "
                "(Modern adds %.2f us)\n",
                where, whole / 5, classic / 5, whole / classic, (whole - classic) / 5);
  };
  modernCost("this processor", 100);
  {
    auto counting = std::make_shared<TCountingCpuid>();
    TqmCpuidSourceScope scope(counting);
    ClassicResultsAlone();
    const int classic = counting->Count;
    counting->Count = 0;
    TqmModernInfo modern;
    std::printf("CPUID leaves executed: classic results %d, Modern %d\n", classic, counting->Count);
  }
  const char* dump = EVC_SOURCE_DIR "/tests/cpu/modern-dumps/zen4_amd-ryzen-9-7900x-12-core-processor.txt";
  try {
    TqmCpuidSourceScope scope(TqmDumpCpuid::FromFile(dump));
    modernCost("recorded Zen 4", 2000);
  } catch (const std::exception& e) {
    std::printf("recorded Zen 4: %s\n", e.what());
  }

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
