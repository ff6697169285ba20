// What httpget puts on the wire and how it judges answers no ordinary
// server gives: a raw server of the test's own records every request and
// answers with chosen bytes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "RawHttpServer.h"
#include "ToolRunner.h"

using namespace httpget_test;

namespace {

std::string Ok(const std::string& body) {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class HttpgetRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ToolBuilt()) GTEST_SKIP() << "httpget is not built (" << ToolPath() << ")";
  }
};

}  // namespace

TEST_F(HttpgetRequests, PostsTheBytesOfAFileOrOfStandardInput) {
  TRawHttpServer server([](const std::string& req, int) { return Ok("got " + std::to_string(RequestBody(req).size())); });
  std::string body;
  for (int i = 0; i < 40000; ++i) body += static_cast<char>(i * 7 + i / 256);  // several send chunks, zeros included
  const std::string file = TempPath("post.bin");
  std::ofstream(file, std::ios::binary) << body;

  TRun r = RunTool({"-d", file, server.Url("/form")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "got 40000");
  ASSERT_EQ(server.Requests().size(), 1u);
  std::string req = server.Requests()[0];
  EXPECT_EQ(req.rfind("POST /form HTTP/1.0\r\n", 0), 0u) << req.substr(0, 200);
  EXPECT_EQ(HeaderValue(req, "Content-Length"), "40000");
  EXPECT_EQ(HeaderValue(req, "Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_TRUE(RequestBody(req) == body) << "the body that arrived differs from the file";

  r = RunTool({"--data-file", "-", server.Url("/stdin")}, file);
  ASSERT_EQ(r.Status, 0) << r.Err;
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_TRUE(RequestBody(server.Requests()[1]) == body);

  // A file that cannot be read is refused before anything is sent.
  r = RunTool({"-d", TempPath("missing"), server.Url("/x")});
  EXPECT_EQ(r.Status, 2);
  EXPECT_EQ(r.Err.rfind("httpget: ", 0), 0u) << r.Err;
  EXPECT_EQ(server.Requests().size(), 2u);
  unlink(file.c_str());
}

TEST_F(HttpgetRequests, HeaderOptionsReachTheServer) {
  TRawHttpServer server([](const std::string&, int) { return Ok("x"); });
  TRun r = RunTool({"-H", "X-Test: one two", "-H", "Accept: text/plain", "-H", "User-Agent:", "-u", "user:pa:ss",
                    "-b", "a=1; b=2", "--referer", "http://origin/page", "--no-cache", "--if-modified-since",
                    "2001-01-02 13:04:05", server.Url("/h")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  ASSERT_EQ(server.Requests().size(), 1u);
  const std::string req = server.Requests()[0];
  EXPECT_EQ(HeaderValue(req, "X-Test"), "one two");
  // -H replaces the client's own line of that name, and an empty value drops it.
  EXPECT_EQ(HeaderValue(req, "Accept"), "text/plain");
  EXPECT_EQ(req.find("image/gif"), std::string::npos) << req;
  EXPECT_EQ(req.find("User-Agent"), std::string::npos) << req;
  EXPECT_EQ(HeaderValue(req, "Authorization"), "Basic dXNlcjpwYTpzcw==");  // user:pa:ss
  EXPECT_EQ(HeaderValue(req, "Cookie"), "a=1; b=2");
  EXPECT_EQ(HeaderValue(req, "Referer"), "http://origin/page");
  EXPECT_EQ(HeaderValue(req, "Pragma"), "no-cache");
  EXPECT_EQ(HeaderValue(req, "If-Modified-Since"), "Tue, 02 Jan 2001 13:04:05 GMT");
  EXPECT_EQ(HeaderValue(req, "Host"), "127.0.0.1");

  r = RunTool({"-A", "httpget-test/1", "-r", "5-", server.Url("/a")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(HeaderValue(server.Requests()[1], "User-Agent"), "httpget-test/1");
  EXPECT_EQ(HeaderValue(server.Requests()[1], "Range"), "bytes=5-");
}

TEST_F(HttpgetRequests, TraceShowsEveryEventAndTheCookiesReceived) {
  TRawHttpServer server([](const std::string&, int) {
    return std::string("HTTP/1.0 200 OK\r\nSet-Cookie: id=42; path=/\r\nSet-Cookie: x=y\r\n\r\nbody");
  });
  TRun r = RunTool({"--trace", "--no-progress", server.Url("/c")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "body");
  for (const char* line : {"OnStateChange hcLookingUp\n", "OnSessionConnected\n", "OnCommand GET /c HTTP/1.0\n",
                           "OnHeaderBegin\n", "OnHeaderData HTTP/1.0 200 OK\n", "OnCookie id=42; path=/\n",
                           "OnCookie x=y\n", "OnHeaderEnd\n", "OnDocBegin\n", "OnDocData 4\n", "OnDocEnd\n",
                           "OnStateChange hcReady\n", "OnRequestDone hrGet 0\n"})
    EXPECT_NE(r.Err.find(line), std::string::npos) << "missing " << line << " in\n" << r.Err;
  // Each cookie is reported before its header line.
  EXPECT_LT(r.Err.find("OnCookie x=y"), r.Err.find("OnHeaderData Set-Cookie: x=y"));
  EXPECT_LT(r.Err.find("OnDocEnd"), r.Err.find("OnRequestDone"));
}

TEST_F(HttpgetRequests, FailuresExitWith1AndOneLine) {
  // Nothing listens: the connection is refused.
  int port;
  {
    TRawHttpServer gone([](const std::string&, int) { return std::string(); });
    port = gone.Port();
  }
  const std::string out = TempPath("never.txt");
  TRun r = RunTool({"-o", out, "http://127.0.0.1:" + std::to_string(port) + "/"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err, "httpget: Connection refused (Error #10061) (10061)\n");
  EXPECT_NE(access(out.c_str(), F_OK), 0) << "a failed request left an output file";

  // A server that closes before the announced length was sent.
  TRawHttpServer cut([](const std::string&, int) { return std::string("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n") + std::string(60, 'z'); });
  r = RunTool({cut.Url("/cut")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Out, std::string(60, 'z'));
  EXPECT_EQ(r.Err, "httpget: Transfer closed with 40 bytes remaining to read (0)\n");

  // A server that closes without a word.
  TRawHttpServer mute([](const std::string&, int) { return std::string(); });
  r = RunTool({mute.Url("/")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err, "httpget: Empty reply from server (0)\n");

  // A server of another protocol: its banner is no status line, whatever
  // follows it, and nothing of it is kept, with or without -i.
  for (const char* reply : {"SSH-2.0-x\r\n", "SSH-2.0-x\n", "220 mail ready\r\n\r\nbody after a blank line",
                            "Content-Length: 4\r\n\r\nbody"}) {
    TRawHttpServer other([reply](const std::string&, int) { return std::string(reply); });
    for (bool include : {false, true}) {
      const std::string kept = TempPath("other.out");
      std::vector<std::string> args = {"-o", kept, other.Url("/")};
      if (include) args.insert(args.begin(), "-i");
      r = RunTool(args);
      EXPECT_EQ(r.Status, 1) << reply;
      EXPECT_EQ(r.Err, "httpget: Weird server reply: no HTTP status line (0)\n") << reply;
      EXPECT_NE(access(kept.c_str(), F_OK), 0) << reply << ": an output file was left behind";
    }
  }

  // A response line longer than the client's line buffer.
  TRawHttpServer longLine([](const std::string&, int) { return "HTTP/1.0 200 OK\r\nX: " + std::string(9000, 'a') + "\r\n\r\n"; });
  r = RunTool({longLine.Url("/")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
  EXPECT_EQ(r.Err.rfind("httpget: ", 0), 0u) << r.Err;

  // A header-less document is a document, not a failure.
  TRawHttpServer old([](const std::string&, int) { return std::string("<HTML>old style</HTML>\r\n"); });
  r = RunTool({old.Url("/")});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("old style"), std::string::npos);
}

TEST_F(HttpgetRequests, RelocationsTurnAPostIntoAGetAndStopAtTheLimit) {
  TRawHttpServer server([](const std::string& req, int index) {
    if (req.rfind("GET /final", 0) == 0) return Ok("final");
    if (req.rfind("POST /form", 0) == 0) return std::string("HTTP/1.0 302 Found\r\nLocation: /final\r\n\r\n");
    return "HTTP/1.0 302 Found\r\nLocation: /hop" + std::to_string(index) + "\r\nContent-Length: 0\r\n\r\n";
  });
  const std::string file = TempPath("body.txt");
  std::ofstream(file) << "a=b";
  TRun r = RunTool({"-d", file, server.Url("/form")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "final");
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[1].rfind("GET /final HTTP/1.0\r\n", 0), 0u);
  EXPECT_EQ(RequestBody(server.Requests()[1]), "");

  // Three relocations followed; the fourth is refused and never fetched.
  r = RunTool({"--max-redirs", "3", server.Url("/start")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err, "httpget: Maximum (3) relocations followed (3)\n");
  EXPECT_EQ(server.Requests().size(), 2u + 4u);
  unlink(file.c_str());
}

TEST_F(HttpgetRequests, BadOptionsExitWith2AndOneLine) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"--no-such-option", "http://127.0.0.1/"},
           {"-o"},
           {"-o", "", "http://127.0.0.1/"},
           {"ftp://127.0.0.1/"},
           {"--key", "/dev/null", "https://127.0.0.1/"},
           {"--cacert", "/nonexistent/ca.pem", "https://127.0.0.1/"},
           {"-I", "-d", "-", "http://127.0.0.1/"},
           {"-H", "NoColon", "http://127.0.0.1/"},
           {"-H", "Bad Name: x", "http://127.0.0.1/"},
           {"-r", "9-3", "http://127.0.0.1/"},
           {"-r", "a-b", "http://127.0.0.1/"},
           {"--if-modified-since", "2001-02-30 00:00:00", "http://127.0.0.1/"},
           {"--if-modified-since", "yesterday", "http://127.0.0.1/"},
           {"--max-redirs", "many", "http://127.0.0.1/"},
           {"--socks", "nohostport", "http://127.0.0.1/"},
           {"--socks", "127.0.0.1:1080", "--socks-level", "6", "http://127.0.0.1/"},
           {"--socks-user", "u", "http://127.0.0.1/"},
           {"--proxy-user", "u:p", "http://127.0.0.1/"},
           {"-A", "two\r\nX-Injected: 1", "http://127.0.0.1/"},
           {"--progress", "--no-progress", "http://127.0.0.1/"},
           {"http://127.0.0.1/a", "http://127.0.0.1/b"},
       }) {
    TRun r = RunTool(args);
    std::string shown;
    for (const auto& a : args) shown += "'" + a + "' ";
    EXPECT_EQ(r.Status, 2) << shown << r.Err;
    EXPECT_EQ(r.Err.rfind("httpget: ", 0), 0u) << shown << r.Err;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << shown << r.Err;
    EXPECT_EQ(r.Out, "") << shown;
  }
  TRun help = RunTool({"--help"});
  EXPECT_EQ(help.Status, 0);
  for (const char* opt : {"--output", "--head", "--data-file", "--header", "--user", "--proxy", "--socks-level",
                          "--include", "--range", "--cookie", "--agent", "--referer", "--no-cache",
                          "--if-modified-since", "--max-redirs", "--trace", "--progress", "--cacert", "--capath",
                          "--insecure", "--cert", "--key", "--tlsv1.2", "--tlsv1.3", "--verbose"})
    EXPECT_NE(help.Out.find(opt), std::string::npos) << opt;
}

TEST_F(HttpgetRequests, ProgressBarGoesToStandardErrorOnlyWhenAsked) {
  TRawHttpServer server([](const std::string&, int) { return Ok(std::string(50000, 'p')); });
  TRun r = RunTool({server.Url("/")});  // standard error is a file here: no bar
  ASSERT_EQ(r.Status, 0);
  EXPECT_EQ(r.Err, "");
  r = RunTool({"--progress", server.Url("/")});
  ASSERT_EQ(r.Status, 0);
  EXPECT_EQ(r.Out.size(), 50000u);
  EXPECT_NE(r.Err.find("100%"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("48.8 KiB"), std::string::npos) << r.Err;
}
