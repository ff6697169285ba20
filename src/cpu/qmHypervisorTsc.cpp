#include "cpu/qmHypervisorTsc.h"

#include <algorithm>

namespace evc {

TqmHypervisor qmHypervisor(const TqmLeafReader& leaves) {
  TqmHypervisor h;
  h.Present = leaves.Has(1) && qmBits(leaves.Leaf(1).ECX, 31, 31);
  if (!h.Present || !leaves.Has(0x40000000u)) return h;
  const TqmRegisters r = leaves.Leaf(0x40000000u);
  h.Signature = qmRegisterText({r.EBX, r.ECX, r.EDX});
  h.Signature.resize(std::min(h.Signature.find('\0'), h.Signature.size()));
  struct Known { const char* Signature; const char* Name; };
  static const Known known[] = {
      {"KVMKVMKVM", "KVM"},        {"Microsoft Hv", "Microsoft"}, {"VMwareVMware", "VMware"},
      {"XenVMMXenVMM", "Xen"},     {"TCGTCGTCGTCG", "TCG"},       {"bhyve bhyve ", "bhyve"},
      {" lrpepyh  vr", "Parallels"}, {"ACRNACRNACRN", "ACRN"},    {"VBoxVBoxVBox", "VirtualBox"},
      {"QNXQVMBSQG", "QNX"},
  };
  for (const Known& k : known)
    if (h.Signature == k.Signature) h.Name = k.Name;
  return h;
}

TqmTsc qmTsc(const TqmLeafReader& leaves) {
  TqmTsc t;
  t.Invariant = leaves.Has(0x80000007u) && qmBits(leaves.Leaf(0x80000007u).EDX, 8, 8);
  if (leaves.Has(0x16)) {
    const TqmRegisters r = leaves.Leaf(0x16);
    t.BaseMHz = qmBits(r.EAX, 0, 15);
    t.MaxMHz = qmBits(r.EBX, 0, 15);
  }
  if (leaves.Has(0x15)) {
    // The counter runs at the crystal clock (ECX) times EBX/EAX; a part
    // that leaves the crystal out gives no frequency here.
    const TqmRegisters r = leaves.Leaf(0x15);
    if (r.EAX != 0 && r.EBX != 0 && r.ECX != 0) t.NominalHz = static_cast<uint64_t>(r.ECX) * r.EBX / r.EAX;
  }
  if (t.NominalHz == 0 && t.BaseMHz != 0) t.NominalHz = static_cast<uint64_t>(t.BaseMHz) * 1000000u;
  return t;
}

}  // namespace evc
