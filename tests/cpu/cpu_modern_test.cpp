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
#include <string>

#include "cpu/qmModernInfo.h"
#include "cpu/qmOstraVcl.h"
#include "cpu_helpers.h"

using namespace evc;
using namespace cputest;

namespace {

std::string ModernDumps() { return std::string(EVC_SOURCE_DIR) + "/tests/cpu/modern-dumps/"; }

// Where our reading of a dump differs from libcpuid's and ours is right.
// Keyed by dump name and field; the value is what we report.
struct Disagreement {
  const char* Dump;
  const char* Field;
  std::optional<int64_t> Ours;  // nullopt: we report nothing there either
  const char* Why;
};

const Disagreement kDisagreements[] = {
    // The Nano reports its caches in the AMD leaves 0x80000005/6, which
    // libcpuid reads for AMD alone: 64 KB 16-way L1 D and I, 1 MB 16-way L2.
    {"isaiah_via-nano-processor-l2200", "l1d_kb", 64, "VIA reports L1 in 0x80000005"},
    {"isaiah_via-nano-processor-l2200", "l1d_assoc", 16, "VIA reports L1 in 0x80000005"},
    {"isaiah_via-nano-processor-l2200", "l1d_line", 64, "VIA reports L1 in 0x80000005"},
    {"isaiah_via-nano-processor-l2200", "l1i_kb", 64, "VIA reports L1 in 0x80000005"},
    {"isaiah_via-nano-processor-l2200", "l1i_assoc", 16, "VIA reports L1 in 0x80000005"},
    {"isaiah_via-nano-processor-l2200", "l1i_line", 64, "VIA reports L1 in 0x80000005"},
    {"isaiah_via-nano-processor-l2200", "l2_kb", 1024, "VIA reports L2 in 0x80000006"},
    {"isaiah_via-nano-processor-l2200", "l2_assoc", 16, "VIA reports L2 in 0x80000006"},
    {"isaiah_via-nano-processor-l2200", "l2_line", 64, "VIA reports L2 in 0x80000006"},
    // Leaf 1 EBX and leaf 4 give the IDs the package could hold (64), leaf
    // 0xB level 1 the processors it has: 16, as its brand "KH-40000/16" says.
    {"yongfeng_zhaoxin-kaisheng-kh-40000", "cores", 16, "leaf 0xB counts 16 logical processors, no SMT"},
    {"yongfeng_zhaoxin-kaisheng-kh-40000", "logical", 16, "leaf 0xB counts 16 logical processors, no SMT"},
};

const Disagreement* FindDisagreement(const std::string& dump, const std::string& field) {
  for (const Disagreement& d : kDisagreements)
    if (dump == d.Dump && field == d.Field) return &d;
  return nullptr;
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
// on it.
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

bool NamesOneOf(const std::string& codename, const std::string& alternatives) {
  size_t start = 0;
  for (size_t bar; start <= alternatives.size(); start = bar + 1) {
    bar = alternatives.find('|', start);
    if (bar == std::string::npos) bar = alternatives.size();
    if (codename.rfind(alternatives.substr(start, bar - start), 0) == 0) return true;
  }
  return false;
}

std::optional<int64_t> Json(const nlohmann::json& j) {
  if (j.is_null()) return std::nullopt;
  return j.get<int64_t>();
}

const TqmCacheLevel* FindCache(const TqmModernInfo& m, int level, TqmCacheType type) {
  for (const TqmCacheLevel& c : m.Caches())
    if (c.Level == level && c.Type == type) return &c;
  return nullptr;
}

}  // namespace

TEST(ModernInfo, AgreesWithLibcpuidOnEveryRecordedProcessor) {
  int dumps = 0;
  std::set<std::string> knownToLibcpuid;  // every kernel name libcpuid reports somewhere
  std::map<std::string, std::set<std::string>> ours, theirs;
  std::map<std::string, std::string> vendorOf;
  for (const auto& entry : std::filesystem::directory_iterator(ModernDumps())) {
    const std::string path = entry.path().string();
    if (entry.path().extension() != ".txt") continue;
    const std::string name = entry.path().stem().string();
    SCOPED_TRACE(name);
    std::ifstream in(ModernDumps() + name + ".expected.json");
    ASSERT_TRUE(in) << "no expected values for " << name;
    const nlohmann::json want = nlohmann::json::parse(in);
    ++dumps;

    TCpuScope scope(TqmDumpCpuid::FromFile(path));
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
    EXPECT_TRUE(NamesOneOf(m.Codename(), kCodenameOfCore.at(core))) << m.Codename() << " for " << core;
    // Intel marks hybrid parts in leaf 7; AMD's Zen 5 with Zen 5c does not.
    if (m.VendorId() == "GenuineIntel") EXPECT_EQ(m.Hybrid(), want["types"].size() > 1);
    if (m.Hybrid()) EXPECT_FALSE(m.CoreType().empty());

    auto check = [&](const std::string& field, std::optional<int64_t> got, const nlohmann::json& from) {
      std::optional<int64_t> expected = Json(from[field]);
      if (const Disagreement* d = FindDisagreement(name, field)) {
        EXPECT_NE(got, expected) << field << ": listed as a disagreement but we agree with libcpuid now";
        expected = d->Ours;
      }
      EXPECT_EQ(got, expected) << field;
    };
    struct Level { const char* key; int level; TqmCacheType type; };
    const Level levels[] = {{"l1d", 1, TqmCacheType::Data},
                            {"l1i", 1, TqmCacheType::Instruction},
                            {"l2", 2, TqmCacheType::Unified},
                            {"l3", 3, TqmCacheType::Unified},
                            {"l4", 4, TqmCacheType::Unified}};
    for (const Level& l : levels) {
      const TqmCacheLevel* c = FindCache(m, l.level, l.type);
      const std::string key = l.key;
      check(key + "_kb", c ? std::optional<int64_t>(c->SizeKB) : std::nullopt, want);
      check(key + "_assoc", c ? std::optional<int64_t>(c->Ways) : std::nullopt, want);
      check(key + "_line", c ? std::optional<int64_t>(c->LineSize) : std::nullopt, want);
    }
    EXPECT_EQ(m.Caches().size(), static_cast<size_t>(std::count_if(std::begin(levels), std::end(levels), [&](const Level& l) {
                                   return FindCache(m, l.level, l.type) != nullptr;
                                 })))
        << "a cache of a level or type none of the five keys covers";
    // Counted from CPU 0's leaves, as cpu0_only is: all core types together.
    check("cores", m.CoresPerPackage() ? std::optional<int64_t>(m.CoresPerPackage()) : std::nullopt,
          want["cpu0_only"]);
    check("logical", m.ThreadsPerPackage() ? std::optional<int64_t>(m.ThreadsPerPackage()) : std::nullopt,
          want["cpu0_only"]);

    for (const auto& f : want["flags"]) {
      const std::string k = KernelName(f.get<std::string>());
      if (k.empty()) continue;
      knownToLibcpuid.insert(k);
      theirs[name].insert(k);
      EXPECT_TRUE(m.HasFlag(k)) << "libcpuid reports " << f << " (kernel name " << k << ")";
    }
    ours[name] = std::set<std::string>(m.FlagList().begin(), m.FlagList().end());
    vendorOf[name] = m.VendorId();
  }
  EXPECT_EQ(dumps, 37);
  // The other way round: a flag libcpuid knows and reports elsewhere, but not
  // for this processor, must not appear in ours.
  for (const auto& [name, flags] : ours)
    for (const std::string& f : flags)
      if (knownToLibcpuid.count(f) && !LibcpuidSkipsFor(vendorOf[name], f)) EXPECT_TRUE(theirs[name].count(f)) << name << ": we report " << f << ", libcpuid does not";
}
