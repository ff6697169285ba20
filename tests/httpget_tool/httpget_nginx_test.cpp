// httpget against a real nginx on 127.0.0.1: documents byte for byte, the
// header options, error statuses and relocations as a server really sends
// them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "../../bench/LoopbackNginx.h"
#include "ToolRunner.h"

using namespace httpget_test;

namespace {

// Bytes that show any loss, duplication or reordering: every value, in a
// pattern that does not repeat at block sizes.
std::string PatternBytes(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

class HttpgetNginx : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (evcpeer::NginxProgram().empty()) return;
    Server = std::make_unique<evcpeer::TLoopbackNginx>(
        "location = /loop { return 302 /loop; }\n"
        "location = /moved { return 301 /doc.bin; }\n"
        "location = /teapot { return 418 'no coffee'; }\n");
    Document = PatternBytes(3 * 1024 * 1024 + 17);
    Server->WriteDocument("/doc.bin", Document);
    Server->WriteDocument("/small.txt", "hello, world\n");
    Server->WriteDocument("/empty.txt", "");
    if (!Server->Start()) StartError = Server->Error();
  }
  static void TearDownTestSuite() { Server.reset(); }
  void SetUp() override {
    if (!ToolBuilt()) GTEST_SKIP() << "httpget is not built (" << ToolPath() << ")";
    if (!Server) GTEST_SKIP() << "nginx is not installed";
    ASSERT_TRUE(StartError.empty()) << StartError;
  }
  static std::unique_ptr<evcpeer::TLoopbackNginx> Server;
  static std::string Document;
  static std::string StartError;
};
std::unique_ptr<evcpeer::TLoopbackNginx> HttpgetNginx::Server;
std::string HttpgetNginx::Document;
std::string HttpgetNginx::StartError;

}  // namespace

TEST_F(HttpgetNginx, WritesTheDocumentToAFileOrStandardOutputByteForByte) {
  const std::string file = TempPath("doc.bin");
  TRun r = RunTool({"-o", file, "--no-progress", Server->Url("/doc.bin")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "");
  EXPECT_EQ(r.Err, "");
  std::string got = ReadFile(file);
  EXPECT_EQ(got.size(), Document.size());
  EXPECT_TRUE(got == Document) << "the file differs from the document";

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{Server->Url("/small.txt")}, {"-o", "-", Server->Url("/small.txt")}}) {
    r = RunTool(args);
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "hello, world\n");
  }

  // An empty document still gives its (empty) file.
  const std::string empty = TempPath("empty.txt");
  r = RunTool({"--output", empty, Server->Url("/empty.txt")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  struct stat st {};
  ASSERT_EQ(stat(empty.c_str(), &st), 0) << "no output file for an empty document";
  EXPECT_EQ(st.st_size, 0);
  unlink(file.c_str());
  unlink(empty.c_str());
}

TEST_F(HttpgetNginx, IncludeAndHeadShowTheResponseHeader) {
  TRun r = RunTool({"-i", Server->Url("/small.txt")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  ASSERT_EQ(r.Out.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r.Out;
  EXPECT_NE(r.Out.find("\r\nContent-Length: 13\r\n"), std::string::npos) << r.Out;
  const size_t end = r.Out.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(r.Out.substr(end + 4), "hello, world\n");

  r = RunTool({"-I", Server->Url("/doc.bin")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r.Out;
  EXPECT_NE(r.Out.find("Content-Length: " + std::to_string(Document.size()) + "\r\n"), std::string::npos);
  // A HEAD answer has no document: the output ends with the empty line.
  EXPECT_EQ(r.Out.size(), r.Out.find("\r\n\r\n") + 4) << r.Out;
}

TEST_F(HttpgetNginx, ErrorStatusesExitWith22) {
  TRun r = RunTool({Server->Url("/no/such/file")});
  EXPECT_EQ(r.Status, 22) << r.Err;
  EXPECT_EQ(r.Err, "");
  r = RunTool({"-i", Server->Url("/teapot")});
  EXPECT_EQ(r.Status, 22);
  EXPECT_EQ(r.Out.rfind("HTTP/1.1 418", 0), 0u) << r.Out;
}

TEST_F(HttpgetNginx, RangeAsksForPartOfTheDocument) {
  TRun r = RunTool({"-r", "100-199", Server->Url("/doc.bin")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(r.Out == Document.substr(100, 100)) << "got " << r.Out.size() << " bytes";
  r = RunTool({"--range", "-10", "-i", Server->Url("/doc.bin")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out.rfind("HTTP/1.1 206", 0), 0u);
  EXPECT_TRUE(r.Out.substr(r.Out.find("\r\n\r\n") + 4) == Document.substr(Document.size() - 10));
}

TEST_F(HttpgetNginx, FollowsRelocationsUpToTheLimit) {
  TRun r = RunTool({Server->Url("/moved")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(r.Out == Document);

  r = RunTool({"--max-redirs", "0", Server->Url("/moved")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err, "httpget: Maximum (0) relocations followed (3)\n");
  EXPECT_EQ(r.Out, "");

  r = RunTool({"--max-redirs", "5", "--trace", Server->Url("/loop")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("httpget: Maximum (5) relocations followed (3)\n"), std::string::npos);
  size_t moves = 0;
  for (size_t p = 0; (p = r.Err.find("OnLocationChange ", p)) != std::string::npos; ++p) ++moves;
  EXPECT_EQ(moves, 6u) << "five followed, the sixth refused";
  EXPECT_NE(r.Err.find("OnRequestDone hrGet 3"), std::string::npos) << r.Err;
}
