// Small registered component classes the class-library tests read and write.
#pragma once
#include <string>
#include <vector>

#include "base/Component.h"

namespace evc::test {

// A settings object published as a sub-property, the way result objects are.
class TSampleSettings : public TPersistent {
  EVC_CLASS(TSampleSettings)
 public:
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool v) { FEnabled = v; }
  int32_t Delay() const { return FDelay; }
  void SetDelay(int32_t v) { FDelay = v; }

 private:
  bool FEnabled = false;
  int32_t FDelay = 500;
};

enum TSampleMode { smOff, smSlow, smFast };
enum TSampleFlag { sfRead, sfWrite, sfExec };

class TSample : public TComponent {
  EVC_CLASS(TSample)
 public:
  explicit TSample(TComponent* owner);
  ~TSample() override;

  std::string Caption() const { return FCaption; }
  void SetCaption(std::string v) { FCaption = std::move(v); }
  int32_t Count() const { return FCount; }
  void SetCount(int32_t v) { FCount = v; }
  int64_t Big() const { return FBig; }
  void SetBig(int64_t v) { FBig = v; }
  uint8_t Small() const { return FSmall; }
  void SetSmall(uint8_t v) { FSmall = v; }
  double Ratio() const { return FRatio; }
  void SetRatio(double v) { FRatio = v; }
  bool Active() const { return FActive; }
  void SetActive(bool v) { FActive = v; }
  TSampleMode Mode() const { return FMode; }
  void SetMode(TSampleMode v) { FMode = v; }
  uint32_t Flags() const { return FFlags; }
  void SetFlags(uint32_t v) { FFlags = v; }
  TSampleSettings* Settings() const { return FSettings; }
  // A result: published so it can be seen, never stored, writes ignored.
  int32_t Result() const { return 42; }
  void SetResult(int32_t) {}
  std::string Version() const { return "1.0"; }

  void Loaded() override;
  int LoadedCalls = 0;
  bool LoadingSeenInLoaded = false;
  // Records the component's name into `Log` when destroyed, with the
  // being-destroyed flag it saw.
  std::vector<std::string>* Log = nullptr;

 private:
  std::string FCaption;
  int32_t FCount = 0;
  int64_t FBig = 0;
  uint8_t FSmall = 0;
  double FRatio = 0;
  bool FActive = true;
  TSampleMode FMode = smOff;
  uint32_t FFlags = 0;
  TSampleSettings* FSettings;
};

// A component whose setter refuses a value, to show that a failing setter
// during reading still leaves nothing behind.
class TPicky : public TComponent {
  EVC_CLASS(TPicky)
 public:
  using TComponent::TComponent;
  int32_t Value() const { return FValue; }
  void SetValue(int32_t v);

 private:
  int32_t FValue = 0;
};

// Counts live instances, so tests can see that nothing is left over.
extern int gLiveSamples;

}  // namespace evc::test
