// Running out of descriptors while connections wait must not turn into an
// endless stream of accept notifications.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "wsock_helpers.h"

using namespace wstest;
namespace ws = evc::winsock;

namespace {

// Lowers the descriptor limit and uses up every descriptor left; undone on
// destruction.
class TExhaust {
 public:
  TExhaust() {
    getrlimit(RLIMIT_NOFILE, &FSaved);
    rlimit low = FSaved;
    low.rlim_cur = 256;
    setrlimit(RLIMIT_NOFILE, &low);
    Fill();
  }
  void Fill() {
    for (int i = 0; i < 512; ++i) {
      int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      FFds.push_back(fd);
    }
  }
  void Release(size_t n) {
    for (size_t i = 0; i < n && !FFds.empty(); ++i) {
      close(FFds.back());
      FFds.pop_back();
    }
  }
  ~TExhaust() {
    Release(FFds.size());
    setrlimit(RLIMIT_NOFILE, &FSaved);
  }

 private:
  rlimit FSaved{};
  std::vector<int> FFds;
};

class DescriptorsTest : public WinsockTest {};

// Accepts on every accept notification, as a server component does.
void AcceptOnNotify(TRecorder& rec, ws::SOCKET l, std::vector<int>* errors) {
  rec.OnNote = [l, errors](const TNote& n) {
    if (n.bits != unsigned(ws::FD_ACCEPT)) return;
    ws::SOCKET s = ws::accept(l, nullptr, nullptr);
    if (s == ws::INVALID_SOCKET)
      errors->push_back(ws::WSAGetLastError());
    else
      ws::closesocket(s);
  };
}

TEST_F(DescriptorsTest, WaitingConnectionsAreDroppedWithTheSpareDescriptor) {
  TRecorder rec;
  ws::sockaddr_in_w a;
  ws::SOCKET l = Listener(&a);
  ASSERT_EQ(ws::WSAAsyncSelect(l, rec.Handle(), kNotify, 0x2B), 0);
  ws::SOCKET c1 = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
  ws::SOCKET c2 = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
  std::vector<int> errors;
  AcceptOnNotify(rec, l, &errors);
  {
    TExhaust exhaust;
    ASSERT_EQ(ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0), ws::INVALID_SOCKET);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEMFILE);
    ASSERT_EQ(ws::connect(c1, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 0);
    ASSERT_EQ(ws::connect(c2, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 0);
    double before = CpuMs();
    PumpFor(400);
    EXPECT_LT(CpuMs() - before, 100.0);
    // One notification per waiting connection (a third may find the queue
    // already empty), each accept failing with 10024 and dropping one.
    EXPECT_GE(rec.Count(l, ws::FD_ACCEPT), 2);
    EXPECT_LE(rec.Count(l, ws::FD_ACCEPT), 3);
    ASSERT_GE(errors.size(), 2u);
    for (int e : errors) EXPECT_EQ(e, ws::WSAEMFILE);
    // Both clients see their connection end.
    char b;
    EXPECT_LE(ws::recv(c1, &b, 1, 0), 0);
    EXPECT_LE(ws::recv(c2, &b, 1, 0), 0);
  }
  // With descriptors back, the listener serves again.
  errors.clear();
  rec.Notes().clear();
  ws::SOCKET c3 = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
  ASSERT_EQ(ws::connect(c3, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 0);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(l, ws::FD_ACCEPT) == 1; }));
  EXPECT_TRUE(errors.empty());
  for (auto h : {c1, c2, c3, l}) ws::closesocket(h);
}

TEST_F(DescriptorsTest, WithoutASpareTheListenerWaitsForAClose) {
  // Start the library while no descriptor is free, so that it has no spare.
  ws::WSACleanup();
  TRecorder rec;
  std::vector<int> errors;
  ws::SOCKET l, c1, c2;
  ws::sockaddr_in_w a;
  {
    TExhaust exhaust;
    ws::WSADATA d;
    ASSERT_EQ(ws::WSAStartup(0x0101, &d), 0);
    exhaust.Release(3);
    l = Listener(&a);
    c1 = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
    c2 = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
    ASSERT_NE(c2, ws::INVALID_SOCKET);
    exhaust.Fill();
    ASSERT_EQ(ws::WSAAsyncSelect(l, rec.Handle(), kNotify, 0x2B), 0);
    AcceptOnNotify(rec, l, &errors);
    ASSERT_EQ(ws::connect(c1, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 0);
    double before = CpuMs();
    PumpFor(300);
    EXPECT_LT(CpuMs() - before, 100.0);
    EXPECT_EQ(rec.Count(l, ws::FD_ACCEPT), 1);  // held back, not repeated
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], ws::WSAEMFILE);
    // Closing a socket frees a descriptor: the listener is told again, and
    // this time the waiting connection can be dropped.
    ws::closesocket(c2);
    ASSERT_TRUE(PumpUntil([&] { return rec.Count(l, ws::FD_ACCEPT) >= 2; }));
    PumpFor(100);
    char b;
    EXPECT_LE(ws::recv(c1, &b, 1, 0), 0);
  }
  ws::closesocket(c1);
  ws::closesocket(l);
}

}  // namespace
