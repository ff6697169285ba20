// THttpCli with RequestVer "1.1": a connection kept open after a response
// whose end was known carries the next request to the same place, with no
// lookup and no connect. It goes when the server says so, on any error,
// when bytes arrive that no request asked for, or once it has been idle
// longer than KeepAliveTimeout. A server may close a kept connection just
// as a request goes out on it: a GET or HEAD that got no answer at all is
// then sent once more on a new connection.
#include "http/HttpProt.h"

#include "platform/kernel.h"

namespace evc {

std::string THttpCli::ConnectionKey() const {
  // Through a proxy an https connection is a tunnel to one server: that
  // server is part of what the connection is.
  std::string tunnel = FTargetScheme == "https" ? " for " + FTargetHost : std::string();
  return FTargetScheme + "://" + FHostName + ":" + FPort + tunnel + " from " + FLocalAddr + " socks " +
         FCtrlSocket->SocksServer() + ":" + FCtrlSocket->SocksPort();
}

void THttpCli::CloseQuietly() {
  FKeep.Idle = false;
  FCtrlSocket->OnSessionClosed = nullptr;
  try {
    FCtrlSocket->Close();
  } catch (...) {
  }
  FCtrlSocket->OnSessionClosed.Bind(this, &THttpCli::SocketSessionClosed);
  FConnected = false;
}

bool THttpCli::ResumeKeptConnection() {
  if (!FKeep.Idle) return false;
  const bool fits = Http11() && FKeepAliveTimeout > 0 && FCtrlSocket->State() == wsConnected &&
                    GetTickCount() - FKeep.IdleSince < static_cast<DWORD>(FKeepAliveTimeout) &&
                    FKeep.Key == ConnectionKey() &&
                    // Bytes that came while it was idle, and whose notice is
                    // still on its way, would be read as the answer.
                    FCtrlSocket->RcvdCount() == 0;
  if (!fits) {
    CloseQuietly();
    return false;
  }
  FKeep.Idle = false;
  FKeep.Reused = true;
  // The request goes out as on a fresh connection, so that each request
  // sees the same events in the same order.
  SocketSessionConnected(FCtrlSocket, 0);
  return true;
}

bool THttpCli::TakeIdleData() {
  if (!FKeep.Idle) return false;
  CloseQuietly();
  return true;
}

bool THttpCli::TakeConnectionClose(WORD error) {
  if (FKeep.Idle) {
    // The server ended a connection it no longer wanted: nothing was asked on it.
    FKeep.Idle = false;
    FConnected = false;
    return true;
  }
  const bool unanswered = (FState == hcAwaitingHeader || FState == hcConnected) && !FFraming.Answered &&
                          FHeaderLineCount == 0 && FReceiveLen == FReceiveStart && FRequestDoneError == 0;
  if (FKeep.Reused && unanswered && !FKeep.Retried && (FRequestType == hrGet || FRequestType == hrHead)) {
    FKeep.Retried = true;
    FKeep.Reused = false;
    FConnected = false;
    // From the message loop: the socket finishes its close before it is
    // asked for a new connection.
    FRestartPending = true;
    PostMessage(FWindowHandle, WM_HTTP_RELOCATE, static_cast<WPARAM>(FRequestSerial), 0);
    return true;
  }
  // A response that announced its end and did not reach it is not complete.
  const bool framed = FState == hcAwaitingHeader || FState == hcConnected ||
                      (FState == hcAwaitingBody && FFraming.Kind != bfUntilClose);
  if (framed && !FLocationFlag && FRequestDoneError == 0) FRequestDoneError = httpErrIncomplete;
  return false;
}

}  // namespace evc
