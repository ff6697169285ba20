// Version records: which build of a library layer this is, published as
// read-only properties of a persistent object.
#pragma once
#include <cstdint>
#include <string>

#include "base/Persistent.h"

namespace evc {

enum TBuildStatus : uint8_t { bsAlpha, bsBeta, bsFinal };
enum TReleaseStatus : uint8_t { rsPrivate, rsPublic };

// Display texts; "Alpha ", "Beta " and "Private " end in a blank.
const std::string& BuildStatusText(TBuildStatus status);
const std::string& ReleaseStatusText(TReleaseStatus status);

struct TqmVersionInfoStruct {
  std::string Copyright;
  std::string Product;
  float Version = 0.0f;
  int32_t Build = 0;
  TBuildStatus Status = bsAlpha;
  TReleaseStatus Release = rsPrivate;
};

class TqmVersionInfo : public TPersistent {
  EVC_CLASS(TqmVersionInfo)
 public:
  void SetInfo(const std::string& Copyright, const std::string& Product, float Version, int32_t Build,
               TBuildStatus Status, TReleaseStatus Release);

  const std::string& Copyright() const { return FInfo.Copyright; }
  const std::string& Product() const { return FInfo.Product; }
  float Version() const { return FInfo.Version; }
  int32_t Build() const { return FInfo.Build; }
  TBuildStatus Status() const { return FInfo.Status; }
  TReleaseStatus Release() const { return FInfo.Release; }

  // The record is set through SetInfo only; these accept and drop a value
  // so that a property list can show the fields without changing them.
  void SetCopyright(const std::string&) {}
  void SetProduct(const std::string&) {}
  void SetVersion(float) {}
  void SetBuild(int32_t) {}
  void SetStatus(TBuildStatus) {}
  void SetRelease(TReleaseStatus) {}

 private:
  TqmVersionInfoStruct FInfo;
};

}  // namespace evc
