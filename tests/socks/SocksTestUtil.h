// Helpers of the SOCKS tests: bounded message pumping, a recorder of the
// session's events, a threaded echo server and a scripted proxy peer on
// 127.0.0.1 whose script the test writes from the wire formats.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Pump.h"
#include "socket/DAVidavi.h"

namespace sockstest {

using namespace evc;

// Handles messages until cond() holds or the time passes (kernel waits in
// between). Returns cond().
using evctest::PumpUntil;
using evctest::PumpFor;

// Bytes written as text: "05 01 00".
std::string Hex(const std::string& bytes);
// Bytes from a list of values.
std::string Bytes(std::initializer_list<int> values);

// Records the events of one session in order and collects what arrives.
// Consecutive data events are recorded once ("DataAvailable(0)"), since how
// often the core calls the handler depends on how the bytes arrive.
struct TSessionLog {
  std::vector<std::string> events;
  std::string received;
  bool closed = false;
  WORD closeError = 0xFFFF;
  int32_t rcvdAfterConnected = -1;  // RcvdCount seen right after OnSessionConnected

  void Attach(DAVidavi& s);
  std::string Joined() const;
  // The events up to and including the first that starts with `prefix`.
  std::string JoinedUntil(const std::string& prefix) const;
  void Add(const std::string& e);
};

// Echoes every byte back on every connection it accepts.
class TEchoServer {
 public:
  TEchoServer();
  ~TEchoServer();
  int Port() const { return FPort; }

 private:
  void Run();
  int FListen = -1;
  int FWake[2] = {-1, -1};
  int FPort = 0;
  std::thread FThread;
};

// One accepted connection of the scripted peer.
class TPeerConn {
 public:
  explicit TPeerConn(int fd) : FFd(fd) {}
  // Reads exactly n bytes (less when the peer closes or the time passes).
  std::string Read(size_t n, int milliseconds = 3000);
  // Writes the bytes in pieces of `chunk` bytes (0: all at once) with a
  // pause between pieces, so that the client sees them in separate reads.
  void Write(const std::string& bytes, size_t chunk = 0, int pauseMs = 3);
  // Echoes until the client closes or the time passes.
  void EchoUntilClosed(int milliseconds = 3000);
  // True when the client closes within the time (nothing more arrives).
  bool WaitClosed(int milliseconds = 3000);
  int Fd() const { return FFd; }

 private:
  int FFd;
};

// Accepts one connection on a free loopback port and runs the script on it
// in a thread of its own. Everything the script read is kept for the test.
class TScriptedPeer {
 public:
  using TScript = std::function<void(TPeerConn&)>;
  explicit TScriptedPeer(TScript script);
  ~TScriptedPeer();
  int Port() const { return FPort; }
  // Waits for the script to end; true when it ended in time.
  bool Join(int milliseconds = 5000);

 private:
  int FListen = -1;
  int FPort = 0;
  TScript FScript;
  std::atomic<bool> FDone{false};
  std::thread FThread;
};

}  // namespace sockstest
