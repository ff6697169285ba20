// tinyproxy on 127.0.0.1 for tests: plain forwarding and CONNECT tunnels to
// any port, optionally behind its own Basic authentication.
#pragma once
#include <string>

#include "common/LoopbackPeer.h"

namespace loopback {

// Starts tinyproxy on a free port (into `port`) with `auth` appended to its
// configuration ("BasicAuth user password\n", say); false when it is not
// installed or does not come up.
inline bool StartTinyproxy(TLoopbackPeer& peer, TTempDir& dir, int& port, const std::string& auth) {
  std::string program = FindProgram("tinyproxy");
  if (program.empty()) return false;
  port = FreePort();
  std::string conf = "Port " + std::to_string(port) +
                     "\nListen 127.0.0.1\nTimeout 30\nMaxClients 16\nLogLevel Info\nAllow 127.0.0.1\n"
                     "DisableViaHeader Yes\n" + auth;
  std::string path = dir.Write("tinyproxy.conf", conf, 0644);
  if (!peer.Start({program, "-d", "-c", path}, dir.File("tinyproxy.log"))) return false;
  return peer.WaitListening(port);
}

}  // namespace loopback
