// Vendor names, the decision tables of every naming module, full names and
// the brand string.
#include <gtest/gtest.h>

#include "cpu/qmOstraConst.h"
#include "cpu/qmOstraIntf.h"
#include "cpu_helpers.h"

using namespace evc;
using namespace cputest;

namespace {

uint8_t L2Descriptor(int kb) {
  switch (kb) {
    case 0: return 0x40;
    case 128: return 0x41;
    case 256: return 0x42;
    case 512: return 0x43;
    case 1024: return 0x44;
    default: return 0x45;  // 2048
  }
}

// An Intel part whose leaf 2 reports `l2` KB (-1: no level-2 descriptor).
std::string IntelName(uint32_t sig, int l2, uint32_t brand = 0, uint32_t features = 0x0183f9ff) {
  auto cpu = MakeCpu("GenuineIntel", sig, features, brand);
  cpu->SetLeaf(2, {0x00000001, 0, 0, l2 < 0 ? 0u : L2Descriptor(l2)});
  TCpuScope scope(cpu);
  return qmGetModelName(0);
}

std::string NameOf(const std::string& vendor, uint32_t family, uint32_t model) {
  TCpuScope scope(MakeCpu(vendor, (family << 8) | (model << 4)));
  return qmGetModelName(0);
}

}  // namespace

TEST(IntelNames, FamiliesFourFiveAndFifteen) {
  EXPECT_EQ(NameOf("GenuineIntel", 4, 4), "80486SL");
  EXPECT_EQ(NameOf("GenuineIntel", 4, 7), "80486DX2");
  EXPECT_EQ(NameOf("GenuineIntel", 4, 8), "80486DX4");
  EXPECT_EQ(NameOf("GenuineIntel", 4, 1), "486 class");
  EXPECT_EQ(NameOf("GenuineIntel", 5, 0), "Pentium (P5)");
  EXPECT_EQ(NameOf("GenuineIntel", 5, 1), "Pentium (P5)");
  EXPECT_EQ(NameOf("GenuineIntel", 5, 2), "Pentium (P54C)");
  EXPECT_EQ(NameOf("GenuineIntel", 5, 7), "Pentium (P54C)");
  EXPECT_EQ(NameOf("GenuineIntel", 5, 3), "Pentium 486 OverDrive");
  EXPECT_EQ(NameOf("GenuineIntel", 5, 4), "Pentium MMX");
  EXPECT_EQ(NameOf("GenuineIntel", 5, 8), "Pentium class");
  EXPECT_EQ(NameOf("GenuineIntel", 15, 0), "Pentium 4");
  EXPECT_EQ(NameOf("GenuineIntel", 15, 2), "Pentium 4 class");
  EXPECT_EQ(NameOf("GenuineIntel", 3, 0), "");
}

TEST(IntelNames, FamilySixByCacheBrandIndexAndType) {
  EXPECT_EQ(IntelName(0x610, 256), "Pentium Pro");
  EXPECT_EQ(IntelName(0x630, 512), "Pentium II (Model 3)");
  EXPECT_EQ(IntelName(0x1632, 512), "Pentium II Overdrive");
  EXPECT_EQ(IntelName(0x650, 0), "Celeron (Model 5)");
  EXPECT_EQ(IntelName(0x650, -1), "Celeron (Model 5)");  // no level-2 descriptor at all
  EXPECT_EQ(IntelName(0x650, 128), "Pentium II (Model 5)");
  EXPECT_EQ(IntelName(0x650, 512), "Pentium II (Model 5)");
  EXPECT_EQ(IntelName(0x650, 1024), "Pentium II Xeon");
  EXPECT_EQ(IntelName(0x660, 256), "Mobile Pentium II");
  EXPECT_EQ(IntelName(0x660, 128), "Celeron");
  EXPECT_EQ(IntelName(0x660, 128, 0, 0x0187f9ff), "Mobile Celeron");  // feature bit 18
  EXPECT_EQ(IntelName(0x680, 256), "Pentium III");
  EXPECT_EQ(IntelName(0x680, 2048), "Pentium III Xeon");
  EXPECT_EQ(IntelName(0x670, 1024), "Pentium III Xeon");
  EXPECT_EQ(IntelName(0x680, 2048, 1), "Celeron");
  EXPECT_EQ(IntelName(0x680, 2048, 2), "Pentium III");
  EXPECT_EQ(IntelName(0x670, 128, 3), "Pentium III Xeon");
  EXPECT_EQ(IntelName(0x680, 128, 8), "Pentium 4");
  EXPECT_EQ(IntelName(0x680, 128, 4), "Pentium III class");
  EXPECT_EQ(IntelName(0x6A0, 128), "Pentium III Xeon");
  for (uint32_t m : {2u, 4u, 9u, 11u, 15u}) EXPECT_EQ(IntelName(0x600 | (m << 4), 256), "Pentium II/III class");
}

TEST(IntelNames, FamilySixReadsTheCacheWhateverTheModel) {
  auto cpu = MakeCpu("GenuineIntel", 0x610);
  TCpuScope scope(cpu);
  EXPECT_EQ(qmGetModelName(0), "Pentium Pro");
  EXPECT_GT(cpu->CountOf(qmLeafCacheDescriptors), 0);
  cpu->Executed.clear();
  cpu->SetLeaf(1, {0x520, 0, 0, 0});
  qmGetModelName(0);
  EXPECT_EQ(cpu->CountOf(qmLeafCacheDescriptors), 0);
}

TEST(OtherVendorNames, EveryTable) {
  struct Case { const char* vendor; uint32_t f, m; const char* name; };
  const Case cases[] = {
      {"AuthenticAMD", 4, 3, "Am486"},  {"AuthenticAMD", 4, 9, "Am486"},   {"AuthenticAMD", 4, 14, "Am5x86"},
      {"AuthenticAMD", 4, 15, "Am5x86"}, {"AuthenticAMD", 4, 1, "486 class"}, {"AuthenticAMD", 5, 0, "K5 (Model 0)"},
      {"AuthenticAMD", 5, 3, "K5 (Model 3)"}, {"AuthenticAMD", 5, 6, "K6 (Model 6)"},
      {"AuthenticAMD", 5, 7, "K6 (Model 7)"}, {"AuthenticAMD", 5, 8, "K6-2"}, {"AuthenticAMD", 5, 9, "K6-III"},
      {"AuthenticAMD", 5, 13, "K6-2+/K6-III+"}, {"AuthenticAMD", 5, 4, "Pentium class"},
      {"AuthenticAMD", 6, 1, "Athlon"}, {"AuthenticAMD", 6, 2, "Athlon"}, {"AuthenticAMD", 6, 4, "Athlon"},
      {"AuthenticAMD", 6, 3, "Duron"}, {"AuthenticAMD", 6, 0, "Athlon class"}, {"AuthenticAMD", 15, 1, ""},
      {"CyrixInstead", 4, 4, "Media GX"}, {"CyrixInstead", 4, 9, "Cx5x86"}, {"CyrixInstead", 4, 1, "486 class"},
      {"CyrixInstead", 5, 2, "6x86"}, {"CyrixInstead", 5, 4, "GXm"}, {"CyrixInstead", 5, 0, "Pentium class"},
      {"CyrixInstead", 6, 0, "6x86MX"}, {"CyrixInstead", 6, 5, "VIA Cyrix III"}, {"CyrixInstead", 6, 2, "M2 Class"},
      {"CyrixInstead", 7, 0, ""},
      {"CentaurHauls", 5, 4, "C6"}, {"CentaurHauls", 5, 8, "C2"}, {"CentaurHauls", 5, 9, "C3"},
      {"CentaurHauls", 5, 1, "Pentium class"}, {"CentaurHauls", 6, 6, ""},
      {"NexGenDriven", 5, 0, "Nx586"}, {"NexGenDriven", 5, 1, "Pentium class"}, {"NexGenDriven", 4, 0, ""},
      {"UMC UMC UMC ", 4, 1, "U5D"}, {"UMC UMC UMC ", 4, 2, "U5S"}, {"UMC UMC UMC ", 4, 3, "Pentium class"},
      {"UMC UMC UMC ", 5, 0, ""},
      {"RiseRiseRise", 5, 0, "mP6"}, {"RiseRiseRise", 5, 2, "mP6"}, {"RiseRiseRise", 5, 1, "Pentium class"},
      {"RiseRiseRise", 6, 0, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(NameOf(c.vendor, c.f, c.m), c.name) << c.vendor << " " << c.f << "/" << c.m;
}

TEST(OtherVendorNames, VendorNamesAndFullNames) {
  struct Case { const char* vendor; uint32_t sig; const char* vendorName; const char* fullName; };
  const Case cases[] = {
      {"GenuineIntel", 0x672, "Intel Corporation", "Intel Pentium III"},
      {"AuthenticAMD", 0x580, "Advanced Micro Devices", "AMD K6-2"},
      {"AuthenticAMD", 0xF10, "Advanced Micro Devices", "AMD "},
      {"CyrixInstead", 0x600, "Cyrix Corporation", "Cyrix 6x86MX"},
      {"CentaurHauls", 0x660, "IDT/Centaur", "IDT "},
      {"NexGenDriven", 0x500, "NexGen Inc", "NexGen Nx586"},
      {"UMC UMC UMC ", 0x430, "United Microelectronics Corp", "UMC Pentium class"},
      {"RiseRiseRise", 0x500, "Rise Technology", "Rise mP6"},
  };
  for (const Case& c : cases) {
    TCpuScope scope(MakeCpu(c.vendor, c.sig));
    EXPECT_EQ(qmGetVendorName(0), c.vendorName);
    EXPECT_EQ(qmGetFullName(0), c.fullName);
  }
}

TEST(DefaultNames, UnknownVendorsAndMissingCpuidUseTheSystemProcessorType) {
  auto cpu = MakeCpu("GenuineTMx86", 0x543);
  TCpuScope scope(cpu);
  EXPECT_EQ(qmGetVendorName(0), "Unknown Vendor");
  EXPECT_EQ(qmGetModelName(0), "Pentium class");  // the dump's family 5 reads as type 586
  EXPECT_EQ(qmGetFullName(0), "Unknown Pentium class");
  const std::pair<DWORD, const char*> types[] = {
      {386, "386 class"}, {486, "486 class"}, {586, "Pentium class"}, {686, "Pentium II class"},
      {2200, "2200 class"}, {8664, "8664 class"}};
  for (auto [type, name] : types) {
    cpu->SetProcessorType(type);
    EXPECT_EQ(qmGetModelName(0), name);
  }
  cpu->SetProcessorType(486);
  cpu->SetHasCPUID(false);
  EXPECT_EQ(qmGetVendorName(0), "Unknown Vendor");
  EXPECT_EQ(qmGetFullName(0), "Unknown 486 class");
  EXPECT_EQ(qmGetBrandString(0), "");
}

TEST(BrandString, FortyEightCharactersUntrimmedAndSixteenFewerPerFailingLeaf) {
  auto cpu = LoadDump("amd_k6_2.txt");
  TCpuScope scope(cpu);
  const std::string brand = qmGetBrandString(0);
  ASSERT_EQ(brand.size(), 48u);
  EXPECT_EQ(brand, std::string("AMD-K6(tm) 3D processor") + std::string(25, '\0'));

  auto p4 = LoadDump("intel_pentium_4.txt");
  TCpuScope scope4(p4);
  EXPECT_EQ(qmBrandString(), std::string("              Intel(R) Pentium(R) 4 CPU 1500MHz") + '\0');

  // A leaf the check refuses adds nothing. Only standard leaves can be
  // refused, so a source that drops CPUID halfway plays the failing leaf.
  struct TFailingThird : TRecordingCpuid {
    using TRecordingCpuid::TRecordingCpuid;
    bool IDFlagToggles() override { return ++calls <= 4; }  // two guarded queries of two checks each
    int calls = 0;
  };
  auto f = std::make_shared<TFailingThird>(p4->Leaves());
  TCpuScope scopeF(f);
  EXPECT_EQ(qmBrandString().size(), 32u);
}
