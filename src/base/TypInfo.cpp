#include "base/TypInfo.h"

#include <charconv>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>

#include "base/Exception.h"
#include "base/Persistent.h"
#include "base/TextUtils.h"

namespace evc {

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

namespace {
struct TClassRegistry {
  std::mutex lock;
  std::map<std::string, const TClassInfo*> byName;
};
TClassRegistry& Classes() {
  static TClassRegistry* r = new TClassRegistry;  // never destroyed: used by static initialisers
  return *r;
}
}  // namespace

TClassInfo::TClassInfo(std::string name, const TClassInfo* parent, std::vector<TPropInfo> props,
                       TCreator create)
    : Name(std::move(name)), Parent(parent), OwnProps(std::move(props)), Create(create) {}

bool TClassInfo::InheritsFrom(const TClassInfo& other) const {
  for (const TClassInfo* c = this; c; c = c->Parent)
    if (c == &other) return true;
  return false;
}

const std::vector<const TPropInfo*>& TClassInfo::Props() const {
  // Class information lives in static storage and is only read after it is
  // built; the full table is assembled once, on first use (the parent's own
  // once-flag guards its part).
  std::call_once(FAllBuilt, [this] {
    std::vector<const TPropInfo*> all;
    if (Parent) all = Parent->Props();
    for (const TPropInfo& p : OwnProps) {
      bool replaced = false;
      for (auto& q : all)
        if (SameText(q->Name, p.Name)) {  // a redeclaration takes the ancestor's place
          q = &p;
          replaced = true;
        }
      if (!replaced) all.push_back(&p);
    }
    FAll = std::move(all);
  });
  return FAll;
}

const TPropInfo* TClassInfo::FindProp(std::string_view name) const {
  for (const TPropInfo* p : Props())
    if (SameText(p->Name, name)) return p;
  return nullptr;
}

void RegisterComponentClass(const TClassInfo& info) {
  auto& r = Classes();
  std::lock_guard g(r.lock);
  auto [it, inserted] = r.byName.emplace(LowerCase(info.Name), &info);
  if (!inserted && it->second != &info)
    throw EComponentError("A class named " + info.Name + " is already registered");
}

const TClassInfo* FindComponentClass(std::string_view name) {
  auto& r = Classes();
  std::lock_guard g(r.lock);
  auto it = r.byName.find(LowerCase(name));
  return it == r.byName.end() ? nullptr : it->second;
}

std::vector<const TClassInfo*> RegisteredComponentClasses() {
  auto& r = Classes();
  std::lock_guard g(r.lock);
  std::vector<const TClassInfo*> all;
  for (const auto& entry : r.byName) all.push_back(entry.second);
  return all;
}

TPropValue GetPropValue(const TPersistent& obj, const TPropInfo& prop) { return prop.Get(obj); }

namespace {
const char* KindName(TPropKind k) {
  switch (k) {
    case TPropKind::Integer: return "an integer";
    case TPropKind::Boolean: return "a Boolean";
    case TPropKind::Float: return "a number";
    case TPropKind::String: return "a string";
    case TPropKind::Enum: return "an enumeration value";
    case TPropKind::Set: return "a set";
    case TPropKind::Object: return "an object";
  }
  return "a value";
}

bool HoldsKind(TPropKind k, const TPropValue& v) {
  switch (k) {
    case TPropKind::Integer:
    case TPropKind::Enum:
    case TPropKind::Set: return std::holds_alternative<int64_t>(v);
    case TPropKind::Boolean: return std::holds_alternative<bool>(v);
    case TPropKind::Float: return std::holds_alternative<double>(v);
    case TPropKind::String: return std::holds_alternative<std::string>(v);
    case TPropKind::Object: return std::holds_alternative<TPersistent*>(v);
  }
  return false;
}
}  // namespace

void SetPropValue(TPersistent& obj, const TPropInfo& prop, const TPropValue& value) {
  if (prop.ReadOnly()) throw EPropertyError("Property " + prop.Name + " is read-only");
  TPropValue v = value;
  if (prop.Kind == TPropKind::Float && std::holds_alternative<int64_t>(v))
    v = static_cast<double>(std::get<int64_t>(v));
  if (!HoldsKind(prop.Kind, v))
    throw EPropertyError("Invalid property value: " + prop.Name + " needs " + KindName(prop.Kind));
  if (std::holds_alternative<int64_t>(v)) {
    int64_t n = std::get<int64_t>(v);
    if (n < prop.MinValue || n > prop.MaxValue)
      throw EPropertyError("Invalid property value: " + std::to_string(n) + " is out of range for " + prop.Name);
  }
  prop.Set(obj, v);
}

bool IsDefaultValue(const TPropInfo& prop, const TPropValue& value) {
  if (prop.Default) {
    if (prop.Kind == TPropKind::Float && std::holds_alternative<int64_t>(*prop.Default) &&
        std::holds_alternative<double>(value))
      return static_cast<double>(std::get<int64_t>(*prop.Default)) == std::get<double>(value);
    return *prop.Default == value;
  }
  // Ordinal properties without a declared default are always written; empty
  // strings and zero numbers count as defaults, as the class library has it.
  if (prop.Kind == TPropKind::String) return !prop.WriteEmpty && std::get<std::string>(value).empty();
  if (prop.Kind == TPropKind::Float) return std::get<double>(value) == 0.0;
  return false;
}

std::string QuoteFormString(std::string_view s) {
  if (s.empty()) return "''";
  std::string out;
  bool inQuotes = false;
  for (unsigned char c : s) {
    if (c >= 32 && c < 127) {
      if (!inQuotes) out += '\'', inQuotes = true;
      if (c == '\'') out += '\'';
      out += static_cast<char>(c);
    } else {
      if (inQuotes) out += '\'', inQuotes = false;
      out += '#';
      out += std::to_string(c);
    }
  }
  if (inQuotes) out += '\'';
  return out;
}

namespace {
std::string FloatText(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Inf" : "-Inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d);
  std::string s(buf, r.ptr);
  if (s.find_first_of(".eE") == std::string::npos) s += ".0";
  return s;
}
}  // namespace

std::string PropValueToText(const TPropInfo& prop, const TPropValue& value) {
  switch (prop.Kind) {
    case TPropKind::Integer: return std::to_string(std::get<int64_t>(value));
    case TPropKind::Boolean: return std::get<bool>(value) ? "True" : "False";
    case TPropKind::Float: return FloatText(std::get<double>(value));
    case TPropKind::String: return QuoteFormString(std::get<std::string>(value));
    case TPropKind::Enum: {
      int64_t n = std::get<int64_t>(value);
      if (n >= 0 && static_cast<size_t>(n) < prop.Names.size()) return prop.Names[static_cast<size_t>(n)];
      return std::to_string(n);
    }
    case TPropKind::Set: {
      uint64_t bits = static_cast<uint64_t>(std::get<int64_t>(value));
      std::string s = "[";
      for (size_t i = 0; i < prop.Names.size() && i < 64; ++i)
        if (bits & (uint64_t(1) << i)) {
          if (s.size() > 1) s += ", ";
          s += prop.Names[i];
        }
      return s + "]";
    }
    case TPropKind::Object: return "(object)";
  }
  return "";
}

// --- the two roots ---
const TClassInfo& TObject::StaticClassInfo() {
  static const TClassInfo info("TObject", nullptr, {});
  return info;
}

const TClassInfo& TPersistent::StaticClassInfo() {
  static const TClassInfo info("TPersistent", &TObject::StaticClassInfo(), {});
  return info;
}

void TPersistent::Assign(const TPersistent& source) {
  if (&source.ClassInfo() != &ClassInfo())
    throw EConvertError("Cannot assign a " + source.ClassName() + " to a " + ClassName());
  for (const TPropInfo* p : ClassInfo().Props()) {
    if (p->Kind == TPropKind::Object) {
      TPersistent* mine = std::get<TPersistent*>(p->Get(*this));
      TPersistent* theirs = std::get<TPersistent*>(p->Get(source));
      if (mine && theirs && mine != theirs) mine->Assign(*theirs);
    } else if (!p->ReadOnly() && p->Stored) {
      p->Set(*this, p->Get(source));
    }
  }
}

}  // namespace evc
