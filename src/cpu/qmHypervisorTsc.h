// Whether a hypervisor runs us and which, and what the processor says of
// its time-stamp counter.
#pragma once
#include <cstdint>
#include <string>

#include "cpu/qmLeafReader.h"

namespace evc {

struct TqmHypervisor {
  bool Present = false;   // leaf 1 ECX bit 31
  std::string Signature;  // the 12 bytes of leaf 0x40000000 up to the first zero, e.g. "KVMKVMKVM"
  std::string Name;       // the vendor lscpu names for that signature ("KVM"), or empty
};

struct TqmTsc {
  bool Invariant = false;   // 0x80000007 EDX bit 8: constant rate in every state
  uint64_t NominalHz = 0;   // leaf 0x15 (crystal times ratio), else leaf 0x16 base; 0 not given
  uint32_t BaseMHz = 0, MaxMHz = 0;  // leaf 0x16, 0 not given
};

TqmHypervisor qmHypervisor(const TqmLeafReader& leaves);
TqmTsc qmTsc(const TqmLeafReader& leaves);

}  // namespace evc
