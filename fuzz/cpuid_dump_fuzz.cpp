// Fuzzes the reader of recorded CPUID dumps, then identifies whatever
// processor a dump that reads describes: every register value flows through
// the naming, feature and cache code.
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
  return 0;
}
