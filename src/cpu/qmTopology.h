// Cores and logical processors per package, and the hybrid core type of
// the processor that answers.
#pragma once
#include <cstdint>
#include <string>

#include "cpu/qmLeafReader.h"
#include "cpu/qmModernSignature.h"

namespace evc {

struct TqmTopology {
  uint32_t Cores = 0;    // per package, all core types together; 0 unknown
  uint32_t Threads = 0;  // logical processors per package; 0 unknown
  uint32_t ThreadsPerCore = 0;
  bool Hybrid = false;
  std::string CoreType;  // "Core", "Atom" or empty: leaf 0x1A of the CPU that ran it
  const char* Source = "";  // the leaf the counts come from, for reports
};

// Leaf 0x1F, else 0xB, when it enumerates; else AMD's 0x80000008 with
// 0x8000001E; else leaf 1 with leaf 4.
TqmTopology qmTopology(const TqmLeafReader& leaves, const TqmDisplaySignature& sig);

}  // namespace evc
