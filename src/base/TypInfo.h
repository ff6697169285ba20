// Run-time class information and published-property tables.
//
// Every class that takes part in form files describes itself with a
// TClassInfo: its name, its parent's information and the table of properties
// it publishes (the parent's come first). A registered component class can be
// created by name, which is how the form reader rebuilds what the writer saved.
#pragma once
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace evc {

class TObject;
class TPersistent;
class TComponent;
struct TClassInfo;

enum class TPropKind { Integer, Boolean, Float, String, Enum, Set, Object };

// Integer, Enum (ordinal) and Set (bit mask by element ordinal) travel as
// int64_t; Object as the owned sub-object.
using TPropValue = std::variant<int64_t, bool, double, std::string, TPersistent*>;

struct TPropInfo {
  std::string Name;
  TPropKind Kind = TPropKind::Integer;
  std::function<TPropValue(const TPersistent&)> Get;
  std::function<void(TPersistent&, const TPropValue&)> Set;  // empty: read-only
  bool Stored = true;
  std::optional<TPropValue> Default;  // a value equal to it is not written
  // A string without a declared default whose component starts out with a
  // non-empty value: an empty one is written too, or reading the form would
  // bring the initial value back.
  bool WriteEmpty = false;
  std::vector<std::string> Names;     // element names of Enum and Set
  int64_t MinValue = std::numeric_limits<int64_t>::min();
  int64_t MaxValue = std::numeric_limits<int64_t>::max();
  const TClassInfo* ObjectClass = nullptr;  // class of an Object property's value

  TPropInfo WithDefault(TPropValue value) const {
    TPropInfo p = *this;
    p.Default = std::move(value);
    return p;
  }
  TPropInfo WritesEmpty() const {
    TPropInfo p = *this;
    p.WriteEmpty = true;
    return p;
  }
  TPropInfo NotStored() const {
    TPropInfo p = *this;
    p.Stored = false;
    return p;
  }
  bool ReadOnly() const { return !Set; }
};

struct TClassInfo {
  using TCreator = TComponent* (*)(TComponent* owner);

  TClassInfo(std::string name, const TClassInfo* parent, std::vector<TPropInfo> props,
             TCreator create = nullptr);

  std::string Name;
  const TClassInfo* Parent;
  std::vector<TPropInfo> OwnProps;
  TCreator Create;  // nullptr: not a component, or abstract

  bool InheritsFrom(const TClassInfo& other) const;
  // Every published property, the ancestors' first, in declaration order.
  const std::vector<const TPropInfo*>& Props() const;
  // By name, without regard to letter case.
  const TPropInfo* FindProp(std::string_view name) const;

 private:
  mutable std::vector<const TPropInfo*> FAll;
  mutable std::once_flag FAllBuilt;
};

// Registers a component class so form files can create it by name.
// Registering the same class twice is harmless; another class under a taken
// name raises EComponentError.
void RegisterComponentClass(const TClassInfo& info);
// The registered class of that name (letter case ignored), or nullptr.
const TClassInfo* FindComponentClass(std::string_view name);
// Every registered component class, ordered by name.
std::vector<const TClassInfo*> RegisteredComponentClasses();

template <class T>
TComponent* CreateComponentOf(TComponent* owner) {
  return new T(owner);
}

bool SameText(std::string_view a, std::string_view b);

// Declares the class information of a class derived from TObject.
#define EVC_CLASS(T)                                                        \
 public:                                                                    \
  static const ::evc::TClassInfo& StaticClassInfo();                        \
  const ::evc::TClassInfo& ClassInfo() const override { return StaticClassInfo(); }

// --- property table builders ---------------------------------------------
namespace props_detail {
template <class S>
struct SetterArg;
template <class C, class A>
struct SetterArg<void (C::*)(A)> {
  using type = std::decay_t<A>;
};
template <class C, class A>
struct SetterArg<void (C::*)(A) noexcept> {
  using type = std::decay_t<A>;
};
template <class G, class T>
decltype(auto) CallGet(G get, const TPersistent& o) {
  return (static_cast<const T&>(o).*get)();
}
}  // namespace props_detail

// Property builders for class T: getters are const member functions, setters
// take one argument; pass nullptr as setter for a read-only property.
template <class T>
struct Published {
  template <class G, class S>
  static TPropInfo Integer(const char* name, G get, S set) {
    TPropInfo p;
    p.Name = name;
    p.Kind = TPropKind::Integer;
    p.Get = [get](const TPersistent& o) -> TPropValue {
      return static_cast<int64_t>(props_detail::CallGet<G, T>(get, o));
    };
    if constexpr (!std::is_null_pointer_v<S>) {
      using A = typename props_detail::SetterArg<S>::type;
      p.MinValue = static_cast<int64_t>(std::numeric_limits<A>::min());
      p.MaxValue = static_cast<int64_t>(std::numeric_limits<A>::max());
      p.Set = [set](TPersistent& o, const TPropValue& v) {
        (static_cast<T&>(o).*set)(static_cast<A>(std::get<int64_t>(v)));
      };
    }
    return p;
  }

  template <class G, class S>
  static TPropInfo Boolean(const char* name, G get, S set) {
    TPropInfo p;
    p.Name = name;
    p.Kind = TPropKind::Boolean;
    p.Get = [get](const TPersistent& o) -> TPropValue {
      return static_cast<bool>(props_detail::CallGet<G, T>(get, o));
    };
    if constexpr (!std::is_null_pointer_v<S>)
      p.Set = [set](TPersistent& o, const TPropValue& v) { (static_cast<T&>(o).*set)(std::get<bool>(v)); };
    return p;
  }

  template <class G, class S>
  static TPropInfo Float(const char* name, G get, S set) {
    TPropInfo p;
    p.Name = name;
    p.Kind = TPropKind::Float;
    p.Get = [get](const TPersistent& o) -> TPropValue {
      return static_cast<double>(props_detail::CallGet<G, T>(get, o));
    };
    if constexpr (!std::is_null_pointer_v<S>) {
      using A = typename props_detail::SetterArg<S>::type;
      p.Set = [set](TPersistent& o, const TPropValue& v) {
        (static_cast<T&>(o).*set)(static_cast<A>(std::get<double>(v)));
      };
    }
    return p;
  }

  template <class G, class S>
  static TPropInfo String(const char* name, G get, S set) {
    TPropInfo p;
    p.Name = name;
    p.Kind = TPropKind::String;
    p.Get = [get](const TPersistent& o) -> TPropValue {
      return std::string(props_detail::CallGet<G, T>(get, o));
    };
    if constexpr (!std::is_null_pointer_v<S>)
      p.Set = [set](TPersistent& o, const TPropValue& v) {
        (static_cast<T&>(o).*set)(std::get<std::string>(v));
      };
    return p;
  }

  // An enumeration whose values are 0, 1, ... in the order of `names`.
  template <class G, class S>
  static TPropInfo Enum(const char* name, G get, S set, std::vector<std::string> names) {
    TPropInfo p;
    p.Name = name;
    p.Kind = TPropKind::Enum;
    p.Names = std::move(names);
    p.MinValue = 0;
    p.MaxValue = static_cast<int64_t>(p.Names.size()) - 1;
    p.Get = [get](const TPersistent& o) -> TPropValue {
      return static_cast<int64_t>(props_detail::CallGet<G, T>(get, o));
    };
    if constexpr (!std::is_null_pointer_v<S>) {
      using A = typename props_detail::SetterArg<S>::type;
      p.Set = [set](TPersistent& o, const TPropValue& v) {
        (static_cast<T&>(o).*set)(static_cast<A>(std::get<int64_t>(v)));
      };
    }
    return p;
  }

  // A set of up to 64 elements: bit i stands for names[i]. Getter and setter
  // work with the bit mask as an unsigned integer type.
  template <class G, class S>
  static TPropInfo Set(const char* name, G get, S set, std::vector<std::string> names) {
    TPropInfo p = Enum(name, get, set, std::move(names));
    p.Kind = TPropKind::Set;
    p.MinValue = 0;
    p.MaxValue = p.Names.size() >= 63 ? std::numeric_limits<int64_t>::max()
                                      : (int64_t(1) << p.Names.size()) - 1;
    return p;
  }

  // An owned sub-object published by its getter; its own properties are
  // written with a dotted prefix.
  template <class G>
  static TPropInfo Object(const char* name, G get) {
    using R = std::remove_pointer_t<std::decay_t<decltype(props_detail::CallGet<G, T>(get, std::declval<const T&>()))>>;
    TPropInfo p;
    p.Name = name;
    p.Kind = TPropKind::Object;
    p.ObjectClass = &R::StaticClassInfo();
    p.Get = [get](const TPersistent& o) -> TPropValue {
      return static_cast<TPersistent*>(const_cast<std::remove_const_t<R>*>(props_detail::CallGet<G, T>(get, o)));
    };
    return p;
  }
};

// --- reading and writing properties by table ---
TPropValue GetPropValue(const TPersistent& obj, const TPropInfo& prop);
// Raises EPropertyError for a read-only property or a value of the wrong kind
// or out of range.
void SetPropValue(TPersistent& obj, const TPropInfo& prop, const TPropValue& value);
// True when the value would not be written to a form file.
bool IsDefaultValue(const TPropInfo& prop, const TPropValue& value);
// The value as a form file writes it: 12, True, 1.5, 'text'#13#10, ename, [a, b].
std::string PropValueToText(const TPropInfo& prop, const TPropValue& value);
// A string in form-file quoting.
std::string QuoteFormString(std::string_view s);

}  // namespace evc
