// TLS bulk transfer between two TLS socket components over 127.0.0.1 in one
// thread, against a raw non-blocking OpenSSL pair in one thread driven by
// epoll, with the same record sizes.
//
// Our side: the sender queues 64 KiB blocks with Send and refills when
// OnDataSent says the queue is empty; ChunkSize is the record size, since
// each queue block the component hands down becomes one record. The
// receiver reads in OnDataAvailable until nothing is left. The baseline
// writes records of the same size with SSL_write until the socket is full
// and reads with SSL_read until it is empty, waking in epoll_wait between.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>

#include <algorithm>
#include <cstring>

#include "BulkTransfer.h"
#include "SocketBenchUtil.h"
#include "common/LoopbackPeer.h"
#include "ssl/SslCertMaker.h"
#include "ssl/SslWSocket.h"

using namespace evc;
using namespace sockbench;

namespace {

constexpr int64_t kTotal = int64_t(256) << 20;

using bulkbench::kAppBlock;
using bulkbench::kSourceSize;
using bulkbench::Source;

// A certificate for 127.0.0.1 from an authority made for this run.
struct TBenchCerts {
  loopback::TTempDir dir;
  TLoopbackCertificates made = MakeLoopbackCertificates(dir.Path(), "bench authority");
  std::string ca = made.CAFile, cert = made.CertFile, key = made.KeyFile;
};
const TBenchCerts& Certs() {
  static TBenchCerts certs;
  return certs;
}

// Two TLS components connected to each other through a listening socket.
struct TTlsPair {
  DAVidavi listener{nullptr};
  std::unique_ptr<TSslWSocket> client = std::make_unique<TSslWSocket>(nullptr);
  std::unique_ptr<TSslWSocket> server;
  TTlsPair() {
    const TBenchCerts& c = Certs();
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    bool serverReady = false, clientReady = false;
    listener.OnSessionAvailable = [&](TObject*, WORD) {
      server = std::make_unique<TSslWSocket>(nullptr);
      server->SetSslEnable(true);
      server->SetSslCertFile(c.cert);
      server->SetSslKeyFile(c.key);
      server->SetSslVerifyPeer(false);
      server->OnSslHandshakeDone = [&](TObject*, WORD e) { serverReady = e == 0; };
      server->Dup(listener.Accept());
    };
    listener.Listen();
    client->SetAddr("127.0.0.1");
    client->SetPort(listener.BoundPort());
    client->SetSslEnable(true);
    client->SetSslCAFile(c.ca);
    client->OnSessionConnected = [&](TObject*, WORD e) { clientReady = e == 0; };
    client->Connect();
    if (!PumpUntil([&] { return serverReady && clientReady; }, 5000)) Fatal("TLS pair did not connect");
    client->OnSessionConnected.Clear();
    server->OnSslHandshakeDone.Clear();
  }
  std::string Protocol() const { return client->SslProtocol() + " " + client->SslCipher(); }
};

// Records of `record` bytes: each queue block becomes one record.
bool ComponentTransfer(TTlsPair& pair, int record, int64_t total, bool verify) {
  return bulkbench::ComponentTransfer(*pair.client, *pair.server, record, kAppBlock, total, verify);
}

// The baseline: two SSL objects on a raw non-blocking socket pair.
struct TRawTlsPair {
  TRawPair sockets;
  SSL_CTX* serverCtx = SSL_CTX_new(TLS_server_method());
  SSL_CTX* clientCtx = SSL_CTX_new(TLS_client_method());
  SSL* client = nullptr;
  SSL* server = nullptr;
  TRawTlsPair() {
    const TBenchCerts& c = Certs();
    SSL_CTX_use_certificate_chain_file(serverCtx, c.cert.c_str());
    SSL_CTX_use_PrivateKey_file(serverCtx, c.key.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_load_verify_locations(clientCtx, c.ca.c_str(), nullptr);
    SSL_CTX_set_verify(clientCtx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_mode(clientCtx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    client = SSL_new(clientCtx);
    server = SSL_new(serverCtx);
    SSL_set_fd(client, sockets.Client);
    SSL_set_fd(server, sockets.Server);
    SSL_set_connect_state(client);
    SSL_set_accept_state(server);
    bool cDone = false, sDone = false;
    for (int i = 0; i < 10000 && !(cDone && sDone); ++i) {
      if (!cDone) cDone = SSL_do_handshake(client) == 1;
      if (!sDone) sDone = SSL_do_handshake(server) == 1;
    }
    if (!cDone || !sDone) Fatal("raw TLS pair did not connect: " + std::to_string(ERR_get_error()));
  }
  ~TRawTlsPair() {
    SSL_free(client);
    SSL_free(server);
    SSL_CTX_free(clientCtx);
    SSL_CTX_free(serverCtx);
  }
};

bool RawTransfer(TRawTlsPair& pair, int record, int64_t total, bool verify) {
  const char* src = Source().data();
  int ep = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLOUT;
  ev.data.fd = pair.sockets.Client;
  epoll_ctl(ep, EPOLL_CTL_ADD, pair.sockets.Client, &ev);
  ev.events = EPOLLIN;
  ev.data.fd = pair.sockets.Server;
  epoll_ctl(ep, EPOLL_CTL_ADD, pair.sockets.Server, &ev);
  std::vector<char> block(kAppBlock);
  int64_t sent = 0, received = 0;
  bool corrupt = false, failed = false;
  while (received < total && !failed) {
    epoll_event ready[2];
    int n = epoll_wait(ep, ready, 2, 10000);
    if (n <= 0) break;
    for (int i = 0; i < n; ++i) {
      if (ready[i].data.fd == pair.sockets.Client) {
        while (sent < total) {
          int len = static_cast<int>(std::min<int64_t>(record, total - sent));
          int r = SSL_write(pair.client, src + sent % kSourceSize, len);
          if (r <= 0) {
            failed = SSL_get_error(pair.client, r) != SSL_ERROR_WANT_WRITE;
            break;
          }
          sent += r;
        }
        if (sent >= total) epoll_ctl(ep, EPOLL_CTL_DEL, pair.sockets.Client, nullptr);
      } else {
        for (;;) {
          int r = SSL_read(pair.server, block.data(), kAppBlock);
          if (r <= 0) {
            failed = SSL_get_error(pair.server, r) != SSL_ERROR_WANT_READ;
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

void BM_TlsBulk_Components(benchmark::State& state) {
  int record = static_cast<int>(state.range(0));
  TTlsPair pair;
  if (!ComponentTransfer(pair, record, 16 << 20, true)) Fatal("components lost or corrupted data");
  for (auto _ : state)
    if (!ComponentTransfer(pair, record, kTotal, false)) Fatal("components lost data");
  state.SetBytesProcessed(state.iterations() * kTotal);
  state.SetLabel(pair.Protocol());
}

void BM_TlsBulk_RawOpenSsl(benchmark::State& state) {
  int record = static_cast<int>(state.range(0));
  TRawTlsPair pair;
  if (!RawTransfer(pair, record, 16 << 20, true)) Fatal("raw TLS pair lost or corrupted data");
  for (auto _ : state)
    if (!RawTransfer(pair, record, kTotal, false)) Fatal("raw TLS pair lost data");
  state.SetBytesProcessed(state.iterations() * kTotal);
  state.SetLabel(std::string(SSL_get_version(pair.client)) + " " + SSL_get_cipher_name(pair.client));
}

BENCHMARK(BM_TlsBulk_Components)->Arg(1460)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TlsBulk_RawOpenSsl)->Arg(1460)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TlsBulk_Components)->Arg(16384)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TlsBulk_RawOpenSsl)->Arg(16384)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  constexpr double kMiB = 1.0 / (1 << 20);
  TComparisonReporter reporter({
      {"TLS 256 MiB, 1460-byte records", "BM_TlsBulk_Components/1460", "BM_TlsBulk_RawOpenSsl/1460",
       "bytes_per_second", "MiB/s", kMiB, 0.8},
      {"TLS 256 MiB, 16384-byte records", "BM_TlsBulk_Components/16384", "BM_TlsBulk_RawOpenSsl/16384",
       "bytes_per_second", "MiB/s", kMiB, 0.8},
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
