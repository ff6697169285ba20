#include "socket/WSocketSocks.h"

#include "base/TypInfo.h"

namespace evc {

const TClassInfo& TCustomSocksWSocket::StaticClassInfo() {
  static const TClassInfo info("TCustomSocksWSocket", &TCustomWSocket::StaticClassInfo(), {});
  return info;
}

}  // namespace evc
