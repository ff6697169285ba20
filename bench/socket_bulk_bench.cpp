// Bulk transfer between two socket components over 127.0.0.1 in one thread,
// against a raw non-blocking epoll sender and receiver in one thread making
// the same system calls with the same sizes.
//
// Our side: the sender hands the component 64 KiB blocks with Send and
// refills its window each time OnDataSent says the queue has run dry; the
// component passes the library at most ChunkSize bytes per call. The
// receiver reads in OnDataAvailable with Receive in blocks of the same size
// until nothing is left. The baseline sends ChunkSize bytes per send() until
// the socket is full and reads with recv() of the same size until it is
// empty, waking in epoll_wait in between.
#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "BulkTransfer.h"
#include "SocketBenchUtil.h"

using namespace evc;
using namespace sockbench;

namespace {

constexpr int64_t kTotal = int64_t(256) << 20;  // bytes per transfer

using bulkbench::kSourceSize;
using bulkbench::Source;

bool ComponentTransfer(TComponentPair& pair, int chunk, int64_t total, bool verify) {
  return bulkbench::ComponentTransfer(*pair.Client, *pair.Server, chunk, chunk, total, verify);
}

bool RawTransfer(TRawPair& pair, int chunk, int64_t total, bool verify) {
  const char* src = Source().data();
  int ep = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLOUT;
  ev.data.fd = pair.Client;
  epoll_ctl(ep, EPOLL_CTL_ADD, pair.Client, &ev);
  ev.events = EPOLLIN;
  ev.data.fd = pair.Server;
  epoll_ctl(ep, EPOLL_CTL_ADD, pair.Server, &ev);
  std::vector<char> block(static_cast<size_t>(chunk));
  int64_t sent = 0, received = 0;
  bool corrupt = false, failed = false;
  while (received < total && !failed) {
    epoll_event ready[2];
    int n = epoll_wait(ep, ready, 2, 10000);
    if (n <= 0) break;
    for (int i = 0; i < n; ++i) {
      if (ready[i].data.fd == pair.Client) {
        while (sent < total) {
          size_t len = static_cast<size_t>(std::min<int64_t>(chunk, total - sent));
          ssize_t r = ::send(pair.Client, src + sent % kSourceSize, len, MSG_NOSIGNAL);
          if (r < 0) {
            failed = errno != EAGAIN;
            break;
          }
          sent += r;
        }
        if (sent >= total) epoll_ctl(ep, EPOLL_CTL_DEL, pair.Client, nullptr);
      } else {
        for (;;) {
          ssize_t r = ::recv(pair.Server, block.data(), static_cast<size_t>(chunk), 0);
          if (r <= 0) {
            failed = r == 0 || errno != EAGAIN;
            break;
          }
          if (verify && std::memcmp(block.data(), src + received % kSourceSize, static_cast<size_t>(r)) != 0)
            corrupt = true;
          received += r;
        }
      }
    }
  }
  ::close(ep);
  return received == total && !corrupt;
}

void BM_Bulk_Components(benchmark::State& state) {
  int chunk = static_cast<int>(state.range(0));
  TComponentPair pair;
  // Byte-for-byte check once, outside the timing.
  if (!ComponentTransfer(pair, chunk, 16 << 20, true)) Fatal("components lost or corrupted data");
  for (auto _ : state)
    if (!ComponentTransfer(pair, chunk, kTotal, false)) Fatal("components lost data");
  state.SetBytesProcessed(state.iterations() * kTotal);
}

void BM_Bulk_RawEpoll(benchmark::State& state) {
  int chunk = static_cast<int>(state.range(0));
  TRawPair pair;
  if (!RawTransfer(pair, chunk, 16 << 20, true)) Fatal("raw sockets lost or corrupted data");
  for (auto _ : state)
    if (!RawTransfer(pair, chunk, kTotal, false)) Fatal("raw sockets lost data");
  state.SetBytesProcessed(state.iterations() * kTotal);
}

BENCHMARK(BM_Bulk_Components)->Arg(1460)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Bulk_RawEpoll)->Arg(1460)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Bulk_Components)->Arg(65536)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Bulk_RawEpoll)->Arg(65536)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  constexpr double kMiB = 1.0 / (1 << 20);
  TComparisonReporter reporter({
      {"256 MiB, ChunkSize 1460", "BM_Bulk_Components/1460", "BM_Bulk_RawEpoll/1460", "bytes_per_second",
       "MiB/s", kMiB, 0.7},
      {"256 MiB, ChunkSize 65536", "BM_Bulk_Components/65536", "BM_Bulk_RawEpoll/65536", "bytes_per_second",
       "MiB/s", kMiB, 0.7},
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
