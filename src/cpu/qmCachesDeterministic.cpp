// Leaf 4 (Intel, Zhaoxin) and 0x8000001D (AMD, Hygon): one sub-leaf per
// cache, in the same register layout.
#include "cpu/qmModernCaches.h"

#include <algorithm>

namespace evc {

namespace {
// Far more caches than any processor has; a source that never answers type
// 0 must not keep us here.
constexpr uint32_t kMaxSubLeaves = 16;
}  // namespace

std::vector<TqmCacheLevel> qmDeterministicCaches(const TqmLeafReader& leaves, uint32_t leaf) {
  std::vector<TqmCacheLevel> caches;
  if (!leaves.Has(leaf)) return caches;
  for (uint32_t sub = 0; sub < kMaxSubLeaves; ++sub) {
    const TqmRegisters r = leaves.Leaf(leaf, sub);
    const uint32_t type = qmBits(r.EAX, 0, 4);
    if (type == 0) break;
    if (type > 3) continue;  // a type this code does not know: skip, keep reading
    TqmCacheLevel c;
    c.Level = static_cast<int>(qmBits(r.EAX, 5, 7));
    c.Type = type == 1 ? TqmCacheType::Data : type == 2 ? TqmCacheType::Instruction : TqmCacheType::Unified;
    const uint64_t ways = qmBits(r.EBX, 22, 31) + 1ull, partitions = qmBits(r.EBX, 12, 21) + 1ull,
                   line = qmBits(r.EBX, 0, 11) + 1ull, sets = r.ECX + 1ull;
    c.SizeKB = static_cast<uint32_t>(std::min<uint64_t>(ways * partitions * line * sets / 1024, UINT32_MAX));
    c.Ways = qmBits(r.EAX, 9, 9) ? 0 : static_cast<int>(ways);
    c.LineSize = static_cast<int>(line);
    c.SharedBy = static_cast<int>(qmBits(r.EAX, 14, 25) + 1);
    caches.push_back(c);
  }
  return caches;
}

}  // namespace evc
