// The query layer of the processor library: operations that take a
// processor number, answer -1 (or False, or an empty string) when the
// processor has no CPUID instruction, and fill fixed-size records whose
// first field states their size.
//
// The processor number is accepted and passed on but selects nothing:
// queries read whichever processor runs the calling thread.
#pragma once
#include <cstdint>
#include <string>

namespace evc {

#pragma pack(push, 1)
struct TqmCPUIDRec {
  int32_t Size;  // must be 14
  uint8_t CpuNum;
  uint8_t Available;
  int32_t MaxLevel;
  int32_t MaxLevelEx;
};

struct TqmDetectedRec {
  int32_t Size;  // must be 37
  uint8_t CpuNum;
  int32_t Signature;
  int32_t Type;
  int32_t Family;
  int32_t FamilyEx;
  int32_t Model;
  int32_t ModelEx;
  int32_t Stepping;
  int32_t Brand;
};

// One byte per flag, 1 when set. The order is the record's own, not the
// order of the published properties.
struct TqmFeatureRec {
  int32_t Size;  // must be 35
  uint8_t CpuNum;
  uint8_t FPU, VME, DE, PSE, TSC, MSR, PAE, MCE, CX8, APIC, SEP, MTRR, PGE, MCA, CMOV, PAT, PSE36,
      SERIAL, MMX, XSR, SIMD, MMXEx, AMD3DNow, AMD3DNowEx, CLFLUSH, DTS, ACPI, SIMD2, SS, TM;
};

struct TqmCacheRec {
  int32_t Size;  // must be 21
  uint8_t CpuNum;
  int32_t L1Code;
  int32_t L1Data;
  int32_t Level1;
  int32_t Level2;
};
#pragma pack(pop)

static_assert(sizeof(TqmCPUIDRec) == 14);
static_assert(sizeof(TqmDetectedRec) == 37);
static_assert(sizeof(TqmFeatureRec) == 35);
static_assert(sizeof(TqmCacheRec) == 21);

// --- identification ---
bool qmIsAvailable(uint8_t CpuNum);
int32_t qmGetMaxLevel(uint8_t CpuNum);
int32_t qmGetMaxLevelEx(uint8_t CpuNum);
int32_t qmGetSignature(uint8_t CpuNum);
int32_t qmGetType(uint8_t CpuNum);
int32_t qmGetFamily(uint8_t CpuNum);
int32_t qmGetFamilyEx(uint8_t CpuNum);
int32_t qmGetModel(uint8_t CpuNum);
int32_t qmGetModelEx(uint8_t CpuNum);
int32_t qmGetStepping(uint8_t CpuNum);
int32_t qmGetBrand(uint8_t CpuNum);
int32_t qmGetFeatures(uint8_t CpuNum);
int32_t qmGetFeaturesEx(uint8_t CpuNum);
bool qmHasFeature(uint8_t CpuNum, uint32_t bit);
std::string qmGetVendorID(uint8_t CpuNum);
// 1 Intel, 2 AMD, 3 Cyrix, 4 IDT/Centaur, 5 NexGen, 6 UMC, 7 Rise, 0 other.
int32_t qmGetVendorIndex(uint8_t CpuNum);

int32_t qmReadCPUIDRec(TqmCPUIDRec& rec);
int32_t qmReadDetectedRec(TqmDetectedRec& rec);

// --- names ---
std::string qmGetVendorName(uint8_t CpuNum);
std::string qmGetModelName(uint8_t CpuNum);
std::string qmGetFullName(uint8_t CpuNum);
std::string qmGetBrandString(uint8_t CpuNum);

// --- features ---
int32_t qmReadFeatureRec(TqmFeatureRec& rec);

// --- caches, in KB ---
int32_t qmGetL1Data(uint8_t CpuNum);
int32_t qmGetL1Code(uint8_t CpuNum);
int32_t qmGetLevel1(uint8_t CpuNum);
int32_t qmGetLevel2(uint8_t CpuNum);
int32_t qmReadCacheRec(TqmCacheRec& rec);

// --- clock and checks ---
// MHz as measured over Delay milliseconds, -1.0 without a time-stamp counter.
float qmGetRawSpeed(uint8_t CpuNum, int32_t Delay);
// The measurement rounded to a marketed speed.
int32_t qmGetSpeed(uint8_t CpuNum, int32_t Delay);
// Rounds a measured speed to the speed the part was sold at. Speeds that are
// not a number, and all speeds of 0 or below, give 0 (nothing was measured);
// speeds from 2^31 MHz up, infinity included, give 2147483647.
int32_t qmNormalizeSpeed(float speed);
bool qmFDivBug(uint8_t CpuNum);
bool qmIsOverDrive(uint8_t CpuNum);
std::string qmGetSerial(uint8_t CpuNum);

}  // namespace evc
