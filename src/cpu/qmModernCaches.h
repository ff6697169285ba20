// Every cache of the processor: level, type, size, associativity, line size
// and how many logical processors share it, read per vendor.
#pragma once
#include <cstdint>
#include <vector>

#include "cpu/qmLeafReader.h"
#include "cpu/qmModernSignature.h"

namespace evc {

enum class TqmCacheType { Data, Instruction, Unified };

struct TqmCacheLevel {
  int Level = 0;
  TqmCacheType Type = TqmCacheType::Unified;
  uint32_t SizeKB = 0;
  int Ways = 0;      // 0: fully associative
  int LineSize = 0;  // bytes; 0 when not reported
  int SharedBy = 0;  // logical processors; 0 when the leaf does not say
  bool operator==(const TqmCacheLevel&) const = default;
};

const char* qmCacheTypeName(TqmCacheType type);

// The caches, L1 data before L1 instruction, then by level. Intel: the
// deterministic leaf 4, else the leaf-2 descriptors. AMD and Hygon:
// 0x8000001D, with 0x80000005/6 for what it leaves out. VIA, Centaur and
// Zhaoxin: leaf 4 when they have it, else 0x80000005/6 with their quirks.
std::vector<TqmCacheLevel> qmModernCaches(const TqmLeafReader& leaves, const TqmDisplaySignature& sig);

// --- the decoders behind it, one per way of reporting ---

// Leaf 4 and AMD's 0x8000001D share one layout: sub-leaves until type 0.
std::vector<TqmCacheLevel> qmDeterministicCaches(const TqmLeafReader& leaves, uint32_t leaf);
// The one-byte descriptors of leaf 2.
std::vector<TqmCacheLevel> qmDescriptorCaches(const TqmLeafReader& leaves, const TqmDisplaySignature& sig);
// AMD's 0x80000005 (L1) and 0x80000006 (L2, L3); `centaur` applies the
// VIA reporting quirks.
std::vector<TqmCacheLevel> qmExtendedLeafCaches(const TqmLeafReader& leaves, const TqmDisplaySignature& sig,
                                                bool centaur);

}  // namespace evc
