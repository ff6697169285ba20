// The processor this runs on, checked against what the kernel reports in
// /proc/cpuinfo.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "cpu/qmOstraIntf.h"
#include "cpu/qmOstraVcl.h"

using namespace evc;

namespace {

// The fields of the first processor block.
std::map<std::string, std::string> KernelCpuInfo() {
  std::map<std::string, std::string> fields;
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) {
      if (!fields.empty()) break;
      continue;
    }
    auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
    std::string value = colon + 1 < line.size() ? line.substr(colon + 1) : "";
    if (!value.empty() && value.front() == ' ') value.erase(0, 1);
    fields.emplace(key, value);
  }
  return fields;
}

}  // namespace

TEST(ThisMachine, VendorSignatureAndFeaturesAgreeWithTheKernel) {
  auto info = KernelCpuInfo();
  if (!info.count("vendor_id") || !info.count("flags")) GTEST_SKIP() << "/proc/cpuinfo has no vendor_id or flags";
  TqmOstra o(nullptr);
  EXPECT_TRUE(o.CPUID()->Available());
  EXPECT_EQ(o.InternalResults()->VendorID(), info["vendor_id"]);
  EXPECT_EQ(qmGetVendorID(0), info["vendor_id"]);
  const int family = std::stoi(info["cpu family"]);
  EXPECT_EQ(o.InternalResults()->cpuFamily() + o.InternalResults()->cpuFamilyEx(), family);
  const int model = std::stoi(info["model"]);
  // The kernel folds the extended model in; the signature carries it in bits 16-19.
  EXPECT_EQ(o.InternalResults()->cpuModel(), model & 0xF);
  EXPECT_EQ((static_cast<uint32_t>(o.InternalResults()->Signature()) >> 16) & 0xF, static_cast<uint32_t>(model >> 4));
  EXPECT_EQ(o.InternalResults()->cpuStepping(), std::stoi(info["stepping"]));

  std::set<std::string> flags;
  std::istringstream words(info["flags"]);
  for (std::string w; words >> w;) flags.insert(w);
  const TqmFeatureSet& f = *o.FeatureSet();
  const std::pair<const char*, bool> standard[] = {
      {"fpu", f.FPU()},   {"vme", f.VME()},     {"de", f.DE()},     {"pse", f.PSE()},     {"tsc", f.TSC()},
      {"msr", f.MSR()},   {"pae", f.PAE()},     {"mce", f.MCE()},   {"cx8", f.CX8()},     {"apic", f.APIC()},
      {"sep", f.SEP()},   {"mtrr", f.MTRR()},   {"pge", f.PGE()},   {"mca", f.MCA()},     {"cmov", f.CMOV()},
      {"pat", f.PAT()},   {"pse36", f.PSE36()}, {"pn", f.SERIAL()}, {"clflush", f.CLFLUSH()}, {"dts", f.DTS()},
      {"acpi", f.ACPI()}, {"mmx", f.MMX()},     {"fxsr", f.XSR()},  {"sse", f.SIMD()},    {"sse2", f.SIMD2()},
      {"ss", f.SS()},     {"tm", f.TM()}};
  for (auto [name, has] : standard) EXPECT_EQ(has, flags.count(name) == 1) << name;
  EXPECT_EQ(o.MMX(), flags.count("mmx") == 1);
  EXPECT_EQ(o.Count(), static_cast<int32_t>(std::thread::hardware_concurrency() & 0xFF));
  EXPECT_FALSE(o.FDivBug());
}

TEST(ThisMachine, MeasuredSpeedIsWithinTwoPercentOfTheKernelFigure) {
  auto info = KernelCpuInfo();
  if (!info.count("cpu MHz")) GTEST_SKIP() << "/proc/cpuinfo gives no \"cpu MHz\" figure to compare with";
  const double kernel = std::stod(info["cpu MHz"]);
  if (!(kernel > 0)) GTEST_SKIP() << "/proc/cpuinfo reports cpu MHz " << info["cpu MHz"];
  // The median of a few runs rides out one interval disturbed by the scheduler.
  std::vector<float> runs;
  for (int i = 0; i < 5; ++i) runs.push_back(qmGetRawSpeed(0, 200));
  std::sort(runs.begin(), runs.end());
  const double median = runs[runs.size() / 2];
  EXPECT_NEAR(median / kernel, 1.0, 0.02) << "measured " << median << " MHz, kernel " << kernel << " MHz";
}
