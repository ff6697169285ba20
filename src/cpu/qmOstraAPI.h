// The access layer of the processor library: whether CPUID exists, guarded
// leaf queries, and the raw words and strings read from the leaves.
//
// CPUID runs through a replaceable source. By default that is the processor
// itself; a recorded dump (the text `cpuid -r` prints) can take its place, so
// tools can identify a processor that is not this one and tests can play
// processors of every vendor. The clock measurement reads its two clocks
// through a replaceable source as well.
//
// Nothing here raises, except the dump reader for a malformed dump. Like the
// query layer above it, this layer is meant for one thread at a time: the
// current source and qmLastError are plain module-level values.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "base/Exception.h"
#include "platform/wintypes.h"

namespace evc {

// One CPUID result.
struct TqmRegisters {
  uint32_t EAX = 0;
  uint32_t EBX = 0;
  uint32_t ECX = 0;
  uint32_t EDX = 0;
  bool operator==(const TqmRegisters&) const = default;
};

// Where CPUID answers come from.
class TqmCpuidSource {
 public:
  virtual ~TqmCpuidSource() = default;
  // The flags-register test: does the ID flag toggle?
  virtual bool IDFlagToggles() = 0;
  // Executes one leaf (sub-leaf 0).
  virtual TqmRegisters Execute(uint32_t leaf) = 0;
  // Executes one leaf with ECX = subleaf, for the leaves that enumerate
  // (caches, topology levels, feature pages). A source that knows sub-leaf
  // 0 alone answers zeros for the others, as a processor does past the last.
  virtual TqmRegisters ExecuteSub(uint32_t leaf, uint32_t subleaf) {
    return subleaf == 0 ? Execute(leaf) : TqmRegisters{};
  }
  // What the operating system of the machine reports as its processor type
  // (386, 486, 586, ...) and its number of processors.
  virtual DWORD ProcessorType() = 0;
  virtual DWORD ProcessorCount() = 0;
};

// The processor that runs the calling thread.
class TqmProcessorCpuid : public TqmCpuidSource {
 public:
  bool IDFlagToggles() override;
  TqmRegisters Execute(uint32_t leaf) override;
  TqmRegisters ExecuteSub(uint32_t leaf, uint32_t subleaf) override;
  DWORD ProcessorType() override;
  DWORD ProcessorCount() override;
};

// A malformed dump; Line is 1-based, 0 for the dump as a whole.
class EqmDumpError : public Exception {
 public:
  EqmDumpError(int line, const std::string& message)
      : Exception(line > 0 ? "line " + std::to_string(line) + ": " + message : message), FLine(line) {}
  int Line() const { return FLine; }

 private:
  int FLine;
};

// A processor recorded by `cpuid -r`: lines such as
//   "   0x00000001 0x00: eax=0x00000f12 ebx=0x00000000 ecx=0x00000000 edx=0x0183f9ff"
// optionally grouped under "CPU 0:", "CPU 1:" (or a lone "CPU:") headers.
// Every leaf and sub-leaf of the first processor is kept; a leaf the dump
// lacks reads as zeros, as a processor answers for a leaf it does not know.
class TqmDumpCpuid : public TqmCpuidSource {
 public:
  // Raises EqmDumpError for a line that is neither blank, a comment (#), a
  // processor header nor a well-formed leaf line, for a leaf (or sub-leaf)
  // of the first processor given twice, and
  // for a dump without any leaf of its first processor.
  static std::shared_ptr<TqmDumpCpuid> Parse(std::string_view text);
  static std::shared_ptr<TqmDumpCpuid> FromFile(const std::string& path);

  TqmDumpCpuid() = default;
  explicit TqmDumpCpuid(std::map<uint32_t, TqmRegisters> leaves, DWORD processors = 1);

  bool IDFlagToggles() override { return FHasCPUID; }
  TqmRegisters Execute(uint32_t leaf) override;
  TqmRegisters ExecuteSub(uint32_t leaf, uint32_t subleaf) override;
  // As Windows reports it for the recorded processor: 586 from family 5 on,
  // 486 before; SetProcessorType overrides it.
  DWORD ProcessorType() override;
  DWORD ProcessorCount() override { return FProcessors; }

  // Plays a processor whose ID flag does not toggle.
  void SetHasCPUID(bool value) { FHasCPUID = value; }
  void SetProcessorType(DWORD type) { FProcessorType = type; }
  void SetLeaf(uint32_t leaf, const TqmRegisters& regs) { FLeaves[leaf] = regs; }
  // Sub-leaf 0 goes to the same place as SetLeaf.
  void SetSubLeaf(uint32_t leaf, uint32_t subleaf, const TqmRegisters& regs);
  // Sub-leaf 0 of every leaf.
  const std::map<uint32_t, TqmRegisters>& Leaves() const { return FLeaves; }

 private:
  std::map<uint32_t, TqmRegisters> FLeaves;
  std::map<std::pair<uint32_t, uint32_t>, TqmRegisters> FSubLeaves;  // sub-leaf 1 and up
  DWORD FProcessors = 1;
  DWORD FProcessorType = 0;  // 0: derive from the recorded family
  bool FHasCPUID = true;
};

// The source CPUID runs through now.
TqmCpuidSource& qmCpuidSource();
// Replaces the source and returns the previous one; nullptr puts the
// processor back.
std::shared_ptr<TqmCpuidSource> qmSetCpuidSource(std::shared_ptr<TqmCpuidSource> source);

// Installs a source for the lifetime of the scope and puts the previous one back.
class TqmCpuidSourceScope {
 public:
  explicit TqmCpuidSourceScope(std::shared_ptr<TqmCpuidSource> source)
      : FPrevious(qmSetCpuidSource(std::move(source))) {}
  ~TqmCpuidSourceScope() { qmSetCpuidSource(std::move(FPrevious)); }
  TqmCpuidSourceScope(const TqmCpuidSourceScope&) = delete;
  TqmCpuidSourceScope& operator=(const TqmCpuidSourceScope&) = delete;

 private:
  std::shared_ptr<TqmCpuidSource> FPrevious;
};

// The two clocks of the speed measurement and the wait between readings.
class TqmClock {
 public:
  virtual ~TqmClock() = default;
  virtual DWORD Ticks();           // milliseconds, wrapping at 2^32
  virtual uint64_t Cycles();       // the time-stamp counter
  virtual void Pause(DWORD ms);    // gives the processor away for about ms
};
TqmClock& qmClock();
std::shared_ptr<TqmClock> qmSetClock(std::shared_ptr<TqmClock> clock);

// --- the access layer proper ---

// Outcome of the latest guarded query: 0 success, -1 no CPUID instruction,
// -2 leaf above what the processor reports.
extern int32_t qmLastError;
// Record queries answer this for a record whose Size field is wrong.
constexpr int32_t qmErrorRecordSize = -3;

bool qmCPUIDSupported();
// Executes `leaf` `repeat` times into `regs` when the processor accepts it.
bool qmQueryCPUID(uint32_t leaf, uint8_t repeat, TqmRegisters& regs);
uint32_t qmMaxLevel();
uint32_t qmMaxLevelEx();
int32_t qmExtLevelCount();
std::string qmVendorString();
uint32_t qmSignature();
uint32_t qmBrandIndex();
uint32_t qmFeatureWord();
uint32_t qmFeatureWordEx();
bool qmTestBit(uint32_t word, uint32_t bit);
// The 48 characters of leaves 0x80000002..4, untrimmed; 16 fewer per failing leaf.
std::string qmBrandString();

// Sixteen one-byte cache descriptors, slot 1 first.
using TqmDescriptors = std::array<uint8_t, 16>;
TqmDescriptors qmDescriptorsOf(const TqmRegisters& regs);
// The descriptors of leaf 2 (all zeros, and false, when the query fails).
bool qmLeaf2Descriptors(TqmDescriptors& list);
// Leaf 0x80000005 for selector 0, 0x80000006 otherwise, executed without the
// guard; zeros without CPUID.
void qmExecExtCacheLeaf(int selector, TqmRegisters& regs);

// "XXXX-XXXX-XXXX-XXXX-XXXX-XXXX" from leaves 1 and 3, or empty.
std::string qmSerialNumber();

// The operands that expose the floating-point division flaw.
extern volatile double qmFDivX;
extern volatile double qmFDivY;

}  // namespace evc
