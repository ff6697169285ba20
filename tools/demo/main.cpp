// demo: shows the library at work on this machine, one section per
// component family, with nothing to set up.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "demo.h"

namespace demo {

std::vector<TSection>& Sections() {
  static std::vector<TSection> sections;
  return sections;
}

void Say(const std::string& label, const std::string& text) {
  std::printf("  %-24s %s\n", (label + ":").c_str(), text.c_str());
}

}  // namespace demo

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf("usage: demo [--help]\n\nRuns every section of the evcomp demo on this machine and\n"
                "exits with status 0 when all of them succeeded.\n");
    return 0;
  }
  if (argc > 1) {
    std::fprintf(stderr, "demo: unknown argument '%s' (try --help)\n", argv[1]);
    return 2;
  }
  auto sections = demo::Sections();
  std::stable_sort(sections.begin(), sections.end(),
                   [](const demo::TSection& a, const demo::TSection& b) { return a.Order < b.Order; });
  int failed = 0;
  for (const auto& s : sections) {
    std::printf("== %s\n", s.Title.c_str());
    bool ok = false;
    try {
      ok = s.Run();
    } catch (const std::exception& e) {
      std::printf("  failed: %s\n", e.what());
    }
    if (!ok) ++failed;
    std::printf("%s\n\n", ok ? "  ok" : "  FAILED");
  }
  std::printf("%zu sections, %d failed\n", sections.size(), failed);
  return failed ? 1 : 0;
}
