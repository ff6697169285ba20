// TqmModernInfo: the processor as current tools describe it (brand string,
// display signature, codename, every cache, topology, the kernel's flag
// names, hypervisor and time-stamp counter), beside the results of the
// classic tables, which it leaves untouched.
//
// It reads the same replaceable CPUID source as the rest of the component,
// so it describes a recorded dump as well as this processor, and it never
// changes qmLastError. Like the other result objects it is filled once, at
// creation; its published properties ignore writes and are not stored.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/Persistent.h"
#include "cpu/qmHypervisorTsc.h"
#include "cpu/qmModernCaches.h"
#include "cpu/qmTopology.h"

namespace evc {

class TqmModernInfo : public TPersistent {
  EVC_CLASS(TqmModernInfo)
 public:
  TqmModernInfo();

  // False without CPUID: then every value is absent (empty, 0, -1).
  bool Available() const { return FAvailable; }
  void SetAvailable(bool) {}
  const std::string& Brand() const { return FBrand; }
  void SetBrand(const std::string&) {}
  const std::string& VendorId() const { return FVendorId; }
  void SetVendorId(const std::string&) {}
  // Display values; -1 without leaf 1.
  int32_t Family() const { return FFamily; }
  void SetFamily(int32_t) {}
  int32_t Model() const { return FModel; }
  void SetModel(int32_t) {}
  int32_t Stepping() const { return FStepping; }
  void SetStepping(int32_t) {}
  const std::string& Codename() const { return FCodename; }
  void SetCodename(const std::string&) {}
  // 0 when the leaves do not say.
  int32_t CoresPerPackage() const { return static_cast<int32_t>(FTopology.Cores); }
  void SetCoresPerPackage(int32_t) {}
  int32_t ThreadsPerPackage() const { return static_cast<int32_t>(FTopology.Threads); }
  void SetThreadsPerPackage(int32_t) {}
  bool Hybrid() const { return FTopology.Hybrid; }
  void SetHybrid(bool) {}
  const std::string& CoreType() const { return FTopology.CoreType; }
  void SetCoreType(const std::string&) {}
  // The flags, space-separated as /proc/cpuinfo prints them.
  const std::string& Flags() const { return FFlagText; }
  void SetFlags(const std::string&) {}
  bool HypervisorPresent() const { return FHypervisor.Present; }
  void SetHypervisorPresent(bool) {}
  // The signature of leaf 0x40000000 ("KVMKVMKVM"), empty without one.
  const std::string& Hypervisor() const { return FHypervisor.Signature; }
  void SetHypervisor(const std::string&) {}
  bool InvariantTSC() const { return FTsc.Invariant; }
  void SetInvariantTSC(bool) {}
  // Nominal time-stamp counter frequency in kHz, 0 when not given.
  int32_t TSCFrequencyKHz() const { return static_cast<int32_t>(FTsc.NominalHz / 1000); }
  void SetTSCFrequencyKHz(int32_t) {}

  // What the published properties cannot carry.
  const std::vector<TqmCacheLevel>& Caches() const { return FCaches; }
  const std::vector<std::string>& FlagList() const { return FFlagList; }
  bool HasFlag(const std::string& name) const;
  const TqmTopology& Topology() const { return FTopology; }
  const TqmHypervisor& HypervisorInfo() const { return FHypervisor; }
  const TqmTsc& Tsc() const { return FTsc; }

 private:
  bool FAvailable = false;
  std::string FBrand, FVendorId, FCodename, FFlagText;
  int32_t FFamily = -1, FModel = -1, FStepping = -1;
  TqmTopology FTopology;
  std::vector<TqmCacheLevel> FCaches;
  std::vector<std::string> FFlagList;
  TqmHypervisor FHypervisor;
  TqmTsc FTsc;
};

}  // namespace evc
