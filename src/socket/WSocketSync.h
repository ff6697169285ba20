// TCustomSyncWSocket: the socket layer for synchronous waits.
#pragma once
#include "socket/WSocketLine.h"

namespace evc {

class TCustomSyncWSocket : public TCustomLineWSocket {
  EVC_CLASS(TCustomSyncWSocket)
 public:
  explicit TCustomSyncWSocket(TComponent* owner) : TCustomLineWSocket(owner) {}
};

}  // namespace evc
