// The configuration of a Dante SOCKS server for tests: SOCKS 4 and 5
// connects from loopback to loopback only, no authentication, listening on
// 127.0.0.1 at `port`.
#pragma once
#include <string>

#include "common/LoopbackPeer.h"

namespace loopback {

inline std::string DanteConfig(int port) {
  return "logoutput: stderr\n"
         "internal: 127.0.0.1 port = " + std::to_string(port) + "\n"
         "external: 127.0.0.1\n"
         "clientmethod: none\n"
         "socksmethod: none\n"
         "user.privileged: root\n"
         "user.unprivileged: nobody\n"
         "client pass {\n  from: 127.0.0.1/32 to: 0.0.0.0/0\n}\n"
         "socks pass {\n  from: 127.0.0.1/32 to: 127.0.0.1/32\n  command: connect\n  protocol: tcp\n}\n"
         "socks block {\n  from: 0.0.0.0/0 to: 0.0.0.0/0\n}\n";
}

// Starts danted with that configuration on a free port (into `port`);
// false when it does not come up (its log tells why).
inline bool StartDante(TLoopbackPeer& peer, const TTempDir& dir, int& port) {
  port = FreePort();
  return peer.Start({FindProgram("danted"), "-f", dir.Write("danted.conf", DanteConfig(port))},
                    dir.File("danted.log")) &&
         peer.WaitListening(port);
}

}  // namespace loopback
