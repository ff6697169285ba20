// The hidden window of each socket component, the dispatcher of its
// messages, the handler of socket notifications and the event-firing
// operations.
#include "socket/WSocket.h"

#include "base/Application.h"

namespace evc {

// Shared by every socket window: index 0 holds the component. Only
// CreateMessageWindow stores it, always as a TCustomWSocket*, so it is read
// back without a type check (a dynamic_cast per message costs more than the
// rest of the dispatch).
LRESULT XSocketWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* sock = reinterpret_cast<TCustomWSocket*>(GetWindowLongPtr(hwnd, 0));
  if (!sock) return DefWindowProc(hwnd, msg, wParam, lParam);
  TMessage m;
  m.Msg = msg;
  m.WParam = wParam;
  m.LParam = lParam;
  m.Result = 0;
  sock->HandleWindowMessage(m);
  return m.Result;
}

void TCustomWSocket::CreateMessageWindow() {
  WNDCLASS known;
  bool haveClass = GetClassInfo(HInstance(), kSocketWindowClass, &known) != FALSE;
  if (!haveClass) {
    WNDCLASS wc;
    wc.style = 0;
    wc.lpfnWndProc = &XSocketWindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 4;
    wc.hInstance = HInstance();
    wc.lpszClassName = kSocketWindowClass;
    // Another thread may have declared it in the meantime; that is as good.
    haveClass = RegisterClass(&wc) != 0 || GetClassInfo(HInstance(), kSocketWindowClass, &known) != FALSE;
  }
  if (haveClass)
    FWindowHandle = CreateWindowEx(WS_EX_TOOLWINDOW, kSocketWindowClass, "", WS_POPUP, 0, 0, 0, 0, 0, 0,
                                   HInstance(), nullptr);
  if (FWindowHandle == 0) {
    ReportError("Cannot create a hidden window for DAVidavi");
    return;
  }
  SetWindowLongPtr(FWindowHandle, 0, reinterpret_cast<LONG_PTR>(this));
}

void TCustomWSocket::DestroyMessageWindow() {
  if (FWindowHandle == 0) return;
  SetWindowLongPtr(FWindowHandle, 0, 0);
  if (DestroyWindow(FWindowHandle)) FWindowHandle = 0;
}

HWND AllocateMethodWindow(TWndMethod method) { return AllocateHWnd(std::move(method)); }
void ReleaseMethodWindow(HWND handle) { DeallocateHWnd(handle); }

void TCustomWSocket::HandleWindowMessage(TMessage& message) {
  try {
    switch (message.Msg) {
      case WM_ASYNCSELECT:
        HandleSocketNotification(message);
        break;
      case WM_ASYNCGETHOSTBYNAME:
        HandleNameLookupDone(message);
        break;
      case WM_ASYNCGETHOSTBYADDR:
        HandleAddrLookupDone(message);
        break;
      case WM_CLOSE_DELAYED:
        Close();
        break;
      case WM_WSOCKET_RELEASE:
        // Nothing of this object may be touched after this.
        delete this;
        return;
      case WM_TRIGGER_EXCEPTION:
        throw ESocketException("Test exception in WSocket");
      default:
        message.Result = DefWindowProc(FWindowHandle, message.Msg, message.WParam, message.LParam);
        break;
    }
  } catch (Exception& e) {
    HandleEventException(e);
  }
}

void TCustomWSocket::HandleSocketNotification(TMessage& msg) {
  using namespace winsock;
  auto handle = static_cast<SOCKET>(msg.WParam);
  if (handle != FHSocket || FPaused) return;
  WORD error = static_cast<WORD>((static_cast<uintptr_t>(msg.LParam) >> 16) & 0xFFFF);
  WORD bits = static_cast<WORD>(static_cast<uintptr_t>(msg.LParam) & 0xFFFF);
  // One message may carry several bits. A handler that closed or replaced
  // the socket while an earlier bit was handled ends the message: the rest
  // belongs to a connection that no longer exists.
  auto stillOurs = [&] { return FHSocket == handle; };

  // A handler of the state change that ended the session ends the message
  // too: a session that is over is not reported connected.
  if (bits & FD_CONNECT) {
    if (FState != wsConnected) {
      SetState(wsConnected);
      if (!stillOurs()) return;
      FireSessionConnected(error);
      if (error != 0 && FState != wsClosed) Close();
    }
    if (!stillOurs()) return;
  }
  if (bits & FD_READ) {
    if (FState != wsConnected) {
      SetState(wsConnected);
      if (!stillOurs()) return;
      FireSessionConnected(error);
      if (!stillOurs()) return;
    }
    DeliverReadEvents(error, FComponentOptions);
    if (!stillOurs()) return;
  }
  if (bits & FD_WRITE) {
    TryToSend();
    if (FAllSent && stillOurs()) FireDataSent(error);
    if (!stillOurs()) return;
  }
  if (bits & FD_ACCEPT) {
    FireSessionAvailable(error);
    if (!stillOurs()) return;
  }
  if ((bits & FD_CLOSE) && FState != wsConnecting) {
    DeliverReadEvents(0, static_cast<DAVidaviOptions>(FComponentOptions & ~OptionBit(wsoNoReceiveLoop)));
    if (!stillOurs()) return;
    if (!FCloseInvoked) {
      FCloseInvoked = true;
      FireSessionClosed(error);
    }
    if (FState != wsClosed) Close();
  }
}

void TCustomWSocket::DeliverReadEvents(WORD error, DAVidaviOptions options) {
  try {
    for (;;) {
      FLastError = 0;
      uint64_t readsBefore = FReadCalls;
      if (!FireDataAvailable(error)) {
        char scratch[1024];
        if (ReadSocket(scratch, sizeof(scratch), 0) < 0) {
          FLastError = wsocket::WSAGetLastError();
          if (FLastError == winsock::WSAEWOULDBLOCK) {
            FLastError = 0;
            return;
          }
        }
      }
      if (options & OptionBit(wsoNoReceiveLoop)) return;
      if (FLastError != 0) return;
      // A handler that read nothing would be called again and again for the
      // same bytes; the data stays waiting until the host reads it.
      if (FReadCalls == readsBefore) return;
      if (FHSocket == winsock::INVALID_SOCKET) return;
      winsock::u_long waiting = 0;
      if (TransportWaiting(&waiting) != 0) {
        FLastError = wsocket::WSAGetLastError();
        return;
      }
      if (waiting == 0) return;
    }
  } catch (...) {
    // An exception from the handler ends the loop and goes no further.
  }
}

void TCustomWSocket::HandleEventException(Exception& e) {
  bool canClose = true;
  if (OnBgException.Assigned()) {
    try {
      OnBgException(this, e, canClose);
    } catch (...) {
    }
  }
  if (canClose) {
    try {
      Abort();
    } catch (...) {
    }
  }
}

bool TCustomWSocket::FireDataAvailable(WORD error) {
  if (!OnDataAvailable.Assigned()) return false;
  OnDataAvailable(this, error);
  return true;
}
void TCustomWSocket::FireSessionAvailable(WORD error) { OnSessionAvailable(this, error); }
void TCustomWSocket::FireSessionConnected(WORD error) { OnSessionConnected(this, error); }
void TCustomWSocket::FireSessionClosed(WORD error) { OnSessionClosed(this, error); }
void TCustomWSocket::FireDataSent(WORD error) { OnDataSent(this, error); }
void TCustomWSocket::FireChangeState(TSocketState o, TSocketState n) { OnChangeState(this, o, n); }
void TCustomWSocket::FireDnsLookupDone(WORD error) { OnDnsLookupDone(this, error); }
void TCustomWSocket::FireError() { OnError(this); }
void TCustomWSocket::FireSendData(int32_t count) { OnSendData(this, count); }

int TCustomWSocket::Pause() {
  FPaused = true;
  return wsocket::WSAAsyncSelect(FHSocket, FWindowHandle, 0, 0);
}

int TCustomWSocket::Resume() {
  FPaused = false;
  return wsocket::WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FEventMask);
}

void TCustomWSocket::PumpMessages() {
  if (!FMultiThreaded) {
    Application().ProcessMessages();
    return;
  }
  MSG msg;
  while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      FTerminated = true;
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessage(&msg);
  }
}

void TCustomWSocket::WaitForInput(DWORD milliseconds) {
  MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds, QS_ALLINPUT);
}

}  // namespace evc
