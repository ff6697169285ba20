#include "cpu/qmOstraVcl.h"

#include "cpu/qmOstraAPI.h"
#include "cpu/qmOstraIntf.h"

namespace evc {

// --- TqmCPUID ---------------------------------------------------------------

TqmCPUID::TqmCPUID() { Refresh(); }

void TqmCPUID::Refresh() {
  TqmCPUIDRec rec{};
  rec.Size = sizeof(TqmCPUIDRec);
  rec.CpuNum = 0;
  if (qmReadCPUIDRec(rec) != 0) return;
  FAvailable = rec.Available != 0;
  FMaxLevel = rec.MaxLevel;
  FMaxLevelEx = rec.MaxLevelEx;
}

const TClassInfo& TqmCPUID::StaticClassInfo() {
  using P = Published<TqmCPUID>;
  static const TClassInfo info("TqmCPUID", &TPersistent::StaticClassInfo(),
                               {P::Boolean("Available", &TqmCPUID::Available, &TqmCPUID::SetAvailable).NotStored(),
                                P::Integer("MaxLevel", &TqmCPUID::MaxLevel, &TqmCPUID::SetMaxLevel).NotStored(),
                                P::Integer("MaxLevelEx", &TqmCPUID::MaxLevelEx, &TqmCPUID::SetMaxLevelEx)
                                    .NotStored()});
  return info;
}

// --- TqmDetectedInfo --------------------------------------------------------

TqmDetectedInfo::TqmDetectedInfo() {
  TqmDetectedRec rec{};
  rec.Size = sizeof(TqmDetectedRec);
  rec.CpuNum = 0;
  if (qmReadDetectedRec(rec) == 0) {
    FSignature = rec.Signature;
    FType = rec.Type;
    FFamily = rec.Family;
    FFamilyEx = rec.FamilyEx;
    FModel = rec.Model;
    FModelEx = rec.ModelEx;
    FStepping = rec.Stepping;
    FBrand = rec.Brand;
  }
  FFeatureSet = qmGetFeatures(0);
  FFeatureSetEx = qmGetFeaturesEx(0);
  FVendorID = qmGetVendorID(0);
}

const TClassInfo& TqmDetectedInfo::StaticClassInfo() {
  using P = Published<TqmDetectedInfo>;
  using T = TqmDetectedInfo;
  static const TClassInfo info(
      "TqmDetectedInfo", &TPersistent::StaticClassInfo(),
      {P::Integer("Brand", &T::Brand, &T::SetBrand).NotStored(),
       P::Integer("cpuFamily", &T::cpuFamily, &T::SetcpuFamily).NotStored(),
       P::Integer("cpuFamilyEx", &T::cpuFamilyEx, &T::SetcpuFamilyEx).NotStored(),
       P::Integer("cpuModel", &T::cpuModel, &T::SetcpuModel).NotStored(),
       P::Integer("cpuModelEx", &T::cpuModelEx, &T::SetcpuModelEx).NotStored(),
       P::Integer("cpuStepping", &T::cpuStepping, &T::SetcpuStepping).NotStored(),
       P::Integer("cpuType", &T::cpuType, &T::SetcpuType).NotStored(),
       P::Integer("FeatureSet", &T::FeatureSet, &T::SetFeatureSet).NotStored(),
       P::Integer("FeatureSetEx", &T::FeatureSetEx, &T::SetFeatureSetEx).NotStored(),
       P::Integer("Signature", &T::Signature, &T::SetSignature).NotStored(),
       P::String("VendorID", &T::VendorID, &T::SetVendorID).NotStored()});
  return info;
}

// --- feature sets -----------------------------------------------------------

TqmFeatureSet::TqmFeatureSet() {
  TqmFeatureRec rec{};
  rec.Size = sizeof(TqmFeatureRec);
  rec.CpuNum = 0;
  if (qmReadFeatureRec(rec) != 0) return;
  FFPU = rec.FPU;
  FVME = rec.VME;
  FDE = rec.DE;
  FPSE = rec.PSE;
  FTSC = rec.TSC;
  FMSR = rec.MSR;
  FPAE = rec.PAE;
  FMCE = rec.MCE;
  FCX8 = rec.CX8;
  FAPIC = rec.APIC;
  FSEP = rec.SEP;
  FMTRR = rec.MTRR;
  FPGE = rec.PGE;
  FMCA = rec.MCA;
  FCMOV = rec.CMOV;
  FPAT = rec.PAT;
  FPSE36 = rec.PSE36;
  FSERIAL = rec.SERIAL;
  FMMX = rec.MMX;
  FXSR = rec.XSR;
  FSIMD = rec.SIMD;
  FSIMD2 = rec.SIMD2;
  FCLFLUSH = rec.CLFLUSH;
  FDTS = rec.DTS;
  FACPI = rec.ACPI;
  FSS = rec.SS;
  FTM = rec.TM;
}

const TClassInfo& TqmFeatureSet::StaticClassInfo() {
  using P = Published<TqmFeatureSet>;
  using T = TqmFeatureSet;
#define EVC_QM_FLAG(Name) P::Boolean(#Name, &T::Name, &T::Set##Name).NotStored()
  static const TClassInfo info(
      "TqmFeatureSet", &TPersistent::StaticClassInfo(),
      {EVC_QM_FLAG(FPU),   EVC_QM_FLAG(VME),     EVC_QM_FLAG(DE),   EVC_QM_FLAG(PSE),  EVC_QM_FLAG(TSC),
       EVC_QM_FLAG(MSR),   EVC_QM_FLAG(PAE),     EVC_QM_FLAG(MCE),  EVC_QM_FLAG(CX8),  EVC_QM_FLAG(APIC),
       EVC_QM_FLAG(SEP),   EVC_QM_FLAG(MTRR),    EVC_QM_FLAG(PGE),  EVC_QM_FLAG(MCA),  EVC_QM_FLAG(CMOV),
       EVC_QM_FLAG(PAT),   EVC_QM_FLAG(PSE36),   EVC_QM_FLAG(SERIAL), EVC_QM_FLAG(MMX), EVC_QM_FLAG(XSR),
       EVC_QM_FLAG(SIMD),  EVC_QM_FLAG(SIMD2),   EVC_QM_FLAG(CLFLUSH), EVC_QM_FLAG(DTS), EVC_QM_FLAG(ACPI),
       EVC_QM_FLAG(SS),    EVC_QM_FLAG(TM)});
#undef EVC_QM_FLAG
  return info;
}

TqmExFeatureSet::TqmExFeatureSet() {
  TqmFeatureRec rec{};
  rec.Size = sizeof(TqmFeatureRec);
  rec.CpuNum = 0;
  if (qmReadFeatureRec(rec) != 0) return;
  FMMXEx = rec.MMXEx;
  FAMD3DNow = rec.AMD3DNow;
  FAMD3DNowEx = rec.AMD3DNowEx;
}

const TClassInfo& TqmExFeatureSet::StaticClassInfo() {
  using P = Published<TqmExFeatureSet>;
  using T = TqmExFeatureSet;
  static const TClassInfo info("TqmExFeatureSet", &TPersistent::StaticClassInfo(),
                               {P::Boolean("AMD3DNow", &T::AMD3DNow, &T::SetAMD3DNow).NotStored(),
                                P::Boolean("AMD3DNowEx", &T::AMD3DNowEx, &T::SetAMD3DNowEx).NotStored(),
                                P::Boolean("MMXEx", &T::MMXEx, &T::SetMMXEx).NotStored()});
  return info;
}

// --- caches and settings ----------------------------------------------------

const TClassInfo& TqmCacheInfo::StaticClassInfo() {
  using P = Published<TqmCacheInfo>;
  using T = TqmCacheInfo;
  static const TClassInfo info("TqmCacheInfo", &TPersistent::StaticClassInfo(),
                               {P::Integer("L1Data", &T::L1Data, &T::SetL1Data).NotStored(),
                                P::Integer("L1Code", &T::L1Code, &T::SetL1Code).NotStored(),
                                P::Integer("Level1", &T::Level1, &T::SetLevel1).NotStored(),
                                P::Integer("Level2", &T::Level2, &T::SetLevel2).NotStored()});
  return info;
}

// Both settings are written whatever their value (no declared default), so
// a saved form always says whether and how long the component measures.
const TClassInfo& TqmAutoBench::StaticClassInfo() {
  using P = Published<TqmAutoBench>;
  static const TClassInfo info("TqmAutoBench", &TPersistent::StaticClassInfo(),
                               {P::Boolean("Enabled", &TqmAutoBench::Enabled, &TqmAutoBench::SetEnabled),
                                P::Integer("Delay", &TqmAutoBench::Delay, &TqmAutoBench::SetDelay)});
  return info;
}

// --- version records --------------------------------------------------------

TqmOstraVersionInfo::TqmOstraVersionInfo()
    : FAPI(std::make_unique<TqmVersionInfo>()), FVCL(std::make_unique<TqmVersionInfo>()) {
  const TqmVersionInfoStruct api{"Copyright (c) 2026 the evcomp developers", "evcomp processor detection library",
                                 1.0f, 45, bsFinal, rsPublic};
  const TqmVersionInfoStruct vcl{"Copyright (c) 2026 the evcomp developers", "evcomp processor component", 3.0f,
                                 44, bsFinal, rsPublic};
  FAPI->SetInfo(api.Copyright, api.Product, api.Version, api.Build, api.Status, api.Release);
  FVCL->SetInfo(vcl.Copyright, vcl.Product, vcl.Version, vcl.Build, vcl.Status, vcl.Release);
}

const TClassInfo& TqmOstraVersionInfo::StaticClassInfo() {
  using P = Published<TqmOstraVersionInfo>;
  static const TClassInfo info("TqmOstraVersionInfo", &TPersistent::StaticClassInfo(),
                               {P::Object("API", &TqmOstraVersionInfo::API).NotStored(),
                                P::Object("VCL", &TqmOstraVersionInfo::VCL).NotStored()});
  return info;
}

// --- the component ----------------------------------------------------------

TqmOstra::TqmOstra(TComponent* owner) : TComponent(owner) {
  FAutoBench = std::make_unique<TqmAutoBench>();
  FCPUID = std::make_unique<TqmCPUID>();
  FInternalResults = std::make_unique<TqmDetectedInfo>();
  FFeatureSet = std::make_unique<TqmFeatureSet>();
  FFeatureSetEx = std::make_unique<TqmExFeatureSet>();
  FVersionInfo = std::make_unique<TqmOstraVersionInfo>();
  FCache = std::make_unique<TqmCacheInfo>();
  FCount = static_cast<int32_t>(qmCpuidSource().ProcessorCount() & 0xFF);
  FFDivBug = qmFDivBug(0);
  FOverDrive = qmIsOverDrive(0);
  FMMX = qmHasFeature(0, 23);
  if (qmGetModel(0) >= 7 && qmHasFeature(0, 18)) FSerial = qmGetSerial(0);
  RefreshNames();
  RefreshCache();
  // Last, after every classic result is in place: it reads the source on
  // its own and changes nothing they depend on.
  FModern = std::make_unique<TqmModernInfo>();
}

TqmOstra::~TqmOstra() {
  FModern.reset();
  FCache.reset();
  FVersionInfo.reset();
  FFeatureSetEx.reset();
  FFeatureSet.reset();
  FInternalResults.reset();
  FCPUID.reset();
  FAutoBench.reset();
}

void TqmOstra::RefreshNames() {
  FVendor = qmGetVendorName(0);
  FCPU = qmGetModelName(0);
  FFullName = qmGetFullName(0);
}

void TqmOstra::RefreshCache() {
  TqmCacheRec rec{};
  rec.Size = sizeof(TqmCacheRec);
  rec.CpuNum = 0;
  if (qmReadCacheRec(rec) != 0) return;
  FCache->FL1Data = rec.L1Data;
  FCache->FL1Code = rec.L1Code;
  FCache->FLevel1 = rec.Level1;
  FCache->FLevel2 = rec.Level2;
}

void TqmOstra::RefreshBrand() {
  if (FCPUID->MaxLevelEx() >= 4) FFullName = qmGetBrandString(0);
}

void TqmOstra::Benchmark(int32_t Delay) { FSpeed = qmGetSpeed(0, Delay); }

void TqmOstra::Loaded() {
  TComponent::Loaded();
  if (FAutoBench->Enabled()) Benchmark(FAutoBench->Delay());
  if (FCPUID->MaxLevelEx() >= 4) RefreshBrand();
}

const TClassInfo& TqmOstra::StaticClassInfo() {
  using P = Published<TqmOstra>;
  using T = TqmOstra;
  static const TClassInfo info("TqmOstra", &TComponent::StaticClassInfo(),
                               {P::Object("AutoBench", &T::AutoBench),
                                P::Object("Cache", &T::Cache).NotStored(),
                                P::Integer("Count", &T::Count, &T::SetCount).NotStored(),
                                P::Object("CPUID", &T::CPUID).NotStored(),
                                P::Object("InternalResults", &T::InternalResults).NotStored(),
                                P::Object("FeatureSet", &T::FeatureSet).NotStored(),
                                P::Object("FeatureSetEx", &T::FeatureSetEx).NotStored(),
                                P::String("CPU", &T::CPU, &T::SetCPU).NotStored(),
                                P::Boolean("FDivBug", &T::FDivBug, &T::SetFDivBug).NotStored(),
                                P::String("FullName", &T::FullName, &T::SetFullName).NotStored(),
                                P::Boolean("OverDrive", &T::OverDrive, &T::SetOverDrive).NotStored(),
                                P::Boolean("MMX", &T::MMX, &T::SetMMX).NotStored(),
                                P::Integer("Speed", &T::Speed, &T::SetSpeed).NotStored(),
                                P::String("Serial", &T::Serial, &T::SetSerial).NotStored(),
                                P::String("Vendor", &T::Vendor, &T::SetVendor).NotStored(),
                                P::Object("VersionInfo", &T::VersionInfo).NotStored(),
                                P::Object("Modern", &T::Modern).NotStored()},
                               &CreateComponentOf<TqmOstra>);
  return info;
}

static const bool registered = (RegisterComponentClass(TqmOstra::StaticClassInfo()), true);

}  // namespace evc
