// Two components connected to each other on 127.0.0.1: large transfers in
// both directions arrive intact whatever the block size, the link's MTU,
// the way the sender feeds its queue and the pace of the reader, closes from inside
// the components' own handlers end each session exactly once, a paused end
// keeps what arrives for later, and a crowd of idle pairs costs no
// processor time.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "SocketTestUtil.h"
#include "common/Noise.h"

using namespace evc;
using sockt::PumpFor;
using sockt::PumpUntil;

namespace {

// The byte stream: a pseudo-random period that no read or chunk size
// divides, followed by a copy of its first 64 KiB, so that the bytes from
// any position on are one contiguous run of at least a block.
constexpr size_t kPeriod = (size_t(1) << 20) + 13;
constexpr size_t kMaxRun = 65536;

const char* StreamAt(int64_t pos) {
  static const std::vector<char> bytes = [] {
    std::vector<uint8_t> noise = testdata::Noise(kPeriod, 2463534242u);
    std::vector<char> v(noise.begin(), noise.end());
    v.resize(kPeriod + kMaxRun);
    std::copy(v.begin(), v.begin() + kMaxRun, v.begin() + kPeriod);
    return v;
  }();
  return bytes.data() + static_cast<size_t>(pos) % kPeriod;
}

// The stream's bytes [from, from + n) into out.
void FillStream(char* out, int64_t from, size_t n) {
  for (size_t done = 0; done < n;) {
    size_t run = std::min(kMaxRun, n - done);
    std::memcpy(out + done, StreamAt(from + int64_t(done)), run);
    done += run;
  }
}

// Adopts every connection to its port into a new component.
struct TAcceptor {
  DAVidavi listener{nullptr};
  std::vector<std::unique_ptr<DAVidavi>> accepted;
  std::string port;
  TAcceptor() {
    listener.SetProto("tcp");
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    listener.OnSessionAvailable = [this](TObject*, WORD) {
      auto c = std::make_unique<DAVidavi>(nullptr);
      c->Dup(listener.Accept());
      accepted.push_back(std::move(c));
    };
    listener.Listen();
    port = listener.BoundPort();
  }
};

void StartConnect(DAVidavi& c, const TAcceptor& a) {
  c.SetProto("tcp");
  c.SetAddr("127.0.0.1");
  c.SetPort(a.port);
  c.Connect();
}

struct TPair {
  TAcceptor acceptor;
  DAVidavi client{nullptr};
  DAVidavi* server = nullptr;
  TPair() {
    StartConnect(client, acceptor);
    PumpUntil([&] { return client.State() == wsConnected && !acceptor.accepted.empty(); });
    if (!acceptor.accepted.empty()) server = acceptor.accepted.front().get();
  }
};

// Feeds a stream of `total` bytes into a component in 64 KiB Sends,
// `perRefill` of them whenever OnDataSent reports the queue empty (or all
// of it in one Send), and checks every byte another component reads: all
// it can get at each notification, or a single 1 KiB read when `slow`.
struct TStreamCheck {
  int64_t total;
  int64_t queued = 0, received = 0;
  int64_t firstBad = -1;
  int perRefill = 4;
  bool slow = false;
  int drainedReports = 0;  // OnDataSent after the whole stream was queued
  std::chrono::steady_clock::time_point lastProgress = std::chrono::steady_clock::now();
  std::vector<char> block;

  TStreamCheck(int64_t total, int readSize) : total(total), block(static_cast<size_t>(readSize)) {}

  void Refill(DAVidavi& tx) {
    if (queued >= total) ++drainedReports;
    for (int k = 0; k < perRefill && queued < total; ++k) {
      int n = static_cast<int>(std::min<int64_t>(kMaxRun, total - queued));
      ASSERT_EQ(tx.Send(StreamAt(queued), n), n);
      queued += n;
    }
  }
  void SendAll(DAVidavi& tx) {
    std::string all(static_cast<size_t>(total - queued), 0);
    FillStream(all.data(), queued, all.size());
    ASSERT_EQ(tx.Send(all.data(), static_cast<int>(all.size())), static_cast<int>(all.size()));
    queued = total;
  }
  void Drain(DAVidavi& rx) {
    for (;;) {
      int n = rx.Receive(block.data(), static_cast<int>(block.size()));
      if (n <= 0) return;
      const char* want = StreamAt(received);  // n <= kMaxRun
      if (firstBad < 0 && std::memcmp(block.data(), want, size_t(n)) != 0)
        firstBad = received + (std::mismatch(block.data(), block.data() + n, want).first - block.data());
      received += n;
      lastProgress = std::chrono::steady_clock::now();
      if (slow) return;
    }
  }
  void Wire(DAVidavi& tx, DAVidavi& rx) {
    tx.OnDataSent = [this, &tx](TObject*, WORD) { Refill(tx); };
    rx.OnDataAvailable = [this, &rx](TObject*, WORD) { Drain(rx); };
  }
  // Pumps until every byte arrived and the sender reported its queue empty,
  // or until nothing arrived for a few seconds: a stall fails quickly.
  bool Finish() {
    PumpUntil(
        [&] {
          return (received >= total && drainedReports > 0) ||
                 std::chrono::steady_clock::now() - lastProgress > std::chrono::seconds(5);
        },
        300000);
    return received == total && drainedReports > 0;
  }
};

}  // namespace

// ChunkSize and the bytes to stream with it (a one-byte chunk makes one
// system call per byte, so it gets a shorter stream).
class PairTransferTest : public ::testing::TestWithParam<std::pair<int, int64_t>> {};

TEST_P(PairTransferTest, LargeStreamArrivesIntactAndQueueEmpties) {
  int chunk = GetParam().first;
  TPair p;
  ASSERT_NE(p.server, nullptr);
  p.client.ChunkSize = chunk;
  TStreamCheck c(GetParam().second, std::min(chunk, 65536));
  c.Wire(p.client, *p.server);
  c.Refill(p.client);
  ASSERT_TRUE(PumpUntil([&] { return c.received >= c.total; }, 60000)) << c.received << " of " << c.total;
  EXPECT_EQ(c.received, c.total);
  EXPECT_EQ(c.firstBad, -1);
  // Every queued byte went out and the last drain said so.
  EXPECT_TRUE(p.client.AllSent());
  EXPECT_EQ(p.client.BufferedByteCount(), 0);
  EXPECT_EQ(p.server->ReadCount(), int32_t(c.total));
  // Blocks never exceed the chunk size asked for.
  for (const auto& b : p.client.SendQueue()) EXPECT_LE(b->Capacity(), chunk);
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, PairTransferTest,
                         ::testing::Values(std::pair<int, int64_t>{1, 16384}, std::pair<int, int64_t>{1460, 24 << 20},
                                           std::pair<int, int64_t>{65536, 24 << 20},
                                           std::pair<int, int64_t>{200000, 24 << 20}));

// 256 MiB from one component to another, driven by nothing but their
// events, fed one 64 KiB block per OnDataSent or all in one Send. Either way
// the queue is left holding bytes when the kernel takes part of a chunk,
// and only the write notification that follows moves it on. With loopback's
// 64 KiB MTU and a reader that takes everything at once the kernel buffers
// rarely fill, so the link also runs at MTU 1500 and the reader also takes
// only 1 KiB per notification.
struct TBulkCase {
  int chunk;
  bool oneSend;
  int mtu;  // 0: loopback as it is
  bool slowReader;
};

void PrintTo(const TBulkCase& c, std::ostream* os) {
  *os << "ChunkSize " << c.chunk << (c.oneSend ? ", one Send" : ", per OnDataSent") << ", MTU " << c.mtu
      << (c.slowReader ? ", slow reader" : "");
}

#if defined(__SANITIZE_ADDRESS__)
constexpr int64_t kBulkTotal = int64_t(32) << 20;  // AddressSanitizer is several times slower
#else
constexpr int64_t kBulkTotal = int64_t(256) << 20;
#endif

class BulkTransferTest : public ::testing::TestWithParam<TBulkCase> {};

TEST_P(BulkTransferTest, EveryByteArrivesAndTheQueueDrains) {
  const TBulkCase& k = GetParam();
  std::unique_ptr<sockt::TPrivateLoopback> link;
  if (k.mtu) {
    link = std::make_unique<sockt::TPrivateLoopback>(k.mtu);
    if (!link->Why().empty()) GTEST_SKIP() << link->Why();
  }
  TPair p;
  ASSERT_NE(p.server, nullptr);
  p.client.ChunkSize = k.chunk;
  TStreamCheck c(kBulkTotal, k.slowReader ? 1024 : 65536);
  c.perRefill = 1;
  c.slow = k.slowReader;
  if (k.slowReader) p.server->SetComponentOptions(OptionBit(wsoNoReceiveLoop));
  c.Wire(p.client, *p.server);
  if (k.oneSend)
    c.SendAll(p.client);
  else
    c.Refill(p.client);
  ASSERT_TRUE(c.Finish()) << "stalled at " << c.received << " with " << p.client.BufferedByteCount() << " queued";
  EXPECT_EQ(c.firstBad, -1);
  EXPECT_TRUE(p.client.AllSent());
  EXPECT_EQ(p.client.BufferedByteCount(), 0);
}

std::vector<TBulkCase> BulkCases() {
  std::vector<TBulkCase> v;
  for (int mtu : {0, 1500})
    for (int chunk : {1460, 4096, 16384, 65536}) {
      v.push_back({chunk, false, mtu, false});
      v.push_back({chunk, true, mtu, false});
      if (chunk == 1460 || chunk == 65536) v.push_back({chunk, false, mtu, true});
    }
  return v;
}

INSTANTIATE_TEST_SUITE_P(Shapes, BulkTransferTest, ::testing::ValuesIn(BulkCases()),
                         [](const ::testing::TestParamInfo<TBulkCase>& i) {
                           const TBulkCase& c = i.param;
                           return "Chunk" + std::to_string(c.chunk) + (c.oneSend ? "OneSend" : "PerDataSent") +
                                  (c.mtu ? "Mtu" + std::to_string(c.mtu) : "") + (c.slowReader ? "SlowReader" : "");
                         });

TEST(PairTest, BothDirectionsAtOnceStayIntact) {
  TPair p;
  ASSERT_NE(p.server, nullptr);
  p.server->ChunkSize = 4096;
  TStreamCheck up(int64_t(8) << 20, 1460), down(int64_t(8) << 20, 65536);
  // One handler per event serves both streams on each end.
  p.client.OnDataSent = [&](TObject*, WORD) { up.Refill(p.client); };
  p.server->OnDataSent = [&](TObject*, WORD) { down.Refill(*p.server); };
  p.client.OnDataAvailable = [&](TObject*, WORD) { down.Drain(p.client); };
  p.server->OnDataAvailable = [&](TObject*, WORD) { up.Drain(*p.server); };
  up.Refill(p.client);
  down.Refill(*p.server);
  ASSERT_TRUE(PumpUntil([&] { return up.received >= up.total && down.received >= down.total; }, 60000))
      << up.received << " up, " << down.received << " down";
  EXPECT_EQ(up.firstBad, -1);
  EXPECT_EQ(down.firstBad, -1);
  EXPECT_EQ(up.received, up.total);
  EXPECT_EQ(down.received, down.total);
}

// Closing from inside a data handler, directly or deferred, on either end:
// each end reports the end of its session exactly once and nothing after.
struct TCloseCase {
  const char* name;
  bool onServer;
  int how;  // 0 Close, 1 Abort, 2 PostClose
};

class PairCloseInHandlerTest : public ::testing::TestWithParam<TCloseCase> {};

TEST_P(PairCloseInHandlerTest, EachEndClosesOnce) {
  const TCloseCase& k = GetParam();
  TPair p;
  ASSERT_NE(p.server, nullptr);
  DAVidavi& closer = k.onServer ? *p.server : p.client;
  DAVidavi& other = k.onServer ? p.client : *p.server;
  int closerClosed = 0, otherClosed = 0, afterClose = 0;
  closer.OnSessionClosed = [&](TObject*, WORD) { ++closerClosed; };
  other.OnSessionClosed = [&](TObject*, WORD) { ++otherClosed; };
  closer.OnDataAvailable = [&](TObject*, WORD) {
    if (closerClosed > 0) ++afterClose;
    char buf[100];
    closer.Receive(buf, sizeof buf);
    if (k.how == 0) closer.Close();
    if (k.how == 1) closer.Abort();
    if (k.how == 2) closer.PostClose();
    // A second request in the same handler must change nothing.
    if (k.how == 0) closer.Close();
    if (k.how == 2) closer.PostClose();
  };
  other.OnDataAvailable = [&](TObject*, WORD) {
    char buf[4096];
    while (other.Receive(buf, sizeof buf) > 0) {
    }
  };
  std::string lots(50000, 'x');
  ASSERT_EQ(other.SendText(lots), 50000);
  ASSERT_TRUE(PumpUntil([&] { return closerClosed > 0 && otherClosed > 0; }, 5000))
      << closerClosed << " " << otherClosed;
  PumpFor(100);
  EXPECT_EQ(closerClosed, 1);
  EXPECT_EQ(otherClosed, 1);
  EXPECT_EQ(afterClose, 0);
  EXPECT_EQ(closer.State(), wsClosed);
  EXPECT_EQ(other.State(), wsClosed);
  EXPECT_EQ(closer.HSocket(), winsock::INVALID_SOCKET);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, PairCloseInHandlerTest,
    ::testing::Values(TCloseCase{"ServerClose", true, 0}, TCloseCase{"ServerAbort", true, 1},
                      TCloseCase{"ServerPostClose", true, 2}, TCloseCase{"ClientClose", false, 0},
                      TCloseCase{"ClientAbort", false, 1}, TCloseCase{"ClientPostClose", false, 2}),
    [](const ::testing::TestParamInfo<TCloseCase>& i) { return std::string(i.param.name); });

TEST(PairTest, PausedEndKeepsDataUntilResumed) {
  TPair p;
  ASSERT_NE(p.server, nullptr);
  TStreamCheck c(300000, 1000);
  int calls = 0;
  p.server->OnDataAvailable = [&](TObject*, WORD) {
    ++calls;
    c.Drain(*p.server);
  };
  p.server->Pause();
  c.Refill(p.client);
  c.Refill(p.client);  // more than the first refill: 300000 bytes in all
  PumpFor(150);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(c.received, 0);
  p.server->Resume();
  ASSERT_TRUE(PumpUntil([&] { return c.received >= c.total; }, 10000)) << c.received;
  EXPECT_EQ(c.received, c.total);
  EXPECT_EQ(c.firstBad, -1);
  // The peer's close is still seen after a pause.
  int closed = 0;
  p.server->OnSessionClosed = [&](TObject*, WORD) { ++closed; };
  p.server->Pause();
  p.client.Close();
  PumpFor(100);
  EXPECT_EQ(closed, 0);
  p.server->Resume();
  EXPECT_TRUE(PumpUntil([&] { return closed == 1; }, 3000));
}

TEST(PairTest, IdleCrowdUsesNoProcessorTime) {
  constexpr int kPairs = 300;
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_cur < rlim_t(2 * kPairs + 64)) {
    rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, 2 * kPairs + 64);
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  ASSERT_GE(rl.rlim_cur, rlim_t(2 * kPairs + 64));
  TAcceptor a;
  std::vector<std::unique_ptr<DAVidavi>> clients;
  int connected = 0;
  // Keep no more connections in flight than the listener's backlog holds.
  ASSERT_TRUE(PumpUntil(
      [&] {
        while (clients.size() < kPairs && clients.size() - a.accepted.size() < 4) {
          auto c = std::make_unique<DAVidavi>(nullptr);
          c->OnSessionConnected = [&](TObject*, WORD e) { connected += e == 0; };
          StartConnect(*c, a);
          clients.push_back(std::move(c));
        }
        return connected == kPairs && a.accepted.size() == size_t(kPairs);
      },
      30000))
      << connected << " connected, " << a.accepted.size() << " accepted";
  PumpFor(50);  // the first write notifications
  rusage r0{}, r1{};
  getrusage(RUSAGE_SELF, &r0);
  auto t0 = std::chrono::steady_clock::now();
  PumpFor(500);
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  getrusage(RUSAGE_SELF, &r1);
  auto us = [](const rusage& r) {
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6 + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
  };
  double share = (us(r1) - us(r0)) / (wall * 1e6);
  // A poller that kept reporting a ready condition nobody asked for would
  // spin here at a whole core.
  EXPECT_LT(share, 0.05) << "processor share while idle: " << share;
  // And the crowd still works: a message on the last pair connected.
  DAVidavi* last = nullptr;
  for (auto& s : a.accepted)
    if (s->PeerPort() == clients.back()->BoundPort()) last = s.get();
  ASSERT_NE(last, nullptr);
  std::string got;
  last->OnDataAvailable = [&](TObject*, WORD) { got += last->ReceiveText(); };
  clients.back()->SendText("still there");
  EXPECT_TRUE(PumpUntil([&] { return got == "still there"; }, 3000)) << got;
}
