// TqmModernInfo against 37 real processors, each with the values libcpuid
// reports for it, and the few places where we read the leaves differently
// from libcpuid, each with its reason.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "cpu/qmModernInfo.h"
#include "cpu/qmOstraVcl.h"
#include "cpu_helpers.h"

using namespace evc;
using namespace cputest;

namespace {

std::string ModernDumps() { return std::string(EVC_SOURCE_DIR) + "/tests/cpu/modern-dumps/"; }

// Where our reading of a dump differs from libcpuid's and ours is right:
// the fields we report differently, as a patch over its values.
struct Disagreement {
  const char* Dump;
  const char* Ours;
  const char* Why;
};
const Disagreement kDisagreements[] = {
    {"isaiah_via-nano-processor-l2200",
     R"({"l1d_kb":64,"l1d_assoc":16,"l1d_line":64,"l1i_kb":64,"l1i_assoc":16,"l1i_line":64,
         "l2_kb":1024,"l2_assoc":16,"l2_line":64})",
     "VIA reports its caches in the AMD leaves 0x80000005/6, which libcpuid reads for AMD alone"},
    {"yongfeng_zhaoxin-kaisheng-kh-40000", R"({"cpu0_only":{"cores":16,"logical":16}})",
     "leaf 1 EBX and leaf 4 give the IDs the package could hold (64), leaf 0xB the 16 processors it has, "
     "as the brand KH-40000/16 says"},
};

// libcpuid's values with our disagreements patched in.
nlohmann::json Expected(const std::string& dump, nlohmann::json libcpuid) {
  for (const Disagreement& d : kDisagreements)
    if (dump == d.Dump) {
      const nlohmann::json patch = nlohmann::json::parse(d.Ours);
      for (const auto& [key, ours] : patch.items()) {
        EXPECT_NE(libcpuid[key], ours) << dump << ": listed as a disagreement on " << key << " but libcpuid agrees";
        if (ours.is_object()) libcpuid[key].update(ours);
        else libcpuid[key] = ours;
      }
    }
  return libcpuid;
}

// Bits libcpuid names for some vendors only, while the kernel names them for
// every processor that sets them.
struct VendorOnly {
  const char* VendorId;
  std::set<std::string> Flags;
  const char* Why;
};
const VendorOnly kVendorOnly[] = {
    {"GenuineIntel", {"3dnowprefetch"}, "0x80000001 ECX bit 8 (PREFETCHW) is read for AMD alone"},
    {"CentaurHauls",
     {"acpi", "est", "tm", "tm2", "ss", "pbe", "vmx", "smx", "xtpr", "nx", "fxsr_opt", "3dnowprefetch"},
     "the Intel-defined bits of leaf 1 and 0x80000001 are read for Intel (and AMD) alone"},
};

bool LibcpuidSkipsFor(const std::string& vendorId, const std::string& flag) {
  for (const VendorOnly& v : kVendorOnly)
    if (vendorId == v.VendorId && v.Flags.count(flag)) return true;
  return false;
}

// libcpuid's flag names that the kernel spells differently; an empty name is
// one the kernel prints on its "power management" line instead of as a flag.
std::string KernelName(const std::string& libcpuid) {
  static const std::map<std::string, std::string> names = {
      {"pclmul", "pclmulqdq"},   {"fma3", "fma"},     {"xd", "nx"},          {"dts64", "dtes64"},
      {"avx512vbmi2", "avx512_vbmi2"}, {"avx512vnni", "avx512_vnni"},     {"hwpstate", "hw_pstate"},
      {"aperfmperf", ""},  // the kernel takes it from leaf 6 ECX only after checking the MSRs work
      {"ts", ""},  {"fid", ""}, {"vid", ""}, {"ttp", ""}, {"tm_amd", ""}, {"stc", ""}, {"100mhzsteps", ""},
  };
  auto it = names.find(libcpuid);
  return it == names.end() ? libcpuid : it->second;
}

// The dumps are filed under the core's microarchitecture (the part of the
// name before "_"); our codename must name that design or the platform built
// on it: one of the |-separated names starts it.
const std::map<std::string, std::string> kCodenameOfCore = {
    {"core", "Core (Merom)"}, {"nehalem", "Nehalem|Westmere"}, {"sandy-bridge", "Sandy Bridge"},
    {"haswell", "Haswell|Broadwell"}, {"skylake", "Skylake|Coffee Lake"}, {"palm-cove", "Cannon Lake"},
    {"willow-cove", "Tiger Lake"}, {"cypress-cove", "Rocket Lake"}, {"golden-cove", "Alder Lake"},
    {"raptor-cove", "Raptor Lake"}, {"redwood-cove", "Meteor Lake"}, {"lion-cove", "Lunar Lake"},
    {"gracemont", "Alder Lake-N"}, {"goldmont", "Goldmont"}, {"bonnell", "Bonnell"}, {"k8", "K8"},
    {"k10", "K10"}, {"bobcat", "Bobcat"}, {"bulldozer", "Bulldozer|Steamroller"}, {"zen+", "Zen+"},
    {"zen2", "Zen 2"}, {"zen3", "Zen 3"}, {"zen4", "Zen 4"}, {"zen5", "Zen 5"}, {"dhyana", "Dhyana"},
    {"isaiah", "Isaiah"}, {"yongfeng", "Yongfeng"},
};

bool StartsWithOneOf(const std::string& s, const std::string& alternatives) {
  std::istringstream in(alternatives);
  for (std::string a; std::getline(in, a, '|');)
    if (s.rfind(a, 0) == 0) return true;
  return false;
}

// libcpuid's value of `field` as we would report it: null is no value.
std::optional<int64_t> Value(const nlohmann::json& from, const std::string& field) {
  return from[field].is_null() ? std::nullopt : std::optional<int64_t>(from[field].get<int64_t>());
}

}  // namespace

TEST(ModernInfo, AgreesWithLibcpuidOnEveryRecordedProcessor) {
  int dumps = 0;
  // Every kernel name libcpuid reports for some dump, and what we report
  // that it does not, checked against that once all dumps are read.
  std::set<std::string> knownToLibcpuid;
  std::vector<std::pair<std::string, std::string>> onlyOurs;
  for (const auto& entry : std::filesystem::directory_iterator(ModernDumps())) {
    if (entry.path().extension() != ".txt") continue;
    const std::string name = entry.path().stem().string();
    SCOPED_TRACE(name);
    std::ifstream in(ModernDumps() + name + ".expected.json");
    ASSERT_TRUE(in) << "no expected values for " << name;
    const nlohmann::json want = Expected(name, nlohmann::json::parse(in));
    ++dumps;

    TCpuScope scope(TqmDumpCpuid::FromFile(entry.path().string()));
    TqmOstra o(nullptr);
    const TqmModernInfo& m = *o.Modern();
    ASSERT_TRUE(m.Available());
    EXPECT_EQ(m.Brand(), want["brand"].is_null() ? "" : want["brand"].get<std::string>());
    EXPECT_EQ(m.VendorId(), want["vendor_id"].get<std::string>());
    EXPECT_EQ(m.Family(), want["ext_family"].get<int>());
    EXPECT_EQ(m.Model(), want["ext_model"].get<int>());
    EXPECT_EQ(m.Stepping(), want["stepping"].get<int>());
    const std::string core = name.substr(0, name.find('_'));
    ASSERT_TRUE(kCodenameOfCore.count(core)) << core;
    EXPECT_TRUE(StartsWithOneOf(m.Codename(), kCodenameOfCore.at(core))) << m.Codename();
    // Intel marks hybrid parts in leaf 7; AMD's Zen 5 with Zen 5c does not.
    if (m.VendorId() == "GenuineIntel") { EXPECT_EQ(m.Hybrid(), want["types"].size() > 1); }
    if (m.Hybrid()) { EXPECT_FALSE(m.CoreType().empty()); }

    const std::tuple<const char*, int, TqmCacheType> levels[] = {{"l1d", 1, TqmCacheType::Data},
                                                                 {"l1i", 1, TqmCacheType::Instruction},
                                                                 {"l2", 2, TqmCacheType::Unified},
                                                                 {"l3", 3, TqmCacheType::Unified},
                                                                 {"l4", 4, TqmCacheType::Unified}};
    size_t found = 0;
    for (const auto& [key, level, type] : levels) {
      std::optional<int64_t> size, ways, line;
      for (const TqmCacheLevel& c : m.Caches())
        if (c.Level == level && c.Type == type) size = c.SizeKB, ways = c.Ways, line = c.LineSize, ++found;
      EXPECT_EQ(size, Value(want, key + std::string("_kb"))) << key;
      EXPECT_EQ(ways, Value(want, key + std::string("_assoc"))) << key;
      EXPECT_EQ(line, Value(want, key + std::string("_line"))) << key;
    }
    EXPECT_EQ(found, m.Caches().size()) << "a cache twice, or one none of the five keys covers";
    // Counted from CPU 0's leaves, as cpu0_only is: all core types together.
    EXPECT_EQ(m.CoresPerPackage(), Value(want["cpu0_only"], "cores").value_or(0));
    EXPECT_EQ(m.ThreadsPerPackage(), Value(want["cpu0_only"], "logical").value_or(0));

    std::set<std::string> theirs;
    for (const auto& f : want["flags"]) {
      const std::string k = KernelName(f.get<std::string>());
      if (k.empty()) continue;
      knownToLibcpuid.insert(k);
      theirs.insert(k);
      EXPECT_TRUE(m.HasFlag(k)) << "libcpuid reports " << f << " (kernel name " << k << ")";
    }
    for (const std::string& f : m.FlagList())
      if (!theirs.count(f) && !LibcpuidSkipsFor(m.VendorId(), f)) onlyOurs.emplace_back(name, f);
  }
  EXPECT_EQ(dumps, 37);
  // A flag libcpuid knows and reports elsewhere, but not for this processor,
  // must not appear in ours.
  for (const auto& [name, f] : onlyOurs) EXPECT_FALSE(knownToLibcpuid.count(f)) << name << ": we report " << f;
}
