// Buffered sending and receiving.
#include "socket/WSocket.h"

#include <algorithm>
#include <cstring>

#include "base/Application.h"

namespace evc {

int TCustomWSocket::Send(const void* data, int len) {
  if (FState != wsConnected) {
    wsocket::WSASetLastError(winsock::WSAENOTCONN);
    FailCall("Send");
    return -1;
  }
  // Nothing to send changes nothing: clearing AllSent here would leave a
  // flush waiting for bytes that were never queued.
  if (len <= 0 || data == nullptr) return 0;
  FAllSent = false;
  QueueData(data, len);
  TryToSend();
  if (FAllSent && FHSocket != winsock::INVALID_SOCKET)
    PostMessage(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), winsock::FD_WRITE);
  return len;
}

int TCustomWSocket::SendText(const std::string& text) {
  if (text.empty()) return 0;
  return Send(text.data(), static_cast<int>(text.size()));
}

int TCustomWSocket::SendDatagram(const winsock::sockaddr_w* dest, int destLen, const void* data, int len) {
  // The library gets a copy of the address, never more than its 16 bytes.
  winsock::sockaddr_in_w to{};
  int toLen = std::min(destLen, static_cast<int>(sizeof(to)));
  if (dest && toLen > 0) std::memcpy(&to, dest, static_cast<size_t>(toLen));
  int r = wsocket::sendto(FHSocket, static_cast<const char*>(data), len, FSendFlags,
                          reinterpret_cast<const winsock::sockaddr_w*>(&to), toLen);
  if (r > 0) FireSendData(r);
  return r;
}

int TCustomWSocket::TransmitChunk(const char* data, int len) {
  int r;
  if (FType == winsock::SOCK_DGRAM_W)
    r = wsocket::sendto(FHSocket, data, len, FSendFlags, reinterpret_cast<const winsock::sockaddr_w*>(&FSin),
                        sizeof(FSin));
  else
    r = wsocket::send(FHSocket, data, len, FSendFlags);
  if (r > 0) FireSendData(r);
  return r;
}

void TCustomWSocket::QueueData(const void* data, int len) {
  if (len <= 0) return;
  auto* p = static_cast<const char*>(data);
  if (FBufList.empty()) FBufList.push_back(std::make_unique<TBuffer>(ChunkSize));
  TBuffer* target = FBufList.back().get();
  for (;;) {
    int n = target->Append(p, len);
    if (n >= len) return;
    p += n;
    len -= n;
    FBufList.push_back(std::make_unique<TBuffer>(ChunkSize));
    target = FBufList.back().get();
  }
}

void TCustomWSocket::TryToSend() {
  using namespace winsock;
  for (;;) {
    if (FHSocket == INVALID_SOCKET || FBufList.empty()) return;
    TBuffer* block = FBufList.front().get();
    int32_t len = 0;
    const char* p = block->PeekData(len);
    if (len <= 0) {
      if (FBufList.size() == 1) {
        FAllSent = true;
        return;
      }
      FBufList.pop_front();
      continue;
    }
    int count = TransmitChunk(p, len);
    if (count == 0) return;
    if (count < 0) {
      int e = wsocket::WSAGetLastError();
      switch (e) {
        case WSAEINVAL:
        case WSAENOTSOCK:
        case WSAECONNABORTED:
        case WSAECONNRESET:
        case WSAENOTCONN:
          FCloseInvoked = true;
          Close();
          FireSessionClosed(static_cast<WORD>(e));
          return;
        case WSAEWOULDBLOCK:
          return;
        default:
          FailCall("TryToSend failed");
          return;
      }
    }
    // The block is gone when a handler of OnSendData closed the socket.
    if (FBufList.empty() || FBufList.front().get() != block) return;
    block->Consume(count);
    if (count < len) return;
  }
}

void TCustomWSocket::ClearSendQueue() { FBufList.clear(); }

int64_t TCustomWSocket::BufferedByteCount() const {
  int64_t n = 0;
  for (const auto& b : FBufList) n += b->Unread();
  return n;
}

void TCustomWSocket::FlushSendQueue() {
  while (FHSocket != winsock::INVALID_SOCKET && !FAllSent) {
    TryToSend();
    if (FHSocket == winsock::INVALID_SOCKET || FAllSent) break;
    // Sleep in the kernel until the socket (or anything else) has news.
    WaitForInput(100);
    PumpMessages();
  }
}

void TCustomWSocket::DrainUntilClosed() {
  while (FHSocket != winsock::INVALID_SOCKET && FState != wsClosed) {
    PumpMessages();
    winsock::u_long waiting = 0;
    if (TransportWaiting(&waiting) != 0) return;
    if (waiting > 0) FireDataAvailable(0);
    if (FHSocket == winsock::INVALID_SOCKET) return;
    char dummy;
    if (ReadSocket(&dummy, 0, 0) <= 0) {
      FLastError = wsocket::WSAGetLastError();
      if (FLastError != winsock::WSAEWOULDBLOCK) return;
    }
    WaitForInput(100);
    PumpMessages();
  }
}

int TCustomWSocket::ReadSocket(char* buffer, int size, int flags) {
  ++FReadCalls;
  return ReceiveTransport(buffer, size, flags);
}

int TCustomWSocket::ReceiveTransport(char* buffer, int size, int flags) {
  return wsocket::recv(FHSocket, buffer, size, flags);
}

int TCustomWSocket::TransportWaiting(winsock::u_long* count) const {
  return wsocket::ioctlsocket(FHSocket, winsock::FIONREAD_W, count);
}

int TCustomWSocket::ReadSocketFrom(winsock::SOCKET handle, char* buffer, int size, int flags,
                                   winsock::sockaddr_w* from, int* fromLen) {
  ++FReadCalls;
  return wsocket::recvfrom(handle, buffer, size, flags, from, fromLen);
}

// ReadCount is published as 32 bits: past 2 GiB on one connection (a kept
// HTTP/1.1 one, a large document) it wraps instead of overflowing.
void TCustomWSocket::AddReadCount(int n) {
  FReadCount = static_cast<int32_t>(static_cast<uint32_t>(FReadCount) + static_cast<uint32_t>(n));
}

int TCustomWSocket::Receive(void* buffer, int size) {
  int r = ReadSocket(static_cast<char*>(buffer), size, 0);
  if (r < 0)
    FLastError = wsocket::WSAGetLastError();
  else
    AddReadCount(r);
  return r;
}

std::string TCustomWSocket::ReceiveText() {
  int32_t n = RcvdCount();
  if (n < 0) return std::string();
  if (n == 0) n = 255;
  std::string s(static_cast<size_t>(n), '\0');
  int r = Receive(s.data(), n);
  if (r <= 0) return std::string();
  s.resize(static_cast<size_t>(r));
  return s;
}

int TCustomWSocket::ReceiveDatagram(void* buffer, int size, winsock::sockaddr_w* from, int* fromLen) {
  int r = ReadSocketFrom(FHSocket, static_cast<char*>(buffer), size, 0, from, fromLen);
  if (r < 0)
    FLastError = wsocket::WSAGetLastError();
  else
    AddReadCount(r);
  return r;
}

int32_t TCustomWSocket::RcvdCount() const {
  if (Designing()) return -1;
  winsock::u_long n = 0;
  if (TransportWaiting(&n) != 0) {
    const_cast<TCustomWSocket*>(this)->FailCall("ioctlSocket");
    return -1;
  }
  return static_cast<int32_t>(n);
}

TSocketSendFlags TCustomWSocket::SendFlags() const {
  switch (FSendFlags) {
    case 0: return wsSendNormal;
    case 1: return wsSendUrgent;
    default:
      const_cast<TCustomWSocket*>(this)->ReportError("Invalid internal SendFlags");
      return wsSendNormal;
  }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags value) {
  switch (value) {
    case wsSendNormal: FSendFlags = 0; break;
    case wsSendUrgent: FSendFlags = 1; break;
    default: ReportError("Invalid SendFlags"); break;
  }
}

}  // namespace evc
