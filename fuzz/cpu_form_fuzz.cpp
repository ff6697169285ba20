// Fuzzes reading a TqmOstra form file. The clock is a stand-in that moves
// fast, so a form that enables AutoBench with any Delay finishes at once.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string_view>

#include "base/FormFile.h"
#include "cpu/qmOstraAPI.h"
#include "cpu/qmOstraVcl.h"

namespace {
class TFastClock : public evc::TqmClock {
 public:
  evc::DWORD Ticks() override { return FTick += 1000; }
  uint64_t Cycles() override { return FCycles += 123456789; }
  void Pause(evc::DWORD ms) override { FTick += ms; }

 private:
  evc::DWORD FTick = 0;
  uint64_t FCycles = 0;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool once = (evc::qmSetClock(std::make_shared<TFastClock>()), true);
  (void)once;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  evc::TqmOstra root(nullptr);
  try {
    evc::TextToComponentInto(text, root);
  } catch (const std::exception&) {
  }
  return 0;
}
