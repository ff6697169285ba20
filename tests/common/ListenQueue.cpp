#include "common/ListenQueue.h"

#include <cstdio>
#include <fstream>
#include <string>

namespace evctest {

int ListenQueueLimit(int port) {
  // For a listening socket the Send-Q column is the limit passed to listen
  // (after the kernel's own cap).
  const std::string command = "ss -ltnH 'sport = :" + std::to_string(port) + "' 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  char state[32] = {0}, local[64] = {0};
  long recvQ = 0, sendQ = -1;
  int fields = std::fscanf(p, "%31s %ld %ld %63s", state, &recvQ, &sendQ, local);
  pclose(p);
  if (fields != 4 || std::string(local) != "127.0.0.1:" + std::to_string(port)) return -1;
  return static_cast<int>(sendQ);
}

int SystemListenQueueMax() {
  std::ifstream f("/proc/sys/net/core/somaxconn");
  int n = -1;
  f >> n;
  return f ? n : -1;
}

}  // namespace evctest
