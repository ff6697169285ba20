// The processor-identification component TqmOstra and the result objects it
// publishes.
//
// Everything is gathered when the component is created; after it has been
// loaded from a form file it may measure the clock once and take the
// processor's own brand string as its full name. Result properties have a
// write accessor that drops the value, so a property list can show them
// while nothing can change them, and none of them reaches a form file: a
// saved TqmOstra holds its AutoBench settings, Name and Tag.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "base/Component.h"
#include "cpu/qmModernInfo.h"
#include "cpu/qmVersionInfo.h"

// A published result: a getter, and a setter that accepts and ignores.
#define EVC_QM_RESULT(Type, Name, Field) \
  Type Name() const { return Field; }    \
  void Set##Name(Type) {}
#define EVC_QM_RESULT_STR(Name, Field)                \
  const std::string& Name() const { return Field; } \
  void Set##Name(const std::string&) {}

namespace evc {

class TqmOstra;

// CPUID availability and the highest leaves.
class TqmCPUID : public TPersistent {
  EVC_CLASS(TqmCPUID)
 public:
  TqmCPUID();
  EVC_QM_RESULT(bool, Available, FAvailable)
  EVC_QM_RESULT(int32_t, MaxLevel, FMaxLevel)
  EVC_QM_RESULT(int32_t, MaxLevelEx, FMaxLevelEx)

 private:
  void Refresh();
  bool FAvailable = false;
  int32_t FMaxLevel = -1;
  int32_t FMaxLevelEx = -1;
};

// The raw signature fields, feature words and vendor id.
class TqmDetectedInfo : public TPersistent {
  EVC_CLASS(TqmDetectedInfo)
 public:
  TqmDetectedInfo();
  EVC_QM_RESULT(int32_t, Brand, FBrand)
  EVC_QM_RESULT(int32_t, cpuFamily, FFamily)
  EVC_QM_RESULT(int32_t, cpuFamilyEx, FFamilyEx)
  EVC_QM_RESULT(int32_t, cpuModel, FModel)
  EVC_QM_RESULT(int32_t, cpuModelEx, FModelEx)
  EVC_QM_RESULT(int32_t, cpuStepping, FStepping)
  EVC_QM_RESULT(int32_t, cpuType, FType)
  EVC_QM_RESULT(int32_t, FeatureSet, FFeatureSet)
  EVC_QM_RESULT(int32_t, FeatureSetEx, FFeatureSetEx)
  EVC_QM_RESULT(int32_t, Signature, FSignature)
  EVC_QM_RESULT_STR(VendorID, FVendorID)

 private:
  int32_t FBrand = 0, FFamily = 0, FFamilyEx = 0, FModel = 0, FModelEx = 0, FStepping = 0, FType = 0,
          FFeatureSet = 0, FFeatureSetEx = 0, FSignature = 0;
  std::string FVendorID;
};

// The 27 flags of the standard feature word.
class TqmFeatureSet : public TPersistent {
  EVC_CLASS(TqmFeatureSet)
 public:
  TqmFeatureSet();
  EVC_QM_RESULT(bool, FPU, FFPU)
  EVC_QM_RESULT(bool, VME, FVME)
  EVC_QM_RESULT(bool, DE, FDE)
  EVC_QM_RESULT(bool, PSE, FPSE)
  EVC_QM_RESULT(bool, TSC, FTSC)
  EVC_QM_RESULT(bool, MSR, FMSR)
  EVC_QM_RESULT(bool, PAE, FPAE)
  EVC_QM_RESULT(bool, MCE, FMCE)
  EVC_QM_RESULT(bool, CX8, FCX8)
  EVC_QM_RESULT(bool, APIC, FAPIC)
  EVC_QM_RESULT(bool, SEP, FSEP)
  EVC_QM_RESULT(bool, MTRR, FMTRR)
  EVC_QM_RESULT(bool, PGE, FPGE)
  EVC_QM_RESULT(bool, MCA, FMCA)
  EVC_QM_RESULT(bool, CMOV, FCMOV)
  EVC_QM_RESULT(bool, PAT, FPAT)
  EVC_QM_RESULT(bool, PSE36, FPSE36)
  EVC_QM_RESULT(bool, SERIAL, FSERIAL)
  EVC_QM_RESULT(bool, MMX, FMMX)
  EVC_QM_RESULT(bool, XSR, FXSR)
  EVC_QM_RESULT(bool, SIMD, FSIMD)
  EVC_QM_RESULT(bool, SIMD2, FSIMD2)
  EVC_QM_RESULT(bool, CLFLUSH, FCLFLUSH)
  EVC_QM_RESULT(bool, DTS, FDTS)
  EVC_QM_RESULT(bool, ACPI, FACPI)
  EVC_QM_RESULT(bool, SS, FSS)
  EVC_QM_RESULT(bool, TM, FTM)

 private:
  bool FFPU = false, FVME = false, FDE = false, FPSE = false, FTSC = false, FMSR = false, FPAE = false,
       FMCE = false, FCX8 = false, FAPIC = false, FSEP = false, FMTRR = false, FPGE = false, FMCA = false,
       FCMOV = false, FPAT = false, FPSE36 = false, FSERIAL = false, FMMX = false, FXSR = false,
       FSIMD = false, FSIMD2 = false, FCLFLUSH = false, FDTS = false, FACPI = false, FSS = false,
       FTM = false;
};

// The AMD and Cyrix extensions of the extended feature word.
class TqmExFeatureSet : public TPersistent {
  EVC_CLASS(TqmExFeatureSet)
 public:
  TqmExFeatureSet();
  EVC_QM_RESULT(bool, AMD3DNow, FAMD3DNow)
  EVC_QM_RESULT(bool, AMD3DNowEx, FAMD3DNowEx)
  EVC_QM_RESULT(bool, MMXEx, FMMXEx)

 private:
  bool FAMD3DNow = false, FAMD3DNowEx = false, FMMXEx = false;
};

// Cache sizes in KB; zeros until the component fills them.
class TqmCacheInfo : public TPersistent {
  EVC_CLASS(TqmCacheInfo)
 public:
  EVC_QM_RESULT(int32_t, L1Data, FL1Data)
  EVC_QM_RESULT(int32_t, L1Code, FL1Code)
  EVC_QM_RESULT(int32_t, Level1, FLevel1)
  EVC_QM_RESULT(int32_t, Level2, FLevel2)

 private:
  friend class TqmOstra;
  int32_t FL1Data = 0, FL1Code = 0, FLevel1 = 0, FLevel2 = 0;
};

// Whether and how long the component measures the clock after loading.
class TqmAutoBench : public TPersistent {
  EVC_CLASS(TqmAutoBench)
 public:
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool value) { FEnabled = value; }
  int32_t Delay() const { return FDelay; }
  void SetDelay(int32_t value) { FDelay = value; }

 private:
  bool FEnabled = false;
  int32_t FDelay = 500;
};

// The version records of the detection library (API) and of the component
// layer (VCL).
class TqmOstraVersionInfo : public TPersistent {
  EVC_CLASS(TqmOstraVersionInfo)
 public:
  TqmOstraVersionInfo();
  TqmVersionInfo* API() const { return FAPI.get(); }
  TqmVersionInfo* VCL() const { return FVCL.get(); }

 private:
  std::unique_ptr<TqmVersionInfo> FAPI;
  std::unique_ptr<TqmVersionInfo> FVCL;
};

class TqmOstra : public TComponent {
  EVC_CLASS(TqmOstra)
 public:
  explicit TqmOstra(TComponent* owner);
  ~TqmOstra() override;

  // Measures once when AutoBench is enabled and prefers the brand string
  // for FullName when the processor has one.
  void Loaded() override;

  TqmAutoBench* AutoBench() const { return FAutoBench.get(); }
  TqmCacheInfo* Cache() const { return FCache.get(); }
  TqmCPUID* CPUID() const { return FCPUID.get(); }
  TqmDetectedInfo* InternalResults() const { return FInternalResults.get(); }
  TqmFeatureSet* FeatureSet() const { return FFeatureSet.get(); }
  TqmExFeatureSet* FeatureSetEx() const { return FFeatureSetEx.get(); }
  TqmOstraVersionInfo* VersionInfo() const { return FVersionInfo.get(); }
  // The processor as current tools describe it; the properties above keep
  // the classic tables' answers.
  TqmModernInfo* Modern() const { return FModern.get(); }

  EVC_QM_RESULT(int32_t, Count, FCount)
  EVC_QM_RESULT_STR(CPU, FCPU)
  EVC_QM_RESULT(bool, FDivBug, FFDivBug)
  EVC_QM_RESULT_STR(FullName, FFullName)
  EVC_QM_RESULT(bool, OverDrive, FOverDrive)
  EVC_QM_RESULT(bool, MMX, FMMX)
  EVC_QM_RESULT(int32_t, Speed, FSpeed)
  EVC_QM_RESULT_STR(Serial, FSerial)
  EVC_QM_RESULT_STR(Vendor, FVendor)

 private:
  void RefreshNames();
  void RefreshCache();
  void RefreshBrand();
  void Benchmark(int32_t Delay);

  std::unique_ptr<TqmAutoBench> FAutoBench;
  std::unique_ptr<TqmCPUID> FCPUID;
  std::unique_ptr<TqmDetectedInfo> FInternalResults;
  std::unique_ptr<TqmFeatureSet> FFeatureSet;
  std::unique_ptr<TqmExFeatureSet> FFeatureSetEx;
  std::unique_ptr<TqmOstraVersionInfo> FVersionInfo;
  std::unique_ptr<TqmCacheInfo> FCache;
  std::unique_ptr<TqmModernInfo> FModern;
  int32_t FCount = 0;
  bool FFDivBug = false;
  bool FOverDrive = false;
  bool FMMX = false;
  int32_t FSpeed = 0;
  std::string FCPU, FFullName, FSerial, FVendor;
};

}  // namespace evc

#undef EVC_QM_RESULT
#undef EVC_QM_RESULT_STR
