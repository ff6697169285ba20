// Every value a stored published property takes must come back from a form
// file unchanged, for every registered component class; what it refuses, the
// reader refuses too.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <set>

#include "base/FormFile.h"

using namespace evc;

namespace {

using TPath = std::vector<const TPropInfo*>;  // through stored sub-objects
using I64 = std::numeric_limits<int64_t>;

void CollectPaths(const TClassInfo& cls, const TPath& prefix, std::vector<TPath>& out) {
  for (const TPropInfo* p : cls.Props()) {
    TPath path = prefix;
    path.push_back(p);
    if (p->Kind == TPropKind::Object && p->Stored && p->ObjectClass) CollectPaths(*p->ObjectClass, path, out);
    if (p->Kind != TPropKind::Object && p->Stored && !p->ReadOnly()) out.push_back(path);
  }
}

std::string Dotted(const TPath& path) {
  std::string s;
  for (const TPropInfo* p : path) s += (s.empty() ? "" : ".") + p->Name;
  return s;
}

TPersistent& Holder(TPersistent& root, const TPath& path) {
  TPersistent* at = &root;
  for (size_t i = 0; i + 1 < path.size(); ++i) at = std::get<TPersistent*>(path[i]->Get(*at));
  return *at;
}

bool Same(const TPropValue& a, const TPropValue& b) {
  if (std::holds_alternative<double>(a) && std::isnan(std::get<double>(a)))
    return std::holds_alternative<double>(b) && std::isnan(std::get<double>(b));
  return a == b;
}

// Edge values of each kind, some outside what the property takes.
std::vector<TPropValue> EdgeValues(const TPropInfo& p) {
  std::vector<TPropValue> v;
  v.reserve(64);
  if (p.Kind == TPropKind::Integer) {
    std::set<int64_t> n = {p.MinValue, p.MaxValue, -1, 0, 1, 25, 26, 255, 256, 65536, INT32_MIN, INT32_MAX,
                           int64_t(INT32_MAX) + 1, UINT32_MAX, int64_t(UINT32_MAX) + 1};
    if (p.MinValue > I64::min()) n.insert(p.MinValue - 1);
    if (p.MaxValue < I64::max()) n.insert(p.MaxValue + 1);
    for (int64_t i : n) v.emplace_back(i);
  } else if (p.Kind == TPropKind::Boolean) {
    v.emplace_back(true);
    v.emplace_back(false);
  } else if (p.Kind == TPropKind::Float) {
    for (double d : {0.0, -0.0, 0.1, 1.0 / 3, -2.25, 1e-300, std::numeric_limits<double>::denorm_min(),
                     std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest(), HUGE_VAL, -HUGE_VAL,
                     std::nan("")})
      v.emplace_back(d);
  } else if (p.Kind == TPropKind::String) {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    for (const char* s : {"", " ", " padded ", "'", "''it''s'", "#13+", "\r\n", "\x7f\x80\xff", "end",
                          "x'\nend\nobject Evil: TComponent\n", "udp", "0", "4a", "80", "127.0.0.1", "d", "1"})
      v.emplace_back(std::string(s));
    v.emplace_back(std::string(1, '\0'));
    v.emplace_back(all);
    v.emplace_back(std::string(10000, 'x'));
  } else {  // Enum and Set: every element, and one past them
    for (int64_t i = p.Kind == TPropKind::Enum ? -1 : 0; i <= static_cast<int64_t>(p.Names.size()); ++i)
      v.emplace_back(p.Kind == TPropKind::Enum ? i : (i == 0 ? 0 : int64_t(1) << (i - 1)));
    if (p.Kind == TPropKind::Set) v.emplace_back(p.MaxValue);
  }
  return v;
}

// Sets `value` as code would: through the table, or for a number the
// table's range refuses, through the setter itself, which code may call.
std::unique_ptr<TComponent> WithValue(const TClassInfo& cls, const TPath& path, const TPropValue& value) {
  std::unique_ptr<TComponent> c(cls.Create(nullptr));
  try {
    SetPropValue(Holder(*c, path), *path.back(), value);
    return c;
  } catch (const Exception&) {
  }
  if (path.back()->Kind != TPropKind::Integer) return nullptr;
  c.reset(cls.Create(nullptr));
  try {
    path.back()->Set(Holder(*c, path), value);
  } catch (const Exception&) {
    return nullptr;
  }
  return Same(path.back()->Get(Holder(*c, path)), value) ? std::move(c) : nullptr;
}

}  // namespace

TEST(FormRoundTrip, EveryAcceptedValueOfEveryStoredPropertySurvives) {
  std::vector<std::string> faults;
  std::set<std::string> classes;
  int kept = 0, refused = 0;
  for (const TClassInfo* cls : RegisteredComponentClasses()) {
    if (!cls->Create) continue;
    classes.insert(cls->Name);
    std::vector<TPath> paths;
    CollectPaths(*cls, {}, paths);
    for (const TPath& path : paths)
      for (const TPropValue& value : EdgeValues(*path.back())) {
        const TPropInfo& p = *path.back();
        std::string what = cls->Name + "." + Dotted(path) + " = " + PropValueToText(p, value).substr(0, 60);
        std::unique_ptr<TComponent> original = WithValue(*cls, path, value);
        if (!original) {
          ++refused;
          try {
            std::unique_ptr<TComponent>(TextToComponent(
                "object Probe: " + cls->Name + "\n  " + Dotted(path) + " = " + PropValueToText(p, value) + "\nend\n",
                nullptr));
            faults.push_back(what + ": refused by its setter, yet read from a form");
          } catch (const EFormError&) {
          }
          continue;
        }
        const std::string text = ComponentToText(*original);
        std::unique_ptr<TComponent> copy;
        try {
          copy.reset(TextToComponent(text, nullptr));
        } catch (const Exception& e) {
          faults.push_back(what + ": its own form cannot be read: " + e.Message());
          continue;
        }
        ++kept;
        for (const TPath& other : paths) {
          TPropValue was = other.back()->Get(Holder(*original, other)), now = other.back()->Get(Holder(*copy, other));
          if (!Same(was, now))
            faults.push_back(what + ": " + Dotted(other) + " was " + PropValueToText(*other.back(), was).substr(0, 60) +
                             ", read back as " + PropValueToText(*other.back(), now).substr(0, 60));
        }
        if (ComponentToText(*copy) != text) faults.push_back(what + ": the copy writes another form");
      }
  }
  for (const char* name : {"DAVidavi", "THttpCli", "TDirDisk", "TqmOstra"}) EXPECT_TRUE(classes.count(name)) << name;
  std::string all;
  for (const std::string& f : faults) all += "  " + f + "\n";
  EXPECT_TRUE(faults.empty()) << faults.size() << " values lost on the way through a form:\n" << all;
  EXPECT_GT(kept, 500);  // enough was tried that an empty table cannot pass
  EXPECT_GT(refused, 50);
}
