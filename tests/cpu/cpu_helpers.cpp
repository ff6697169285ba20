#include "cpu_helpers.h"

#include <algorithm>
#include <cstring>

#include "cpu/qmOstraConst.h"

namespace cputest {

std::string DumpPath(const std::string& name) { return std::string(EVC_SOURCE_DIR) + "/tests/cpu/dumps/" + name; }

std::shared_ptr<evc::TqmDumpCpuid> LoadDump(const std::string& name) {
  return evc::TqmDumpCpuid::FromFile(DumpPath(name));
}

evc::TqmRegisters VendorLeaf(const std::string& id, uint32_t maxLevel) {
  uint32_t w[3] = {0, 0, 0};
  std::memcpy(w, id.data(), std::min<size_t>(id.size(), 12));
  return evc::TqmRegisters{maxLevel, w[0], w[2], w[1]};
}

int TRecordingCpuid::CountOf(uint32_t leaf) const {
  return static_cast<int>(std::count(Executed.begin(), Executed.end(), leaf));
}

std::shared_ptr<TRecordingCpuid> MakeCpu(const std::string& vendor, uint32_t sig, uint32_t features,
                                         uint32_t brandIndex) {
  auto cpu = std::make_shared<TRecordingCpuid>();
  cpu->SetLeaf(0, VendorLeaf(vendor, 2));
  cpu->SetLeaf(1, evc::TqmRegisters{sig, brandIndex, 0, features});
  return cpu;
}

uint64_t TScriptedClock::Cycles() {
  ClassAtCycles.push_back(evc::GetPriorityClass(evc::GetCurrentProcess()));
  ThreadAtCycles.push_back(evc::GetThreadPriority(evc::GetCurrentThread()));
  if (CycleScript.empty()) return 0;
  uint64_t v = CycleScript[std::min(FNext, CycleScript.size() - 1)];
  ++FNext;
  return v;
}

TCpuScope::TCpuScope(std::shared_ptr<evc::TqmCpuidSource> source, std::shared_ptr<evc::TqmClock> clock)
    : Source(std::move(source)) {
  if (clock) {
    PreviousClock = evc::qmSetClock(std::move(clock));
    ClockSet = true;
  }
}

TCpuScope::~TCpuScope() {
  if (ClockSet) evc::qmSetClock(std::move(PreviousClock));
}

}  // namespace cputest
