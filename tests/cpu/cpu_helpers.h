// Test doubles for the processor library: recorded processors (from the
// dumps beside this file or built in place), a source that records the
// leaves it executes, and a scripted clock.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu/qmOstraAPI.h"
#include "platform/kernel.h"

namespace cputest {

using evc::DWORD;

std::string DumpPath(const std::string& name);
std::shared_ptr<evc::TqmDumpCpuid> LoadDump(const std::string& name);

// Leaf 0 for a vendor id and a standard maximum.
evc::TqmRegisters VendorLeaf(const std::string& id, uint32_t maxLevel);

// A dump source that also lists every leaf it executed, in order.
class TRecordingCpuid : public evc::TqmDumpCpuid {
 public:
  using evc::TqmDumpCpuid::TqmDumpCpuid;
  evc::TqmRegisters Execute(uint32_t leaf) override {
    Executed.push_back(leaf);
    return evc::TqmDumpCpuid::Execute(leaf);
  }
  int CountOf(uint32_t leaf) const;
  std::vector<uint32_t> Executed;
};

// A processor of `vendor` with signature `sig` and standard feature word
// `features`; standard maximum 2 unless leaves say otherwise.
std::shared_ptr<TRecordingCpuid> MakeCpu(const std::string& vendor, uint32_t sig, uint32_t features = 0x0183f9ff,
                                         uint32_t brandIndex = 0);

// A clock whose tick counter moves one millisecond per reading and by the
// asked time per pause, and whose cycle counter answers from a script. It
// notes the priorities in force at every cycle reading.
class TScriptedClock : public evc::TqmClock {
 public:
  DWORD Ticks() override { return FTick++; }
  uint64_t Cycles() override;
  void Pause(DWORD ms) override {
    if (ThrowOnPause) throw std::runtime_error("pause refused");
    Paused += ms;
    FTick += ms;
  }
  void SetTick(DWORD t) { FTick = t; }

  std::vector<uint64_t> CycleScript;  // successive Cycles() answers
  std::vector<DWORD> ClassAtCycles;
  std::vector<int> ThreadAtCycles;
  uint64_t Paused = 0;
  bool ThrowOnPause = false;

 private:
  DWORD FTick = 1000;
  size_t FNext = 0;
};

// Installs a source (and optionally a clock) for one test.
struct TCpuScope {
  explicit TCpuScope(std::shared_ptr<evc::TqmCpuidSource> source,
                     std::shared_ptr<evc::TqmClock> clock = nullptr);
  ~TCpuScope();
  evc::TqmCpuidSourceScope Source;
  std::shared_ptr<evc::TqmClock> PreviousClock;
  bool ClockSet = false;
};

}  // namespace cputest
