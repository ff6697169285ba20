// Form files: a component with settings and an owned component is written
// as text and read back into new objects, which are told they were loaded.
#include <cstdio>
#include <memory>

#include "base/FormFile.h"
#include "demo.h"

namespace {

using namespace evc;

class TDemoTimerSettings : public TPersistent {
  EVC_CLASS(TDemoTimerSettings)
 public:
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool v) { FEnabled = v; }
  int32_t Interval() const { return FInterval; }
  void SetInterval(int32_t v) { FInterval = v; }

 private:
  bool FEnabled = false;
  int32_t FInterval = 1000;
};

class TDemoClock : public TComponent {
  EVC_CLASS(TDemoClock)
 public:
  explicit TDemoClock(TComponent* owner) : TComponent(owner), FTimer(new TDemoTimerSettings) {}
  ~TDemoClock() override { delete FTimer; }
  std::string Caption() const { return FCaption; }
  void SetCaption(std::string v) { FCaption = std::move(v); }
  TDemoTimerSettings* Timer() const { return FTimer; }
  // A result: shown in listings but never stored.
  int32_t Ticks() const { return FTicks; }
  void SetTicks(int32_t) {}
  void Loaded() override {
    TComponent::Loaded();
    FLoaded = true;
  }
  bool WasLoaded() const { return FLoaded; }

 private:
  std::string FCaption;
  TDemoTimerSettings* FTimer;
  int32_t FTicks = 17;
  bool FLoaded = false;
};

const TClassInfo& TDemoTimerSettings::StaticClassInfo() {
  using P = Published<TDemoTimerSettings>;
  static const TClassInfo info(
      "TDemoTimerSettings", &TPersistent::StaticClassInfo(),
      {P::Boolean("Enabled", &TDemoTimerSettings::Enabled, &TDemoTimerSettings::SetEnabled).WithDefault(false),
       P::Integer("Interval", &TDemoTimerSettings::Interval, &TDemoTimerSettings::SetInterval)
           .WithDefault(int64_t(1000))});
  return info;
}

const TClassInfo& TDemoClock::StaticClassInfo() {
  using P = Published<TDemoClock>;
  static const TClassInfo info("TDemoClock", &TComponent::StaticClassInfo(),
                               {P::String("Caption", &TDemoClock::Caption, &TDemoClock::SetCaption),
                                P::Object("Timer", &TDemoClock::Timer),
                                P::Integer("Ticks", &TDemoClock::Ticks, &TDemoClock::SetTicks).NotStored()},
                               &CreateComponentOf<TDemoClock>);
  return info;
}

const bool registered = (RegisterComponentClass(TDemoClock::StaticClassInfo()), true);

bool RunForms() {
  TDemoClock clock(nullptr);
  clock.SetName("Clock1");
  clock.SetCaption("It's 12 o'clock\r\n");
  clock.Timer()->SetEnabled(true);
  clock.Timer()->SetInterval(250);
  auto* alarm = new TDemoClock(&clock);
  alarm->SetName("Alarm");
  alarm->SetTag(7);

  std::string text = ComponentToText(clock);
  std::printf("%s", text.c_str());
  std::unique_ptr<TComponent> back(TextToComponent(text, nullptr));
  auto* copy = dynamic_cast<TDemoClock*>(back.get());
  bool same = copy && copy->Caption() == clock.Caption() && copy->Timer()->Interval() == 250 &&
              copy->ComponentCount() == 1 && copy->Components(0)->Tag() == 7 && copy->WasLoaded();
  demo::Say("read back", same ? "equal published properties, Loaded called" : "DIFFERENT");
  bool refused = false;
  try {
    std::unique_ptr<TComponent> bad(TextToComponent("object X: TDemoClock\n  Colour = 3\nend\n", nullptr));
  } catch (const EFormError& e) {
    refused = true;
    demo::Say("a bad form", e.Message());
  }
  return same && refused;
}

}  // namespace

EVC_DEMO_SECTION(20, "Form files: write a component and read it back", RunForms);
