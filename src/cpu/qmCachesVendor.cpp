// Which cache leaves each vendor is read from, and in what order.
#include <algorithm>

#include "cpu/qmModernCaches.h"

namespace evc {

const char* qmCacheTypeName(TqmCacheType type) {
  switch (type) {
    case TqmCacheType::Data: return "Data";
    case TqmCacheType::Instruction: return "Instruction";
    case TqmCacheType::Unified: return "Unified";
  }
  return "Unified";
}

namespace {

bool Covers(const std::vector<TqmCacheLevel>& caches, const TqmCacheLevel& c) {
  for (const TqmCacheLevel& have : caches)
    if (have.Level == c.Level && have.Type == c.Type) return true;
  return false;
}

// What the deterministic leaf says, completed by the legacy leaves for the
// levels it does not list: a dump or hypervisor that records only some
// sub-leaves of 0x8000001D must not lose the other caches.
std::vector<TqmCacheLevel> Completed(std::vector<TqmCacheLevel> first, const std::vector<TqmCacheLevel>& second) {
  for (const TqmCacheLevel& c : second)
    if (!Covers(first, c)) first.push_back(c);
  return first;
}

std::vector<TqmCacheLevel> Unsorted(const TqmLeafReader& leaves, const TqmDisplaySignature& sig) {
  switch (leaves.Vendor()) {
    case TqmVendorKind::Intel: {
      auto caches = qmDeterministicCaches(leaves, 4);
      return caches.empty() ? qmDescriptorCaches(leaves, sig) : caches;
    }
    case TqmVendorKind::AMD:
    case TqmVendorKind::Hygon: {
      // 0x8000001D is defined only with the topology extensions.
      const bool topoext = leaves.Has(0x80000001u) && qmBits(leaves.Leaf(0x80000001u).ECX, 22, 22);
      auto caches = topoext ? qmDeterministicCaches(leaves, 0x8000001Du) : std::vector<TqmCacheLevel>{};
      return Completed(std::move(caches), qmExtendedLeafCaches(leaves, sig, false));
    }
    case TqmVendorKind::Centaur:
    case TqmVendorKind::Zhaoxin: {
      auto caches = qmDeterministicCaches(leaves, 4);
      return caches.empty() ? qmExtendedLeafCaches(leaves, sig, true) : caches;
    }
    case TqmVendorKind::Unknown: break;
  }
  return {};
}

}  // namespace

std::vector<TqmCacheLevel> qmModernCaches(const TqmLeafReader& leaves, const TqmDisplaySignature& sig) {
  auto caches = Unsorted(leaves, sig);
  std::stable_sort(caches.begin(), caches.end(), [](const TqmCacheLevel& a, const TqmCacheLevel& b) {
    return a.Level != b.Level ? a.Level < b.Level : a.Type < b.Type;
  });
  return caches;
}

}  // namespace evc
