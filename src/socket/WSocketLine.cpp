#include "socket/WSocketLine.h"

#include "base/TypInfo.h"

namespace evc {

const TClassInfo& TCustomLineWSocket::StaticClassInfo() {
  static const TClassInfo info("TCustomLineWSocket", &TCustomSocksWSocket::StaticClassInfo(), {});
  return info;
}

}  // namespace evc
