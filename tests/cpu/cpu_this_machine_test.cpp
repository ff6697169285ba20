// The processor this runs on, checked against what the kernel reports in
// /proc/cpuinfo.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
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

// Leaf 1's feature word as `cpuid -r -1 -l 1` prints it, when that program is there.
std::optional<uint32_t> RawLeaf1Edx() {
  FILE* p = popen("cpuid -r -1 -l 1 2>/dev/null", "r");
  if (!p) return std::nullopt;
  std::optional<uint32_t> edx;
  char line[256];
  while (fgets(line, sizeof line, p)) {
    const char* at = std::strstr(line, "edx=0x");
    if (std::strstr(line, "0x00000001 0x00:") && at) edx = static_cast<uint32_t>(std::strtoul(at + 6, nullptr, 16));
  }
  pclose(p);
  return edx;
}

// The bit of each flag name in leaf 1's feature word.
uint32_t FeatureBit(const std::string& name) {
  static const char* const names[32] = {"fpu",  "vme",  "de",      "pse", "tsc",  "msr",  "pae", "mce",
                                        "cx8",  "apic", nullptr,   "sep", "mtrr", "pge",  "mca", "cmov",
                                        "pat",  "pse36", "pn",     "clflush", nullptr, "dts", "acpi", "mmx",
                                        "fxsr", "sse",  "sse2",    "ss",  "ht",   "tm",   nullptr, "pbe"};
  for (int bit = 0; bit < 32; ++bit)
    if (names[bit] && name == names[bit]) return 1u << bit;
  return 0;
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
  // The kernel may hide a flag the processor has (under a hypervisor it drops
  // mtrr, for one), so a flag it lists must be ours, and one only we report
  // must be in the raw word that Debian's cpuid program reads.
  const std::optional<uint32_t> rawEdx = RawLeaf1Edx();
  for (auto [name, has] : standard) {
    if (flags.count(name)) {
      EXPECT_TRUE(has) << name << " is listed by the kernel";
    } else if (has) {
      if (!rawEdx) ADD_FAILURE() << name << " is not listed by the kernel and the cpuid program is missing";
      else EXPECT_NE(*rawEdx & FeatureBit(name), 0u) << name << " is set neither in the kernel's list nor in cpuid -r";
    }
  }
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
