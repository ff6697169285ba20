#include "common/KeepAliveServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "base/TextUtils.h"
#include "common/LoopbackPeer.h"

namespace evctest {

namespace {

// The size of the first complete request in `got` (header and announced
// body), or 0 while it is not all there.
size_t CompleteRequest(const std::string& got) {
  size_t end = got.find("\r\n\r\n");
  if (end == std::string::npos) return 0;
  std::string head = evc::LowerCase(got.substr(0, end));
  size_t need = end + 4;
  size_t cl = head.find("\r\ncontent-length:");
  if (cl != std::string::npos) need += std::strtoul(head.c_str() + cl + 17, nullptr, 10);
  return got.size() >= need ? need : 0;
}

void SendAll(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

}  // namespace

TKeepAliveServer::TKeepAliveServer(TScript script) : FScript(std::move(script)) {
  FListen = loopback::ListenLoopback(&FPort);
  if (FListen < 0) std::abort();
  FAcceptor = std::thread([this] { Accept(); });
}

TKeepAliveServer::~TKeepAliveServer() {
  FStop = true;
  FAcceptor.join();
  {
    std::lock_guard g(FLock);
    for (int fd : FOpen) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& t : FWorkers) t.join();
  ::close(FListen);
}

std::vector<std::string> TKeepAliveServer::Requests() const {
  std::lock_guard g(FLock);
  return FRequests;
}

std::vector<int> TKeepAliveServer::RequestConnections() const {
  std::lock_guard g(FLock);
  return FRequestConnections;
}

void TKeepAliveServer::Accept() {
  while (!FStop) {
    pollfd p{FListen, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int connection = FConnections++;
    std::lock_guard g(FLock);
    FOpen.push_back(fd);
    FWorkers.emplace_back([this, fd, connection] { Serve(fd, connection); });
  }
}

void TKeepAliveServer::Serve(int fd, int connection) {
  std::string got;
  // Bounded: a connection nobody uses goes after a while.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool open = true;
  while (open && !FStop && std::chrono::steady_clock::now() < deadline) {
    size_t size = CompleteRequest(got);
    if (size == 0) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[16384];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
      continue;
    }
    std::string request = got.substr(0, size);
    got.erase(0, size);
    int index;
    {
      std::lock_guard g(FLock);
      index = static_cast<int>(FRequests.size());
      FRequests.push_back(request);
      FRequestConnections.push_back(connection);
    }
    TAnswer a = FScript(request, index);
    for (size_t i = 0; i < a.pieces.size(); ++i) {
      if (i > 0 && a.gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(a.gapMs));
      SendAll(fd, a.pieces[i]);
    }
    open = !a.close;
  }
  ::shutdown(fd, SHUT_WR);
  {
    std::lock_guard g(FLock);
    FOpen.erase(std::remove(FOpen.begin(), FOpen.end(), fd), FOpen.end());
  }
  // Let the client see everything before the descriptor goes.
  pollfd p{fd, POLLIN, 0};
  char sink[4096];
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!FStop && std::chrono::steady_clock::now() < until) {
    if (::poll(&p, 1, 50) <= 0) continue;
    if (::recv(fd, sink, sizeof sink, 0) <= 0) break;
  }
  ::close(fd);
}

}  // namespace evctest
