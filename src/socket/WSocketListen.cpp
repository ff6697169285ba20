// Listening, accepting, adopting accepted handles, binding the local end
// and the address queries.
#include <cstring>

#include "socket/WSocket.h"

namespace evc {

void TCustomWSocket::SetListenBacklog(int32_t value) {
  // A queue for no connection would make Listen refuse every client.
  if (value < 1) {
    ReportError("Invalid ListenBacklog");
    return;
  }
  FListenBacklog = value;
}

void TCustomWSocket::Listen() {
  using namespace winsock;
  if (!FPortAssigned) {
    wsocket::WSASetLastError(WSAEINVAL);
    FailCall("listen: port not assigned");
    return;
  }
  if (!FProtoAssigned) {
    wsocket::WSASetLastError(WSAEINVAL);
    FailCall("listen: protocol not assigned");
    return;
  }
  if (!FAddrAssigned) {
    wsocket::WSASetLastError(WSAEINVAL);
    FailCall("listen: address not assigned");
    return;
  }
  bool resolveFailed = false;
  std::string resolveMessage;
  try {
    if (!FProtoResolved) {
      FProtocolNumber = WSocketResolveProto(FProtoStr);
      FType = FProtocolNumber == IPPROTO_UDP_W ? SOCK_DGRAM_W : SOCK_STREAM_W;
      FProtoResolved = true;
    }
    if (!FPortResolved) {
      FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
      FSin.sin_port = wsocket::htons(static_cast<u_short>(FPortNum));
      FPortResolved = true;
    }
    if (!FAddrResolved) {
      FSin.sin_addr.s_addr = WSocketResolveHost(FAddrStr);
      FAddrResolved = true;
    }
  } catch (const Exception& e) {
    resolveFailed = true;
    resolveMessage = e.Message();
  }
  if (resolveFailed) {
    ReportError("listen: " + resolveMessage);
    return;
  }

  ClearSendQueue();
  // Listen starts from the closed state, where Close would not release a
  // handle: one left by an earlier failed Listen goes now.
  ReleaseStrayHandle();
  FHSocket = wsocket::socket(FAddrFormat, FType, FProtocolNumber);
  if (FHSocket == INVALID_SOCKET) {
    FailCall("socket");
    return;
  }
  if (FType == SOCK_DGRAM_W && FReuseAddr) {
    int32_t on = -1;
    if (wsocket::DirectSetSockOpt(FHSocket, SOL_SOCKET_W, SO_REUSEADDR_W, reinterpret_cast<const char*>(&on),
                                  sizeof(on)) == SOCKET_ERROR) {
      FailCall("setsockopt(SO_REUSEADDR)");
      return;
    }
  }
  if (wsocket::bind(FHSocket, reinterpret_cast<const sockaddr_w*>(&FSin), sizeof(FSin)) == SOCKET_ERROR) {
    FailCall("Bind");
    Close();
    return;
  }
  const SOCKET handle = FHSocket;
  SetState(wsBound);
  // A handler of the state change that closed the socket has ended this
  // Listen: nothing may be done with a handle that is gone.
  if (FHSocket != handle) return;
  if (FType == SOCK_DGRAM_W && FMultiCast) {
    ip_mreq_w mreq;
    mreq.imr_multiaddr.s_addr = wsocket::DirectInetAddr(FMultiCastAddrStr.c_str());
    mreq.imr_interface.s_addr = WSocketResolveHost(FAddrStr);
    if (wsocket::DirectSetSockOpt(FHSocket, IPPROTO_IP_W, IP_ADD_MEMBERSHIP_W, reinterpret_cast<const char*>(&mreq),
                                  sizeof(mreq)) == SOCKET_ERROR) {
      FailCall("setsockopt(IP MULTICAST)");
      return;
    }
  }
  switch (FType) {
    case SOCK_STREAM_W:
      if (wsocket::listen(FHSocket, FListenBacklog) == SOCKET_ERROR) {
        FailCall("Listen");
        return;
      }
      SetState(wsListening);
      break;
    case SOCK_DGRAM_W:
    case SOCK_RAW_W:
      SetState(wsListening);
      if (FHSocket != handle) return;
      SetState(wsConnected);
      if (FHSocket != handle) return;
      FireSessionConnected(0);
      break;
    default:
      FailCall("Listen: unexpected protocol.");
      return;
  }
  if (FHSocket == INVALID_SOCKET) return;  // a handler closed it meanwhile
  FEventMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
  if (wsocket::WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FEventMask) != 0)
    FailCall("WSAASyncSelect");
}

winsock::SOCKET TCustomWSocket::Accept() {
  using namespace winsock;
  if (FState != wsListening) {
    wsocket::WSASetLastError(WSAEINVAL);
    FailCall("not a listening socket");
    return INVALID_SOCKET;
  }
  sockaddr_in_w peer{};
  int len = sizeof(peer);
  FAcceptedHandle = wsocket::accept(FHSocket, reinterpret_cast<sockaddr_w*>(&peer), &len);
  if (FAcceptedHandle == INVALID_SOCKET) {
    int e = wsocket::WSAGetLastError();
    if (e == WSAEWOULDBLOCK) {
      // Nothing waits after all (another Accept took it): not an error.
      FLastError = e;
      return INVALID_SOCKET;
    }
    FailCall("Accept");
    return INVALID_SOCKET;
  }
  FSin = peer;
  return FAcceptedHandle;
}

void TCustomWSocket::Dup(winsock::SOCKET newHandle) {
  using namespace winsock;
  if (newHandle == 0 || newHandle == INVALID_SOCKET) {
    wsocket::WSASetLastError(WSAEINVAL);
    FailCall("Dup");
    return;
  }
  if (FState != wsClosed) {
    int rc = wsocket::closesocket(FHSocket);
    FHSocket = INVALID_SOCKET;
    if (rc != 0) {
      FailCall("Dup (closesocket)");
      return;
    }
    SetState(wsClosed);
  } else {
    ReleaseStrayHandle();
  }
  // Bytes left queued for an earlier peer must never reach this one.
  ClearSendQueue();
  FAllSent = true;
  FHSocket = newHandle;
  ApplyLinger();
  FEventMask = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
  if (wsocket::WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FEventMask) != 0) {
    FailCall("WSAAsyncSelect");
    return;
  }
  SetState(wsConnected);
}

void TCustomWSocket::BindLocal() {
  using namespace winsock;
  sockaddr_in_w local{};
  local.sin_family = AF_INET_W;
  local.sin_port = wsocket::htons(FLocalPortNum);
  local.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
  if (wsocket::bind(FHSocket, reinterpret_cast<const sockaddr_w*>(&local), sizeof(local)) != 0) {
    ReportErrorFmt("winsock.bind failed, error #%d", {int64_t(wsocket::WSAGetLastError())});
    return;
  }
  int len = sizeof(local);
  if (wsocket::getsockname(FHSocket, reinterpret_cast<sockaddr_w*>(&local), &len) != 0) {
    ReportErrorFmt("winsock.getsockname failed, error #%d", {int64_t(wsocket::WSAGetLastError())});
    return;
  }
  FLocalPortNum = wsocket::ntohs(local.sin_port);
  FLocalPortStr = std::to_string(FLocalPortNum);
}

std::string TCustomWSocket::PeerAddr() const {
  if (FState != wsConnected) return "error";
  winsock::sockaddr_in_w a{};
  int len = sizeof(a);
  if (wsocket::getpeername(FHSocket, reinterpret_cast<winsock::sockaddr_w*>(&a), &len) != 0) {
    const_cast<TCustomWSocket*>(this)->FailCall("GetPeerName");
    return "error";
  }
  return wsocket::inet_ntoa(a.sin_addr);
}

std::string TCustomWSocket::PeerPort() const {
  if (FState != wsConnected) return "error";
  winsock::sockaddr_in_w a{};
  int len = sizeof(a);
  if (wsocket::getpeername(FHSocket, reinterpret_cast<winsock::sockaddr_w*>(&a), &len) != 0) {
    const_cast<TCustomWSocket*>(this)->FailCall("GetPeerPort");
    return "error";
  }
  return std::to_string(wsocket::ntohs(a.sin_port));
}

int TCustomWSocket::QueryPeerAddress(winsock::sockaddr_w* name, int* nameLen) {
  if (FState != wsConnected) return -1;
  return wsocket::getpeername(FHSocket, name, nameLen);
}

int TCustomWSocket::QueryLocalAddress(winsock::sockaddr_w* name, int* nameLen) {
  return wsocket::getsockname(FHSocket, name, nameLen);
}

std::string TCustomWSocket::BoundPort() {
  if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
  winsock::sockaddr_in_w a{};
  int len = sizeof(a);
  if (wsocket::getsockname(FHSocket, reinterpret_cast<winsock::sockaddr_w*>(&a), &len) != 0) return "error";
  return std::to_string(wsocket::ntohs(a.sin_port));
}

std::string TCustomWSocket::BoundAddr() {
  if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
  winsock::sockaddr_in_w a{};
  int len = sizeof(a);
  if (wsocket::getsockname(FHSocket, reinterpret_cast<winsock::sockaddr_w*>(&a), &len) != 0) return "error";
  return wsocket::inet_ntoa(a.sin_addr);
}

}  // namespace evc
