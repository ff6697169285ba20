#include "wsock_helpers.h"

#include <sys/resource.h>

#include <chrono>

namespace wstest {

using namespace evc;

TRecorder::TRecorder() {
  FHwnd = AllocateHWnd([this](TMessage& m) {
    TNote n{m.Msg, m.WParam, static_cast<unsigned>(m.LParam & 0xFFFF),
            static_cast<unsigned>((static_cast<uint32_t>(m.LParam) >> 16) & 0xFFFF)};
    FNotes.push_back(n);
    if (OnNote) OnNote(n);
  });
}

TRecorder::~TRecorder() { DeallocateHWnd(FHwnd); }

int TRecorder::Count(ws::SOCKET s, unsigned bit) const {
  int n = 0;
  for (auto& x : FNotes)
    if (x.msg == kNotify && x.wParam == s && (bit == 0 || x.bits == bit)) ++n;
  return n;
}

namespace {
// At most this many messages per round, so that a layer that floods the
// queue fails the test's counts instead of hanging it.
constexpr int kMaxPerRound = 1000;

void DispatchSome() {
  MSG m;
  for (int i = 0; i < kMaxPerRound && PeekMessage(&m, 0, 0, 0, PM_REMOVE); ++i) DispatchMessage(&m);
}

void PumpOnce(DWORD waitMs) {
  DispatchSome();
  MsgWaitForMultipleObjects(0, nullptr, FALSE, waitMs, QS_ALLINPUT);
  DispatchSome();
}
}  // namespace

bool PumpUntil(const std::function<bool()>& done, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= end) return done();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
    PumpOnce(static_cast<DWORD>(left < 20 ? left : 20));
  }
  return true;
}

void PumpFor(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) PumpOnce(10);
}

ws::sockaddr_in_w Loopback(unsigned short port) {
  ws::sockaddr_in_w a{};
  a.sin_family = ws::AF_INET_W;
  a.sin_port = ws::htons(port);
  a.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
  return a;
}

ws::SOCKET Listener(ws::sockaddr_in_w* addr) {
  ws::SOCKET l = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, ws::IPPROTO_TCP_W);
  EXPECT_NE(l, ws::INVALID_SOCKET);
  ws::sockaddr_in_w a = Loopback(0);
  EXPECT_EQ(ws::bind(l, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 0);
  EXPECT_EQ(ws::listen(l, 16), 0);
  int len = sizeof a;
  EXPECT_EQ(ws::getsockname(l, reinterpret_cast<ws::sockaddr_w*>(&a), &len), 0);
  if (addr) *addr = a;
  return l;
}

void ConnectedPair(ws::SOCKET* client, ws::SOCKET* server) {
  ws::sockaddr_in_w a;
  ws::SOCKET l = Listener(&a);
  ws::SOCKET c = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
  ASSERT_EQ(ws::connect(c, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 0);
  ws::SOCKET s = ws::accept(l, nullptr, nullptr);
  ASSERT_NE(s, ws::INVALID_SOCKET);
  ws::closesocket(l);
  *client = c;
  *server = s;
}

void NonBlocking(ws::SOCKET s) {
  ws::u_long one = 1;
  ASSERT_EQ(ws::ioctlsocket(s, ws::FIONBIO_W, &one), 0);
}

void WinsockTest::SetUp() {
  ws::WSADATA d;
  ASSERT_EQ(ws::WSAStartup(0x0101, &d), 0);
}

void WinsockTest::TearDown() { ws::WSACleanup(); }

double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

}  // namespace wstest
