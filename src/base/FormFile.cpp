#include "base/FormFile.h"

#include <cmath>
#include <functional>

#include "base/Streams.h"

namespace evc {

// --- writing ---
namespace {

void WriteProps(std::string& out, const TPersistent& obj, const std::string& prefix, const std::string& indent) {
  for (const TPropInfo* p : obj.ClassInfo().Props()) {
    if (!p->Stored) continue;
    if (p->Kind == TPropKind::Object) {
      TPersistent* sub = std::get<TPersistent*>(p->Get(obj));
      if (sub) WriteProps(out, *sub, prefix + p->Name + ".", indent);
      continue;
    }
    if (p->ReadOnly()) continue;  // it could not be read back
    TPropValue v = p->Get(obj);
    if (IsDefaultValue(*p, v)) continue;
    out += indent + prefix + p->Name + " = " + PropValueToText(*p, v) + "\n";
  }
}

void WriteObject(std::string& out, const TComponent& c, const std::string& indent) {
  out += indent + "object ";
  if (!c.Name().empty()) out += c.Name() + ": ";
  out += c.ClassName() + "\n";
  std::string inner = indent + "  ";
  WriteProps(out, c, "", inner);
  for (int i = 0; i < c.ComponentCount(); ++i) {
    const TComponent* child = c.Components(i);
    if (!child->IsSubComponent()) WriteObject(out, *child, inner);
  }
  out += indent + "end\n";
}

}  // namespace

std::string ComponentToText(const TComponent& root) {
  std::string out;
  WriteObject(out, root, "");
  return out;
}

void WriteComponent(TStream& stream, const TComponent& root) {
  std::string text = ComponentToText(root);
  stream.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

void WriteComponentFile(const std::string& path, const TComponent& root) {
  TFileStream f(path, fmCreate);
  WriteComponent(f, root);
}

// --- reading ---
namespace {

// A property assignment checked against the class tables before anything is
// created: the path walks Object properties, the last step names a value.
struct TResolved {
  std::vector<const TPropInfo*> path;
  TPropValue value;
  int line;
};

struct TPlan {
  const TFormObject* form;
  const TClassInfo* cls;
  std::vector<TResolved> props;
  std::vector<TPlan> children;
};

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = path.find('.', start);
    parts.push_back(path.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) return parts;
    start = dot + 1;
  }
}

TPropValue Convert(const TPropInfo& p, const TFormValue& v, int line) {
  auto bad = [&]() -> EFormError {
    return EFormError(line, "invalid value for property " + p.Name);
  };
  switch (p.Kind) {
    case TPropKind::Integer:
      if (v.Kind != TFormValue::fvInteger) throw bad();
      if (v.Integer < p.MinValue || v.Integer > p.MaxValue)
        throw EFormError(line, std::to_string(v.Integer) + " is out of range for property " + p.Name);
      return v.Integer;
    case TPropKind::Boolean:
      if (v.Kind == TFormValue::fvIdent && SameText(v.Text, "True")) return true;
      if (v.Kind == TFormValue::fvIdent && SameText(v.Text, "False")) return false;
      throw bad();
    case TPropKind::Float:
      if (v.Kind == TFormValue::fvInteger) return static_cast<double>(v.Integer);
      if (v.Kind == TFormValue::fvFloat) return v.Float;
      if (v.Kind == TFormValue::fvIdent && SameText(v.Text, "NaN")) return std::nan("");
      if (v.Kind == TFormValue::fvIdent && SameText(v.Text, "Inf")) return HUGE_VAL;
      if (v.Kind == TFormValue::fvIdent && SameText(v.Text, "-Inf")) return -HUGE_VAL;
      throw bad();
    case TPropKind::String:
      if (v.Kind != TFormValue::fvString) throw bad();
      return v.Text;
    case TPropKind::Enum:
      if (v.Kind == TFormValue::fvIdent)
        for (size_t i = 0; i < p.Names.size(); ++i)
          if (SameText(p.Names[i], v.Text)) return static_cast<int64_t>(i);
      throw bad();
    case TPropKind::Set: {
      if (v.Kind != TFormValue::fvSet) throw bad();
      uint64_t bits = 0;
      for (const std::string& e : v.Elements) {
        size_t i = 0;
        while (i < p.Names.size() && !SameText(p.Names[i], e)) ++i;
        if (i == p.Names.size() || i >= 64) throw EFormError(line, "'" + e + "' is not an element of property " + p.Name);
        bits |= uint64_t(1) << i;
      }
      return static_cast<int64_t>(bits);
    }
    case TPropKind::Object:
      throw EFormError(line, "property " + p.Name + " is an object; set its properties instead");
  }
  throw bad();
}

TPlan Plan(const TFormObject& form, const TClassInfo* cls) {
  TPlan plan{&form, cls, {}, {}};
  for (const TFormProperty& fp : form.Props) {
    TResolved r;
    r.line = fp.Line;
    const TClassInfo* at = cls;
    std::vector<std::string> parts = SplitPath(fp.Path);
    for (size_t i = 0; i < parts.size(); ++i) {
      const TPropInfo* p = at ? at->FindProp(parts[i]) : nullptr;
      if (!p) throw EFormError(fp.Line, "property " + fp.Path + " does not exist in " + cls->Name);
      r.path.push_back(p);
      bool last = i + 1 == parts.size();
      if (!last) {
        if (p->Kind != TPropKind::Object) throw EFormError(fp.Line, "property " + p->Name + " has no sub-properties");
        at = p->ObjectClass;
        continue;
      }
      if (p->ReadOnly()) throw EFormError(fp.Line, "property " + fp.Path + " is read-only");
      r.value = Convert(*p, fp.Value, fp.Line);
    }
    plan.props.push_back(std::move(r));
  }
  for (const TFormObject& child : form.Children) {
    const TClassInfo* childCls = FindComponentClass(child.ClassName);
    if (!childCls || !childCls->Create) throw EFormError(child.Line, "class " + child.ClassName + " not found");
    plan.children.push_back(Plan(child, childCls));
  }
  return plan;
}

void SetPath(TComponent& c, const TResolved& r) {
  TPersistent* at = &c;
  for (size_t i = 0; i + 1 < r.path.size(); ++i) {
    at = std::get<TPersistent*>(r.path[i]->Get(*at));
    if (!at) throw EFormError(r.line, "property " + r.path[i]->Name + " holds no object");
  }
  SetPropValue(*at, *r.path.back(), r.value);
}

struct TReadState {
  std::vector<TComponent*> loaded;   // in reading order, for Loaded
  std::vector<TComponent*> created;  // what to destroy if the read fails
};

void Apply(const TPlan& plan, TComponent& c, TReadState& st) {
  c.BeginLoading();
  st.loaded.push_back(&c);
  int line = plan.form->Line;
  try {
    if (!plan.form->Name.empty()) c.SetName(plan.form->Name);
    for (const TResolved& r : plan.props) {
      line = r.line;
      SetPath(c, r);
    }
  } catch (const EFormError&) {
    throw;
  } catch (const std::exception& e) {
    throw EFormError(line, e.what());
  }
  for (const TPlan& child : plan.children) {
    TComponent* existing = child.form->Name.empty() ? nullptr : c.FindComponent(child.form->Name);
    TComponent* target;
    bool readAlready = false;
    for (TComponent* seen : st.loaded) readAlready = readAlready || seen == existing;
    if (existing && readAlready) {
      throw EFormError(child.form->Line, "a component named " + child.form->Name + " already exists");
    } else if (existing && existing->InheritsFrom(*child.cls)) {
      target = existing;
    } else if (existing) {
      throw EFormError(child.form->Line, "a component named " + child.form->Name + " already exists");
    } else {
      try {
        target = child.cls->Create(&c);
      } catch (const std::exception& e) {
        throw EFormError(child.form->Line, e.what());
      }
      st.created.push_back(target);
    }
    Apply(child, *target, st);
  }
  c.EndReading();
}

// Runs a planned read; on failure destroys what it created, newest first,
// and passes the error on.
void Run(const TPlan& plan, TComponent& root, TReadState& st) {
  try {
    Apply(plan, root, st);
    for (TComponent* c : st.loaded) c->Loaded();
  } catch (...) {
    for (auto it = st.created.rbegin(); it != st.created.rend(); ++it) delete *it;
    for (TComponent* c : st.loaded) {
      bool gone = false;
      for (TComponent* d : st.created) gone = gone || d == c;
      if (!gone) c->EndLoading();
    }
    throw;
  }
}

std::string ReadAll(TStream& stream) {
  int64_t n = stream.Size() - stream.Position();
  std::string text(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) stream.ReadBuffer(text.data(), n);
  return text;
}

}  // namespace

TComponent* TextToComponent(std::string_view text, TComponent* owner) {
  TFormObject form = ParseForm(text);
  const TClassInfo* cls = FindComponentClass(form.ClassName);
  if (!cls || !cls->Create) throw EFormError(form.Line, "class " + form.ClassName + " not found");
  TPlan plan = Plan(form, cls);
  TComponent* root;
  try {
    root = cls->Create(owner);
  } catch (const std::exception& e) {
    throw EFormError(form.Line, e.what());
  }
  TReadState st;
  st.created.push_back(root);
  Run(plan, *root, st);
  return root;
}

void TextToComponentInto(std::string_view text, TComponent& root) {
  TFormObject form = ParseForm(text);
  const TClassInfo* cls = FindComponentClass(form.ClassName);
  if (!cls && SameText(form.ClassName, root.ClassName())) cls = &root.ClassInfo();
  if (!cls) throw EFormError(form.Line, "class " + form.ClassName + " not found");
  if (!root.InheritsFrom(*cls))
    throw EFormError(form.Line, "the form holds a " + form.ClassName + ", not a " + root.ClassName());
  TPlan plan = Plan(form, &root.ClassInfo());
  TReadState st;
  Run(plan, root, st);
}

TComponent* ReadComponent(TStream& stream, TComponent* owner) { return TextToComponent(ReadAll(stream), owner); }

void ReadComponentInto(TStream& stream, TComponent& root) { TextToComponentInto(ReadAll(stream), root); }

TComponent* ReadComponentFile(const std::string& path, TComponent* owner) {
  TFileStream f(path, fmOpenRead);
  return ReadComponent(f, owner);
}

}  // namespace evc
