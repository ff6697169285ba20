// httpget with several URLs, --http1.1 and the time limits: which
// connection each request went on, where each document was written, and
// exit status 28 when a limit passes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "ToolRunner.h"
#include "common/KeepAliveServer.h"
#include "common/StuckListener.h"

using namespace httpget_test;
using evctest::TAnswer;
using evctest::TKeepAliveServer;
using evctest::TStuckListener;

namespace {

// "doc PATH", with a length; a 1.0 request has its connection closed after
// it, as a 1.0 client expects.
TAnswer Answer(const std::string& request) {
  std::string path = request.substr(4, request.find(' ', 4) - 4);
  std::string body = "doc " + path + "\n";
  TAnswer a{{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body}};
  a.close = request.find(" HTTP/1.0\r\n") != std::string::npos;
  return a;
}

class HttpgetHttp11 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ToolBuilt()) GTEST_SKIP() << "httpget is not built (" << ToolPath() << ")";
  }
};

TEST_F(HttpgetHttp11, SeveralUrlsShareTheConnectionAndHaveTheirOwnOutputs) {
  TKeepAliveServer server([](const std::string& req, int) { return Answer(req); });
  const std::string a = TempPath("a.txt"), b = TempPath("b.txt");
  TRun r = RunTool({"--http1.1", "-o", a, server.Url("/one"), "-o", b, server.Url("/two"), server.Url("/three")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(ReadFile(a), "doc /one\n");
  EXPECT_EQ(ReadFile(b), "doc /two\n");
  EXPECT_EQ(r.Out, "doc /three\n");
  EXPECT_EQ(server.Connections(), 1);
  ASSERT_EQ(server.Requests().size(), 3u);
  EXPECT_EQ(server.Requests()[1].rfind("GET /two HTTP/1.1\r\n", 0), 0u);
  unlink(a.c_str());
  unlink(b.c_str());

  // HTTP/1.0, the default: a connection for each, in order, on standard output.
  r = RunTool({server.Url("/x"), "--http1.0", server.Url("/y")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "doc /x\ndoc /y\n");
  EXPECT_EQ(server.Connections(), 3);
  EXPECT_EQ(server.Requests()[3].rfind("GET /x HTTP/1.0\r\n", 0), 0u);

  // One failure does not stop the others; the status tells of it.
  TKeepAliveServer failing([](const std::string& req, int i) {
    if (i == 0) return TAnswer{{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"}, 0, true};
    return Answer(req);
  });
  r = RunTool({"--http1.1", failing.Url("/bad"), failing.Url("/good")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("Malformed chunked encoding (8)"), std::string::npos) << r.Err;
  EXPECT_EQ(r.Out, "doc /good\n");
}

TEST_F(HttpgetHttp11, TimeLimitsEndWithStatus28) {
  struct TRow {
    std::vector<std::string> args;
    std::string text;
  };
  TKeepAliveServer silent([](const std::string&, int) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return TAnswer{};
  });
  TStuckListener stuck;
  const std::string stuckUrl = "http://127.0.0.1:" + std::to_string(stuck.Port()) + "/";
  const std::vector<TRow> rows = {
      {{"--max-time", "0.3", silent.Url("/slow")}, "Operation timed out after"},
      {{"--http1.1", "-m", "0.3", silent.Url("/slow")}, "Operation timed out after"},
      {{"--connect-timeout", "0.3", stuckUrl}, "Connection timed out after"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.args[row.args.size() - 2]);
    auto t0 = std::chrono::steady_clock::now();
    TRun r = RunTool(row.args, {}, 10);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(r.Status, 28) << r.Err;
    EXPECT_NE(r.Err.find(row.text), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("(28)"), std::string::npos) << r.Err;
    EXPECT_GE(took, std::chrono::milliseconds(290));
    EXPECT_LT(took, std::chrono::milliseconds(2500));
  }
  // A connect limit does not count once connected.
  TKeepAliveServer slowish([](const std::string& req, int) {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    return Answer(req);
  });
  TRun r = RunTool({"--connect-timeout", "0.2", slowish.Url("/late")});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "doc /late\n");
  for (const char* bad : {"0", "-1", "x", "1.2.3", "."}) {
    r = RunTool({"--max-time", bad, slowish.Url("/")});
    EXPECT_EQ(r.Status, 2) << bad;
  }
  r = RunTool({"-o", TempPath("x"), "-o", TempPath("y"), slowish.Url("/")});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("more -o options than URLs"), std::string::npos) << r.Err;
}

}  // namespace
