// Reading responses from a scripted server: status and fields, line ends,
// documents with and without a header, zero lengths, cookies, ranges,
// oversized and malformed lines, error documents and document names.
#include <gtest/gtest.h>

#include "HttpTestUtil.h"

using namespace evc;
using namespace httptest;

namespace {

class Response : public ::testing::Test {
 protected:
  TRawHttpServer server;
  std::unique_ptr<THttpCli> cli = std::make_unique<THttpCli>(nullptr);
  TClientRecorder rec;
  TMemoryStream stream;
  void SetUp() override {
    rec.Attach(*cli);
    cli->SetReceiveStream(&stream);
  }
  std::string Url(const std::string& path = "/doc.htm") const {
    return "http://127.0.0.1:" + std::to_string(server.Port()) + path;
  }
  bool Get(const TReply& reply, const std::string& path = "/doc.htm") {
    server.AddReply(reply);
    cli->SetURL(Url(path));
    return RunRequest(*cli, rec, hrGet);
  }
  bool Get(const std::string& reply, const std::string& path = "/doc.htm") { return Get(TReply{{reply}}, path); }
};

TEST_F(Response, StatusFieldsAndDocument) {
  ASSERT_TRUE(Get("HTTP/1.0 200 OK\r\nContent-Type: Text/HTML\r\nContent-Length:   3 \r\n"
                  "Accept-Ranges: bytes\r\nX-Other: y\r\n\r\nabc"));
  EXPECT_EQ(cli->HttpStatus(), 200);
  EXPECT_EQ(cli->StatusText(), "OK");
  EXPECT_EQ(cli->ContentType(), "text/html");
  EXPECT_EQ(cli->BodyLength(), 3);
  EXPECT_EQ(cli->AcceptRanges(), "bytes");
  EXPECT_EQ(cli->ReceivedCount(), 3);
  EXPECT_EQ(*rec.body, "abc");
  EXPECT_EQ(stream.DataString(), "abc");
  EXPECT_EQ(*rec.doneError, 0);
  ASSERT_EQ(cli->ResponseHeader()->Count(), 5);
  EXPECT_EQ((*cli->ResponseHeader())[0], "HTTP/1.0 200 OK");
  EXPECT_EQ((*cli->ResponseHeader())[4], "X-Other: y");
  EXPECT_EQ(rec.Count("doc end"), 1);
  EXPECT_LT(rec.IndexOf("state hcAwaitingBody"), rec.IndexOf("header end"));
  EXPECT_LT(rec.IndexOf("header end"), rec.IndexOf("doc begin"));
  EXPECT_LT(rec.IndexOf("doc end"), rec.IndexOf("state hcReady"));
}

TEST_F(Response, BareLineFeedsAndSplitArrival) {
  TReply r;
  r.pieces = {"HTTP/1.1 201 Cre", "ated\nContent-Type: text/plain\n", "\nfirst part\n", "second part"};
  r.gapMs = 30;
  ASSERT_TRUE(Get(r));
  EXPECT_EQ(cli->HttpStatus(), 201);
  EXPECT_EQ(cli->StatusText(), "Created");
  EXPECT_EQ(cli->ContentType(), "text/plain");
  EXPECT_EQ(*rec.body, "first part\nsecond part");
  EXPECT_GE(rec.Count("doc data"), 2);
}

TEST_F(Response, LargeDocumentKeepsEveryByte) {
  std::string doc;
  for (int i = 0; i < 1 << 20; ++i) doc.push_back(static_cast<char>((i ^ (i >> 8)) & 0xFF));
  ASSERT_TRUE(Get("HTTP/1.0 200 OK\r\n\r\n" + doc));
  EXPECT_EQ(cli->ReceivedCount(), 1 << 20);
  EXPECT_TRUE(*rec.body == doc);
  EXPECT_TRUE(stream.DataString() == doc);
  EXPECT_EQ(cli->BodyLength(), -1);
}

TEST_F(Response, DocumentWithoutHeader) {
  ASSERT_TRUE(Get("<html>\r\n<body>hi</body>\n</html>"));
  EXPECT_EQ(cli->HttpStatus(), 0);
  EXPECT_EQ(cli->ContentType(), "text/html");
  EXPECT_EQ(cli->ResponseHeader()->Count(), 0);
  // The document arrives byte for byte, line ends included.
  EXPECT_EQ(*rec.body, "<html>\r\n<body>hi</body>\n</html>");
  EXPECT_EQ(*rec.doneError, 0);
}

TEST_F(Response, ZeroLengthEndsAtTheHeaderWithConnectionOpen) {
  TReply r;
  r.pieces = {"HTTP/1.0 204 No Content\r\nContent-Length: 0\r\n\r\n"};
  r.keepOpen = true;
  ASSERT_TRUE(Get(r)) << rec.Joined();
  EXPECT_EQ(cli->HttpStatus(), 204);
  EXPECT_FALSE(rec.Has("doc begin"));
  EXPECT_EQ(rec.Count("header end"), 1);
  EXPECT_EQ(cli->Socket()->State(), wsConnected);

  // The next request must not trip over the connection left open.
  ASSERT_TRUE(Get("HTTP/1.0 200 OK\r\n\r\nnext")) << rec.Joined();
  EXPECT_EQ(*rec.body, "next");
  EXPECT_EQ(*rec.doneError, 0);
  EXPECT_EQ(server.Connections(), 2);
}

TEST_F(Response, CookiesAuthenticationAndRanges) {
  ASSERT_TRUE(Get("HTTP/1.0 206 Partial\r\nSet-Cookie: a=1; path=/\r\nset-cookie:b=2\r\n"
                  "WWW-Authenticate: Basic realm=\"x\"\r\nContent-Range: bytes 100-199/1000\r\n\r\nz"));
  int a = rec.IndexOf("cookie a=1; path=/"), b = rec.IndexOf("cookie b=2");
  ASSERT_GE(a, 0);
  ASSERT_GT(b, a);
  // Each cookie comes just before the header line that carries it.
  EXPECT_EQ(rec.log[a + 1], "header data Set-Cookie: a=1; path=/");
  EXPECT_EQ(cli->ContentRangeBegin(), "100");
  EXPECT_EQ(cli->ContentRangeEnd(), "199");
  ASSERT_EQ(cli->AuthenticateList()->Count(), 1);
  EXPECT_EQ((*cli->AuthenticateList())[0], "Basic realm=\"x\"");

  // The received range is asked for again, and the list keeps growing.
  ASSERT_TRUE(Get("HTTP/1.0 200 OK\r\nWWW-Authenticate: Digest\r\n\r\n"));
  ASSERT_TRUE(server.WaitRequests(2));
  EXPECT_NE(server.Requests()[1].find("\r\nRange: bytes=100-199\r\n"), std::string::npos);
  EXPECT_EQ(cli->AuthenticateList()->Count(), 2);

  ASSERT_TRUE(Get("HTTP/1.0 200 OK\r\nContent-Range: bytes */1000\r\n\r\n"));
  EXPECT_EQ(cli->ContentRangeBegin(), "");
  EXPECT_EQ(cli->ContentRangeEnd(), "");
}

TEST_F(Response, LineOfTheBufferSizeIsTooLongAndEndsTheRequest) {
  // The longest line that fits: 8191 characters and its line feed.
  std::string fits(8191 - 8, 'v');
  ASSERT_TRUE(Get("HTTP/1.0 200 OK\r\nX-Long: " + fits + "\n\r\nok"));
  EXPECT_EQ((*cli->ResponseHeader())[1].size(), 8191u);
  EXPECT_EQ(*rec.body, "ok");
  EXPECT_EQ(*rec.doneError, 0);

  // One more byte and the line cannot be held: the request ends with code 4
  // even though the server keeps the connection open.
  TReply r;
  r.pieces = {"HTTP/1.0 200 OK\r\nX-Long: " + std::string(8192 - 8, 'w') + "\n\r\nbody"};
  r.keepOpen = true;
  rec.log.clear();
  ASSERT_TRUE(Get(r)) << rec.Joined();
  EXPECT_EQ(*rec.doneError, httpErrLineTooLong);
  EXPECT_EQ(cli->HttpStatus(), 200);
  EXPECT_EQ(rec.Count("doc begin"), 0);
}

TEST_F(Response, StatusCodeThatIsNotANumberEndsTheRequestWithAnError) {
  TReply r;
  r.pieces = {"HTTP/1.0 2x0 Odd\r\nContent-Type: text/plain\r\n\r\nbody"};
  r.keepOpen = true;
  ASSERT_TRUE(Get(r)) << rec.Joined();
  EXPECT_EQ(*rec.doneError, httpErrBadResponse);
  EXPECT_FALSE(rec.Has("doc begin"));

  ASSERT_TRUE(Get("HTTP/1.0 200 OK\r\nContent-Length: many\r\n\r\nbody"));
  EXPECT_EQ(*rec.doneError, httpErrBadResponse);
}

TEST_F(Response, OtherVersionsAreStoredButNotRecognised) {
  ASSERT_TRUE(Get("HTTP/2.0 200 OK\r\nContent-Type: text/plain\r\n\r\nx"));
  EXPECT_EQ(cli->HttpStatus(), 0);
  EXPECT_EQ(cli->ResponseHeader()->Count(), 2);
  EXPECT_EQ(*rec.body, "x");
}

TEST_F(Response, ErrorDocumentClosesAfterTheHeader) {
  TReply r;
  r.pieces = {"HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<p>first", "<p>later"};
  r.gapMs = 300;
  ASSERT_TRUE(Get(r)) << rec.Joined();
  EXPECT_EQ(cli->HttpStatus(), 404);
  EXPECT_EQ(cli->StatusText(), "Not Found");
  // Only what came with the header is delivered.
  EXPECT_EQ(*rec.body, "<p>first");
  EXPECT_EQ(rec.Count("doc end"), 1);

  server.AddReply("HTTP/1.0 404 Not Found\r\n\r\ngone");
  cli->SetURL(Url("/missing"));
  try {
    cli->Get();
    FAIL() << "no exception";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.ErrorCode(), 404);
    EXPECT_EQ(e.Message(), "Not Found");
  }
}

TEST_F(Response, DocumentNameFollowsTheType) {
  ASSERT_TRUE(Get("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nx", "/dl/setup.exe"));
  EXPECT_EQ(cli->DocumentName(), "setup.htm");
  ASSERT_TRUE(Get("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nx", "/dl/page"));
  EXPECT_EQ(cli->DocumentName(), "page.htm");
  ASSERT_TRUE(Get("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nx", "/dl/image.gif"));
  EXPECT_EQ(cli->DocumentName(), "image.gif");
  ASSERT_TRUE(Get("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\nx", "/dl/tool.exe"));
  EXPECT_EQ(cli->DocumentName(), "tool.exe");
}

TEST_F(Response, ConnectionClosedInsideTheHeader) {
  ASSERT_TRUE(Get("HTTP/1.0 200 OK\r\nContent-Type: text/pl"));
  EXPECT_EQ(rec.Count("header begin"), 1);
  EXPECT_EQ(rec.Count("header end"), 1);
  EXPECT_FALSE(rec.Has("doc begin"));
  EXPECT_EQ(*rec.doneError, 0);
}

TEST_F(Response, HeadEndsWhenTheServerCloses) {
  server.AddReply("HTTP/1.0 200 OK\r\nContent-Length: 1234\r\n\r\n");
  cli->SetURL(Url());
  ASSERT_TRUE(RunRequest(*cli, rec, hrHead));
  EXPECT_EQ(cli->BodyLength(), 1234);
  EXPECT_EQ(cli->ReceivedCount(), 0);
  EXPECT_EQ(rec.log.back(), "done hrHead 0");
}

}  // namespace
