// Helpers of the HTTP client tests: bounded message pumping, an event
// recorder and a scripted raw HTTP server on 127.0.0.1 that keeps the bytes
// of every request.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Pump.h"
#include "http/HttpProt.h"

namespace httptest {

using namespace evc;

// Handles messages until cond() holds or the time passes, sleeping in the
// kernel in between. Returns cond().
using evctest::PumpUntil;
// Handles messages for a while (to see that nothing more happens).
using evctest::PumpFor;

// Records the client's events as short texts, in order.
struct TClientRecorder {
  std::shared_ptr<std::vector<std::string>> store = std::make_shared<std::vector<std::string>>();
  std::shared_ptr<std::string> body = std::make_shared<std::string>();
  std::shared_ptr<int> done = std::make_shared<int>(0);
  std::shared_ptr<WORD> doneError = std::make_shared<WORD>(0);
  std::vector<std::string>& log = *store;
  void Attach(THttpCli& c);
  bool Has(const std::string& entry) const;
  int Count(const std::string& entry) const;
  int IndexOf(const std::string& entry) const;
  std::string Joined() const;
  bool Done() const { return *done > 0; }
};

// Runs a request asynchronously and pumps until OnRequestDone (at most
// `milliseconds`). The recorder must be attached. Returns whether it ended.
bool RunRequest(THttpCli& c, TClientRecorder& rec, THttpRequest rq, int milliseconds = 8000);

// A scripted HTTP server on 127.0.0.1: each accepted connection reads one
// request (header and a Content-Length body) and gets the next reply.
struct TReply {
  std::vector<std::string> pieces;  // written one by one
  int gapMs = 0;                    // pause between pieces
  bool keepOpen = false;            // leave the connection open afterwards
  bool readRequest = true;          // wait for the request before replying
};

class TRawHttpServer {
 public:
  TRawHttpServer();
  ~TRawHttpServer();
  int Port() const { return FPort; }
  void AddReply(TReply reply);
  void AddReply(const std::string& bytes) { AddReply(TReply{{bytes}}); }
  // The bytes of each request received so far.
  std::vector<std::string> Requests() const;
  int Connections() const { return FConnections.load(); }
  // Waits until `n` requests have been read (or the time passes).
  bool WaitRequests(size_t n, int milliseconds = 5000) const;

 private:
  void Run();
  void Serve(int fd, const TReply& reply);
  int FListen = -1;
  int FPort = 0;
  int FWake[2] = {-1, -1};
  std::thread FThread;
  mutable std::mutex FLock;
  std::vector<TReply> FReplies;
  size_t FNextReply = 0;
  std::vector<std::string> FRequests;
  std::vector<int> FHeld;  // connections kept open
  std::atomic<int> FConnections{0};
  std::atomic<bool> FStop{false};
};

// A port on 127.0.0.1 where nothing listens.
int ClosedPort();

}  // namespace httptest
