// DAVidavi, the socket component applications use: the whole layer chain
// (core, SOCKS, line mode, synchronous waits) with its properties published.
#pragma once
#include "socket/WSocketSync.h"

namespace evc {

// The final socket class: publishes the properties of every layer.
class DAVidavi : public TCustomSyncWSocket {
  EVC_CLASS(DAVidavi)
 public:
  explicit DAVidavi(TComponent* owner) : TCustomSyncWSocket(owner) {}
  ~DAVidavi() override {
    // A failure while closing has nowhere to go from a destructor.
    try {
      CloseBeforeDestruction();
    } catch (...) {
    }
  }
};

}  // namespace evc
