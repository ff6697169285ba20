// A small HTTP server of the tests' own on 127.0.0.1: it reads each request
// (header and, when announced, body), records it, and answers with exactly
// the bytes a responder gives, then closes the connection. It shows what
// the tool really sent and lets a test answer in ways nginx never does.
#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httpget_test {

class TRawHttpServer {
 public:
  // Gets the whole request (header and body) and the number of the request
  // (0 for the first); returns the response bytes.
  using TResponder = std::function<std::string(const std::string& request, int index)>;

  explicit TRawHttpServer(TResponder responder);
  ~TRawHttpServer();
  TRawHttpServer(const TRawHttpServer&) = delete;
  TRawHttpServer& operator=(const TRawHttpServer&) = delete;

  int Port() const { return FPort; }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(FPort) + path; }
  std::vector<std::string> Requests() const;
  // The address each request came from, dotted, in the order of Requests.
  std::vector<std::string> Peers() const;

 private:
  void Serve();
  void HandleOne(int fd, const std::string& peer);

  TResponder FResponder;
  int FListen = -1;
  int FStopPipe[2] = {-1, -1};
  int FPort = 0;
  mutable std::mutex FLock;
  std::vector<std::string> FRequests;
  std::vector<std::string> FPeers;
  std::thread FThread;
};

// The text of a header field of a recorded request ("" when absent).
std::string HeaderValue(const std::string& request, const std::string& name);
// The body of a recorded request (after the empty line).
std::string RequestBody(const std::string& request);

}  // namespace httpget_test
