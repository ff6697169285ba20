#include "SocksTestUtil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>

#include "base/Application.h"
#include "common/LoopbackPeer.h"
#include "platform/messages.h"

namespace sockstest {

namespace {

using Clock = std::chrono::steady_clock;

using loopback::ListenLoopback;

long LeftMs(Clock::time_point deadline) {
  return std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

const char* AuthStateName(TSocksAuthState s) {
  switch (s) {
    case socksAuthStart: return "socksAuthStart";
    case socksAuthSuccess: return "socksAuthSuccess";
    case socksAuthFailure: return "socksAuthFailure";
    case socksAuthNotRequired: return "socksAuthNotRequired";
  }
  return "?";
}

}  // namespace

std::string Hex(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof(b), "%02X", c);
    if (!out.empty()) out += ' ';
    out += b;
  }
  return out;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// --- session log ---

void TSessionLog::Add(const std::string& e) {
  if (e.rfind("DataAvailable", 0) == 0 && !events.empty() && events.back() == e) return;
  events.push_back(e);
}

void TSessionLog::Attach(DAVidavi& s) {
  DAVidavi* sock = &s;
  s.OnSocksConnected = [this](TObject*, WORD e) { Add("SocksConnected(" + std::to_string(e) + ")"); };
  s.OnSocksAuthState = [this](TObject*, TSocksAuthState a) { Add(std::string("SocksAuthState(") + AuthStateName(a) + ")"); };
  s.OnSocksError = [this](TObject*, int32_t e, const std::string& m) {
    Add("SocksError(" + std::to_string(e) + "," + m + ")");
  };
  s.OnSessionConnected = [this, sock](TObject*, WORD e) {
    Add("SessionConnected(" + std::to_string(e) + ")");
    rcvdAfterConnected = sock->RcvdCount();
  };
  s.OnDataAvailable = [this, sock](TObject*, WORD e) {
    Add("DataAvailable(" + std::to_string(e) + ")");
    char buf[4096];
    int n;
    while ((n = sock->Receive(buf, sizeof(buf))) > 0) received.append(buf, static_cast<size_t>(n));
  };
  s.OnSessionClosed = [this](TObject*, WORD e) {
    Add("SessionClosed(" + std::to_string(e) + ")");
    closed = true;
    closeError = e;
  };
}

std::string TSessionLog::Joined() const {
  std::string s;
  for (const auto& e : events) s += (s.empty() ? "" : " ") + e;
  return s;
}

std::string TSessionLog::JoinedUntil(const std::string& prefix) const {
  std::string s;
  for (const auto& e : events) {
    s += (s.empty() ? "" : " ") + e;
    if (e.rfind(prefix, 0) == 0) break;
  }
  return s;
}

// --- echo server ---

TEchoServer::TEchoServer() {
  FListen = ListenLoopback(&FPort);
  if (::pipe2(FWake, O_CLOEXEC) != 0) FWake[0] = FWake[1] = -1;
  FThread = std::thread([this] { Run(); });
}

TEchoServer::~TEchoServer() {
  if (FWake[1] >= 0) (void)::write(FWake[1], "x", 1);
  if (FThread.joinable()) FThread.join();
  ::close(FListen);
  ::close(FWake[0]);
  ::close(FWake[1]);
}

void TEchoServer::Run() {
  std::vector<int> clients;
  for (;;) {
    std::vector<pollfd> fds{{FWake[0], POLLIN, 0}, {FListen, POLLIN, 0}};
    for (int c : clients) fds.push_back({c, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 10000) <= 0) continue;
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) {
      int c = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) clients.push_back(c);
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      char buf[4096];
      ssize_t n = ::recv(fds[i].fd, buf, sizeof(buf), 0);
      if (n > 0) {
        (void)::send(fds[i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
      } else {
        ::close(fds[i].fd);
        clients.erase(std::find(clients.begin(), clients.end(), fds[i].fd));
      }
    }
  }
  for (int c : clients) ::close(c);
}

// --- scripted peer ---

std::string TPeerConn::Read(size_t n, int milliseconds) {
  std::string out;
  auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (out.size() < n) {
    pollfd p{FFd, POLLIN, 0};
    long left = LeftMs(deadline);
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buf[512];
    ssize_t r = ::recv(FFd, buf, std::min(sizeof(buf), n - out.size()), 0);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

void TPeerConn::Write(const std::string& bytes, size_t chunk, int pauseMs) {
  if (chunk == 0) chunk = bytes.size();
  for (size_t i = 0; i < bytes.size(); i += chunk) {
    if (i > 0 && pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    (void)::send(FFd, bytes.data() + i, std::min(chunk, bytes.size() - i), MSG_NOSIGNAL);
  }
}

void TPeerConn::EchoUntilClosed(int milliseconds) {
  auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    pollfd p{FFd, POLLIN, 0};
    long left = LeftMs(deadline);
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return;
    char buf[4096];
    ssize_t r = ::recv(FFd, buf, sizeof(buf), 0);
    if (r <= 0) return;
    (void)::send(FFd, buf, static_cast<size_t>(r), MSG_NOSIGNAL);
  }
}

bool TPeerConn::WaitClosed(int milliseconds) {
  auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    pollfd p{FFd, POLLIN, 0};
    long left = LeftMs(deadline);
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buf[256];
    ssize_t r = ::recv(FFd, buf, sizeof(buf), 0);
    if (r == 0) return true;
    if (r < 0) return errno == ECONNRESET;
  }
}

TScriptedPeer::TScriptedPeer(TScript script) : FScript(std::move(script)) {
  FListen = ListenLoopback(&FPort);
  FThread = std::thread([this] {
    pollfd p{FListen, POLLIN, 0};
    if (::poll(&p, 1, 5000) > 0) {
      int c = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) {
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        TPeerConn conn(c);
        FScript(conn);
        ::close(c);
      }
    }
    FDone = true;
  });
}

bool TScriptedPeer::Join(int milliseconds) {
  auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  // The component's side runs on this thread's messages meanwhile.
  PumpUntil([this] { return FDone.load(); }, static_cast<int>(LeftMs(deadline)));
  if (FDone && FThread.joinable()) FThread.join();
  return FDone;
}

TScriptedPeer::~TScriptedPeer() {
  if (FThread.joinable()) {
    ::shutdown(FListen, SHUT_RDWR);
    FThread.join();
  }
  ::close(FListen);
}

}  // namespace sockstest
