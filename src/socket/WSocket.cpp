// The socket object: fields and defaults, states, construction and
// destruction, Connect, the close family and the addressing setters.
#include "socket/WSocket.h"

#include <cstring>

#include "base/TextUtils.h"
#include "base/TypInfo.h"

namespace evc {

const char* SocketStateName(TSocketState s) {
  switch (s) {
    case wsInvalidState: return "wsInvalidState";
    case wsOpened: return "wsOpened";
    case wsBound: return "wsBound";
    case wsConnecting: return "wsConnecting";
    case wsConnected: return "wsConnected";
    case wsAccepting: return "wsAccepting";
    case wsListening: return "wsListening";
    case wsClosed: return "wsClosed";
  }
  return "?";
}

TCustomWSocket::TCustomWSocket(TComponent* owner) : TComponent(owner) {
  CreateMessageWindow();
  ChunkSize = 1460;
  FDnsResultList = std::make_unique<TStringList>();
  FMultiCastIpTTL = 1;
  ResetToDefaults();
  InterlockedIncrement(SocketUsers);
  FCounted = true;
}

void TCustomWSocket::CloseBeforeDestruction() {
  if (FSessionEnded) return;
  FSessionEnded = true;
  try {
    CancelLookup();
  } catch (...) {
  }
  if (FState != wsClosed) Close();
  ReleaseStrayHandle();
}

TCustomWSocket::~TCustomWSocket() {
  // A class deriving straight from this one lands here without the most
  // derived destructor having ended the session.
  try {
    CloseBeforeDestruction();
  } catch (...) {
  }
  if (FCounted && InterlockedDecrement(SocketUsers) <= 0) {
    try {
      wsocket::UnloadSocketLibrary();
    } catch (...) {
    }
    SocketUsers.store(0);
  }
  ClearSendQueue();
  FDnsResultList.reset();
  DestroyMessageWindow();
  if (SocketUsers.load() <= 0) UnregisterClass(kSocketWindowClass, HInstance());
}

void TCustomWSocket::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
}

void TCustomWSocket::ResetToDefaults() {
  // The texts of Addr and Port, the lookup results and the pending lookup,
  // LastError, the options and the handlers outlive a session; a pending
  // lookup does not depend on the socket at all.
  FHSocket = winsock::INVALID_SOCKET;
  FAddrResolved = false;
  FAddrFormat = winsock::AF_INET_W;
  FAddrAssigned = false;
  FProtocolNumber = winsock::IPPROTO_TCP_W;
  FProtoAssigned = true;
  FProtoResolved = false;
  FLocalPortResolved = false;
  FProtoStr = "tcp";
  FPortAssigned = false;
  FPortResolved = false;
  FLocalPortStr = "0";
  FLocalAddr = "0.0.0.0";
  FType = winsock::SOCK_STREAM_W;
  FLingerOnOff = wsLingerOn;
  FLingerTimeout = 0;
  FAllSent = true;
  FReadCount = 0;
  FPaused = false;
  FCloseInvoked = false;
  FFlushTimeout = 60;
  FState = wsClosed;
  FEventMask = 0;
  std::memset(&FSin, 0, sizeof(FSin));
  FSin.sin_family = winsock::AF_INET_W;
}

void TCustomWSocket::SetState(TSocketState newState) {
  TSocketState old = FState;
  FState = newState;
  FireChangeState(old, newState);
}

// --- addressing setters ---

void TCustomWSocket::SetAddr(const std::string& value) {
  if (FAddrAssigned && value == FAddrStr) return;
  if (FState != wsClosed) {
    ReportError("Cannot change Addr if not closed");
    return;
  }
  FAddrStr = Trim(value);
  if (FAddrStr.empty()) {
    FAddrAssigned = false;
    return;
  }
  FAddrResolved = false;
  FAddrAssigned = true;
}

void TCustomWSocket::SetPort(const std::string& value) {
  if (FPortAssigned && value == FPortStr) return;
  if (FState != wsClosed) {
    ReportError("Cannot change Port if not closed");
    return;
  }
  FPortStr = Trim(value);
  if (FPortStr.empty()) {
    FPortAssigned = false;
    return;
  }
  FPortResolved = false;
  FPortAssigned = true;
}

void TCustomWSocket::SetProto(const std::string& value) {
  if (FProtoAssigned && value == FProtoStr) return;
  if (FState != wsClosed) {
    ReportError("Cannot change Proto if not closed");
    return;
  }
  FProtoStr = Trim(value);
  if (FProtoStr.empty()) {
    FProtoAssigned = false;
    return;
  }
  FProtoResolved = false;
  FProtoAssigned = true;
}

void TCustomWSocket::SetLocalPort(const std::string& value) {
  if (FState != wsClosed) {
    ReportError("Cannot change LocalPort if not closed");
    return;
  }
  FLocalPortStr = value;
  FLocalPortResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& value) {
  if (FState != wsClosed) {
    ReportError("Cannot change LocalAddr if not closed");
    return;
  }
  FLocalAddr = value.empty() ? "0.0.0.0" : value;
}

// --- Connect ---

void TCustomWSocket::Connect() {
  using namespace winsock;
  if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
    ReportError("Connect: Socket already in use");
    return;
  }
  if (!FPortAssigned) {
    ReportError("Connect: No Port Specified");
    return;
  }
  if (!FAddrAssigned) {
    ReportError("Connect: No IP Address Specified");
    return;
  }
  if (!FProtoAssigned) {
    ReportError("Connect: No Protocol Specified");
    return;
  }
  bool resolveFailed = false;
  std::string resolveMessage;
  try {
    if (!FProtoResolved) {
      FProtocolNumber = WSocketResolveProto(FProtoStr);
      FType = FProtocolNumber == IPPROTO_TCP_W ? SOCK_STREAM_W
              : FProtocolNumber == IPPROTO_UDP_W ? SOCK_DGRAM_W
                                                 : SOCK_RAW_W;
      FProtoResolved = true;
    }
    if (!FPortResolved) {
      FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
      FSin.sin_port = wsocket::htons(static_cast<u_short>(FPortNum));
      FPortResolved = true;
    }
    if (!FLocalPortResolved) {
      FLocalPortNum = WSocketResolvePort(FLocalPortStr, FProtoStr);
      FLocalPortResolved = true;
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
    ReportError("connect: " + resolveMessage);
    return;
  }

  ClearSendQueue();
  // A handle left open on this closed component (a failed Listen, say) is
  // released rather than leaked.
  ReleaseStrayHandle();
  FHSocket = wsocket::socket(FAddrFormat, FType, FProtocolNumber);
  if (FHSocket == INVALID_SOCKET) {
    FailCall("Connect (socket)");
    return;
  }
  SetState(wsOpened);
  if (FState != wsOpened) {
    wsocket::WSASetLastError(WSAEINVAL);
    FailCall("Connect (Invalid operation in OnChangeState)");
    return;
  }

  if (FType == SOCK_DGRAM_W) {
    BindLocal();
    if (FMultiCast) {
      if (FMultiCastIpTTL != 1) {
        int32_t ttl = FMultiCastIpTTL;
        if (wsocket::DirectSetSockOpt(FHSocket, IPPROTO_IP_W, IP_MULTICAST_TTL_W,
                                      reinterpret_cast<const char*>(&ttl), sizeof(ttl)) == SOCKET_ERROR) {
          FailCall("setsockopt(IP_MULTICAST_TTL)");
          return;
        }
      }
      if (FLocalAddr != "0.0.0.0") {
        u_long iface = WSocketResolveHost(FLocalAddr);
        if (wsocket::DirectSetSockOpt(FHSocket, IPPROTO_IP_W, IP_MULTICAST_IF_W,
                                      reinterpret_cast<const char*>(&iface), sizeof(iface)) == SOCKET_ERROR) {
          FailCall("setsockopt(IP_MULTICAST_IF)");
          return;
        }
      }
    }
    if (FSin.sin_addr.s_addr == INADDR_BROADCAST_W) {
      int32_t on = 1;
      if (wsocket::setsockopt(FHSocket, SOL_SOCKET_W, SO_BROADCAST_W, reinterpret_cast<const char*>(&on),
                              sizeof(on)) == SOCKET_ERROR) {
        FailCall("setsockopt(SO_BROADCAST)");
        return;
      }
    }
  } else {
    int32_t on = -1;
    if (wsocket::DirectSetSockOpt(FHSocket, SOL_SOCKET_W, SO_REUSEADDR_W, reinterpret_cast<const char*>(&on),
                                  sizeof(on)) == SOCKET_ERROR) {
      FailCall("setsockopt(SO_REUSEADDR)");
      return;
    }
    if (FComponentOptions & OptionBit(wsoTcpNoDelay)) {
      if (wsocket::setsockopt(FHSocket, IPPROTO_TCP_W, TCP_NODELAY_W, reinterpret_cast<const char*>(&on),
                              sizeof(on)) == SOCKET_ERROR) {
        FailCall("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
        return;
      }
    }
    ApplyLinger();
    if (wsocket::setsockopt(FHSocket, SOL_SOCKET_W, SO_KEEPALIVE_W, reinterpret_cast<const char*>(&on),
                            sizeof(on)) == SOCKET_ERROR) {
      FailCall("setsockopt(SO_KEEPALIVE)");
      return;
    }
    if (FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") BindLocal();
  }

  FEventMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
  if (wsocket::WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FEventMask) != 0) {
    FailCall("WSAAsyncSelect");
    return;
  }

  if (FType == SOCK_DGRAM_W) {
    const SOCKET handle = FHSocket;
    SetState(wsConnected);
    if (FHSocket == handle) FireSessionConnected(0);  // unless a handler ended it
    return;
  }
  if (wsocket::connect(FHSocket, reinterpret_cast<const sockaddr_w*>(&FSin), sizeof(FSin)) == 0) {
    SetState(wsConnecting);
    return;
  }
  int e = wsocket::WSAGetLastError();
  if (e == WSAEWOULDBLOCK) {
    SetState(wsConnecting);
    return;
  }
  FLastError = e;
  FailCall("Connect");
}

void TCustomWSocket::ApplyLinger() {
  using namespace winsock;
  if (FLingerOnOff == wsLingerNoSet) return;
  if (FHSocket == INVALID_SOCKET) {
    ReportError("Cannot set linger option at this time");
    return;
  }
  linger_w li;
  li.l_onoff = static_cast<u_short>(FLingerOnOff);
  li.l_linger = static_cast<u_short>(FLingerTimeout & 0xFFFF);
  if (wsocket::setsockopt(FHSocket, SOL_SOCKET_W, SO_LINGER_W, reinterpret_cast<const char*>(&li),
                          sizeof(li)) == SOCKET_ERROR)
    FailCall("setsockopt(SO_LINGER)");
}

// --- the close family ---

void TCustomWSocket::ReleaseStrayHandle() {
  if (FHSocket == winsock::INVALID_SOCKET || FState != wsClosed) return;
  winsock::SOCKET h = FHSocket;
  FHSocket = winsock::INVALID_SOCKET;
  wsocket::closesocket(h);
}

void TCustomWSocket::CloseAndNotify(bool shutdown, WORD error) {
  using namespace winsock;
  if (FHSocket == INVALID_SOCKET) {
    if (FState != wsClosed) {
      SetState(wsClosed);
      ResetToDefaults();
    }
    return;
  }
  if (FState == wsClosed) {
    // Nothing to report, but the handle of a half-made socket must not leak.
    ReleaseStrayHandle();
    return;
  }
  if (shutdown) Shutdown(1);
  // Bounded: a library that keeps answering "would block" cannot hold the
  // thread for ever.
  for (int attempt = 0;; ++attempt) {
    if (wsocket::closesocket(FHSocket) == 0) {
      FHSocket = INVALID_SOCKET;
      break;
    }
    int e = wsocket::WSAGetLastError();
    FLastError = e;
    if (e == WSAEWOULDBLOCK && attempt < 1000) {
      WaitForInput(10);
      PumpMessages();
      continue;
    }
    FHSocket = INVALID_SOCKET;
    if (e == WSANOTINITIALISED) break;
    FailCall("Disconnect (closesocket)");
    return;
  }
  SetState(wsClosed);
  if (!ComponentState().Contains(csDestroying) && !FCloseInvoked) {
    FCloseInvoked = true;
    FireSessionClosed(error);
  }
  try {
    ResetToDefaults();
  } catch (...) {
  }
}

void TCustomWSocket::Close() { CloseAndNotify(true, 0); }

void TCustomWSocket::Abort() {
  CancelLookup();
  ClearSendQueue();
  if (FState == wsConnected && FProtocolNumber == winsock::IPPROTO_TCP_W) {
    FLingerOnOff = wsLingerOff;
    ApplyLinger();
  }
  CloseAndNotify(false, 0);
}

void TCustomWSocket::PostClose() {
  if (FWindowHandle) PostMessage(FWindowHandle, WM_CLOSE_DELAYED, 0, 0);
}

void TCustomWSocket::PostFree() {
  if (FWindowHandle) PostMessage(FWindowHandle, WM_WSOCKET_RELEASE, 0, 0);
}

void TCustomWSocket::Shutdown(int how) {
  if (FHSocket != winsock::INVALID_SOCKET) wsocket::shutdown(FHSocket, how);
}

// --- time values ---

bool TCustomWSocket::TimevalIsSet(const TTimeVal& t) const { return t.tv_sec != 0 || t.tv_usec != 0; }
void TCustomWSocket::TimevalClear(TTimeVal& t) const { t.tv_sec = t.tv_usec = 0; }
bool TCustomWSocket::TimevalCompare(const TTimeVal& a, const TTimeVal& b, bool wantEqual) const {
  bool equal = a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec;
  return equal ? wantEqual : !wantEqual;
}

// --- class information ---

const TClassInfo& TCustomWSocket::StaticClassInfo() {
  static const TClassInfo info("TCustomWSocket", &TComponent::StaticClassInfo(), {});
  return info;
}

}  // namespace evc
