// The roots of the class hierarchy: TObject knows its class information;
// TPersistent is the base of objects whose published properties can be
// stored, among them the result objects a component publishes as
// sub-properties.
#pragma once
#include <string>

#include "base/TypInfo.h"

namespace evc {

class TObject {
 public:
  virtual ~TObject() = default;
  static const TClassInfo& StaticClassInfo();
  virtual const TClassInfo& ClassInfo() const { return StaticClassInfo(); }
  const std::string& ClassName() const { return ClassInfo().Name; }
  bool InheritsFrom(const TClassInfo& cls) const { return ClassInfo().InheritsFrom(cls); }
};

class TPersistent : public TObject {
  EVC_CLASS(TPersistent)
 public:
  // Copies the published, writable properties of a source of the same class
  // that are stored (sub-objects included); raises EConvertError for another class, as the
  // class library's Assign does for classes that do not know each other.
  virtual void Assign(const TPersistent& source);
};

}  // namespace evc
