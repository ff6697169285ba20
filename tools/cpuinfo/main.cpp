// cpuinfo: identifies the processor with a TqmOstra and prints every
// published property of the component and its result objects.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "base/Exception.h"
#include "base/FormFile.h"
#include "cpu/qmOstraAPI.h"
#include "cpu/qmOstraVcl.h"
#include "ModernReport.h"

using namespace evc;

namespace {

constexpr int32_t kMaxBench = 60000;

nlohmann::ordered_json ToJson(const TPersistent& obj) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  for (const TPropInfo* p : obj.ClassInfo().Props()) {
    TPropValue v = GetPropValue(obj, *p);
    switch (p->Kind) {
      case TPropKind::Integer: j[p->Name] = std::get<int64_t>(v); break;
      case TPropKind::Boolean: j[p->Name] = std::get<bool>(v); break;
      case TPropKind::Float: j[p->Name] = std::get<double>(v); break;
      case TPropKind::String: j[p->Name] = BytesToUtf8(std::get<std::string>(v)); break;
      case TPropKind::Enum: {
        int64_t i = std::get<int64_t>(v);
        j[p->Name] = i >= 0 && i < static_cast<int64_t>(p->Names.size()) ? nlohmann::ordered_json(p->Names[i])
                                                                          : nlohmann::ordered_json(i);
        break;
      }
      case TPropKind::Set: {
        auto arr = nlohmann::ordered_json::array();
        uint64_t bits = static_cast<uint64_t>(std::get<int64_t>(v));
        for (size_t i = 0; i < p->Names.size() && i < 64; ++i)
          if (bits >> i & 1) arr.push_back(p->Names[i]);
        j[p->Name] = arr;
        break;
      }
      case TPropKind::Object: {
        TPersistent* sub = std::get<TPersistent*>(v);
        if (auto* modern = dynamic_cast<TqmModernInfo*>(sub)) j[p->Name] = ModernToJson(*modern);
        else j[p->Name] = sub ? ToJson(*sub) : nlohmann::ordered_json(nullptr);
        break;
      }
    }
  }
  return j;
}

// Scalars of `obj` under `title`, then each object as a group of its own.
// The modern object has a report of its own and is left out here.
void PrintGroup(const TPersistent& obj, const std::string& title) {
  bool scalars = false;
  for (const TPropInfo* p : obj.ClassInfo().Props()) scalars = scalars || p->Kind != TPropKind::Object;
  bool first = !scalars;
  if (scalars) std::printf("%s\n", title.c_str());
  for (const TPropInfo* p : obj.ClassInfo().Props())
    if (p->Kind != TPropKind::Object)
      std::printf("  %-16s %s\n", p->Name.c_str(), PropValueToText(*p, GetPropValue(obj, *p)).c_str());
  for (const TPropInfo* p : obj.ClassInfo().Props()) {
    if (p->Kind != TPropKind::Object) continue;
    TPersistent* sub = std::get<TPersistent*>(GetPropValue(obj, *p));
    if (sub && !dynamic_cast<TqmModernInfo*>(sub)) {
      if (!first) std::printf("\n");
      first = false;
      std::string prefix = title.rfind("TqmOstra", 0) == 0 ? "" : title + ".";
      PrintGroup(*sub, prefix + p->Name);
    }
  }
}

std::string BenchForm(int32_t ms) {
  return "object Ostra1: TqmOstra\n  AutoBench.Enabled = True\n  AutoBench.Delay = " + std::to_string(ms) +
         "\nend\n";
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "cpuinfo: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Identifies the processor as the TqmOstra component reports it: first as current tools do (brand, "
      "family/model/stepping, codename, cores and threads, every cache, the kernel's flag names, hypervisor), "
      "then the classic names, feature sets and cache sizes and, with --bench, the clock speed.",
      "cpuinfo"};
  bool json = false, flagsOnly = false;
  std::string dumpFile, formFile, saveFile;
  int32_t benchMs = 0;
  app.footer(
      "Without --form or --bench the component is created at run time: Speed stays 0 and FullName is the "
      "table name. The clock is always this machine's, also with --from-dump.");
  auto* jsonFlag = app.add_flag("--json", json,
                                "print one JSON object keyed by the published property names; \"Modern\" holds the "
                                "current identification with its caches and flags");
  app.add_flag("--flags", flagsOnly, "print the feature flags only, on one line, as /proc/cpuinfo names them")
      ->excludes(jsonFlag);
  app.add_option("--from-dump", dumpFile, "identify the processor recorded in FILE (the text `cpuid -r` prints)")
      ->option_text("FILE");
  auto* bench = app.add_option("--bench", benchMs, "measure the clock for MS milliseconds (1 to 60000)")
                    ->option_text("MS");
  auto* form = app.add_option("--form", formFile, "load the component from the form file FILE")->option_text("FILE");
  app.add_option("--save-form", saveFile, "write the component to the form file FILE")->option_text("FILE");
  bench->excludes(form);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "cpuinfo: %s (try --help)\n", e.what());
    return 2;
  }
  if (bench->count() && (benchMs < 1 || benchMs > kMaxBench))
    return Fail("--bench: MS must be from 1 to " + std::to_string(kMaxBench) + ", not " + std::to_string(benchMs));

  std::unique_ptr<TqmCpuidSourceScope> dump;
  if (!dumpFile.empty()) {
    try {
      dump = std::make_unique<TqmCpuidSourceScope>(TqmDumpCpuid::FromFile(dumpFile));
    } catch (const std::exception& e) {
      return Fail(dumpFile + ": " + e.what());
    }
  }

  std::unique_ptr<TqmOstra> ostra;
  try {
    if (!formFile.empty()) {
      ostra = ReadComponentFileAs<TqmOstra>(formFile);
    } else if (bench->count()) {
      const bool progress = isatty(STDOUT_FILENO) && isatty(STDERR_FILENO);
      if (progress) std::fprintf(stderr, "measuring the clock for %d ms...", benchMs);
      std::unique_ptr<TComponent> c(TextToComponent(BenchForm(benchMs), nullptr));
      if (progress) std::fprintf(stderr, "\r\033[K");
      ostra.reset(static_cast<TqmOstra*>(c.release()));
    } else {
      ostra = std::make_unique<TqmOstra>(nullptr);
      ostra->SetName("Ostra1");
    }
  } catch (const std::exception& e) {
    return Fail((formFile.empty() ? std::string("--bench") : formFile) + ": " + e.what());
  }

  if (!saveFile.empty()) {
    try {
      WriteComponentFile(saveFile, *ostra);
    } catch (const std::exception& e) {
      return Fail(saveFile + ": " + e.what());
    }
  }

  if (flagsOnly) {
    std::printf("%s\n", ostra->Modern()->Flags().c_str());
  } else if (json) {
    std::cout << ToJson(*ostra).dump(2) << "\n";
  } else {
    PrintModernReport(*ostra->Modern(), stdout);
    std::printf("\n");
    PrintGroup(*ostra, "TqmOstra " + ostra->Name());
  }
  std::fflush(stdout);
  return std::ferror(stdout) ? 1 : 0;
}
