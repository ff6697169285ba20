#include "HttpTestUtil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "base/Application.h"
#include "common/LoopbackPeer.h"
#include "platform/messages.h"

namespace httptest {

void TClientRecorder::Attach(THttpCli& c) {
  auto log = store;
  auto b = body;
  auto d = done;
  auto de = doneError;
  THttpCli* cli = &c;
  c.OnStateChange = [log, cli](TObject*) { log->push_back(std::string("state ") + HttpClientStateName(cli->State())); };
  c.OnSessionConnected = [log](TObject*) { log->push_back("session connected"); };
  c.OnRequestHeaderBegin = [log](TObject*) { log->push_back("request header begin"); };
  c.OnRequestHeaderEnd = [log](TObject*) { log->push_back("request header end"); };
  c.OnBeforeHeaderSend = [log](TObject*, const std::string& m, TStrings*) { log->push_back("before send " + m); };
  c.OnHeaderBegin = [log](TObject*) { log->push_back("header begin"); };
  c.OnHeaderData = [log, cli](TObject*) { log->push_back("header data " + cli->LastLine()); };
  c.OnHeaderEnd = [log](TObject*) { log->push_back("header end"); };
  c.OnDocBegin = [log](TObject*) { log->push_back("doc begin"); };
  c.OnDocData = [log, b](TObject*, const void* p, int32_t n) {
    log->push_back("doc data");
    b->append(static_cast<const char*>(p), static_cast<size_t>(n));
  };
  c.OnDocEnd = [log](TObject*) { log->push_back("doc end"); };
  c.OnSendBegin = [log](TObject*) { log->push_back("send begin"); };
  c.OnSendData = [log](TObject*, const void*, int32_t n) { log->push_back("send data " + std::to_string(n)); };
  c.OnSendEnd = [log](TObject*) { log->push_back("send end"); };
  c.OnLocationChange = [log, cli](TObject*) { log->push_back("location " + cli->Location()); };
  c.OnCookie = [log](TObject*, const std::string& v, bool&) { log->push_back("cookie " + v); };
  c.OnSocketError = [log](TObject*) { log->push_back("socket error"); };
  c.OnRequestDone = [log, d, de](TObject*, THttpRequest rq, WORD e) {
    log->push_back(std::string("done ") + HttpRequestName(rq) + " " + std::to_string(e));
    ++*d;
    *de = e;
  };
}

bool TClientRecorder::Has(const std::string& entry) const { return Count(entry) > 0; }
int TClientRecorder::Count(const std::string& entry) const {
  return static_cast<int>(std::count(log.begin(), log.end(), entry));
}
int TClientRecorder::IndexOf(const std::string& entry) const {
  auto it = std::find(log.begin(), log.end(), entry);
  return it == log.end() ? -1 : static_cast<int>(it - log.begin());
}
std::string TClientRecorder::Joined() const {
  std::string s;
  for (const auto& l : log) s += (s.empty() ? "" : " | ") + l;
  return s;
}

bool RunRequest(THttpCli& c, TClientRecorder& rec, THttpRequest rq, int milliseconds) {
  int before = *rec.done;
  c.RequestAsync(rq);
  return PumpUntil([&] { return *rec.done > before; }, milliseconds);
}

// --- the scripted server ---

TRawHttpServer::TRawHttpServer() {
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  ::listen(FListen, 16);
  socklen_t len = sizeof(a);
  ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
  FPort = ntohs(a.sin_port);
  if (::pipe2(FWake, O_CLOEXEC) != 0) FWake[0] = FWake[1] = -1;
  FThread = std::thread([this] { Run(); });
}

TRawHttpServer::~TRawHttpServer() {
  FStop = true;
  if (FWake[1] >= 0) {
    char c = 1;
    (void)!::write(FWake[1], &c, 1);
  }
  if (FThread.joinable()) FThread.join();
  for (int fd : FHeld) ::close(fd);
  ::close(FListen);
  if (FWake[0] >= 0) ::close(FWake[0]);
  if (FWake[1] >= 0) ::close(FWake[1]);
}

void TRawHttpServer::AddReply(TReply reply) {
  std::lock_guard g(FLock);
  FReplies.push_back(std::move(reply));
}

std::vector<std::string> TRawHttpServer::Requests() const {
  std::lock_guard g(FLock);
  return FRequests;
}

bool TRawHttpServer::WaitRequests(size_t n, int milliseconds) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Requests().size() >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return Requests().size() >= n;
}

void TRawHttpServer::Run() {
  while (!FStop) {
    pollfd p[2] = {{FListen, POLLIN, 0}, {FWake[0], POLLIN, 0}};
    if (::poll(p, 2, 1000) <= 0) continue;
    if (p[1].revents) break;
    int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++FConnections;
    TReply reply;
    {
      std::lock_guard g(FLock);
      if (FNextReply < FReplies.size()) reply = FReplies[FNextReply++];
    }
    Serve(fd, reply);
  }
}

namespace {

// Reads until the header has ended and the announced body is in, the peer
// closes, or the time passes (all bounded).
std::string ReadRequest(int fd, int wakeFd) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    size_t end = got.find("\r\n\r\n");
    if (end != std::string::npos) {
      size_t need = end + 4;
      std::string head = got.substr(0, end);
      std::string lower = head;
      for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      size_t cl = lower.find("\r\ncontent-length:");
      if (cl != std::string::npos) need += std::strtoul(head.c_str() + cl + 17, nullptr, 10);
      if (got.size() >= need) return got;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return got;
    pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(p, 2, static_cast<int>(left.count())) <= 0) return got;
    if (p[1].revents) return got;
    char buf[16384];
    ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) return got;
    got.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

void TRawHttpServer::Serve(int fd, const TReply& reply) {
  if (reply.readRequest) {
    std::string req = ReadRequest(fd, FWake[0]);
    std::lock_guard g(FLock);
    FRequests.push_back(req);
  }
  for (size_t i = 0; i < reply.pieces.size() && !FStop; ++i) {
    if (i > 0 && reply.gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.gapMs));
    const std::string& piece = reply.pieces[i];
    size_t off = 0;
    while (off < piece.size()) {
      ssize_t n = ::send(fd, piece.data() + off, piece.size() - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
  }
  if (reply.keepOpen) {
    FHeld.push_back(fd);
  } else {
    ::shutdown(fd, SHUT_WR);
    // Let the client read everything before the descriptor goes.
    pollfd p{fd, POLLIN, 0};
    char buf[4096];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline && ::poll(&p, 1, 100) >= 0) {
      if (p.revents == 0) continue;
      if (::recv(fd, buf, sizeof(buf), 0) <= 0) break;
    }
    ::close(fd);
  }
}

int ClosedPort() { return loopback::FreePort(); }

}  // namespace httptest
