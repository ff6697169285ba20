// RequestVer "1.1" against nginx on 127.0.0.1: the connection kept across
// requests (nginx tells which connection served each), a chunked document
// (server-side includes make nginx stream without a length), and a 5 GiB
// document, sparse on disk, checked as it arrives and never stored.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "../../bench/LoopbackNginx.h"
#include "HttpTestUtil.h"
#include "common/Noise.h"

using namespace evc;
using namespace httptest;

namespace {

// Printable bytes without "<" (nothing for the includes to act on), in a
// pattern that does not repeat at block sizes.
std::string PrintablePattern(size_t n) {
  std::string s;
  s.reserve(n);
  for (uint8_t b : testdata::Noise(n, 0x2545F491u)) s += static_cast<char>('a' + b % 26);
  return s;
}

class Http11Nginx : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (evcpeer::NginxProgram().empty()) return;
    Nginx = std::make_unique<evcpeer::TLoopbackNginx>(
        "keepalive_requests 10000;\n"
        "location = /conn { return 200 \"$connection\"; }\n"
        "location /ssi/ { ssi on; ssi_types *; }\n"
        // Holes read through the page cache crawl the first time; read
        // directly they come as fast as the network takes them.
        "location = /huge.bin { sendfile off; directio 1m; output_buffers 2 1m; }\n");
    mkdir((Nginx->DocumentRoot() + "/ssi").c_str(), 0755);
    Text = PrintablePattern(3 * 1024 * 1024 + 5);
    Nginx->WriteDocument("/ssi/text.txt", Text);
    if (!Nginx->Start()) StartError = Nginx->Error();
  }
  static void TearDownTestSuite() { Nginx.reset(); }
  void SetUp() override {
    if (!Nginx) GTEST_SKIP() << "nginx is not installed (scripts/install-deps installs it)";
    ASSERT_TRUE(StartError.empty()) << StartError;
    rec.Attach(*cli);
  }
  bool Get(const std::string& path, int milliseconds = 10000) {
    rec.body->clear();
    cli->SetURL(Nginx->Url(path));
    return RunRequest(*cli, rec, hrGet, milliseconds);
  }

  static inline std::unique_ptr<evcpeer::TLoopbackNginx> Nginx;
  static inline std::string StartError;
  static inline std::string Text;
  std::unique_ptr<THttpCli> cli = std::make_unique<THttpCli>(nullptr);
  TClientRecorder rec;
};

TEST_F(Http11Nginx, OneConnectionForLengthsAndChunks) {
  cli->SetRequestVer("1.1");
  ASSERT_TRUE(Get("/conn"));
  const std::string first = *rec.body;
  ASSERT_FALSE(first.empty());
  ASSERT_TRUE(Get("/ssi/text.txt"));
  EXPECT_EQ(*rec.doneError, 0);
  EXPECT_TRUE(cli->ResponseHeader()->IndexOf("Transfer-Encoding: chunked") >= 0);
  EXPECT_EQ(cli->ContentLength64(), -1);
  EXPECT_EQ(cli->RcvdCount64(), static_cast<int64_t>(Text.size()));
  EXPECT_TRUE(*rec.body == Text) << rec.body->size() << " bytes";
  ASSERT_TRUE(Get("/conn"));
  EXPECT_EQ(*rec.body, first) << "nginx served the requests on different connections";
  EXPECT_TRUE(cli->ConnectionReused());

  // The default stays one connection per request.
  cli->SetRequestVer("1.0");
  ASSERT_TRUE(Get("/conn"));
  const std::string second = *rec.body;
  ASSERT_TRUE(Get("/conn"));
  EXPECT_NE(*rec.body, second);
  EXPECT_FALSE(cli->ConnectionReused());
}

TEST_F(Http11Nginx, FiveGiBDocumentArrivesWhole) {
  const int64_t size = int64_t{5} << 30;
  // A few bytes that are not zero, around the places where 32-bit counts break.
  const std::vector<std::pair<int64_t, uint8_t>> marks = {
      {0, 0x11}, {(int64_t{1} << 31) - 1, 0x22}, {int64_t{1} << 31, 0x33}, {int64_t{1} << 32, 0x44}, {size - 1, 0x55}};
  const std::string path = Nginx->DocumentRoot() + "/huge.bin";
  ASSERT_TRUE(Nginx->WriteSparseDocument("/huge.bin", size));
  {
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    for (auto [at, v] : marks) ASSERT_EQ(pwrite(fd, &v, 1, at), 1);
    close(fd);
  }
  uint64_t want = 0;
  for (auto [at, v] : marks) want += static_cast<uint64_t>(at + 1) * v;

  // Position-weighted sum of the bytes that are not zero: a lost, doubled or
  // moved block changes it.
  static const std::vector<char> zeros(1 << 20, 0);
  uint64_t sum = 0, seen = 0;
  int64_t offset = 0;
  cli->OnDocData = [&](TObject*, const void* p, int32_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    for (int32_t done = 0; done < n;) {
      int32_t run = std::min<int32_t>(n - done, static_cast<int32_t>(zeros.size()));
      if (std::memcmp(b + done, zeros.data(), static_cast<size_t>(run)) != 0)
        for (int32_t i = done; i < done + run; ++i)
          if (b[i] != 0) {
            sum += static_cast<uint64_t>(offset + i + 1) * b[i];
            ++seen;
          }
      done += run;
    }
    offset += n;
  };
  cli->SetRequestVer("1.1");
  ASSERT_TRUE(Get("/huge.bin", 240000)) << "not done after " << offset << " bytes";
  unlink(path.c_str());
  EXPECT_EQ(*rec.doneError, 0);
  EXPECT_EQ(cli->ContentLength64(), size);
  EXPECT_EQ(cli->BodyLength(), -1);
  EXPECT_EQ(cli->RcvdCount64(), size);
  EXPECT_EQ(offset, size);
  EXPECT_EQ(seen, marks.size());
  EXPECT_EQ(sum, want);
  // The 32-bit count wraps as it always did.
  EXPECT_EQ(static_cast<uint32_t>(cli->ReceivedCount()), static_cast<uint32_t>(size));
  EXPECT_TRUE(cli->ConnectionReused() == false && cli->Connected());
}

}  // namespace
