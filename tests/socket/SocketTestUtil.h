// Helpers of the socket tests: bounded message pumping, an event recorder,
// raw POSIX peers on 127.0.0.1 and a replaceable "wsock32.dll" that makes
// chosen calls fail.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Pump.h"
#include "socket/DAVidavi.h"

namespace sockt {

using namespace evc;

// Handles messages until cond() holds or the time passes (kernel waits in
// between, no spinning). Returns cond().
using evctest::PumpUntil;
// Handles messages for a while (to see that nothing more happens).
using evctest::PumpFor;

// Records every event of a component as short texts, in order.
// The log is shared with the handlers, so a component that outlives its
// recorder still has somewhere to write.
struct TRecorder {
  std::shared_ptr<std::vector<std::string>> store = std::make_shared<std::vector<std::string>>();
  std::vector<std::string>& log = *store;
  void Attach(TCustomWSocket& s, bool withData = true);
  bool Has(const std::string& entry) const;
  int Count(const std::string& entry) const;
  std::string Joined() const;
};

// A raw listening socket on 127.0.0.1 (port chosen by the system).
struct TRawListener {
  int fd = -1;
  int port = 0;
  TRawListener();
  ~TRawListener();
  // Waits for one connection and returns its descriptor (or -1).
  int AcceptOne(int milliseconds = 3000);
};
// A port on 127.0.0.1 where nothing listens (bound and closed again).
int ClosedPort();
// Raw client socket connected to 127.0.0.1:port (blocking), or -1.
int RawConnect(int port);
// Closes with a reset (linger on, timeout 0).
void RawReset(int fd);
// Reads what arrives until the peer closes or the time passes.
std::string RawReadAll(int fd, int milliseconds = 3000);
void RawClose(int fd);
// Number of open descriptors of this process.
int OpenDescriptorCount();
// Resident memory of this process in KiB.
long ResidentKiB();

// Puts the calling thread into a network namespace of its own, with only
// loopback up at `mtu`, until destroyed; sockets made meanwhile stay in it.
// Other tests running beside this one keep their own loopback. Where the
// process may not make a namespace, Why() says so.
class TPrivateLoopback {
 public:
  explicit TPrivateLoopback(int mtu);
  ~TPrivateLoopback();
  TPrivateLoopback(const TPrivateLoopback&) = delete;
  TPrivateLoopback& operator=(const TPrivateLoopback&) = delete;
  const std::string& Why() const { return FWhy; }  // empty when in place

 private:
  int FHome = -1;  // the namespace to go back to
  std::string FWhy;
};

// A replacement "wsock32.dll" built from the real entries. Entries can be
// made to fail with a chosen code (optionally only when a predicate on the
// arguments holds), or be left out. Installed by the constructor, the real
// module is restored by the destructor; both unload the library first so
// that the binder looks the entries up again.
class TFaultModule {
 public:
  TFaultModule();
  ~TFaultModule();
  // The named call fails with `code`; code 0 makes it work again.
  void Fail(const std::string& entry, int code);
  // setsockopt fails with `code` only for this level and option.
  void FailOption(int level, int option, int code);
  // The named entry is missing from the module.
  void Remove(const std::string& entry);
  // WSAStartup returns `code`.
  void FailStartup(int code);
  // Makes the changes take effect (registers the module again).
  void Install();
};

}  // namespace sockt
