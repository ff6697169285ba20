#include "cpu/qmVersionInfo.h"

namespace evc {

const std::string& BuildStatusText(TBuildStatus status) {
  static const std::string texts[] = {"Alpha ", "Beta ", "Final"};
  return texts[status <= bsFinal ? status : bsFinal];
}

const std::string& ReleaseStatusText(TReleaseStatus status) {
  static const std::string texts[] = {"Private ", "Public"};
  return texts[status <= rsPublic ? status : rsPublic];
}

void TqmVersionInfo::SetInfo(const std::string& Copyright, const std::string& Product, float Version,
                             int32_t Build, TBuildStatus Status, TReleaseStatus Release) {
  FInfo = TqmVersionInfoStruct{Copyright, Product, Version, Build, Status, Release};
}

const TClassInfo& TqmVersionInfo::StaticClassInfo() {
  using P = Published<TqmVersionInfo>;
  static const TClassInfo info(
      "TqmVersionInfo", &TPersistent::StaticClassInfo(),
      {P::String("Copyright", &TqmVersionInfo::Copyright, &TqmVersionInfo::SetCopyright).NotStored(),
       P::String("Product", &TqmVersionInfo::Product, &TqmVersionInfo::SetProduct).NotStored(),
       P::Float("Version", &TqmVersionInfo::Version, &TqmVersionInfo::SetVersion).NotStored(),
       P::Integer("Build", &TqmVersionInfo::Build, &TqmVersionInfo::SetBuild).NotStored(),
       P::Enum("Status", &TqmVersionInfo::Status, &TqmVersionInfo::SetStatus, {"bsAlpha", "bsBeta", "bsFinal"})
           .NotStored(),
       P::Enum("Release", &TqmVersionInfo::Release, &TqmVersionInfo::SetRelease, {"rsPrivate", "rsPublic"})
           .NotStored()});
  return info;
}

}  // namespace evc
