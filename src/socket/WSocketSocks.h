// TCustomSocksWSocket: the socket layer for SOCKS 4, 4A and 5 traversal.
#pragma once
#include "socket/WSocket.h"

namespace evc {

class TCustomSocksWSocket : public TCustomWSocket {
  EVC_CLASS(TCustomSocksWSocket)
 public:
  explicit TCustomSocksWSocket(TComponent* owner) : TCustomWSocket(owner) {}
};

}  // namespace evc
