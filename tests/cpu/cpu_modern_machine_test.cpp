// TqmModernInfo on the processor this runs on, against what the kernel says
// of it: /proc/cpuinfo, `lscpu -J` and the cache directories in sysfs.
#include <gtest/gtest.h>

#include <sched.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include "cpu/qmModernInfo.h"

using namespace evc;

namespace {

// Flags the kernel prints that it sets from its own checks (model lists,
// MSRs, its own mode and choices, what a hypervisor tells it) rather than
// reads from a CPUID bit, so no reading of the leaves can find them.
const std::pair<const char*, const char*> kComputedByKernel[] = {
    {"rep_good nopl", "the kernel's own judgement of the processor's string and nop instructions"},
    {"xtopology cpuid", "notes that the kernel used leaf 0xB, and that CPUID exists"},
    {"extd_apicid amd_dcm vmmcall", "derived from the AMD family, node topology or guest mode"},
    {"tsc_known_freq tsc_reliable", "told by the hypervisor or a model list"},
    {"cpuid_fault pebs bts ibrs_enhanced", "found by probing MSRs"},
    {"aperfmperf", "leaf 6 ECX bit 0, kept only once the kernel checked the MSRs work"},
    {"arch_perfmon art", "derived from leaves 0xA and 0x15 with model lists"},
    {"ibpb ibrs stibp ssbd pti user_shstk", "speculation controls and protections the kernel chose"},
    {"tpr_shadow vnmi flexpriority ept vpid ept_ad", "virtualisation features read from VMX MSRs"},
};

// Bits we report that the kernel keeps to itself or clears when it does
// not use them.
const std::set<std::string> kNotPrintedByKernel = {"osxsave", "hle", "rtm", "la57", "pku", "ospke", "sgx", "mpx"};

bool ComputedByKernel(const std::string& flag) {
  for (const auto& [names, why] : kComputedByKernel)
    if ((" " + std::string(names) + " ").find(" " + flag + " ") != std::string::npos) return true;
  return false;
}

// The first processor block of /proc/cpuinfo.
std::map<std::string, std::string> FirstProcessor() {
  std::map<std::string, std::string> fields;
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line) && !line.empty();) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const size_t keyEnd = line.find_last_not_of(" \t", colon - 1);
    const size_t valueStart = line.find_first_not_of(' ', colon + 1);
    fields[line.substr(0, keyEnd + 1)] = valueStart == std::string::npos ? "" : line.substr(valueStart);
  }
  return fields;
}

std::set<std::string> Words(const std::string& text) {
  std::set<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.insert(w);
  return words;
}

std::string ReadLine(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::string s;
  std::getline(in, s);
  return s;
}

// "0-1,4" counts three processors.
int CountCpuList(const std::string& list) {
  int n = 0;
  std::istringstream in(list);
  for (std::string part; std::getline(in, part, ',');) {
    const size_t dash = part.find('-');
    n += dash == std::string::npos ? 1 : std::stoi(part.substr(dash + 1)) - std::stoi(part.substr(0, dash)) + 1;
  }
  return n;
}

// `lscpu -J` as field (without its colon) to data.
std::map<std::string, std::string> Lscpu() {
  std::map<std::string, std::string> fields;
  FILE* p = popen("LC_ALL=C lscpu -J 2>/dev/null", "r");
  if (!p) return fields;
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  if (out.empty()) return fields;
  const nlohmann::json parsed = nlohmann::json::parse(out);
  for (const auto& e : parsed["lscpu"]) {
    std::string field = e["field"].get<std::string>();
    if (!field.empty() && field.back() == ':') field.pop_back();
    if (e["data"].is_string()) fields[field] = e["data"].get<std::string>();
  }
  return fields;
}

}  // namespace

TEST(ModernThisMachine, SignatureBrandAndFlagsAgreeWithProcCpuinfo) {
  auto info = FirstProcessor();
  if (!info.count("flags") || !info.count("model name")) GTEST_SKIP() << "/proc/cpuinfo has no flags or model name";
  const TqmModernInfo m;
  EXPECT_EQ(m.Brand(), info["model name"]);
  EXPECT_EQ(m.VendorId(), info["vendor_id"]);
  EXPECT_EQ(m.Family(), std::stoi(info["cpu family"]));
  EXPECT_EQ(m.Model(), std::stoi(info["model"]));
  EXPECT_EQ(m.Stepping(), std::stoi(info["stepping"]));
  const std::set<std::string> kernel = Words(info["flags"]);
  for (const std::string& f : kernel)
    if (!ComputedByKernel(f)) { EXPECT_TRUE(m.HasFlag(f)) << "the kernel lists " << f; }
  for (const std::string& f : m.FlagList())
    if (!kNotPrintedByKernel.count(f)) { EXPECT_TRUE(kernel.count(f)) << "we report " << f << ", the kernel does not"; }
  EXPECT_EQ(m.HypervisorPresent(), kernel.count("hypervisor") == 1);
  EXPECT_EQ(m.InvariantTSC(), kernel.count("nonstop_tsc") == 1);
}

TEST(ModernThisMachine, TopologyAndHypervisorAgreeWithLscpu) {
  auto l = Lscpu();
  if (l.empty()) GTEST_SKIP() << "lscpu -J gave nothing";
  const TqmModernInfo m;
  EXPECT_EQ(m.Brand(), l["Model name"]);
  EXPECT_EQ(m.VendorId(), l["Vendor ID"]);
  EXPECT_EQ(std::to_string(m.Family()), l["CPU family"]);
  EXPECT_EQ(std::to_string(m.Model()), l["Model"]);
  // lscpu counts the processors the kernel brought up per socket; CPUID
  // counts what the package has. They agree unless processors are offline.
  if (l.count("Core(s) per socket") && l.count("Socket(s)") && l["Socket(s)"] == "1" &&
      l["On-line CPU(s) list"] == "0-" + std::to_string(m.ThreadsPerPackage() - 1)) {
    EXPECT_EQ(std::to_string(m.CoresPerPackage()), l["Core(s) per socket"]);
    EXPECT_EQ(std::to_string(m.Topology().ThreadsPerCore), l["Thread(s) per core"]);
  }
  if (l.count("Hypervisor vendor")) {
    EXPECT_EQ(m.HypervisorInfo().Name, l["Hypervisor vendor"]);
  } else {
    EXPECT_FALSE(m.HypervisorPresent());
  }
}

TEST(ModernThisMachine, EveryCacheAgreesWithSysfs) {
  const std::filesystem::path dir = "/sys/devices/system/cpu/cpu0/cache";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << dir << " is missing";
  // Read on CPU 0 so that sharing counts are CPU 0's too.
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(0, &one);
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const TqmModernInfo m;
  sched_setaffinity(0, sizeof saved, &saved);
  size_t indexes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind("index", 0) != 0) continue;
    ++indexes;
    const std::filesystem::path p = entry.path();
    const int level = std::stoi(ReadLine(p / "level"));
    const std::string type = ReadLine(p / "type");
    SCOPED_TRACE(p.string() + ": L" + std::to_string(level) + " " + type);
    const TqmCacheLevel* c = nullptr;
    for (const TqmCacheLevel& have : m.Caches())
      if (have.Level == level && qmCacheTypeName(have.Type) == type) c = &have;
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(std::to_string(c->SizeKB) + "K", ReadLine(p / "size"));
    EXPECT_EQ(c->Ways, std::stoi(ReadLine(p / "ways_of_associativity")));
    EXPECT_EQ(c->LineSize, std::stoi(ReadLine(p / "coherency_line_size")));
    // The leaves give the IDs a cache could serve; on hybrid parts those
    // span more processors than share it, so there they bound the count.
    const int sharing = CountCpuList(ReadLine(p / "shared_cpu_list"));
    if (m.Hybrid()) {
      EXPECT_GE(c->SharedBy, sharing);
    } else {
      EXPECT_EQ(c->SharedBy, sharing);
    }
  }
  EXPECT_EQ(m.Caches().size(), indexes);
}
