#include "cpu/qmLeafReader.h"

#include <algorithm>

namespace evc {

namespace {

TqmVendorKind KindOf(const std::string& id) {
  struct Entry { const char* id; TqmVendorKind kind; };
  static const Entry table[] = {
      {"GenuineIntel", TqmVendorKind::Intel},     {"AuthenticAMD", TqmVendorKind::AMD},
      {"HygonGenuine", TqmVendorKind::Hygon},     {"CentaurHauls", TqmVendorKind::Centaur},
      {"VIA VIA VIA ", TqmVendorKind::Centaur},   {"  Shanghai  ", TqmVendorKind::Zhaoxin},
  };
  for (const Entry& e : table)
    if (id == e.id) return e.kind;
  return TqmVendorKind::Unknown;
}

// Extended and hypervisor maxima are believed only when they name a leaf of
// their own range; anything else means the range is not there.
uint32_t RangeMax(uint32_t reported, uint32_t base) {
  return reported >= base && reported <= base + 0xFFFF ? reported : 0;
}

}  // namespace

std::string qmRegisterText(std::initializer_list<uint32_t> words) {
  std::string s;
  for (uint32_t w : words)
    for (int i = 0; i < 4; ++i) s += static_cast<char>((w >> (8 * i)) & 0xFF);
  return s;
}

TqmLeafReader::TqmLeafReader() {
  TqmCpuidSource& src = qmCpuidSource();
  FHasCPUID = src.IDFlagToggles();
  if (!FHasCPUID) return;
  const TqmRegisters l0 = src.ExecuteSub(0, 0);
  FReads.push_back({0, 0, l0});
  FMaxStandard = l0.EAX;
  FVendorId = qmRegisterText({l0.EBX, l0.EDX, l0.ECX});
  FVendor = KindOf(FVendorId);
  const TqmRegisters ext = src.ExecuteSub(0x80000000u, 0);
  FMaxExtended = RangeMax(ext.EAX, 0x80000000u);
  if (FMaxExtended) FReads.push_back({0x80000000u, 0, ext});
  // The hypervisor range exists only when leaf 1 says a hypervisor runs us;
  // on bare metal leaf 0x40000000 answers with unrelated data. A hypervisor
  // that leaves EAX at 0 still has its signature leaf.
  if (FMaxStandard >= 1 && (Leaf(1).ECX >> 31) != 0) {
    const TqmRegisters hv = src.ExecuteSub(0x40000000u, 0);
    FMaxHypervisor = std::max(RangeMax(hv.EAX, 0x40000000u), 0x40000000u);
    FReads.push_back({0x40000000u, 0, hv});
  }
}

bool TqmLeafReader::Has(uint32_t leaf) const {
  if (!FHasCPUID) return false;
  if (leaf >= 0x80000000u) return FMaxExtended != 0 && leaf <= FMaxExtended;
  if (leaf >= 0x40000000u) return FMaxHypervisor != 0 && leaf <= FMaxHypervisor;
  return leaf <= FMaxStandard;
}

TqmRegisters TqmLeafReader::Leaf(uint32_t leaf, uint32_t subleaf) const {
  if (!Has(leaf)) return {};
  for (const Read& r : FReads)
    if (r.Leaf == leaf && r.Sub == subleaf) return r.Regs;
  FReads.push_back({leaf, subleaf, qmCpuidSource().ExecuteSub(leaf, subleaf)});
  return FReads.back().Regs;
}

}  // namespace evc
