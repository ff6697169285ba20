// Demo section: the processor-identification component on this machine,
// loaded from a form so that it measures its clock.
#include <memory>
#include <string>

#include "base/FormFile.h"
#include "cpu/qmOstraVcl.h"
#include "demo.h"

namespace {

std::string Visible(const std::string& s) {
  // Brand strings are padded with zero characters; show the text only.
  return s.substr(0, s.find('\0'));
}

bool RunCpuSection() {
  std::unique_ptr<evc::TComponent> c(evc::TextToComponent(
      "object Ostra1: TqmOstra\n  AutoBench.Enabled = True\n  AutoBench.Delay = 200\nend\n", nullptr));
  auto* o = dynamic_cast<evc::TqmOstra*>(c.get());
  if (!o) return false;
  const evc::TqmDetectedInfo& d = *o->InternalResults();
  demo::Say("vendor", o->Vendor() + " (" + d.VendorID() + ")");
  demo::Say("full name", Visible(o->FullName()));
  demo::Say("model name", o->CPU().empty() ? "(none in the vendor's table)" : o->CPU());
  demo::Say("family/model/stepping", std::to_string(d.cpuFamily() + d.cpuFamilyEx()) + "/" +
                                         std::to_string(d.cpuModel()) + "/" + std::to_string(d.cpuStepping()));
  demo::Say("processors", std::to_string(o->Count()));
  demo::Say("speed", std::to_string(o->Speed()) + " MHz (200 ms measurement)");
  const evc::TqmFeatureSet& f = *o->FeatureSet();
  std::string flags;
  auto add = [&](bool on, const char* name) {
    if (on) flags += std::string(flags.empty() ? "" : " ") + name;
  };
  add(f.FPU(), "FPU");
  add(f.TSC(), "TSC");
  add(f.CX8(), "CX8");
  add(f.CMOV(), "CMOV");
  add(f.MMX(), "MMX");
  add(f.SIMD(), "SSE");
  add(f.SIMD2(), "SSE2");
  add(o->FeatureSetEx()->MMXEx(), "MMXEx");
  add(o->FeatureSetEx()->AMD3DNow(), "3DNow!");
  demo::Say("features", flags);
  demo::Say("caches", "L1 data " + std::to_string(o->Cache()->L1Data()) + " KB, L1 code " +
                          std::to_string(o->Cache()->L1Code()) + " KB, L2 " + std::to_string(o->Cache()->Level2()) +
                          " KB");
  return o->CPUID()->Available() && o->Speed() > 0;
}

}  // namespace

EVC_DEMO_SECTION(40, "Processor identification (TqmOstra)", RunCpuSection);
