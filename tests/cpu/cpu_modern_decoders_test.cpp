// The decoders behind TqmModernInfo on processors built leaf by leaf: the
// paths the recorded dumps do not reach (leaf-2 descriptors, the VIA quirks,
// hypervisors, TSC leaves, no CPUID), and its isolation from the classic
// results.
#include <gtest/gtest.h>

#include "cpu/qmModernInfo.h"
#include "cpu/qmOstraAPI.h"
#include "cpu/qmOstraVcl.h"
#include "cpu_helpers.h"

using namespace evc;
using namespace cputest;

namespace {

constexpr TqmCacheType D = TqmCacheType::Data, I = TqmCacheType::Instruction, U = TqmCacheType::Unified;

// Leaf 0 for `vendor` with standard maximum `maxStd`, leaf 1 `sig`, and the
// extended range up to `maxExt` (none for 0).
std::shared_ptr<TRecordingCpuid> Cpu(const std::string& vendor, uint32_t maxStd, uint32_t sig, uint32_t maxExt = 0) {
  auto cpu = std::make_shared<TRecordingCpuid>();
  cpu->SetLeaf(0, VendorLeaf(vendor, maxStd));
  cpu->SetLeaf(1, {sig, 0, 0, 0});
  if (maxExt) cpu->SetLeaf(0x80000000u, {maxExt, 0, 0, 0});
  return cpu;
}

// Leaf 0x40000000: the signature runs EBX, ECX, EDX (leaf 0 runs EBX, EDX, ECX).
TqmRegisters HypervisorLeaf(const std::string& signature, uint32_t max) {
  const TqmRegisters v = VendorLeaf(signature, max);
  return {v.EAX, v.EBX, v.EDX, v.ECX};
}

std::vector<TqmCacheLevel> CachesOf(std::shared_ptr<TqmCpuidSource> cpu) {
  TCpuScope scope(std::move(cpu));
  return TqmModernInfo().Caches();
}

}  // namespace

TEST(ModernCaches, EveryWayOfReportingDecodes) {
  struct Case {
    const char* what;
    std::shared_ptr<TRecordingCpuid> cpu;
    std::vector<TqmCacheLevel> want;
  };
  std::vector<Case> cases;
  {  // Pentium III: leaf 2 only, 32-byte lines; 0x04 is a TLB.
    auto c = std::make_shared<TRecordingCpuid>(LoadDump("intel_pentium_iii.txt")->Leaves());
    cases.push_back({"P6 descriptors", c, {{1, D, 16, 4, 32, 0}, {1, I, 16, 4, 32, 0}, {2, U, 512, 4, 32, 0}}});
  }
  {  // Pentium 4: 0x66 and 0x7A are caches, 0x40 says no L3, 0x70 is the trace cache.
    auto c = std::make_shared<TRecordingCpuid>(LoadDump("intel_pentium_4.txt")->Leaves());
    cases.push_back({"NetBurst descriptors", c, {{1, D, 8, 4, 64, 0}, {2, U, 256, 8, 64, 0}}});
  }
  {  // A register with bit 31 set holds no descriptors; 0x49 is L3 on family 15 model 6 only.
    auto c = Cpu("GenuineIntel", 2, 0xF60);
    c->SetLeaf(2, {0x00000001, 0x8000002C, 0, 0x00000049});
    cases.push_back({"bit 31 and 0x49 on the Xeon MP", c, {{3, U, 4096, 16, 64, 0}}});
    auto other = Cpu("GenuineIntel", 2, 0xF40);
    other->SetLeaf(2, {0x00000001, 0, 0, 0x00000049});
    cases.push_back({"0x49 elsewhere", other, {{2, U, 4096, 16, 64, 0}}});
  }
  {  // Leaf 4 wins over leaf 2; fully associative reads as 0 ways; 16 sub-leaves at most.
    auto c = Cpu("GenuineIntel", 4, 0x106A5);
    c->SetLeaf(2, {0x00000001, 0, 0, 0x0000002C});
    c->SetSubLeaf(4, 0, {0x00000121 | (1u << 9), (7u << 22) | 63, 63, 0});  // 8 x 1 x 64 x 64 = 32 KB
    c->SetSubLeaf(4, 1, {0x00000143, (15u << 22) | 63, 4095, 0});          // 16 x 64 x 4096 = 4 MB
    cases.push_back({"deterministic leaf", c, {{1, D, 32, 0, 64, 1}, {2, U, 4096, 16, 64, 1}}});
    auto endless = Cpu("GenuineIntel", 4, 0x106A5);
    for (uint32_t s = 0; s < 40; ++s) endless->SetSubLeaf(4, s, {0x00000121, 63, 63, 0});
    cases.push_back({"no terminating sub-leaf", endless, std::vector<TqmCacheLevel>(16, {1, D, 4, 1, 64, 1})});
  }
  {  // Leaf 4 beyond the standard maximum is not read, even when the source has it.
    auto c = Cpu("GenuineIntel", 2, 0x106A5);
    c->SetSubLeaf(4, 0, {0x00000121, 63, 63, 0});
    cases.push_back({"leaf above the maximum", c, {}});
  }
  {  // VIA C3 Samuel 2 (family 6 model 7): L2 in the layout of 0x80000005.
    auto c = Cpu("CentaurHauls", 1, 0x670, 0x80000006u);
    c->SetLeaf(0x80000005u, {0, 0, 0x40040120, 0x40040120});
    c->SetLeaf(0x80000006u, {0, 0, 0x40100020, 0});
    cases.push_back({"C3 L2 quirk", c, {{1, D, 64, 4, 32, 0}, {1, I, 64, 4, 32, 0}, {2, U, 64, 16, 32, 0}}});
    // The same register on an AMD part means 16 MB with reserved ways: nothing.
    auto amd = Cpu("AuthenticAMD", 1, 0x670, 0x80000006u);
    amd->SetLeaf(0x80000006u, {0, 0, 0x40100020, 0});
    cases.push_back({"no quirk for AMD", amd, {}});
    // Early Nehemiah stepping 1 says 65 KB for its 64 KB.
    auto neh = Cpu("CentaurHauls", 1, 0x691, 0x80000006u);
    neh->SetLeaf(0x80000006u, {0, 0, 0x00418020, 0});
    cases.push_back({"Nehemiah 65 KB", neh, {{2, U, 64, 16, 32, 0}}});
  }
  {  // AMD without topology extensions: legacy leaves, L3 in 512 KB units, ways by code.
    auto c = Cpu("AuthenticAMD", 5, 0x100F42, 0x80000006u);
    c->SetLeaf(0x80000005u, {0, 0, 0x40020140, 0x40020140});
    c->SetLeaf(0x80000006u, {0, 0, 0x02008140, 0x0030B140});
    c->SetSubLeaf(0x8000001Du, 0, {0x00000121, 63, 63, 0});  // ignored: no topoext
    cases.push_back({"K10 legacy leaves",
                     c,
                     {{1, D, 64, 2, 64, 0}, {1, I, 64, 2, 64, 0}, {2, U, 512, 16, 64, 0}, {3, U, 6144, 48, 64, 0}}});
  }
  for (const Case& c : cases) EXPECT_EQ(CachesOf(c.cpu), c.want) << c.what;
}

TEST(ModernInfo, HypervisorTscAndHybridFromTheirLeaves) {
  struct Case {
    const char* what;
    uint32_t leaf1Ecx;
    TqmRegisters hv, l15, l16, l80000007, l7, l1a;
    bool present;
    const char* signature;
    const char* name;
    bool invariant;
    int32_t tscKHz;
    bool hybrid;
    const char* coreType;
  };
  const auto kvm = HypervisorLeaf("KVMKVMKVM", 0x40000001);
  const Case cases[] = {
      {"KVM guest, crystal clock", 1u << 31, kvm, {2, 166, 24000000, 0}, {}, {0, 0, 0, 1u << 8}, {}, {},
       true, "KVMKVMKVM", "KVM", true, 1992000, false, ""},
      {"bare metal ignores 0x40000000", 0, kvm, {}, {3600, 5000, 100, 0}, {}, {}, {},
       false, "", "", false, 3600000, false, ""},
      {"unknown hypervisor, no crystal", 1u << 31, HypervisorLeaf("SomeNewHyper", 0x40000000), {2, 166, 0, 0}, {},
       {}, {}, {}, true, "SomeNewHyper", "", false, 0, false, ""},
      {"hybrid, efficient core", 0, {}, {}, {}, {}, {1, 0, 0, 1u << 15}, {0x20000000, 0, 0, 0},
       false, "", "", false, 0, true, "Atom"},
      {"hybrid, performance core", 0, {}, {}, {}, {}, {0, 0, 0, 1u << 15}, {0x40000001, 0, 0, 0},
       false, "", "", false, 0, true, "Core"},
  };
  for (const Case& c : cases) {
    auto cpu = Cpu("GenuineIntel", 0x1A, 0x906A3, 0x80000008u);
    cpu->SetLeaf(1, {0x906A3, 0, c.leaf1Ecx, 0});
    cpu->SetLeaf(0x40000000u, c.hv);
    cpu->SetLeaf(0x15, c.l15);
    cpu->SetLeaf(0x16, c.l16);
    cpu->SetLeaf(0x80000007u, c.l80000007);
    cpu->SetLeaf(7, c.l7);
    cpu->SetLeaf(0x1A, c.l1a);
    TCpuScope scope(cpu);
    const TqmModernInfo m;
    EXPECT_EQ(m.HypervisorPresent(), c.present) << c.what;
    EXPECT_EQ(m.Hypervisor(), c.signature) << c.what;
    EXPECT_EQ(m.HypervisorInfo().Name, c.name) << c.what;
    EXPECT_EQ(m.InvariantTSC(), c.invariant) << c.what;
    EXPECT_EQ(m.HasFlag("constant_tsc"), c.invariant) << c.what;
    EXPECT_EQ(m.TSCFrequencyKHz(), c.tscKHz) << c.what;
    EXPECT_EQ(m.Hybrid(), c.hybrid) << c.what;
    EXPECT_EQ(m.CoreType(), c.coreType) << c.what;
    EXPECT_EQ(m.HasFlag("hypervisor"), c.present) << c.what;
  }
}

TEST(ModernInfo, ReadsApartFromTheClassicQueriesAndReportsNothingWithoutCpuid) {
  auto cpu = std::make_shared<TRecordingCpuid>(
      TqmDumpCpuid::FromFile(std::string(EVC_SOURCE_DIR) +
                             "/tests/cpu/modern-dumps/raptor-cove_13th-gen-intel-core-i7-13700k.txt")
          ->Leaves());
  TCpuScope scope(cpu);
  qmLastError = -7;
  const TqmModernInfo m;
  // Nothing went through the classic layer: its error and its execution
  // counts (which the classic tests check) are untouched.
  EXPECT_EQ(qmLastError, -7);
  EXPECT_TRUE(cpu->Executed.empty());
  EXPECT_EQ(m.Brand(), "13th Gen Intel(R) Core(TM) i7-13700K");
  EXPECT_EQ(m.Codename(), "Raptor Lake");
  EXPECT_TRUE(m.Hybrid());
  EXPECT_EQ(m.CoreType(), "Core");  // CPU 0 is a performance core

  cpu->SetHasCPUID(false);
  TqmOstra o(nullptr);
  const TqmModernInfo& none = *o.Modern();
  EXPECT_FALSE(none.Available());
  EXPECT_EQ(none.Brand(), "");
  EXPECT_EQ(none.VendorId(), "");
  EXPECT_EQ(none.Family(), -1);
  EXPECT_EQ(none.Model(), -1);
  EXPECT_EQ(none.CoresPerPackage(), 0);
  EXPECT_TRUE(none.Caches().empty());
  EXPECT_TRUE(none.FlagList().empty());
  EXPECT_EQ(o.FullName(), "Unknown Pentium class");  // the classic fallback, as before
}

TEST(CpuidDump, KeepsEverySubLeafOfTheFirstProcessorAndRefusesOneGivenTwice) {
  const char* leaf4 =
      "CPU 0:\n"
      "   0x00000000 0x00: eax=0x00000004 ebx=0x756e6547 ecx=0x6c65746e edx=0x49656e69\n"
      "   0x00000004 0x00: eax=0x00000121 ebx=0x01c0003f ecx=0x0000003f edx=0x00000000\n"
      "   0x00000004 0x01: eax=0x00000122 ebx=0x01c0003f ecx=0x0000003f edx=0x00000000\n";
  auto d = TqmDumpCpuid::Parse(std::string(leaf4) +
                               "CPU 1:\n   0x00000004 0x02: eax=0x00000143 ebx=0x0 ecx=0x0 edx=0x0\n");
  EXPECT_EQ(d->ExecuteSub(4, 1).EAX, 0x122u);
  EXPECT_EQ(d->ExecuteSub(4, 0), d->Execute(4));
  EXPECT_EQ(d->ExecuteSub(4, 2), TqmRegisters{});  // CPU 1's
  try {
    TqmDumpCpuid::Parse(std::string(leaf4) + "   0x00000004 0x01: eax=0x1 ebx=0x0 ecx=0x0 edx=0x0\n");
    ADD_FAILURE() << "a sub-leaf given twice was accepted";
  } catch (const EqmDumpError& e) {
    EXPECT_EQ(e.Line(), 5);
    EXPECT_NE(std::string(e.what()).find("sub-leaf 0x01"), std::string::npos) << e.what();
  }
}
