// A listener on 127.0.0.1 whose queue is full: the kernel drops further
// connection requests, so a connect to it neither succeeds nor fails until
// the connecting side gives up. What time limits on connecting are tried on.
#pragma once
#include <vector>

namespace evctest {

class TStuckListener {
 public:
  TStuckListener();
  ~TStuckListener();
  TStuckListener(const TStuckListener&) = delete;
  TStuckListener& operator=(const TStuckListener&) = delete;
  int Port() const { return FPort; }

 private:
  int FListen = -1;
  int FPort = 0;
  std::vector<int> FFillers;  // the connections that fill the queue
};

}  // namespace evctest
