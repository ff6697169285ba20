#include "ModernReport.h"

#include <string>

using evc::TqmCacheLevel;
using evc::TqmCacheType;
using evc::TqmModernInfo;
using Json = nlohmann::ordered_json;

namespace {

// Absent values are null, never a made-up 0 or "".
Json OrNull(const std::string& s) { return s.empty() ? Json(nullptr) : Json(BytesToUtf8(s)); }
Json OrNull(int64_t v, int64_t absent) { return v == absent ? Json(nullptr) : Json(v); }

std::string CacheName(const TqmCacheLevel& c) {
  std::string name = "L" + std::to_string(c.Level);
  if (c.Type == TqmCacheType::Data) name += "d";
  if (c.Type == TqmCacheType::Instruction) name += "i";
  return name + " cache:";
}

std::string CacheText(const TqmCacheLevel& c) {
  std::string s = c.SizeKB % 1024 == 0 && c.SizeKB >= 1024 ? std::to_string(c.SizeKB / 1024) + " MiB"
                                                            : std::to_string(c.SizeKB) + " KiB";
  s += c.Ways == 0 ? ", fully associative" : ", " + std::to_string(c.Ways) + "-way";
  if (c.LineSize) s += ", " + std::to_string(c.LineSize) + "-byte lines";
  if (c.SharedBy) s += ", shared by " + std::to_string(c.SharedBy) + (c.SharedBy == 1 ? " thread" : " threads");
  return s;
}

void Line(std::FILE* out, const char* field, const std::string& value) {
  if (!value.empty()) std::fprintf(out, "%-24s%s\n", field, value.c_str());
}
void Line(std::FILE* out, const char* field, int64_t value, int64_t absent) {
  if (value != absent) Line(out, field, std::to_string(value));
}

}  // namespace

std::string BytesToUtf8(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

Json ModernToJson(const TqmModernInfo& m) {
  Json j = Json::object();
  j["Brand"] = OrNull(m.Brand());
  j["VendorId"] = OrNull(m.VendorId());
  j["Family"] = OrNull(m.Family(), -1);
  j["Model"] = OrNull(m.Model(), -1);
  j["Stepping"] = OrNull(m.Stepping(), -1);
  j["Codename"] = OrNull(m.Codename());
  j["CoresPerPackage"] = OrNull(m.CoresPerPackage(), 0);
  j["ThreadsPerPackage"] = OrNull(m.ThreadsPerPackage(), 0);
  Json caches = Json::array();
  for (const TqmCacheLevel& c : m.Caches())
    caches.push_back({{"Level", c.Level},
                      {"Type", evc::qmCacheTypeName(c.Type)},
                      {"SizeKB", c.SizeKB},
                      {"Ways", c.Ways},
                      {"LineSize", OrNull(c.LineSize, 0)},
                      {"SharedBy", OrNull(c.SharedBy, 0)}});
  j["Caches"] = caches;
  j["Flags"] = m.FlagList();
  j["Hypervisor"] = m.HypervisorPresent() ? Json(BytesToUtf8(m.Hypervisor())) : Json(nullptr);
  j["Hybrid"] = m.Available() ? Json(m.Hybrid()) : Json(nullptr);
  j["CoreType"] = OrNull(m.CoreType());
  j["InvariantTSC"] = m.Available() ? Json(m.InvariantTSC()) : Json(nullptr);
  j["TSCFrequencyKHz"] = OrNull(m.TSCFrequencyKHz(), 0);
  return j;
}

void PrintModernReport(const TqmModernInfo& m, std::FILE* out) {
  if (!m.Available()) {
    std::fprintf(out, "%-24s%s\n", "CPUID:", "not available");
    return;
  }
  Line(out, "Model name:", m.Brand());
  Line(out, "Vendor ID:", m.VendorId());
  Line(out, "CPU family:", m.Family(), -1);
  Line(out, "Model:", m.Model(), -1);
  Line(out, "Stepping:", m.Stepping(), -1);
  Line(out, "Codename:", m.Codename());
  Line(out, "Core(s) per package:", m.CoresPerPackage(), 0);
  Line(out, "Thread(s) per package:", m.ThreadsPerPackage(), 0);
  Line(out, "Thread(s) per core:", m.Topology().ThreadsPerCore, 0);
  if (m.Hybrid()) Line(out, "Hybrid core type:", m.CoreType().empty() ? "unknown" : m.CoreType());
  for (const TqmCacheLevel& c : m.Caches()) Line(out, CacheName(c).c_str(), CacheText(c));
  if (m.HypervisorPresent()) {
    const std::string& name = m.HypervisorInfo().Name;
    const std::string& sig = m.Hypervisor();
    Line(out, "Hypervisor vendor:", name.empty() ? (sig.empty() ? "unknown" : sig) : name + " (" + sig + ")");
  }
  std::string tsc = m.InvariantTSC() ? "invariant" : "";
  if (m.TSCFrequencyKHz()) {
    char mhz[32];
    std::snprintf(mhz, sizeof mhz, "%.3f MHz nominal", m.TSCFrequencyKHz() / 1000.0);
    tsc += (tsc.empty() ? "" : ", ") + std::string(mhz);
  }
  Line(out, "TSC:", tsc);
  Line(out, "Flags:", m.Flags());
}
