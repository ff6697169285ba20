// Feature records and cache sizes from descriptors and size fields.
#include <gtest/gtest.h>

#include <cstring>

#include "cpu/qmOstraConst.h"
#include "cpu/qmOstraIntf.h"
#include "cpu_helpers.h"

using namespace evc;
using namespace cputest;

namespace {
TqmFeatureRec ReadFeatures() {
  TqmFeatureRec rec{};
  rec.Size = 35;
  EXPECT_EQ(qmReadFeatureRec(rec), 0);
  return rec;
}
}  // namespace

TEST(FeatureRecord, DecodesTheStandardWord) {
  TCpuScope scope(MakeCpu("GenuineIntel", 0x672, 0x0183F9FF));
  TqmFeatureRec r = ReadFeatures();
  for (uint8_t f : {r.FPU, r.VME, r.DE, r.PSE, r.TSC, r.MSR, r.PAE, r.MCE, r.CX8, r.SEP, r.MTRR, r.PGE, r.MCA,
                    r.CMOV, r.PAT, r.PSE36, r.MMX, r.XSR})
    EXPECT_EQ(f, 1);
  for (uint8_t f : {r.APIC, r.SERIAL, r.SIMD, r.SIMD2, r.CLFLUSH, r.DTS, r.ACPI, r.SS, r.TM}) EXPECT_EQ(f, 0);
}

TEST(FeatureRecord, EachFlagHasItsOwnBitAndTheUndecodedBitsAreIgnored) {
  struct Bit { uint32_t n; uint8_t TqmFeatureRec::*flag; };
  const Bit bits[] = {{0, &TqmFeatureRec::FPU},   {1, &TqmFeatureRec::VME},     {2, &TqmFeatureRec::DE},
                      {3, &TqmFeatureRec::PSE},   {4, &TqmFeatureRec::TSC},     {5, &TqmFeatureRec::MSR},
                      {6, &TqmFeatureRec::PAE},   {7, &TqmFeatureRec::MCE},     {8, &TqmFeatureRec::CX8},
                      {9, &TqmFeatureRec::APIC},  {11, &TqmFeatureRec::SEP},    {12, &TqmFeatureRec::MTRR},
                      {13, &TqmFeatureRec::PGE},  {14, &TqmFeatureRec::MCA},    {15, &TqmFeatureRec::CMOV},
                      {16, &TqmFeatureRec::PAT},  {17, &TqmFeatureRec::PSE36},  {18, &TqmFeatureRec::SERIAL},
                      {19, &TqmFeatureRec::CLFLUSH}, {21, &TqmFeatureRec::DTS}, {22, &TqmFeatureRec::ACPI},
                      {23, &TqmFeatureRec::MMX},  {24, &TqmFeatureRec::XSR},    {25, &TqmFeatureRec::SIMD},
                      {26, &TqmFeatureRec::SIMD2}, {27, &TqmFeatureRec::SS},    {29, &TqmFeatureRec::TM}};
  for (const Bit& b : bits) {
    TCpuScope scope(MakeCpu("GenuineIntel", 0x672, 1u << b.n));
    TqmFeatureRec r = ReadFeatures();
    const uint8_t* flags = &r.FPU;
    int set = 0;
    for (int i = 0; i < 30; ++i) set += flags[i];
    EXPECT_EQ(r.*b.flag, 1) << b.n;
    EXPECT_EQ(set, 1) << b.n;
  }
  TCpuScope scope(MakeCpu("GenuineIntel", 0x672, (1u << 10) | (1u << 20) | (1u << 28) | (1u << 30) | (1u << 31)));
  TqmFeatureRec r = ReadFeatures();
  const uint8_t* flags = &r.FPU;
  for (int i = 0; i < 30; ++i) EXPECT_EQ(flags[i], 0) << i;
}

TEST(FeatureRecord, ExtendedFlagsDependOnTheVendor) {
  auto ext = [](const char* vendor, uint32_t e) {
    auto cpu = MakeCpu(vendor, 0x580);
    cpu->SetLeaf(0x80000001, {0, 0, 0, e});
    TCpuScope scope(cpu);
    return ReadFeatures();
  };
  EXPECT_EQ(ext("AuthenticAMD", 1u << 22).MMXEx, 1);
  EXPECT_EQ(ext("CyrixInstead", 1u << 22).MMXEx, 0);
  EXPECT_EQ(ext("CyrixInstead", 1u << 24).MMXEx, 1);
  EXPECT_EQ(ext("AuthenticAMD", 1u << 24).MMXEx, 0);
  TqmFeatureRec intel = ext("GenuineIntel", (1u << 31) | (1u << 22) | (1u << 24));
  EXPECT_EQ(intel.AMD3DNow, 1);
  EXPECT_EQ(intel.AMD3DNowEx, 0);
  EXPECT_EQ(intel.MMXEx, 0);
  EXPECT_EQ(ext("RiseRiseRise", 1u << 30).AMD3DNowEx, 1);
}

TEST(FeatureRecord, WrongSizeWritesNothingAndNoCpuidDecodesMinusOne) {
  TCpuScope scope(MakeCpu("GenuineIntel", 0x672));
  TqmFeatureRec rec{};
  rec.Size = 34;
  EXPECT_EQ(qmReadFeatureRec(rec), -3);
  EXPECT_EQ(int32_t{rec.FPU}, 0);
  auto none = MakeCpu("GenuineIntel", 0x672);
  none->SetHasCPUID(false);
  TCpuScope scope2(none);
  // Both words read -1 without CPUID; that must not turn into every flag.
  TqmFeatureRec r;
  std::memset(&r, 0xAB, sizeof r);
  r.Size = 35;
  EXPECT_EQ(qmReadFeatureRec(r), 0);
  const uint8_t* flags = &r.FPU;
  for (int i = 0; i < 30; ++i) EXPECT_EQ(flags[i], 0) << i;
}

TEST(Leaf2Descriptors, SlotOrderDecidesAndDescriptor40MeansNone) {
  auto cpu = MakeCpu("GenuineIntel", 0x672);
  TCpuScope scope(cpu);
  cpu->SetLeaf(2, {0x03020101, 0, 0, 0x0C040843});
  EXPECT_EQ(qmGetL1Data(0), 16);
  EXPECT_EQ(qmGetL1Code(0), 16);
  EXPECT_EQ(qmGetLevel2(0), 512);
  cpu->SetLeaf(2, {0x03020101, 0, 0, 0x0C040840});
  EXPECT_EQ(qmGetLevel2(0), 0);
  cpu->SetLeaf(2, {0x00004301, 0, 0, 0x41000000});
  EXPECT_EQ(qmGetLevel2(0), 512);
  cpu->SetLeaf(2, {0x0A060601, 0x85000000, 0, 0});  // all sixteen bytes count, EBX too
  EXPECT_EQ(qmGetL1Data(0), 8);
  EXPECT_EQ(qmGetL1Code(0), 8);
  EXPECT_EQ(qmGetLevel2(0), 2048);
  TqmDescriptors list;
  EXPECT_TRUE(qmLeaf2Descriptors(list));
  EXPECT_EQ(list[0], 0x01);
  EXPECT_EQ(list[3], 0x0A);
  EXPECT_EQ(list[7], 0x85);
}

TEST(Leaf2Descriptors, RepeatsAsOftenAsTheLowByteSays) {
  auto cpu = MakeCpu("GenuineIntel", 0x672);
  cpu->SetLeaf(2, {0x00000003, 0, 0, 0x00000042});
  TCpuScope scope(cpu);
  TqmDescriptors list;
  EXPECT_TRUE(qmLeaf2Descriptors(list));
  EXPECT_EQ(cpu->CountOf(2), 1 + 3);
  EXPECT_EQ(list[12], 0x42);
  // Refused (standard maximum 1, no extended leaves): empty list.
  cpu->SetLeaf(0, VendorLeaf("GenuineIntel", 1));
  EXPECT_FALSE(qmLeaf2Descriptors(list));
  EXPECT_EQ(list, TqmDescriptors{});
  EXPECT_EQ(qmGetLevel2(0), 0);
}

TEST(CacheSizes, ExtendedLeavesOfAmd) {
  auto duron = LoadDump("amd_duron.txt");
  TCpuScope scope(duron);
  EXPECT_EQ(qmGetL1Data(0), 64);
  EXPECT_EQ(qmGetL1Code(0), 64);
  EXPECT_EQ(qmGetLevel2(0), 64);  // leaf 0x80000006 says 1
  auto athlon = LoadDump("amd_athlon.txt");
  TCpuScope scope2(athlon);
  EXPECT_EQ(qmGetLevel2(0), 256);
  // The Duron rule is for AMD family 6 model 3 alone.
  auto other = std::make_shared<TqmDumpCpuid>(duron->Leaves());
  other->SetLeaf(0, VendorLeaf("GenuineIntel", 1));
  TCpuScope scope3(other);
  EXPECT_EQ(qmGetLevel2(0), 1);
}

TEST(CacheSizes, AmdWithFiveExtendedLeavesFallsBackToLeaf2) {
  auto k6 = std::make_shared<TRecordingCpuid>(LoadDump("amd_k6_2.txt")->Leaves());
  TCpuScope scope(k6);
  EXPECT_EQ(qmGetL1Data(0), 0);  // leaf 2 is accepted (extended maximum >= 2) but absent
  EXPECT_GT(k6->CountOf(2), 0);
  k6->SetLeaf(2, {0x00000001, 0, 0, 0x0C084200});
  EXPECT_EQ(qmGetL1Data(0), 16);
  EXPECT_EQ(qmGetL1Code(0), 16);
  EXPECT_EQ(qmGetLevel2(0), 256);
}

TEST(CacheSizes, CyrixReadsDescriptorsFromTheExtendedLeaves) {
  TCpuScope scope(LoadDump("cyrix_6x86mx.txt"));
  EXPECT_EQ(qmGetL1Data(0), 16);
  EXPECT_EQ(qmGetL1Code(0), 16);
  EXPECT_EQ(qmGetLevel1(0), 16);
  EXPECT_EQ(qmGetLevel2(0), 256);
}

TEST(CacheSizes, UnifiedLevel1AlwaysFromLeaf80000005AndNothingWithoutCpuid) {
  auto cpu = MakeCpu("GenuineIntel", 0x672);
  cpu->SetLeaf(0x80000005, {0x80, 0, 0, 0});  // executed without the check
  TCpuScope scope(cpu);
  EXPECT_EQ(qmGetLevel1(0), 16);
  TqmCacheRec rec{};
  rec.Size = 20;
  EXPECT_EQ(qmReadCacheRec(rec), -3);
  EXPECT_EQ(int32_t{rec.Level1}, 0);
  rec.Size = 21;
  EXPECT_EQ(qmReadCacheRec(rec), 0);
  EXPECT_EQ(int32_t{rec.Level1}, 16);
  cpu->SetHasCPUID(false);
  EXPECT_EQ(qmReadCacheRec(rec), 0);
  EXPECT_EQ(int32_t{rec.L1Code}, 0);
  EXPECT_EQ(int32_t{rec.L1Data}, 0);
  EXPECT_EQ(int32_t{rec.Level1}, 0);
  EXPECT_EQ(int32_t{rec.Level2}, 0);
}
