#include "base/Application.h"

#include "platform/messages.h"

namespace evc {

TApplication& Application() {
  static TApplication app;
  return app;
}

bool TApplication::ProcessMessage() {
  MSG msg;
  if (!PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) return false;
  if (msg.message == WM_QUIT) {
    FTerminated = true;
  } else {
    TranslateMessage(&msg);
    DispatchMessage(&msg);
  }
  return true;
}

void TApplication::ProcessMessages() {
  while (ProcessMessage()) {
  }
}

void TApplication::HandleMessage() {
  if (!ProcessMessage()) {
    WaitMessage();
    ProcessMessages();
  }
}

void TApplication::Run() {
  FRunPoller = &CurrentThreadPoller();
  while (!FTerminated) HandleMessage();
  FRunPoller = nullptr;
}

void TApplication::Terminate() {
  FTerminated = true;
  // Wake the loop wherever it waits; it sees the flag on its next turn.
  if (TPoller* p = FRunPoller.load()) p->Wake();
}

}  // namespace evc
