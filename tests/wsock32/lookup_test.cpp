// Host lookups in the caller's buffer, cancelling, the database calls and
// the conversions. Names come from the hosts file only.
#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "wsock_helpers.h"

using namespace wstest;
namespace ws = evc::winsock;

namespace {

constexpr evc::UINT kByName = evc::WM_USER + 2;
constexpr evc::UINT kByAddr = evc::WM_USER + 3;

class LookupTest : public WinsockTest {};

struct alignas(8) TBuffer {
  char bytes[ws::MAXGETHOSTSTRUCT + 1];
};

bool InBuffer(const void* p, const TBuffer& b) {
  auto* c = static_cast<const char*>(p);
  return c >= b.bytes && c < b.bytes + sizeof b.bytes;
}

const TNote* Reply(TRecorder& rec, evc::UINT msg) {
  for (auto& n : rec.Notes())
    if (n.msg == msg) return &n;
  return nullptr;
}

TEST_F(LookupTest, NameLookupLaysTheEntryOutInTheCallersBuffer) {
  TRecorder rec;
  TBuffer buf;
  std::memset(buf.bytes, 0x5A, sizeof buf.bytes);
  ws::HANDLE_W h = ws::WSAAsyncGetHostByName(rec.Handle(), kByName, "localhost", buf.bytes, sizeof buf.bytes);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(PumpUntil([&] { return Reply(rec, kByName) != nullptr; }, 5000));
  const TNote* r = Reply(rec, kByName);
  EXPECT_EQ(r->wParam, h);
  EXPECT_EQ(r->error, 0u);
  EXPECT_GT(r->bits, sizeof(ws::hostent_w));  // the size the entry takes
  auto* he = reinterpret_cast<ws::hostent_w*>(buf.bytes);
  EXPECT_EQ(he->h_addrtype, ws::AF_INET_W);
  EXPECT_EQ(he->h_length, 4);
  ASSERT_TRUE(InBuffer(he->h_name, buf));
  EXPECT_GT(std::strlen(he->h_name), 0u);
  ASSERT_TRUE(InBuffer(he->h_addr_list, buf));
  bool loopback = false;
  int count = 0;
  for (char** p = he->h_addr_list; *p; ++p, ++count) {
    ASSERT_TRUE(InBuffer(*p, buf));
    ws::in_addr_w a;
    std::memcpy(&a, *p, 4);
    loopback = loopback || std::string(ws::inet_ntoa(a)).rfind("127.", 0) == 0;
  }
  EXPECT_GE(count, 1);
  EXPECT_TRUE(loopback);
  ASSERT_TRUE(InBuffer(he->h_aliases, buf));
  // The request is finished: it can no longer be cancelled.
  EXPECT_EQ(ws::WSACancelAsyncRequest(h), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
  PumpFor(50);
  EXPECT_EQ(rec.Notes().size(), 1u);
}

TEST_F(LookupTest, DottedQuadNeedsNoResolverAndReverseFindsTheHostsFileName) {
  TRecorder rec;
  TBuffer a, b;
  ws::HANDLE_W h1 = ws::WSAAsyncGetHostByName(rec.Handle(), kByName, "10.1.2.3", a.bytes, sizeof a.bytes);
  ws::u_long lo = ws::inet_addr("127.0.0.1");
  ws::HANDLE_W h2 = ws::WSAAsyncGetHostByAddr(rec.Handle(), kByAddr, reinterpret_cast<char*>(&lo), 4,
                                              ws::AF_INET_W, b.bytes, sizeof b.bytes);
  ASSERT_NE(h1, 0u);
  ASSERT_NE(h2, 0u);
  EXPECT_NE(h1, h2);
  ASSERT_TRUE(PumpUntil([&] { return Reply(rec, kByName) && Reply(rec, kByAddr); }, 5000));
  auto* he = reinterpret_cast<ws::hostent_w*>(a.bytes);
  EXPECT_EQ(Reply(rec, kByName)->error, 0u);
  EXPECT_STREQ(he->h_name, "10.1.2.3");
  ASSERT_NE(he->h_addr_list[0], nullptr);
  EXPECT_EQ(std::memcmp(he->h_addr_list[0], "\x0a\x01\x02\x03", 4), 0);
  EXPECT_EQ(he->h_addr_list[1], nullptr);
  auto* rev = reinterpret_cast<ws::hostent_w*>(b.bytes);
  EXPECT_EQ(Reply(rec, kByAddr)->wParam, h2);
  EXPECT_EQ(Reply(rec, kByAddr)->error, 0u);
  EXPECT_STREQ(rev->h_name, "localhost");
}

TEST_F(LookupTest, BufferTooSmallReportsNoBuffersWithTheSizeNeeded) {
  TRecorder rec;
  TBuffer big;
  ws::HANDLE_W h = ws::WSAAsyncGetHostByName(rec.Handle(), kByName, "127.0.0.1", big.bytes, sizeof big.bytes);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(PumpUntil([&] { return Reply(rec, kByName) != nullptr; }));
  unsigned need = Reply(rec, kByName)->bits;
  rec.Notes().clear();
  TBuffer small;
  std::memset(small.bytes, 0x11, sizeof small.bytes);
  h = ws::WSAAsyncGetHostByName(rec.Handle(), kByName, "127.0.0.1", small.bytes, static_cast<int>(need - 1));
  ASSERT_TRUE(PumpUntil([&] { return Reply(rec, kByName) != nullptr; }));
  EXPECT_EQ(Reply(rec, kByName)->error, unsigned(ws::WSAENOBUFS));
  EXPECT_EQ(Reply(rec, kByName)->bits, need);
  EXPECT_EQ(small.bytes[0], 0x11);  // nothing written past what it was given
}

TEST_F(LookupTest, CancelWithdrawsEvenAReplyAlreadyQueued) {
  TRecorder rec;
  TBuffer buf;
  // A dotted quad completes at once: its reply is queued before we cancel.
  ws::HANDLE_W h = ws::WSAAsyncGetHostByName(rec.Handle(), kByName, "10.9.8.7", buf.bytes, sizeof buf.bytes);
  ASSERT_NE(h, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ws::WSACancelAsyncRequest(h), 0);
  EXPECT_EQ(ws::WSACancelAsyncRequest(h), ws::SOCKET_ERROR);  // no longer known
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
  // A lookup on the worker, cancelled while it may still run.
  TBuffer buf2;
  ws::HANDLE_W h2 = ws::WSAAsyncGetHostByName(rec.Handle(), kByName, "localhost", buf2.bytes, sizeof buf2.bytes);
  ASSERT_NE(h2, 0u);
  EXPECT_EQ(ws::WSACancelAsyncRequest(h2), 0);
  PumpFor(300);
  EXPECT_EQ(Reply(rec, kByName), nullptr);
  EXPECT_EQ(ws::WSACancelAsyncRequest(987654), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
}

TEST_F(LookupTest, ManyRequestsAllCompleteOnABoundedPool) {
  TRecorder rec;
  constexpr int kCount = 40;
  static TBuffer bufs[kCount];
  for (int i = 0; i < kCount; ++i)
    ASSERT_NE(ws::WSAAsyncGetHostByName(rec.Handle(), kByName, "localhost", bufs[i].bytes, sizeof bufs[i].bytes), 0u);
  ASSERT_TRUE(PumpUntil([&] { return static_cast<int>(rec.Notes().size()) == kCount; }, 10000));
  for (auto& n : rec.Notes()) EXPECT_EQ(n.error, 0u);
}

TEST_F(LookupTest, RequestsWithBadArgumentsAreRefused) {
  TRecorder rec;
  TBuffer buf;
  EXPECT_EQ(ws::WSAAsyncGetHostByName(rec.Handle(), kByName, nullptr, buf.bytes, 100), 0u);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);
  EXPECT_EQ(ws::WSAAsyncGetHostByName(0xBAD0001, kByName, "localhost", buf.bytes, 100), 0u);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
  ws::u_long lo = ws::inet_addr("127.0.0.1");
  EXPECT_EQ(ws::WSAAsyncGetHostByAddr(rec.Handle(), kByAddr, reinterpret_cast<char*>(&lo), 4, 23, buf.bytes, 100), 0u);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEAFNOSUPPORT);
  EXPECT_EQ(ws::WSAAsyncGetHostByAddr(rec.Handle(), kByAddr, reinterpret_cast<char*>(&lo), 3, 2, buf.bytes, 100), 0u);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);
}

TEST_F(LookupTest, ReplyToAWindowOfAnotherThreadArrivesThere) {
  TBuffer buf;
  std::atomic<evc::HWND> hwnd{0};
  std::atomic<bool> go{false}, got{false};
  std::thread t([&] {
    TRecorder rec;
    hwnd = rec.Handle();
    PumpUntil([&] { return !rec.Notes().empty(); }, 5000);
    got = !rec.Notes().empty() && rec.Notes()[0].error == 0;
  });
  while (!hwnd) std::this_thread::yield();
  ASSERT_NE(ws::WSAAsyncGetHostByName(hwnd, kByName, "localhost", buf.bytes, sizeof buf.bytes), 0u);
  t.join();
  EXPECT_TRUE(got);
  (void)go;
}

TEST_F(LookupTest, DatabaseCalls) {
  ws::hostent_w* he = ws::gethostbyname("localhost");
  ASSERT_NE(he, nullptr);
  ASSERT_NE(he->h_addr_list[0], nullptr);
  EXPECT_EQ(he->h_length, 4);
  ws::in_addr_w a;
  std::memcpy(&a, he->h_addr_list[0], 4);
  EXPECT_EQ(std::string(ws::inet_ntoa(a)).rfind("127.", 0), 0u);
  he = ws::gethostbyname("192.168.7.9");
  ASSERT_NE(he, nullptr);
  EXPECT_STREQ(he->h_name, "192.168.7.9");

  char name[256];
  ASSERT_EQ(ws::gethostname(name, sizeof name), 0);
  EXPECT_GT(std::strlen(name), 0u);
  EXPECT_EQ(ws::gethostname(name, 1), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);

  ws::servent_w* se = ws::getservbyname("http", "tcp");
  ASSERT_NE(se, nullptr);
  EXPECT_EQ(ws::ntohs(static_cast<ws::u_short>(se->s_port)), 80);
  EXPECT_STREQ(se->s_proto, "tcp");
  se = ws::getservbyname("domain", nullptr);
  ASSERT_NE(se, nullptr);
  EXPECT_EQ(ws::ntohs(static_cast<ws::u_short>(se->s_port)), 53);
  EXPECT_EQ(ws::getservbyname("no-such-service-here", "tcp"), nullptr);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSANO_DATA);

  ws::protoent_w* pe = ws::getprotobyname("udp");
  ASSERT_NE(pe, nullptr);
  EXPECT_EQ(pe->p_proto, 17);
  pe = ws::getprotobyname("tcp");
  ASSERT_NE(pe, nullptr);
  EXPECT_EQ(pe->p_proto, 6);
  EXPECT_EQ(ws::getprotobyname("nonesuchproto"), nullptr);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSANO_DATA);

  // Results are per thread: another thread's lookup leaves ours alone.
  pe = ws::getprotobyname("udp");
  std::thread([] { ws::getprotobyname("tcp"); }).join();
  EXPECT_EQ(pe->p_proto, 17);
}

TEST(WinsockConversions, InetAddrAcceptsTheClassicFormsOnly) {
  auto hostOrder = [](const char* s) { return ntohl(ws::inet_addr(s)); };
  EXPECT_EQ(hostOrder("1.2.3.4"), 0x01020304u);
  EXPECT_EQ(hostOrder(" 10.1.2.3 "), 0x0A010203u);  // blanks around it
  EXPECT_EQ(hostOrder("127.1"), 0x7F000001u);
  EXPECT_EQ(hostOrder("10.1.258"), 0x0A010102u);
  EXPECT_EQ(hostOrder("0x7f.0.0.01"), 0x7F000001u);
  EXPECT_EQ(hostOrder("010.0.0.1"), 0x08000001u);  // octal
  EXPECT_EQ(hostOrder("16909060"), 0x01020304u);
  EXPECT_EQ(ws::inet_addr("255.255.255.255"), ws::INADDR_NONE_W);  // same value as a bad text
  EXPECT_EQ(ws::inet_addr("0.0.0.0"), 0u);
  for (const char* bad : {"", " ", "1.2.3.4.5", "256.1.1.1", "1..2.3", ".1.2.3", "1.2.3.4x", "1.2.3.", "abc",
                          "08.1.1.1", "0x", "1.2.3.4 5", "4294967296"})
    EXPECT_EQ(ws::inet_addr(bad), ws::INADDR_NONE_W) << bad;
  EXPECT_EQ(ws::inet_addr(nullptr), ws::INADDR_NONE_W);

  ws::in_addr_w a{ws::inet_addr("192.168.10.200")};
  EXPECT_STREQ(ws::inet_ntoa(a), "192.168.10.200");
  char* first = ws::inet_ntoa(a);
  std::string other;
  std::thread([&] { other = ws::inet_ntoa(ws::in_addr_w{ws::inet_addr("1.1.1.1")}); }).join();
  EXPECT_EQ(other, "1.1.1.1");
  EXPECT_STREQ(first, "192.168.10.200");  // per-thread buffer

  EXPECT_EQ(ws::htons(0x1234), 0x3412);
  EXPECT_EQ(ws::ntohs(0x3412), 0x1234);
}

}  // namespace
