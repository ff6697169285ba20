#include "cpu/qmModernInfo.h"

#include <algorithm>

#include "cpu/qmCodenames.h"
#include "cpu/qmFlagTable.h"
#include "cpu/qmLeafReader.h"
#include "cpu/qmModernSignature.h"

namespace evc {

TqmModernInfo::TqmModernInfo() {
  const TqmLeafReader leaves;
  FAvailable = leaves.HasCPUID();
  if (!FAvailable) return;
  FVendorId = leaves.VendorId();
  FBrand = qmModernBrand(leaves);
  const TqmDisplaySignature sig = qmDisplaySignature(leaves);
  if (sig.Valid) {
    FFamily = static_cast<int32_t>(sig.Family);
    FModel = static_cast<int32_t>(sig.Model);
    FStepping = static_cast<int32_t>(sig.Stepping);
  }
  FCodename = qmCodename(leaves.Vendor(), sig);
  FTopology = qmTopology(leaves, sig);
  FCaches = qmModernCaches(leaves, sig);
  // The sharing fields count the IDs a cache could serve, which on many
  // parts exceeds the package's logical processors (leaf 4 says 16 for the
  // L3 of a 4-core, 8-thread Haswell); no cache is shared by more than that.
  if (FTopology.Threads)
    for (TqmCacheLevel& c : FCaches) c.SharedBy = std::min(c.SharedBy, static_cast<int>(FTopology.Threads));
  FFlagList = qmKernelFlags(leaves);
  for (const std::string& f : FFlagList) FFlagText += (FFlagText.empty() ? "" : " ") + f;
  FHypervisor = qmHypervisor(leaves);
  FTsc = qmTsc(leaves);
}

bool TqmModernInfo::HasFlag(const std::string& name) const {
  return std::find(FFlagList.begin(), FFlagList.end(), name) != FFlagList.end();
}

const TClassInfo& TqmModernInfo::StaticClassInfo() {
  using P = Published<TqmModernInfo>;
  using T = TqmModernInfo;
  static const TClassInfo info(
      "TqmModernInfo", &TPersistent::StaticClassInfo(),
      {P::Boolean("Available", &T::Available, &T::SetAvailable).NotStored(),
       P::String("Brand", &T::Brand, &T::SetBrand).NotStored(),
       P::String("VendorId", &T::VendorId, &T::SetVendorId).NotStored(),
       P::Integer("Family", &T::Family, &T::SetFamily).NotStored(),
       P::Integer("Model", &T::Model, &T::SetModel).NotStored(),
       P::Integer("Stepping", &T::Stepping, &T::SetStepping).NotStored(),
       P::String("Codename", &T::Codename, &T::SetCodename).NotStored(),
       P::Integer("CoresPerPackage", &T::CoresPerPackage, &T::SetCoresPerPackage).NotStored(),
       P::Integer("ThreadsPerPackage", &T::ThreadsPerPackage, &T::SetThreadsPerPackage).NotStored(),
       P::Boolean("Hybrid", &T::Hybrid, &T::SetHybrid).NotStored(),
       P::String("CoreType", &T::CoreType, &T::SetCoreType).NotStored(),
       P::String("Flags", &T::Flags, &T::SetFlags).NotStored(),
       P::Boolean("HypervisorPresent", &T::HypervisorPresent, &T::SetHypervisorPresent).NotStored(),
       P::String("Hypervisor", &T::Hypervisor, &T::SetHypervisor).NotStored(),
       P::Boolean("InvariantTSC", &T::InvariantTSC, &T::SetInvariantTSC).NotStored(),
       P::Integer("TSCFrequencyKHz", &T::TSCFrequencyKHz, &T::SetTSCFrequencyKHz).NotStored()});
  return info;
}

}  // namespace evc
