// Shared pieces of the socket layer tests: a started library per test, a
// hidden window that records every message it receives, and a message pump
// bounded in time.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "platform/wsock32.h"

namespace wstest {

namespace ws = evc::winsock;

constexpr evc::UINT kNotify = evc::WM_USER + 1;

struct TNote {
  evc::UINT msg;
  evc::WPARAM wParam;
  unsigned bits;   // low word of lParam
  unsigned error;  // high word of lParam
};

// A hidden window of the calling thread that keeps what it receives.
class TRecorder {
 public:
  TRecorder();
  ~TRecorder();
  evc::HWND Handle() const { return FHwnd; }
  std::vector<TNote>& Notes() { return FNotes; }
  // Notifications for `s` with the given bit (any when bit is 0).
  int Count(ws::SOCKET s, unsigned bit) const;
  // Called for each message as it arrives (after it was recorded).
  std::function<void(const TNote&)> OnNote;

 private:
  evc::HWND FHwnd = 0;
  std::vector<TNote> FNotes;
};

// Pumps the calling thread's messages until `done` holds or `ms` passes;
// returns whether `done` held.
bool PumpUntil(const std::function<bool()>& done, int ms = 2000);
// Pumps for exactly about `ms` milliseconds.
void PumpFor(int ms);

// A listening stream socket on 127.0.0.1 with a system-chosen port.
ws::SOCKET Listener(ws::sockaddr_in_w* addr);
ws::sockaddr_in_w Loopback(unsigned short port);
// A connected pair made with blocking calls: client and accepted server side.
void ConnectedPair(ws::SOCKET* client, ws::SOCKET* server);
// Sets the socket non-blocking.
void NonBlocking(ws::SOCKET s);

// Starts the library for the duration of each test.
class WinsockTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// CPU time used by the process so far, in milliseconds.
double CpuMs();

}  // namespace wstest
