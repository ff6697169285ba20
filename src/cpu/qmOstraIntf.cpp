#include "cpu/qmOstraIntf.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "cpu/qmOstraAMD.h"
#include "cpu/qmOstraAPI.h"
#include "cpu/qmOstraConst.h"
#include "cpu/qmOstraCyrix.h"
#include "cpu/qmOstraDefault.h"
#include "cpu/qmOstraIDT.h"
#include "cpu/qmOstraIntel.h"
#include "cpu/qmOstraNexGen.h"
#include "cpu/qmOstraRise.h"
#include "cpu/qmOstraUMC.h"

namespace evc {

namespace {

// The naming modules by vendor index; the default module answers for 0.
struct TVendorModule {
  std::string (*VendorIdText)();
  std::string (*ShortName)();
  std::string (*VendorName)();
  std::string (*ModelName)(uint8_t);
  float (*ClockSpeed)(uint8_t, int32_t);
};

#define EVC_QM_MODULE(ns) \
  TVendorModule { &ns::VendorIdText, &ns::ShortName, &ns::VendorName, &ns::ModelName, &ns::ClockSpeed }

const TVendorModule kModules[8] = {
    {nullptr, &qmOstraDefault::ShortName, &qmOstraDefault::VendorName, &qmOstraDefault::ModelName,
     &qmOstraDefault::ClockSpeed},
    EVC_QM_MODULE(qmOstraIntel),  EVC_QM_MODULE(qmOstraAMD), EVC_QM_MODULE(qmOstraCyrix),
    EVC_QM_MODULE(qmOstraIDT),    EVC_QM_MODULE(qmOstraNexGen), EVC_QM_MODULE(qmOstraUMC),
    EVC_QM_MODULE(qmOstraRise),
};
#undef EVC_QM_MODULE

const TVendorModule& ModuleOf(uint8_t CpuNum) {
  const int32_t index = qmGetVendorIndex(CpuNum);
  return kModules[index >= 1 && index <= 7 ? index : 0];
}

// A signature field, 0 when the signature is.
int32_t Field(uint32_t shift, uint32_t mask) {
  const uint32_t sig = qmSignature();
  return sig == 0 ? 0 : static_cast<int32_t>((sig >> shift) & mask);
}

}  // namespace

// --- identification ---------------------------------------------------------

bool qmIsAvailable(uint8_t CpuNum) { return qmCPUIDSupported(); }

int32_t qmGetMaxLevel(uint8_t CpuNum) {
  return qmCPUIDSupported() ? static_cast<int32_t>(qmMaxLevel()) : -1;
}

int32_t qmGetMaxLevelEx(uint8_t CpuNum) { return qmCPUIDSupported() ? qmExtLevelCount() : -1; }

int32_t qmGetSignature(uint8_t CpuNum) {
  return qmCPUIDSupported() ? static_cast<int32_t>(qmSignature()) : -1;
}

int32_t qmGetType(uint8_t CpuNum) { return qmCPUIDSupported() ? Field(12, 0x3) : -1; }
int32_t qmGetFamily(uint8_t CpuNum) { return qmCPUIDSupported() ? Field(8, 0xF) : -1; }
int32_t qmGetModel(uint8_t CpuNum) { return qmCPUIDSupported() ? Field(4, 0xF) : -1; }
int32_t qmGetStepping(uint8_t CpuNum) { return qmCPUIDSupported() ? Field(0, 0xF) : -1; }

int32_t qmGetFamilyEx(uint8_t CpuNum) {
  if (!qmCPUIDSupported()) return -1;
  return Field(8, 0xF) >= 15 ? Field(20, 0xFF) : 0;
}

// Follows the model field, not the family: that is how this layer has
// always reported it, and callers compare against it.
int32_t qmGetModelEx(uint8_t CpuNum) {
  if (!qmCPUIDSupported()) return -1;
  return Field(4, 0xF) >= 15 ? Field(16, 0xF) : 0;
}

int32_t qmGetBrand(uint8_t CpuNum) {
  return qmCPUIDSupported() ? static_cast<int32_t>(qmBrandIndex()) : -1;
}

int32_t qmGetFeatures(uint8_t CpuNum) {
  return qmCPUIDSupported() ? static_cast<int32_t>(qmFeatureWord()) : -1;
}

int32_t qmGetFeaturesEx(uint8_t CpuNum) {
  return qmCPUIDSupported() ? static_cast<int32_t>(qmFeatureWordEx()) : -1;
}

bool qmHasFeature(uint8_t CpuNum, uint32_t bit) {
  return qmCPUIDSupported() && qmTestBit(qmFeatureWord(), bit);
}

std::string qmGetVendorID(uint8_t CpuNum) { return qmCPUIDSupported() ? qmVendorString() : std::string(); }

int32_t qmGetVendorIndex(uint8_t CpuNum) {
  const std::string id = qmVendorString();
  for (int32_t i = 1; i <= 7; ++i)
    if (id == kModules[i].VendorIdText()) return i;
  return 0;
}

int32_t qmReadCPUIDRec(TqmCPUIDRec& rec) {
  if (rec.Size != static_cast<int32_t>(sizeof(TqmCPUIDRec))) return qmErrorRecordSize;
  rec.Available = qmIsAvailable(rec.CpuNum) ? 1 : 0;
  rec.MaxLevel = qmGetMaxLevel(rec.CpuNum);
  rec.MaxLevelEx = qmGetMaxLevelEx(rec.CpuNum);
  return 0;
}

int32_t qmReadDetectedRec(TqmDetectedRec& rec) {
  if (rec.Size != static_cast<int32_t>(sizeof(TqmDetectedRec))) return qmErrorRecordSize;
  const uint8_t n = rec.CpuNum;
  rec.Signature = qmGetSignature(n);
  rec.Type = qmGetType(n);
  rec.Family = qmGetFamily(n);
  rec.FamilyEx = qmGetFamilyEx(n);
  rec.Model = qmGetModel(n);
  rec.ModelEx = qmGetModelEx(n);
  rec.Stepping = qmGetStepping(n);
  rec.Brand = qmGetBrand(n);
  return 0;
}

// --- names ------------------------------------------------------------------

std::string qmGetVendorName(uint8_t CpuNum) { return ModuleOf(CpuNum).VendorName(); }
std::string qmGetModelName(uint8_t CpuNum) { return ModuleOf(CpuNum).ModelName(CpuNum); }

std::string qmGetFullName(uint8_t CpuNum) {
  const TVendorModule& m = ModuleOf(CpuNum);
  return m.ShortName() + m.ModelName(CpuNum);
}

std::string qmGetBrandString(uint8_t CpuNum) { return qmIsAvailable(CpuNum) ? qmBrandString() : std::string(); }

// --- features ---------------------------------------------------------------

int32_t qmReadFeatureRec(TqmFeatureRec& rec) {
  if (rec.Size != static_cast<int32_t>(sizeof(TqmFeatureRec))) return qmErrorRecordSize;
  // Without CPUID both words read -1; decoding that would claim every
  // feature for a processor that cannot tell us any. It has none we know of.
  if (!qmIsAvailable(rec.CpuNum)) {
    std::memset(&rec.FPU, 0, sizeof(TqmFeatureRec) - offsetof(TqmFeatureRec, FPU));
    return 0;
  }
  const uint32_t w = static_cast<uint32_t>(qmGetFeatures(rec.CpuNum));
  const uint32_t e = static_cast<uint32_t>(qmGetFeaturesEx(rec.CpuNum));
  const int32_t v = qmGetVendorIndex(rec.CpuNum);
  auto bit = [](uint32_t word, uint32_t n) -> uint8_t { return qmTestBit(word, n) ? 1 : 0; };
  rec.FPU = bit(w, 0);
  rec.VME = bit(w, 1);
  rec.DE = bit(w, 2);
  rec.PSE = bit(w, 3);
  rec.TSC = bit(w, 4);
  rec.MSR = bit(w, 5);
  rec.PAE = bit(w, 6);
  rec.MCE = bit(w, 7);
  rec.CX8 = bit(w, 8);
  rec.APIC = bit(w, 9);
  rec.SEP = bit(w, 11);
  rec.MTRR = bit(w, 12);
  rec.PGE = bit(w, 13);
  rec.MCA = bit(w, 14);
  rec.CMOV = bit(w, 15);
  rec.PAT = bit(w, 16);
  rec.PSE36 = bit(w, 17);
  rec.SERIAL = bit(w, 18);
  rec.MMX = bit(w, 23);
  rec.XSR = bit(w, 24);
  rec.SIMD = bit(w, 25);
  // AMD and Cyrix put their MMX extensions at different bits of the
  // extended word; other vendors' bits there mean something else.
  rec.MMXEx = v == 2 ? bit(e, 22) : v == 3 ? bit(e, 24) : 0;
  rec.AMD3DNow = bit(e, 31);
  rec.AMD3DNowEx = bit(e, 30);
  rec.CLFLUSH = bit(w, 19);
  rec.DTS = bit(w, 21);
  rec.ACPI = bit(w, 22);
  rec.SIMD2 = bit(w, 26);
  rec.SS = bit(w, 27);
  rec.TM = bit(w, 29);
  return 0;
}

// --- caches -----------------------------------------------------------------

namespace {

struct TDescriptorSize {
  uint8_t Descriptor;
  int32_t KB;
};

// The first slot holding a descriptor of the set decides.
template <size_t N>
int32_t Lookup(const TqmDescriptors& list, const TDescriptorSize (&set)[N]) {
  for (uint8_t slot : list)
    for (const TDescriptorSize& d : set)
      if (d.Descriptor == slot) return d.KB;
  return 0;
}

constexpr TDescriptorSize kL1Data[] = {{0x0A, 8}, {0x0C, 16}};
constexpr TDescriptorSize kL1Code[] = {{0x06, 8}, {0x08, 16}};
constexpr TDescriptorSize kLevel1[] = {{0x80, 16}};
// 0x40 says "no level-2 cache" and counts as a match.
constexpr TDescriptorSize kLevel2[] = {{0x40, 0},    {0x41, 128},  {0x42, 256},  {0x43, 512},
                                       {0x44, 1024}, {0x45, 2048}, {0x82, 256},  {0x83, 512},
                                       {0x84, 1024}, {0x85, 2048}};

bool HasExtCacheLeaves() { return qmExtLevelCount() >= 6; }
bool IsCyrix() { return qmVendorString() == "CyrixInstead"; }

TqmDescriptors ExtLeafDescriptors(int selector) {
  TqmRegisters r;
  qmExecExtCacheLeaf(selector, r);
  return qmDescriptorsOf(r);
}

TqmDescriptors Leaf2Descriptors() {
  TqmDescriptors list;
  qmLeaf2Descriptors(list);  // all zeros on failure, which matches nothing
  return list;
}

}  // namespace

int32_t qmGetL1Data(uint8_t CpuNum) {
  if (HasExtCacheLeaves()) {
    if (!IsCyrix()) {
      TqmRegisters r;
      qmExecExtCacheLeaf(0, r);
      return static_cast<int32_t>(r.ECX >> 24);
    }
    return Lookup(ExtLeafDescriptors(0), kL1Data);
  }
  return Lookup(Leaf2Descriptors(), kL1Data);
}

int32_t qmGetL1Code(uint8_t CpuNum) {
  if (HasExtCacheLeaves()) {
    if (!IsCyrix()) {
      TqmRegisters r;
      qmExecExtCacheLeaf(0, r);
      return static_cast<int32_t>(r.EDX >> 24);
    }
    return Lookup(ExtLeafDescriptors(0), kL1Code);
  }
  return Lookup(Leaf2Descriptors(), kL1Code);
}

int32_t qmGetLevel1(uint8_t CpuNum) { return Lookup(ExtLeafDescriptors(0), kLevel1); }

int32_t qmGetLevel2(uint8_t CpuNum) {
  if (HasExtCacheLeaves()) {
    if (!IsCyrix()) {
      // The first Durons report a level-2 size in leaf 0x80000006 that is
      // not what they carry; they all have 64 KB.
      if (qmGetVendorIndex(CpuNum) == 2 && qmGetFamily(CpuNum) == 6 && qmGetModel(CpuNum) == 3) return 64;
      TqmRegisters r;
      if (!qmQueryCPUID(qmLeafLevel2Cache, 1, r)) return 0;
      return static_cast<int32_t>(r.ECX >> 16);
    }
    return Lookup(ExtLeafDescriptors(1), kLevel2);
  }
  return Lookup(Leaf2Descriptors(), kLevel2);
}

int32_t qmReadCacheRec(TqmCacheRec& rec) {
  if (rec.Size != static_cast<int32_t>(sizeof(TqmCacheRec))) return qmErrorRecordSize;
  rec.L1Code = qmGetL1Code(rec.CpuNum);
  rec.L1Data = qmGetL1Data(rec.CpuNum);
  rec.Level1 = qmGetLevel1(rec.CpuNum);
  rec.Level2 = qmGetLevel2(rec.CpuNum);
  return 0;
}

// --- clock and checks -------------------------------------------------------

float qmGetRawSpeed(uint8_t CpuNum, int32_t Delay) { return ModuleOf(CpuNum).ClockSpeed(CpuNum, Delay); }

int32_t qmGetSpeed(uint8_t CpuNum, int32_t Delay) { return qmNormalizeSpeed(qmGetRawSpeed(CpuNum, Delay)); }

int32_t qmNormalizeSpeed(float speed) {
  // Truncating a value outside the integer range is undefined in C++, so
  // those are settled first. Every speed of 0 or below rounds to the low
  // table's 0 anyway, and so does "not a number"; the top saturates.
  if (std::isnan(speed) || speed <= 0.0f) return 0;
  if (speed >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  const int64_t t = static_cast<int64_t>(speed);
  const int64_t h = t / 100;
  const int64_t r = static_cast<int64_t>(static_cast<double>(speed) - 100.0 * static_cast<double>(h));
  const bool low = 100 * h < 300;
  const int32_t* table = low ? qmLowSpeeds.data() : qmHighSpeeds.data();
  const size_t n = low ? qmLowSpeeds.size() : qmHighSpeeds.size();
  int64_t best = table[0];
  for (size_t i = 0; i < n; ++i)  // "<=": on a tie the later entry wins
    if (std::llabs(r - table[i]) <= std::llabs(r - best)) best = table[i];
  int64_t result = low ? (h > 0 ? best + 100 * h : best) : best + 100 * h;
  if (result == 666) result = 667;
  return result > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                      : static_cast<int32_t>(result);
}

bool qmFDivBug(uint8_t CpuNum) {
  if (!qmIsAvailable(CpuNum)) return false;
  // The operands are read from memory at run time so the compiler cannot
  // fold the division into a constant.
  const double x = qmFDivX;
  const double y = qmFDivY;
  volatile double q = x / y;
  volatile double p = q * y;
  volatile double d = p - x;
  return d != 0.0;
}

bool qmIsOverDrive(uint8_t CpuNum) {
  return qmIsAvailable(CpuNum) && qmGetSignature(CpuNum) != 0 && qmGetType(CpuNum) == 1;
}

std::string qmGetSerial(uint8_t CpuNum) {
  if (!qmIsAvailable(CpuNum) || !qmHasFeature(CpuNum, 18) || qmGetModel(CpuNum) < 7) return "";
  return qmSerialNumber();
}

}  // namespace evc
