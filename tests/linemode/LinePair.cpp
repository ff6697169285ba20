#include "LinePair.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "base/Application.h"
#include "common/LoopbackPeer.h"
#include "platform/messages.h"

namespace linet {

long WaitingBytes(const TCustomWSocket& s) {
  winsock::u_long n = 0;
  if (wsocket::ioctlsocket(s.HSocket(), winsock::FIONREAD_W, &n) != 0) return -1;
  return static_cast<long>(n);
}

TLinePair::TLinePair() {
  sock->OnError = [this](TObject*) { errors.push_back("error " + std::to_string(sock->LastError())); };
  sock->OnSessionClosed = [this](TObject*, WORD) { closed = true; };
  sock->SetLineMode(true);
  RecordLines();
}

void TLinePair::RecordLines() {
  sock->OnDataAvailable = [this](TObject*, WORD) { lines.push_back(sock->ReceiveText()); };
}

TLinePair::~TLinePair() {
  // Destroying a component closes it, and the close hands out what is still
  // held: the handlers must not reach this half-destroyed pair any more.
  sock->OnDataAvailable = nullptr;
  sock->OnSessionClosed = nullptr;
  sock->OnError = nullptr;
  sock.reset();
  if (peer >= 0) ::close(peer);
}

bool TLinePair::Open() {
  int port = 0;
  int lfd = loopback::ListenLoopback(&port, 4);
  if (lfd < 0) return false;
  bool connected = false;
  auto previous = sock->OnSessionConnected;
  sock->OnSessionConnected = [&](TObject*, WORD e) { connected = (e == 0); };
  sock->SetAddr("127.0.0.1");
  sock->SetPort(std::to_string(port));
  sock->Connect();
  bool ok = PumpUntil([&] { return connected; });
  sock->OnSessionConnected = previous;
  pollfd p{lfd, POLLIN, 0};
  if (ok && ::poll(&p, 1, 3000) == 1) peer = ::accept(lfd, nullptr, nullptr);
  ::close(lfd);
  return ok && peer >= 0;
}

void TLinePair::PeerSend(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(peer, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("peer send failed");
    off += static_cast<size_t>(n);
  }
  // On loopback the bytes wait at the component as soon as send returns;
  // they are taken once the read notification has been handled.
  PumpUntil([&] { return sock->HSocket() == winsock::INVALID_SOCKET || WaitingBytes(*sock) == 0; });
  Application().ProcessMessages();
}

std::string TLinePair::PeerReceive(size_t size, int milliseconds) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (out.size() < size) {
    Application().ProcessMessages();
    pollfd p{peer, POLLIN, 0};
    if (::poll(&p, 1, 10) == 1) {
      char buf[4096];
      ssize_t n = ::recv(peer, buf, sizeof(buf), 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
  }
  return out;
}

void TLinePair::PeerClose() {
  ::close(peer);
  peer = -1;
  PumpUntil([&] { return closed; });
}

}  // namespace linet
