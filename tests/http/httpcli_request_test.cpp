// The bytes the client sends: request line and header lines in their order
// and under their conditions, POST bodies, proxy requests, credentials,
// ranges and dates, checked exactly on a scripted server.
#include <gtest/gtest.h>

#include "HttpTestUtil.h"

using namespace evc;
using namespace httptest;

namespace {

const char kOk[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nok";
const char kDefaultLines[] =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
    "User-Agent: Mozilla/3.0 (compatible)\r\n";

class RequestBytes : public ::testing::Test {
 protected:
  TRawHttpServer server;
  std::unique_ptr<THttpCli> cli = std::make_unique<THttpCli>(nullptr);
  TClientRecorder rec;
  void SetUp() override { rec.Attach(*cli); }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(server.Port()); }
  // Runs one request against a server answering `reply` and returns the
  // bytes the server received.
  std::string Capture(THttpRequest rq, const std::string& reply = kOk) {
    server.AddReply(reply);
    EXPECT_TRUE(RunRequest(*cli, rec, rq)) << rec.Joined();
    EXPECT_TRUE(server.WaitRequests(1));
    auto r = server.Requests();
    return r.empty() ? std::string() : r.back();
  }
};

TEST_F(RequestBytes, DefaultGetHasTheStockLinesOnly) {
  cli->SetURL(Base() + "/dir/page.htm");
  std::string got = Capture(hrGet);
  EXPECT_EQ(got, std::string("GET /dir/page.htm HTTP/1.0\r\n") + kDefaultLines + "Host: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(cli->DocumentName(), "page.htm");
  EXPECT_EQ(cli->HttpStatus(), 200);
}

TEST_F(RequestBytes, RootUrlAndQueryTargets) {
  cli->SetURL(Base());
  std::string got = Capture(hrGet);
  EXPECT_EQ(got.substr(0, 16), "GET / HTTP/1.0\r\n");
  EXPECT_EQ(cli->DocumentName(), "document.htm");

  cli->SetURL(Base() + "/a/b.cgi?q=1");
  server.AddReply(kOk);
  ASSERT_TRUE(RunRequest(*cli, rec, hrGet));
  ASSERT_TRUE(server.WaitRequests(2));
  std::string second = server.Requests()[1];
  EXPECT_EQ(second.substr(0, 26), "GET /a/b.cgi?q=1 HTTP/1.0\r");
  // The Host line carries no port.
  EXPECT_NE(second.find("\r\nHost: 127.0.0.1\r\n"), std::string::npos);
  EXPECT_EQ(cli->DocumentName(), "b.cgi");
}

TEST_F(RequestBytes, HeadAndSchemeInCapitals) {
  cli->SetURL("HTTP://127.0.0.1:" + std::to_string(server.Port()) + "/x");
  std::string got = Capture(hrHead);
  EXPECT_EQ(got, std::string("HEAD /x HTTP/1.0\r\n") + kDefaultLines + "Host: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(*rec.doneError, 0);
}

TEST_F(RequestBytes, EveryOptionalLineInItsPlace) {
  cli->SetURL(Base() + "/p");
  cli->SetSender("me@example.org");
  cli->SetReference("http://ref/");
  cli->SetAcceptLanguage("en");
  cli->SetNoCache(true);
  cli->SetModifiedSince(36893 + (13 * 3600 + 4 * 60 + 5) / 86400.0);
  cli->SetUsername("joe");
  cli->SetPassword("pw");
  cli->SetProxyUsername("notsent");  // no proxy: no Proxy-Authorization line
  cli->SetCookie("a=1; b=2");
  cli->SetContentRangeBegin("100");
  std::string got = Capture(hrGet);
  EXPECT_EQ(got,
            "GET /p HTTP/1.0\r\n"
            "From: me@example.org\r\n"
            "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
            "Referer: http://ref/\r\n"
            "Accept-Language: en\r\n"
            "User-Agent: Mozilla/3.0 (compatible)\r\n"
            "Host: 127.0.0.1\r\n"
            "Pragma: no-cache\r\n"
            "If-Modified-Since: Tue, 02 Jan 2001 13:04:05 GMT\r\n"
            "Authorization: Basic am9lOnB3\r\n"
            "Cookie: a=1; b=2\r\n"
            "Range: bytes=100-\r\n"
            "\r\n");
  // The range goes with the one request that carried it.
  EXPECT_EQ(cli->ContentRangeBegin(), "");
  EXPECT_EQ(cli->ContentRangeEnd(), "");
}

TEST_F(RequestBytes, EmptyPasswordStillEncodesTheColon) {
  cli->SetURL(Base() + "/");
  cli->SetUsername("user");
  cli->SetAccept("");
  cli->SetAgent("");
  std::string got = Capture(hrGet);
  EXPECT_EQ(got, "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Basic dXNlcjo=\r\n\r\n");
}

TEST_F(RequestBytes, CredentialsInTheUrlReplaceTheProperties) {
  cli->SetUsername("old");
  cli->SetURL("http://joe:se:cret@127.0.0.1:" + std::to_string(server.Port()) + "/");
  std::string got = Capture(hrGet);
  EXPECT_NE(got.find("\r\nAuthorization: Basic " + EncodeText(1, "joe:se:cret") + "\r\n"), std::string::npos) << got;
  EXPECT_EQ(cli->Username(), "joe");
  EXPECT_EQ(cli->Password(), "se:cret");
}

TEST_F(RequestBytes, PostSendsLengthTypeAndBody) {
  TMemoryStream body;
  std::string data = "name=value&x=%20";
  body.Write(data.data(), static_cast<int64_t>(data.size()));
  body.SetPosition(0);
  cli->SetPostStream(&body);
  cli->SetNoCache(true);
  cli->SetURL(Base() + "/form");
  std::string got = Capture(hrPost);
  EXPECT_EQ(got,
            "POST /form HTTP/1.0\r\n"
            "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "User-Agent: Mozilla/3.0 (compatible)\r\n"
            "Host: 127.0.0.1\r\n"
            "Pragma: no-cache\r\n"
            "Content-Length: 16\r\n"
            "\r\n" +
                data);
  EXPECT_EQ(cli->PostedCount(), 16);
  int begin = rec.IndexOf("send begin"), chunk = rec.IndexOf("send data 16"), end = rec.IndexOf("send end");
  EXPECT_TRUE(begin >= 0 && begin < chunk && chunk < end) << rec.Joined();
}

TEST_F(RequestBytes, LargePostArrivesWholeInBoundedChunks) {
  TMemoryStream body;
  std::string data;
  for (int i = 0; i < 300000; ++i) data.push_back(static_cast<char>((i * 7 + i / 251) & 0xFF));
  body.Write(data.data(), static_cast<int64_t>(data.size()));
  body.SetPosition(0);
  cli->SetPostStream(&body);
  int largest = 0, chunks = 0;
  cli->OnSendData = [&](TObject*, const void*, int32_t n) {
    largest = std::max(largest, n);
    ++chunks;
  };
  cli->SetURL(Base() + "/upload");
  std::string got = Capture(hrPost);
  size_t head = got.find("\r\n\r\n");
  ASSERT_NE(head, std::string::npos);
  EXPECT_NE(got.find("Content-Length: 300000\r\n"), std::string::npos);
  EXPECT_TRUE(got.substr(head + 4) == data) << "body of " << got.size() - head - 4 << " bytes differs";
  EXPECT_EQ(cli->PostedCount(), 300000);
  EXPECT_LE(largest, kHttpSendChunk);
  EXPECT_EQ(chunks, (300000 + kHttpSendChunk - 1) / kHttpSendChunk);
}

TEST_F(RequestBytes, EmptyPostStreamSendsZeroLength) {
  TMemoryStream body;
  cli->SetPostStream(&body);
  cli->SetURL(Base() + "/e");
  std::string got = Capture(hrPost);
  EXPECT_NE(got.find("\r\nContent-Length: 0\r\n\r\n"), std::string::npos);
  int begin = rec.IndexOf("send begin"), end = rec.IndexOf("send end");
  EXPECT_TRUE(begin >= 0 && end == begin + 1) << rec.Joined();
}

TEST_F(RequestBytes, ProxyGetsTheAbsoluteUrl) {
  // The scripted server plays the proxy; the document's host is never
  // looked up.
  cli->SetProxy("127.0.0.1:" + std::to_string(server.Port()));
  cli->SetProxyPort("1");  // not used: the proxy names its port
  cli->SetProxyUsername("pu");
  cli->SetProxyPassword("pp");
  cli->SetURL("http://www.example.test:8080/a/b.cgi?q=1");
  std::string got = Capture(hrGet);
  EXPECT_EQ(got, std::string("GET http://www.example.test:8080/a/b.cgi?q=1 HTTP/1.0\r\n") + kDefaultLines +
                     "Host: www.example.test\r\n"
                     "Proxy-Authorization: Basic " + EncodeText(1, "pu:pp") + "\r\n\r\n");
  EXPECT_EQ(cli->DocumentName(), "b.cgi");
}

TEST_F(RequestBytes, ProxyWithoutPortUsesProxyPort) {
  cli->SetProxy("127.0.0.1");
  cli->SetProxyPort(std::to_string(server.Port()));
  cli->SetURL("http://host.test/");
  std::string got = Capture(hrHead);
  EXPECT_EQ(got.substr(0, 35), "HEAD http://host.test/ HTTP/1.0\r\nAc");
}

TEST_F(RequestBytes, HandlersCanEditTheHeader) {
  cli->SetURL(Base() + "/h");
  cli->OnBeforeHeaderSend = [](TObject*, const std::string& method, TStrings* h) {
    EXPECT_EQ(method, "GET");
    h->Add("X-Extra: 1");
    h->Delete(1);  // the Accept line
  };
  cli->OnCommand = [](TObject*, std::string& line) {
    if (line.rfind("User-Agent", 0) == 0) line.clear();
  };
  std::string got = Capture(hrGet);
  EXPECT_EQ(got, "GET /h HTTP/1.0\r\n\r\nHost: 127.0.0.1\r\nX-Extra: 1\r\n\r\n");
}

TEST_F(RequestBytes, RelocationThroughAProxyKeepsProxyAndServerPort) {
  // The proxy names its own port, which differs from ProxyPort: the
  // relocated request must reach the same proxy, for the same server port.
  cli->SetProxy("127.0.0.1:" + std::to_string(server.Port()));
  cli->SetURL("http://www.example.test:8080/dir/a.htm");
  server.AddReply("HTTP/1.0 302 Found\r\nLocation: /next.htm\r\n\r\n");
  server.AddReply("HTTP/1.0 302 Found\r\nLocation: rel.htm\r\n\r\n");
  server.AddReply("HTTP/1.0 302 Found\r\nLocation: http://other.test:9090/x\r\n\r\n");
  server.AddReply(kOk);
  ASSERT_TRUE(RunRequest(*cli, rec, hrGet)) << rec.Joined();
  ASSERT_TRUE(server.WaitRequests(4));
  auto reqs = server.Requests();
  EXPECT_EQ(reqs[1].substr(0, reqs[1].find("\r\n")), "GET http://www.example.test:8080/next.htm HTTP/1.0");
  EXPECT_EQ(reqs[2].substr(0, reqs[2].find("\r\n")), "GET http://www.example.test:8080/rel.htm HTTP/1.0");
  EXPECT_EQ(reqs[3].substr(0, reqs[3].find("\r\n")), "GET http://other.test:9090/x HTTP/1.0");
  EXPECT_NE(reqs[3].find("\r\nHost: other.test\r\n"), std::string::npos);
  EXPECT_EQ(cli->HttpStatus(), 200);
  EXPECT_EQ(*rec.doneError, 0);
}

}  // namespace
