// The demo is a list of sections, one per component family. Each section
// lives in its own file and registers itself with EVC_DEMO_SECTION, so adding
// a component to the demo never touches the others.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace demo {

struct TSection {
  int Order;  // sections run in ascending order
  std::string Title;
  std::function<bool()> Run;  // false when the section failed
};

std::vector<TSection>& Sections();

struct TRegistrar {
  TRegistrar(int order, std::string title, std::function<bool()> run) {
    Sections().push_back(TSection{order, std::move(title), std::move(run)});
  }
};

// Prints "  label: text" lines in the demo's format.
void Say(const std::string& label, const std::string& text);

}  // namespace demo

#define EVC_DEMO_CONCAT2(a, b) a##b
#define EVC_DEMO_CONCAT(a, b) EVC_DEMO_CONCAT2(a, b)
#define EVC_DEMO_SECTION(order, title, fn) \
  static ::demo::TRegistrar EVC_DEMO_CONCAT(demoSection_, __LINE__)(order, title, fn)
