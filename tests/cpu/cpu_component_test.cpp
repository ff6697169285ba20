// TqmOstra: what it gathers at creation, Loaded, form files, results that
// ignore writes, ownership of its objects and the version records.
#include <gtest/gtest.h>

#include <memory>

#include "base/Exception.h"
#include "base/FormFile.h"
#include "cpu/qmOstraVcl.h"
#include "cpu_helpers.h"

using namespace evc;
using namespace cputest;

namespace {

std::unique_ptr<TqmOstra> Load(const std::string& text) {
  std::unique_ptr<TComponent> c(TextToComponent(text, nullptr));
  auto* o = dynamic_cast<TqmOstra*>(c.get());
  if (!o) return nullptr;
  c.release();
  return std::unique_ptr<TqmOstra>(o);
}

// A clock that measures `mhz` over any interval.
std::shared_ptr<TScriptedClock> ClockOf(uint64_t cyclesInInterval) {
  auto clock = std::make_shared<TScriptedClock>();
  clock->CycleScript = {0, cyclesInInterval};
  return clock;
}

}  // namespace

TEST(Ostra, GathersEverythingAtCreation) {
  TCpuScope scope(LoadDump("intel_pentium_iii.txt"));
  TqmOstra o(nullptr);
  EXPECT_EQ(o.Vendor(), "Intel Corporation");
  EXPECT_EQ(o.CPU(), "Pentium III");
  EXPECT_EQ(o.FullName(), "Intel Pentium III");
  EXPECT_EQ(o.Count(), 2);
  EXPECT_EQ(o.Serial(), "0000-0672-0000-1234-ABCD-0000");
  EXPECT_TRUE(o.MMX());
  EXPECT_FALSE(o.FDivBug());
  EXPECT_FALSE(o.OverDrive());
  EXPECT_EQ(o.Speed(), 0);
  EXPECT_TRUE(o.CPUID()->Available());
  EXPECT_EQ(o.CPUID()->MaxLevel(), 3);
  EXPECT_EQ(o.CPUID()->MaxLevelEx(), 0);
  const TqmDetectedInfo& d = *o.InternalResults();
  EXPECT_EQ(d.Signature(), 0x672);
  EXPECT_EQ(d.cpuFamily(), 6);
  EXPECT_EQ(d.cpuModel(), 7);
  EXPECT_EQ(d.cpuStepping(), 2);
  EXPECT_EQ(d.FeatureSet(), 0x0387fbff);
  EXPECT_EQ(d.FeatureSetEx(), 0);
  EXPECT_EQ(d.VendorID(), "GenuineIntel");
  EXPECT_TRUE(o.FeatureSet()->SERIAL());
  EXPECT_TRUE(o.FeatureSet()->SIMD());
  EXPECT_TRUE(o.FeatureSet()->APIC());
  EXPECT_FALSE(o.FeatureSet()->SIMD2());
  EXPECT_FALSE(o.FeatureSetEx()->AMD3DNow());
  EXPECT_EQ(o.Cache()->L1Data(), 16);
  EXPECT_EQ(o.Cache()->L1Code(), 16);
  EXPECT_EQ(o.Cache()->Level1(), 0);
  EXPECT_EQ(o.Cache()->Level2(), 512);
}

TEST(Ostra, EveryVendorDumpNamesItsProcessor) {
  struct Case { const char* dump; const char* vendor; const char* fullName; };
  const Case cases[] = {
      {"intel_pentium_4.txt", "Intel Corporation", "Intel Pentium 4 class"},
      {"amd_k6_2.txt", "Advanced Micro Devices", "AMD K6-2"},
      {"amd_duron.txt", "Advanced Micro Devices", "AMD Duron"},
      {"amd_athlon.txt", "Advanced Micro Devices", "AMD Athlon"},
      {"cyrix_6x86mx.txt", "Cyrix Corporation", "Cyrix 6x86MX"},
      {"idt_c6.txt", "IDT/Centaur", "IDT C6"},
      {"nexgen_nx586.txt", "NexGen Inc", "NexGen Nx586"},
      {"umc_u5s.txt", "United Microelectronics Corp", "UMC U5S"},
      {"rise_mp6.txt", "Rise Technology", "Rise mP6"},
      {"unknown_vendor.txt", "Unknown Vendor", "Unknown Pentium class"},
  };
  for (const Case& c : cases) {
    TCpuScope scope(LoadDump(c.dump));
    TqmOstra o(nullptr);
    EXPECT_EQ(o.Vendor(), c.vendor) << c.dump;
    EXPECT_EQ(o.FullName(), c.fullName) << c.dump;
    EXPECT_EQ(o.Count(), 1) << c.dump;
  }
  TCpuScope scope(LoadDump("amd_duron.txt"));
  TqmOstra duron(nullptr);
  EXPECT_TRUE(duron.FeatureSetEx()->MMXEx());
  EXPECT_TRUE(duron.FeatureSetEx()->AMD3DNow());
  EXPECT_TRUE(duron.FeatureSetEx()->AMD3DNowEx());
  EXPECT_EQ(duron.Cache()->Level2(), 64);
  EXPECT_EQ(duron.CPUID()->MaxLevelEx(), 6);
}

TEST(Ostra, WithoutCpuidEveryResultSaysSo) {
  auto cpu = LoadDump("intel_pentium_iii.txt");
  cpu->SetHasCPUID(false);
  cpu->SetProcessorType(486);
  TCpuScope scope(cpu, ClockOf(1000000));
  auto o = Load("object O: TqmOstra\n  AutoBench.Enabled = True\n  AutoBench.Delay = 10\nend\n");
  ASSERT_TRUE(o);
  EXPECT_FALSE(o->CPUID()->Available());
  EXPECT_EQ(o->CPUID()->MaxLevel(), -1);
  EXPECT_EQ(o->CPUID()->MaxLevelEx(), -1);
  const TqmDetectedInfo& d = *o->InternalResults();
  for (int32_t v : {d.Brand(), d.cpuFamily(), d.cpuFamilyEx(), d.cpuModel(), d.cpuModelEx(), d.cpuStepping(),
                    d.cpuType(), d.FeatureSet(), d.FeatureSetEx(), d.Signature()})
    EXPECT_EQ(v, -1);
  EXPECT_EQ(d.VendorID(), "");
  EXPECT_EQ(o->Vendor(), "Unknown Vendor");
  EXPECT_EQ(o->FullName(), "Unknown 486 class");
  EXPECT_EQ(o->Speed(), 0);
  EXPECT_FALSE(o->FDivBug());
  EXPECT_FALSE(o->OverDrive());
  EXPECT_FALSE(o->MMX());
  EXPECT_FALSE(o->FeatureSet()->FPU());
  EXPECT_EQ(o->Serial(), "");
  EXPECT_EQ(o->Cache()->Level2(), 0);
}

TEST(Ostra, LoadedMeasuresOnlyWhenEnabledAndWithTheDelay) {
  auto clock = ClockOf(216000000ull);
  TCpuScope scope(LoadDump("intel_pentium_iii.txt"), clock);
  auto off = Load("object O: TqmOstra\n  AutoBench.Enabled = False\n  AutoBench.Delay = 250\nend\n");
  EXPECT_EQ(off->Speed(), 0);
  EXPECT_TRUE(clock->ClassAtCycles.empty());

  auto on = Load("object O: TqmOstra\n  AutoBench.Enabled = True\n  AutoBench.Delay = 250\nend\n");
  EXPECT_EQ(clock->ClassAtCycles.size(), 2u);  // one interval
  EXPECT_EQ(on->Speed(), 866);                 // 216e6 cycles in 250 ms: 864 MHz
  // Changing the settings later measures nothing.
  on->AutoBench()->SetDelay(500);
  EXPECT_EQ(on->AutoBench()->Delay(), 500);
  EXPECT_EQ(on->Speed(), 866);

  // Created at run time: no Loaded, no measurement even when enabled.
  TqmOstra runtime(nullptr);
  runtime.AutoBench()->SetEnabled(true);
  EXPECT_EQ(runtime.Speed(), 0);
  EXPECT_FALSE(runtime.AutoBench()->Enabled() == false);
}

TEST(Ostra, LoadedPrefersTheBrandStringFromFourExtendedLeaves) {
  {
    TCpuScope scope(LoadDump("intel_pentium_4.txt"));
    auto o = Load("object O: TqmOstra\nend\n");
    EXPECT_EQ(o->FullName(), std::string("              Intel(R) Pentium(R) 4 CPU 1500MHz") + '\0');
    TqmOstra runtime(nullptr);
    EXPECT_EQ(runtime.FullName(), "Intel Pentium 4 class");
  }
  {
    TCpuScope scope(LoadDump("amd_duron.txt"));
    auto o = Load("object O: TqmOstra\nend\n");
    EXPECT_EQ(o->FullName().size(), 48u);
    EXPECT_EQ(o->FullName().substr(0, 23), "AMD Duron(tm) Processor");
  }
  {
    // No extended leaves, or more than seven: the table name stays.
    auto cpu = LoadDump("amd_duron.txt");
    cpu->SetLeaf(0x80000000, {0x80000008, 0, 0, 0});
    TCpuScope scope(cpu);
    auto o = Load("object O: TqmOstra\nend\n");
    EXPECT_EQ(o->CPUID()->MaxLevelEx(), 0);
    EXPECT_EQ(o->FullName(), "AMD Duron");
  }
  {
    TCpuScope scope(LoadDump("intel_pentium_iii.txt"));
    auto o = Load("object O: TqmOstra\nend\n");
    EXPECT_EQ(o->FullName(), "Intel Pentium III");
  }
}

TEST(Ostra, ResultsIgnoreWritesFromCodeAndFromForms) {
  TCpuScope scope(LoadDump("intel_pentium_iii.txt"));
  TqmOstra o(nullptr);
  o.SetVendor("x");
  o.SetCount(5);
  o.SetFDivBug(true);
  o.SetSpeed(9999);
  o.CPUID()->SetMaxLevel(99);
  o.Cache()->SetLevel2(1);
  o.VersionInfo()->API()->SetBuild(1);
  EXPECT_EQ(o.Vendor(), "Intel Corporation");
  EXPECT_EQ(o.Count(), 2);
  EXPECT_FALSE(o.FDivBug());
  EXPECT_EQ(o.Speed(), 0);
  EXPECT_EQ(o.CPUID()->MaxLevel(), 3);
  EXPECT_EQ(o.Cache()->Level2(), 512);
  EXPECT_EQ(o.VersionInfo()->API()->Build(), 45);

  auto f = Load(
      "object O: TqmOstra\n  Vendor = 'x'\n  Count = 5\n  FDivBug = True\n  Speed = 7\n"
      "  Cache.Level2 = 3\n  InternalResults.VendorID = 'AuthenticAMD'\n  FeatureSet.FPU = False\n"
      "  VersionInfo.VCL.Status = bsAlpha\nend\n");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->Vendor(), "Intel Corporation");
  EXPECT_EQ(f->Count(), 2);
  EXPECT_EQ(f->Speed(), 0);
  EXPECT_EQ(f->Cache()->Level2(), 512);
  EXPECT_EQ(f->InternalResults()->VendorID(), "GenuineIntel");
  EXPECT_TRUE(f->FeatureSet()->FPU());
  EXPECT_EQ(f->VersionInfo()->VCL()->Status(), bsFinal);
  // Replacing an owned object is not possible either.
  EXPECT_THROW(Load("object O: TqmOstra\n  Cache = 1\nend\n"), EFormError);
}

TEST(Ostra, SavedFormHoldsSettingsNameAndTagOnly) {
  TCpuScope scope(LoadDump("amd_duron.txt"), ClockOf(1000));
  TqmOstra o(nullptr);
  o.SetName("Ostra1");
  EXPECT_EQ(ComponentToText(o),
            "object Ostra1: TqmOstra\n  AutoBench.Enabled = False\n  AutoBench.Delay = 500\nend\n");
  o.SetTag(7);
  o.AutoBench()->SetEnabled(true);
  o.AutoBench()->SetDelay(250);
  const std::string text = ComponentToText(o);
  EXPECT_EQ(text,
            "object Ostra1: TqmOstra\n  Tag = 7\n  AutoBench.Enabled = True\n  AutoBench.Delay = 250\nend\n");
  auto back = Load(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Name(), "Ostra1");
  EXPECT_EQ(back->Tag(), 7);
  EXPECT_TRUE(back->AutoBench()->Enabled());
  EXPECT_EQ(back->AutoBench()->Delay(), 250);
}

TEST(Ostra, BadFormsRaiseClearErrorsAndLeakNothing) {
  TCpuScope scope(LoadDump("amd_duron.txt"), ClockOf(1000));
  EXPECT_THROW(Load("object O: TqmOstra\n  AutoBench.Delay = 'x'\nend\n"), Exception);
  EXPECT_THROW(Load("object O: TqmOstra\n  AutoBench.Delay = 99999999999\nend\n"), Exception);
  EXPECT_THROW(Load("object O: TqmOstra\n  AutoBench.Speed = 1\nend\n"), Exception);
  EXPECT_THROW(Load("object O: TqmOstra\n  Bogus = 1\nend\n"), Exception);
}

TEST(Ostra, OwnerFreesItAndVersionRecordsAreSet) {
  TCpuScope scope(LoadDump("amd_duron.txt"));
  auto owner = std::make_unique<TComponent>(nullptr);
  auto* o = new TqmOstra(owner.get());
  o->SetName("Cpu");
  EXPECT_EQ(owner->FindComponent("Cpu"), o);
  const TqmVersionInfo& api = *o->VersionInfo()->API();
  const TqmVersionInfo& vcl = *o->VersionInfo()->VCL();
  EXPECT_EQ(api.Build(), 45);
  EXPECT_FLOAT_EQ(api.Version(), 1.0f);
  EXPECT_EQ(vcl.Build(), 44);
  EXPECT_FLOAT_EQ(vcl.Version(), 3.0f);
  EXPECT_EQ(api.Status(), bsFinal);
  EXPECT_EQ(vcl.Status(), bsFinal);
  EXPECT_EQ(api.Release(), rsPublic);
  EXPECT_FALSE(api.Product().empty());
  EXPECT_NE(api.Product(), vcl.Product());
  EXPECT_FALSE(vcl.Copyright().empty());
  EXPECT_EQ(BuildStatusText(bsAlpha), "Alpha ");
  EXPECT_EQ(BuildStatusText(bsBeta), "Beta ");
  EXPECT_EQ(BuildStatusText(bsFinal), "Final");
  EXPECT_EQ(ReleaseStatusText(rsPrivate), "Private ");
  EXPECT_EQ(ReleaseStatusText(rsPublic), "Public");
  TqmVersionInfo v;
  v.SetInfo("c", "p", 2.5f, 7, bsBeta, rsPrivate);
  EXPECT_EQ(v.Product(), "p");
  EXPECT_EQ(v.Status(), bsBeta);
  owner.reset();  // frees the component; the sanitizer run checks nothing leaks
}
