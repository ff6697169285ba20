// A scripted HTTP/1.1 server on 127.0.0.1 that keeps its connections: each
// connection reads request after request (header and a Content-Length
// body) and answers each with what the script says, until the script
// closes it. It records every request with the connection it came on, so a
// test sees which requests shared a connection.
#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace evctest {

struct TAnswer {
  std::vector<std::string> pieces;  // written one by one
  int gapMs = 0;                    // pause between pieces
  bool close = false;               // close the connection after the answer
};

class TKeepAliveServer {
 public:
  // Gets the request and its number (0 for the first, counted over all
  // connections); an answer without pieces and with close set closes the
  // connection without a word.
  using TScript = std::function<TAnswer(const std::string& request, int index)>;

  explicit TKeepAliveServer(TScript script);
  ~TKeepAliveServer();
  TKeepAliveServer(const TKeepAliveServer&) = delete;
  TKeepAliveServer& operator=(const TKeepAliveServer&) = delete;

  int Port() const { return FPort; }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(FPort) + path; }
  std::vector<std::string> Requests() const;
  // The connection (0 for the first accepted) of each request, in order.
  std::vector<int> RequestConnections() const;
  int Connections() const { return FConnections.load(); }

 private:
  void Accept();
  void Serve(int fd, int connection);

  TScript FScript;
  int FListen = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FConnections{0};
  mutable std::mutex FLock;
  std::vector<std::string> FRequests;
  std::vector<int> FRequestConnections;
  std::vector<int> FOpen;  // descriptors being served, shut down on stop
  std::vector<std::thread> FWorkers;
  std::thread FAcceptor;
};

}  // namespace evctest
