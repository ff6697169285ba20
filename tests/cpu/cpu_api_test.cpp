// The access and query layers: the dump reader, the guarded query and its
// two comparisons, extended level counts, vendor ids and signature fields.
#include <gtest/gtest.h>

#include "cpu/qmOstraAPI.h"
#include "cpu/qmOstraIntf.h"
#include "cpu_helpers.h"

using namespace evc;
using namespace cputest;

TEST(CpuidDump, ReadsCpuZeroAndSubLeafZeroAndMissingLeavesReadAsZeros) {
  auto d = TqmDumpCpuid::Parse(
      "CPU 0:\n"
      "   0x00000000 0x00: eax=0x00000001 ebx=0x756e6547 ecx=0x6c65746e edx=0x49656e69\n"
      "   0x00000001 0x00: eax=0x00000f12 ebx=0x00000000 ecx=0x00000000 edx=0x0183f9ff\r\n"
      "   0x00000001 0x01: eax=0xdeadbeef ebx=0x00000000 ecx=0x00000000 edx=0x00000000\n"
      "\n"
      "CPU 1:\n"
      "   0x00000001 0x00: eax=0x00000f13 ebx=0x00000000 ecx=0x00000000 edx=0x00000000\n");
  EXPECT_EQ(d->Execute(1), (TqmRegisters{0xf12, 0, 0, 0x0183f9ff}));
  EXPECT_EQ(d->Execute(0x80000004), TqmRegisters{});
  EXPECT_EQ(d->ProcessorCount(), 2u);
  EXPECT_EQ(d->ProcessorType(), 586u);  // family 15
  EXPECT_EQ(d->Leaves().size(), 2u);

  // Without headers the lines belong to the one processor; "CPU:" is the
  // header of a single-processor dump.
  auto lone = TqmDumpCpuid::Parse("CPU:\n 0x1 0x0: eax=0x00000400 ebx=0x0 ecx=0x0 edx=0x0\n");
  EXPECT_EQ(lone->Execute(1).EAX, 0x400u);
  EXPECT_EQ(lone->ProcessorType(), 486u);
  EXPECT_EQ(lone->ProcessorCount(), 1u);
}

TEST(CpuidDump, RefusesMalformedDumpsNamingTheLine) {
  auto lineOf = [](const char* text) {
    try {
      TqmDumpCpuid::Parse(text);
    } catch (const EqmDumpError& e) {
      return e.Line();
    }
    return -1;
  };
  const char* good = "   0x00000000 0x00: eax=0x00000001 ebx=0x00000000 ecx=0x00000000 edx=0x00000000\n";
  EXPECT_EQ(lineOf(good), -1);
  EXPECT_EQ(lineOf((std::string(good) + "garbage\n").c_str()), 2);
  EXPECT_EQ(lineOf("0x00000000 0x00: eax=0x1 ebx=0x0 ecx=0x0\n"), 1);                  // a register missing
  EXPECT_EQ(lineOf("0x00000000 0x00: eax=0x1 ebx=0x0 edx=0x0 ecx=0x0\n"), 1);          // out of order
  EXPECT_EQ(lineOf("0x000000000 0x00: eax=0x1 ebx=0x0 ecx=0x0 edx=0x0\n"), 1);         // nine digits
  EXPECT_EQ(lineOf("0x00000000 0x00: eax=0x1 ebx=0x0 ecx=0x0 edx=0x0 extra\n"), 1);
  EXPECT_EQ(lineOf("0x00000000 0x00: eax=0x1ebx=0x0 ecx=0x0 edx=0x0\n"), 1);
  EXPECT_EQ(lineOf("CPU x:\n"), 1);
  EXPECT_EQ(lineOf((std::string(good) + good).c_str()), 2);  // leaf twice
  EXPECT_EQ(lineOf("CPU 0:\nCPU 0:\n"), 2);
  EXPECT_EQ(lineOf("# only a comment\n\n"), 0);  // nothing of processor 0
  EXPECT_EQ(lineOf("CPU 1:\n 0x0 0x0: eax=0x1 ebx=0x0 ecx=0x0 edx=0x0\n"), 0);
  EXPECT_THROW(TqmDumpCpuid::FromFile(DumpPath("no-such-dump.txt")), EqmDumpError);
}

TEST(CpuidSource, ScopeInstallsAndRestoresAndNullMeansTheProcessor) {
  TqmCpuidSource* before = &qmCpuidSource();
  {
    TCpuScope scope(MakeCpu("GenuineIntel", 0x672));
    EXPECT_EQ(qmVendorString(), "GenuineIntel");
  }
  EXPECT_EQ(&qmCpuidSource(), before);
  auto previous = qmSetCpuidSource(nullptr);
  EXPECT_NE(dynamic_cast<TqmProcessorCpuid*>(&qmCpuidSource()), nullptr);
  qmSetCpuidSource(previous);
}

TEST(GuardedQuery, RepeatZeroLeavesTheBlockAndRepeatRunsEveryTime) {
  auto cpu = MakeCpu("GenuineIntel", 0x672);
  TCpuScope scope(cpu);
  TqmRegisters block{1, 2, 3, 4};
  qmLastError = -7;
  EXPECT_TRUE(qmQueryCPUID(1, 0, block));
  EXPECT_EQ(qmLastError, 0);
  EXPECT_EQ(block, (TqmRegisters{1, 2, 3, 4}));
  EXPECT_EQ(cpu->CountOf(1), 0);
  EXPECT_TRUE(qmQueryCPUID(1, 3, block));
  EXPECT_EQ(cpu->CountOf(1), 3);
  EXPECT_EQ(block.EAX, 0x672u);
}

TEST(GuardedQuery, ComparesSignedThenUnsigned) {
  // Standard maximum 2, no extended leaves (0x80000000 reads as zeros).
  auto cpu = MakeCpu("GenuineIntel", 0x672);
  TCpuScope scope(cpu);
  TqmRegisters r;
  EXPECT_TRUE(qmQueryCPUID(2, 1, r));
  EXPECT_FALSE(qmQueryCPUID(5, 1, r));
  EXPECT_EQ(qmLastError, -2);
  // Every extended leaf is negative as a signed number: always accepted.
  cpu->SetLeaf(0x80000000, {0x80000000, 0, 0, 0});
  cpu->SetLeaf(0x80000004, {0x41414141, 0, 0, 0});
  EXPECT_TRUE(qmQueryCPUID(0x80000004, 1, r));
  EXPECT_EQ(r.EAX, 0x41414141u);
  // A standard leaf above the standard maximum passes when the extended
  // maximum, read unsigned, reaches it.
  cpu->SetLeaf(0x80000000, {0x80000006, 0, 0, 0});
  EXPECT_TRUE(qmQueryCPUID(5, 1, r));
  EXPECT_EQ(qmLastError, 0);
  cpu->SetLeaf(0x80000000, {4, 0, 0, 0});
  EXPECT_FALSE(qmQueryCPUID(5, 1, r));
  EXPECT_EQ(qmLastError, -2);
}

TEST(GuardedQuery, WithoutCpuidEverythingAnswersItsFailureValue) {
  auto cpu = MakeCpu("GenuineIntel", 0x672);
  cpu->SetHasCPUID(false);
  TCpuScope scope(cpu);
  TqmRegisters r{9, 9, 9, 9};
  EXPECT_FALSE(qmQueryCPUID(0, 1, r));
  EXPECT_EQ(qmLastError, -1);
  EXPECT_EQ(r, (TqmRegisters{9, 9, 9, 9}));
  EXPECT_EQ(qmMaxLevel(), 0u);
  EXPECT_EQ(qmMaxLevelEx(), 0u);
  EXPECT_EQ(qmVendorString(), "Unknown");
  EXPECT_EQ(qmSignature(), 0u);
  EXPECT_EQ(qmBrandIndex(), 0u);
  EXPECT_EQ(qmFeatureWord(), 0u);
  EXPECT_EQ(qmBrandString(), "");
  EXPECT_FALSE(qmIsAvailable(0));
  for (auto get : {qmGetMaxLevel, qmGetMaxLevelEx, qmGetSignature, qmGetType, qmGetFamily, qmGetFamilyEx,
                   qmGetModel, qmGetModelEx, qmGetStepping, qmGetBrand, qmGetFeatures, qmGetFeaturesEx})
    EXPECT_EQ(get(0), -1);
  EXPECT_FALSE(qmHasFeature(0, 0));
  EXPECT_EQ(qmGetVendorID(0), "");
  EXPECT_EQ(qmGetVendorIndex(0), 0);
  EXPECT_TRUE(cpu->Executed.empty());
}

TEST(ExtendedLevelCount, ClearsBitThirtyOneAndRefusesEightAndAbove) {
  auto cpu = MakeCpu("AuthenticAMD", 0x630);
  TCpuScope scope(cpu);
  const std::pair<uint32_t, int32_t> cases[] = {
      {0x80000006, 6}, {0x80000004, 4}, {0x80000008, 0}, {0x80000021, 0}, {0x03020101, 0}, {0x00000005, 5}, {0, 0}};
  for (auto [eax, count] : cases) {
    cpu->SetLeaf(0x80000000, {eax, 0, 0, 0});
    EXPECT_EQ(qmExtLevelCount(), count) << std::hex << eax;
    EXPECT_EQ(qmGetMaxLevelEx(0), count);
  }
}

TEST(VendorId, ComesFromEbxEdxEcxAndMatchesExactly) {
  auto cpu = MakeCpu("AuthenticAMD", 0x630);
  TCpuScope scope(cpu);
  EXPECT_EQ(qmVendorString(), "AuthenticAMD");
  EXPECT_EQ(qmGetVendorIndex(0), 2);
  const std::pair<const char*, int32_t> ids[] = {
      {"GenuineIntel", 1}, {"AuthenticAMD", 2}, {"CyrixInstead", 3}, {"CentaurHauls", 4}, {"NexGenDriven", 5},
      {"UMC UMC UMC ", 6}, {"RiseRiseRise", 7}, {"authenticAMD", 0}, {"UMC UMC UMC", 0}, {"GenuineTMx86", 0}};
  for (auto [id, index] : ids) {
    cpu->SetLeaf(0, VendorLeaf(id, 1));
    EXPECT_EQ(qmGetVendorIndex(0), index) << id;
  }
  // Zero bytes are characters like any other.
  cpu->SetLeaf(0, {1, 0x41, 0, 0});
  EXPECT_EQ(qmVendorString(), std::string("A\0\0\0\0\0\0\0\0\0\0\0", 12));
  EXPECT_EQ(qmGetVendorID(0).size(), 12u);
}

TEST(Signature, FieldsAndTheirExtendedParts) {
  auto cpu = MakeCpu("GenuineIntel", 0x00000F12, 0x0183f9ff, 0x3A);
  TCpuScope scope(cpu);
  EXPECT_EQ(qmGetSignature(0), 0xF12);
  EXPECT_EQ(qmGetFamily(0), 15);
  EXPECT_EQ(qmGetFamilyEx(0), 0);
  EXPECT_EQ(qmGetModel(0), 1);
  EXPECT_EQ(qmGetModelEx(0), 0);
  EXPECT_EQ(qmGetStepping(0), 2);
  EXPECT_EQ(qmGetBrand(0), 0x3A);

  cpu->SetLeaf(1, {0x00A00F11, 0, 0, 0});  // family 15 + extended 10, as on the machine that wrote this
  EXPECT_EQ(qmGetFamilyEx(0), 10);
  EXPECT_EQ(qmGetModelEx(0), 0);  // the model field is 1: no extended model

  cpu->SetLeaf(1, {0x000306F2, 0, 0, 0});  // model 15: the extended model follows the model field
  EXPECT_EQ(qmGetModel(0), 15);
  EXPECT_EQ(qmGetModelEx(0), 3);
  EXPECT_EQ(qmGetFamilyEx(0), 0);  // family 6

  cpu->SetLeaf(1, {0x000006F2, 0, 0, 0});
  EXPECT_EQ(qmGetModelEx(0), 0);

  cpu->SetLeaf(1, {0x00001632, 0, 0, 0});
  EXPECT_EQ(qmGetType(0), 1);
  EXPECT_EQ(qmGetFamily(0), 6);
  EXPECT_EQ(qmGetModel(0), 3);
  EXPECT_EQ(qmGetStepping(0), 2);

  cpu->SetLeaf(1, {0x0FF00F00, 0, 0, 0});  // all eight bits of the extended family
  EXPECT_EQ(qmGetFamilyEx(0), 0xFF);
  cpu->SetLeaf(1, {0, 0x55, 0, 0});
  EXPECT_EQ(qmGetFamily(0), 0);
  EXPECT_EQ(qmGetType(0), 0);
  EXPECT_EQ(qmGetBrand(0), 0x55);
}

TEST(Records, FillOnTheRightSizeAndAreLeftAloneOtherwise) {
  auto cpu = LoadDump("intel_pentium_iii.txt");
  TCpuScope scope(cpu);
  TqmCPUIDRec c{};
  c.Size = 14;
  EXPECT_EQ(qmReadCPUIDRec(c), 0);
  EXPECT_EQ(int32_t{c.Available}, 1);
  EXPECT_EQ(int32_t{c.MaxLevel}, 3);
  EXPECT_EQ(int32_t{c.MaxLevelEx}, 0);
  TqmCPUIDRec bad{};
  bad.Size = 15;
  bad.MaxLevel = 77;
  EXPECT_EQ(qmReadCPUIDRec(bad), -3);
  EXPECT_EQ(int32_t{bad.MaxLevel}, 77);

  TqmDetectedRec d{};
  d.Size = 37;
  EXPECT_EQ(qmReadDetectedRec(d), 0);
  EXPECT_EQ(int32_t{d.Signature}, 0x672);
  EXPECT_EQ(int32_t{d.Family}, 6);
  EXPECT_EQ(int32_t{d.Model}, 7);
  EXPECT_EQ(int32_t{d.Stepping}, 2);
  EXPECT_EQ(int32_t{d.Type}, 0);
  EXPECT_EQ(int32_t{d.Brand}, 0);
  TqmDetectedRec short_{};
  short_.Size = 36;
  short_.Family = 123;
  qmLastError = 5;
  EXPECT_EQ(qmReadDetectedRec(short_), -3);
  EXPECT_EQ(int32_t{short_.Family}, 123);
  EXPECT_EQ(qmLastError, 5);  // the size code is not a query outcome
}
