#include "sample_components.h"

#include "base/Exception.h"

namespace evc::test {

int gLiveSamples = 0;

const TClassInfo& TSampleSettings::StaticClassInfo() {
  using P = Published<TSampleSettings>;
  static const TClassInfo info("TSampleSettings", &TPersistent::StaticClassInfo(),
                               {P::Boolean("Enabled", &TSampleSettings::Enabled, &TSampleSettings::SetEnabled)
                                    .WithDefault(false),
                                P::Integer("Delay", &TSampleSettings::Delay, &TSampleSettings::SetDelay)
                                    .WithDefault(int64_t(500))});
  return info;
}

const TClassInfo& TSample::StaticClassInfo() {
  using P = Published<TSample>;
  static const TClassInfo info(
      "TSample", &TComponent::StaticClassInfo(),
      {P::String("Caption", &TSample::Caption, &TSample::SetCaption),
       P::Integer("Count", &TSample::Count, &TSample::SetCount).WithDefault(int64_t(0)),
       P::Integer("Big", &TSample::Big, &TSample::SetBig),
       P::Integer("Small", &TSample::Small, &TSample::SetSmall).WithDefault(int64_t(0)),
       P::Float("Ratio", &TSample::Ratio, &TSample::SetRatio),
       P::Boolean("Active", &TSample::Active, &TSample::SetActive).WithDefault(true),
       P::Enum("Mode", &TSample::Mode, &TSample::SetMode, {"smOff", "smSlow", "smFast"}).WithDefault(int64_t(0)),
       P::Set("Flags", &TSample::Flags, &TSample::SetFlags, {"sfRead", "sfWrite", "sfExec"})
           .WithDefault(int64_t(0)),
       P::Object("Settings", &TSample::Settings),
       P::Integer("Result", &TSample::Result, &TSample::SetResult).NotStored(),
       P::String("Version", &TSample::Version, nullptr)},
      &CreateComponentOf<TSample>);
  return info;
}

TSample::TSample(TComponent* owner) : TComponent(owner), FSettings(new TSampleSettings) { ++gLiveSamples; }

TSample::~TSample() {
  if (Log) Log->push_back(Name() + (ComponentState().Contains(csDestroying) ? ":destroying" : ":alone"));
  delete FSettings;
  --gLiveSamples;
}

void TSample::Loaded() {
  LoadingSeenInLoaded = ComponentState().Contains(csLoading);
  TComponent::Loaded();
  ++LoadedCalls;
}

const TClassInfo& TPicky::StaticClassInfo() {
  using P = Published<TPicky>;
  static const TClassInfo info("TPicky", &TComponent::StaticClassInfo(),
                               {P::Integer("Value", &TPicky::Value, &TPicky::SetValue).WithDefault(int64_t(0))},
                               &CreateComponentOf<TPicky>);
  return info;
}

void TPicky::SetValue(int32_t v) {
  if (v < 0) throw EPropertyError("Value must not be negative");
  FValue = v;
}

static const bool registered = (RegisterComponentClass(TSample::StaticClassInfo()),
                                RegisterComponentClass(TPicky::StaticClassInfo()), true);

}  // namespace evc::test
