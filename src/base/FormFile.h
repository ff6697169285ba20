// Form files: a component, its stored published properties and the
// components it owns, as text.
//
//   object Ostra1: TqmOstra
//     AutoBench.Enabled = True
//     AutoBench.Delay = 250
//   end
//
// Writing skips properties that are not stored, read-only, or equal to their
// declared default. Reading creates registered classes by name, sets every
// property through its setter and then calls Loaded on every component read.
// A file that cannot be read raises EFormError naming the line, and
// everything the read had created is destroyed again.
#pragma once
#include <memory>
#include <string>
#include <string_view>

#include "base/Component.h"
#include "base/FormParser.h"

namespace evc {

class TStream;

std::string ComponentToText(const TComponent& root);
void WriteComponent(TStream& stream, const TComponent& root);
void WriteComponentFile(const std::string& path, const TComponent& root);

// Creates the root component (of the class the text names) with `owner`.
// With no owner the caller owns the result.
TComponent* TextToComponent(std::string_view text, TComponent* owner);
TComponent* ReadComponent(TStream& stream, TComponent* owner);
TComponent* ReadComponentFile(const std::string& path, TComponent* owner);

// Reads into an existing root, whose class must be the one the text names or
// derive from it. Owned components named in the text are read into when they
// exist, created otherwise.
void TextToComponentInto(std::string_view text, TComponent& root);
void ReadComponentInto(TStream& stream, TComponent& root);

// Typed convenience: the root must be a T, else EFormError.
template <class T>
std::unique_ptr<T> ReadComponentFileAs(const std::string& path) {
  std::unique_ptr<TComponent> c(ReadComponentFile(path, nullptr));
  if (auto* t = dynamic_cast<T*>(c.get())) {
    c.release();
    return std::unique_ptr<T>(t);
  }
  throw EFormError(1, "the form holds a " + c->ClassName() + ", not a " + T::StaticClassInfo().Name);
}

}  // namespace evc
