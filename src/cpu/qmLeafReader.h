// The leaves the modern identification reads, taken from the current CPUID
// source with the sub-leaf each needs.
//
// Unlike the guarded query of the specified layer, a read here never
// touches qmLastError and never runs a leaf beyond the range the processor
// reports for it: a leaf above the maximum of its range reads as zeros, as
// it would on a processor that does not know it (a real processor answers
// such a leaf with the data of its highest standard leaf, which would turn
// into made-up caches and flags).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "cpu/qmOstraAPI.h"

namespace evc {

enum class TqmVendorKind { Unknown, Intel, AMD, Hygon, Centaur, Zhaoxin };

class TqmLeafReader {
 public:
  // Reads leaf 0, 0x80000000 and, when leaf 1 says a hypervisor runs us,
  // 0x40000000 from the current source.
  TqmLeafReader();

  bool HasCPUID() const { return FHasCPUID; }
  uint32_t MaxStandard() const { return FMaxStandard; }
  // The highest extended leaf as the processor gives it (0x80000021, say),
  // or 0 when it reports no extended range.
  uint32_t MaxExtended() const { return FMaxExtended; }
  uint32_t MaxHypervisor() const { return FMaxHypervisor; }
  bool Has(uint32_t leaf) const;
  // Each leaf and sub-leaf runs once; later reads answer from memory. On a
  // virtual machine every CPUID is a trip to the hypervisor (several
  // microseconds), and one reading also stays on one processor's answers.
  TqmRegisters Leaf(uint32_t leaf, uint32_t subleaf = 0) const;

  const std::string& VendorId() const { return FVendorId; }
  TqmVendorKind Vendor() const { return FVendor; }
  // AMD and Hygon share the AMD leaves (0x8000001D, 0x8000001E).
  bool AmdLike() const { return FVendor == TqmVendorKind::AMD || FVendor == TqmVendorKind::Hygon; }

 private:
  bool FHasCPUID = false;
  uint32_t FMaxStandard = 0, FMaxExtended = 0, FMaxHypervisor = 0;
  std::string FVendorId;
  TqmVendorKind FVendor = TqmVendorKind::Unknown;
  struct Read {
    uint32_t Leaf, Sub;
    TqmRegisters Regs;
  };
  mutable std::vector<Read> FReads;  // a few dozen at most: a linear search is cheapest
};

// Bits first..last of a register, inclusive.
constexpr uint32_t qmBits(uint32_t word, unsigned first, unsigned last) {
  return (word >> first) & (last - first >= 31 ? 0xFFFFFFFFu : ((1u << (last - first + 1)) - 1));
}

// The register text of one or more registers, lowest byte first.
std::string qmRegisterText(std::initializer_list<uint32_t> words);

}  // namespace evc
