#include "socket/WSocketSync.h"

#include "base/TypInfo.h"

namespace evc {

const TClassInfo& TCustomSyncWSocket::StaticClassInfo() {
  static const TClassInfo info("TCustomSyncWSocket", &TCustomLineWSocket::StaticClassInfo(), {});
  return info;
}

}  // namespace evc
