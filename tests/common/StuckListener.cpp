#include "common/StuckListener.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/LoopbackPeer.h"

namespace evctest {

TStuckListener::TStuckListener() {
  // A backlog of 0 holds one connection; a few more make sure it is full.
  FListen = loopback::ListenLoopback(&FPort, 0);
  for (int i = 0; i < 4 && FListen >= 0; ++i) {
    int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(FPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
    FFillers.push_back(c);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TStuckListener::~TStuckListener() {
  for (int c : FFillers) ::close(c);
  if (FListen >= 0) ::close(FListen);
}

}  // namespace evctest
