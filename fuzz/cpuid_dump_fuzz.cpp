// Fuzzes the reader of recorded CPUID dumps, then identifies whatever
// processor a dump that reads describes: every register value flows through
// the naming, feature and cache code, and every sub-leaf through the modern
// decoders (cache enumerations, topology levels, descriptors, flags).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cpu/qmOstraAPI.h"
#include "cpu/qmOstraVcl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::shared_ptr<evc::TqmDumpCpuid> dump;
  try {
    dump = evc::TqmDumpCpuid::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const evc::EqmDumpError&) {
    return 0;
  }
  evc::TqmCpuidSourceScope scope(dump);
  evc::TqmOstra o(nullptr);
  (void)o.FullName();
  const evc::TqmModernInfo& m = *o.Modern();
  // What a report prints must hold together whatever the leaves said.
  for (const evc::TqmCacheLevel& c : m.Caches())
    if (c.Level < 0 || c.Level > 7 || c.Ways < 0 || c.SharedBy < 0) __builtin_trap();
  if (m.CoresPerPackage() > m.ThreadsPerPackage()) __builtin_trap();
  if (m.Flags().size() > 4096) __builtin_trap();
  return 0;
}
