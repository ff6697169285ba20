// TCustomLineWSocket: the socket layer for line mode delivery.
#pragma once
#include "socket/WSocketSocks.h"

namespace evc {

class TCustomLineWSocket : public TCustomSocksWSocket {
  EVC_CLASS(TCustomLineWSocket)
 public:
  explicit TCustomLineWSocket(TComponent* owner) : TCustomSocksWSocket(owner) {}
};

}  // namespace evc
