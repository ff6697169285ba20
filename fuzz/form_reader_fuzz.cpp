// Feeds arbitrary text to the form reader. Whatever the input, the reader
// either builds components or raises EFormError, and leaves nothing behind
// (the sanitizers see leaks and bad accesses).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/FormFile.h"

namespace {

class TFuzzSettings : public evc::TPersistent {
  EVC_CLASS(TFuzzSettings)
 public:
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool v) { FEnabled = v; }
  int32_t Delay() const { return FDelay; }
  void SetDelay(int32_t v) {
    if (v < 0) throw evc::EPropertyError("negative delay");
    FDelay = v;
  }

 private:
  bool FEnabled = false;
  int32_t FDelay = 500;
};

class TFuzzThing : public evc::TComponent {
  EVC_CLASS(TFuzzThing)
 public:
  explicit TFuzzThing(evc::TComponent* owner) : TComponent(owner), FSettings(new TFuzzSettings) {}
  ~TFuzzThing() override { delete FSettings; }
  std::string Text() const { return FText; }
  void SetText(std::string v) { FText = std::move(v); }
  double Ratio() const { return FRatio; }
  void SetRatio(double v) { FRatio = v; }
  int Mode() const { return FMode; }
  void SetMode(int v) { FMode = v; }
  uint32_t Flags() const { return FFlags; }
  void SetFlags(uint32_t v) { FFlags = v; }
  TFuzzSettings* Settings() const { return FSettings; }

 private:
  std::string FText;
  double FRatio = 0;
  int FMode = 0;
  uint32_t FFlags = 0;
  TFuzzSettings* FSettings;
};

const evc::TClassInfo& TFuzzSettings::StaticClassInfo() {
  using P = evc::Published<TFuzzSettings>;
  static const evc::TClassInfo info("TFuzzSettings", &evc::TPersistent::StaticClassInfo(),
                                    {P::Boolean("Enabled", &TFuzzSettings::Enabled, &TFuzzSettings::SetEnabled),
                                     P::Integer("Delay", &TFuzzSettings::Delay, &TFuzzSettings::SetDelay)});
  return info;
}

const evc::TClassInfo& TFuzzThing::StaticClassInfo() {
  using P = evc::Published<TFuzzThing>;
  static const evc::TClassInfo info(
      "TFuzzThing", &evc::TComponent::StaticClassInfo(),
      {P::String("Text", &TFuzzThing::Text, &TFuzzThing::SetText), P::Float("Ratio", &TFuzzThing::Ratio, &TFuzzThing::SetRatio),
       P::Enum("Mode", &TFuzzThing::Mode, &TFuzzThing::SetMode, {"mA", "mB"}),
       P::Set("Flags", &TFuzzThing::Flags, &TFuzzThing::SetFlags, {"fX", "fY", "fZ"}),
       P::Object("Settings", &TFuzzThing::Settings)},
      &evc::CreateComponentOf<TFuzzThing>);
  return info;
}

const bool registered = (evc::RegisterComponentClass(TFuzzThing::StaticClassInfo()), true);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    std::unique_ptr<evc::TComponent> c(evc::TextToComponent(text, nullptr));
    // What was read must write and read back.
    std::string again = evc::ComponentToText(*c);
    std::unique_ptr<evc::TComponent> d(evc::TextToComponent(again, nullptr));
    if (evc::ComponentToText(*d) != again) __builtin_trap();
  } catch (const evc::EFormError&) {
  }
  return 0;
}
