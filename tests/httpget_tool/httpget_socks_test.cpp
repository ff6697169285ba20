// httpget through a real SOCKS 5 server (microsocks on 127.0.0.1). The
// proxy binds its outgoing connections to 127.0.0.2, so the test server can
// tell a connection that came through it from a direct one.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "RawHttpServer.h"
#include "ToolRunner.h"
#include "common/LoopbackPeer.h"

using namespace httpget_test;

namespace {

class HttpgetSocks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ToolBuilt()) GTEST_SKIP() << "httpget is not built (" << ToolPath() << ")";
    const std::string program = loopback::FindProgram("microsocks");
    if (program.empty()) GTEST_SKIP() << "microsocks is not installed";
    Port = loopback::FreePort();
    ASSERT_TRUE(Proxy.Start({program, "-i", "127.0.0.1", "-p", std::to_string(Port), "-b", "127.0.0.2", "-u", "joe",
                             "-P", "secret"},
                            Dir.File("microsocks.log")));
    ASSERT_TRUE(Proxy.WaitListening(Port)) << Proxy.Log();
  }
  std::string Socks() const { return "127.0.0.1:" + std::to_string(Port); }

  loopback::TTempDir Dir;
  loopback::TLoopbackPeer Proxy;
  int Port = 0;
};

std::string Answer(const std::string& req, int) {
  if (req.rfind("GET /start ", 0) == 0) return "HTTP/1.0 302 Found\r\nLocation: /final\r\n\r\n";
  return "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfinal";
}

}  // namespace

TEST_F(HttpgetSocks, EveryConnectionGoesThroughTheProxyRelocationsIncluded) {
  TRawHttpServer server(Answer);
  TRun r = RunTool({"--socks", Socks(), "--socks-user", "joe", "--socks-pass", "secret", "--trace", server.Url("/start")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "final");
  ASSERT_EQ(server.Peers().size(), 2u);
  EXPECT_EQ(server.Peers()[0], "127.0.0.2") << "the first connection went around the proxy";
  EXPECT_EQ(server.Peers()[1], "127.0.0.2") << "the relocated connection went around the proxy";
  EXPECT_NE(r.Err.find("OnSocksConnected 0"), std::string::npos) << r.Err;

  // Without --socks the same request comes straight from 127.0.0.1: the
  // check above can tell the two apart.
  r = RunTool({server.Url("/final")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(server.Peers().back(), "127.0.0.1");
}

TEST_F(HttpgetSocks, RefusedCredentialsEndWithOneLine) {
  TRawHttpServer server(Answer);
  TRun r = RunTool({"--socks", Socks(), "--socks-user", "joe", "--socks-pass", "wrong", server.Url("/final")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err.rfind("httpget: ", 0), 0u) << r.Err;
  EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
  EXPECT_TRUE(server.Requests().empty());
}
