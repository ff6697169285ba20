#include "RawHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "base/TextUtils.h"
#include "common/LoopbackPeer.h"

namespace httpget_test {

using evc::LowerCase;

std::string HeaderValue(const std::string& request, const std::string& name) {
  const std::string want = LowerCase(name) + ":";
  size_t end = request.find("\r\n\r\n");
  size_t pos = request.find("\r\n");
  while (pos != std::string::npos && pos < end) {
    size_t next = request.find("\r\n", pos + 2);
    std::string line = request.substr(pos + 2, next - pos - 2);
    if (LowerCase(line.substr(0, want.size())) == want) {
      std::string v = line.substr(want.size());
      v.erase(0, v.find_first_not_of(' '));
      return v;
    }
    pos = next;
  }
  return {};
}

std::string RequestBody(const std::string& request) {
  size_t end = request.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : request.substr(end + 4);
}

TRawHttpServer::TRawHttpServer(TResponder responder) : FResponder(std::move(responder)) {
  FListen = loopback::ListenLoopback(&FPort);
  if (FListen < 0 || pipe(FStopPipe) != 0) std::abort();
  FThread = std::thread([this] { Serve(); });
}

TRawHttpServer::~TRawHttpServer() {
  if (write(FStopPipe[1], "x", 1) != 1) std::abort();
  FThread.join();
  close(FListen);
  close(FStopPipe[0]);
  close(FStopPipe[1]);
}

std::vector<std::string> TRawHttpServer::Requests() const {
  std::lock_guard g(FLock);
  return FRequests;
}

std::vector<std::string> TRawHttpServer::Peers() const {
  std::lock_guard g(FLock);
  return FPeers;
}

void TRawHttpServer::Serve() {
  for (;;) {
    pollfd p[2] = {{FListen, POLLIN, 0}, {FStopPipe[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) continue;
    if (p[1].revents) return;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    int fd = accept4(FListen, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
    if (fd < 0) continue;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    HandleOne(fd, text);
    close(fd);
  }
}

void TRawHttpServer::HandleOne(int fd, const std::string& peer) {
  std::string req;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  size_t want = std::string::npos;  // total size once the header is complete
  while (req.size() < want && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    req.append(buf, static_cast<size_t>(n));
    size_t end = req.find("\r\n\r\n");
    if (want == std::string::npos && end != std::string::npos) {
      std::string cl = HeaderValue(req, "Content-Length");
      want = end + 4 + (cl.empty() ? 0 : std::strtoul(cl.c_str(), nullptr, 10));
    }
  }
  int index;
  {
    std::lock_guard g(FLock);
    index = static_cast<int>(FRequests.size());
    FRequests.push_back(req);
    FPeers.push_back(peer);
  }
  std::string resp = FResponder(req, index);
  size_t sent = 0;
  while (sent < resp.size()) {
    ssize_t n = send(fd, resp.data() + sent, resp.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  // Let the client read everything and close first, so that our close does
  // not reset a connection with unread request bytes.
  pollfd p{fd, POLLIN, 0};
  char sink[4096];
  while (poll(&p, 1, 2000) > 0 && recv(fd, sink, sizeof sink, 0) > 0) {
  }
}

}  // namespace httpget_test
