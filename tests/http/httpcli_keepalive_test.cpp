// RequestVer "1.1" against a scripted server that keeps its connections:
// reuse and the rules that end it, the retry of a request whose kept
// connection was closed under it, interim answers, trailers, bad framing
// that must end its request with its own code and leave nothing behind for
// the next one, and the Timeout of the synchronous calls.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "HttpTestUtil.h"
#include "common/KeepAliveServer.h"

using namespace evc;
using namespace httptest;
using evctest::TAnswer;
using evctest::TKeepAliveServer;

namespace {

const std::string kFine = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nfine";

std::string RequestLine(const std::string& request) { return request.substr(0, request.find("\r\n")); }

class KeepAlive : public ::testing::Test {
 protected:
  std::unique_ptr<THttpCli> cli = std::make_unique<THttpCli>(nullptr);
  TClientRecorder rec;
  void SetUp() override {
    rec.Attach(*cli);
    cli->SetRequestVer("1.1");
  }
  // One request; the recorder's body and log start empty for it.
  bool Run(TKeepAliveServer& server, const std::string& path, THttpRequest rq = hrGet) {
    rec.body->clear();
    rec.log.clear();
    cli->SetURL(server.Url(path));
    return RunRequest(*cli, rec, rq);
  }
};

TEST_F(KeepAlive, RequestsShareOneConnectionWithTheirOwnEvents) {
  // Lengths and chunks, one of them written a byte at a time.
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4;x=1\r\nchun\r\n3\r\nked\r\n0\r\n\r\n";
  TKeepAliveServer server([&](const std::string&, int i) {
    TAnswer a;
    if (i == 1) {
      for (char c : chunked) a.pieces.emplace_back(1, c);
      a.gapMs = 1;
    } else {
      a.pieces = {"HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nreply-" + std::to_string(i)};
    }
    return a;
  });
  const std::vector<std::string> bodies = {"reply-0", "chunked", "reply-2"};
  for (size_t i = 0; i < bodies.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(Run(server, "/r" + std::to_string(i)));
    EXPECT_EQ(*rec.body, bodies[i]);
    EXPECT_EQ(*rec.doneError, 0);
    EXPECT_EQ(rec.Count("done hrGet 0"), 1);
    EXPECT_EQ(cli->ConnectionReused(), i > 0);
    EXPECT_EQ(rec.Has("state hcLookingUp"), i == 0) << rec.Joined();
    // The per-request order: header, document, its end, then ready and done.
    EXPECT_LT(rec.IndexOf("session connected"), rec.IndexOf("header begin"));
    EXPECT_LT(rec.IndexOf("doc begin"), rec.IndexOf("doc end"));
    EXPECT_LT(rec.IndexOf("doc end"), rec.IndexOf("state hcReady"));
    EXPECT_EQ(rec.log.back(), "done hrGet 0");
    EXPECT_TRUE(cli->Connected());
  }
  EXPECT_EQ(cli->BodyLength(), 7);
  EXPECT_EQ(cli->RcvdCount64(), 7);
  ASSERT_EQ(server.Requests().size(), 3u);
  EXPECT_EQ(server.RequestConnections(), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(RequestLine(server.Requests()[0]), "GET /r0 HTTP/1.1");
  // 1.1 names the port, which is not http's own.
  EXPECT_NE(server.Requests()[2].find("\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(server.Connections(), 1);
}

TEST_F(KeepAlive, WhatEndsAConnection) {
  struct TRow {
    const char* what;
    std::string first;  // the answer to the first request
    bool reused;        // whether the second request went on the same connection
    std::string body;
  };
  const std::vector<TRow> rows = {
      {"1.1 with a length", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", true, "ok"},
      {"an error document with a length", "HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\nno", true, "no"},
      {"a zero length", "HTTP/1.1 204 No Content\r\n\r\n", true, ""},
      {"1.0 asking to keep it", "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\nok", true, "ok"},
      {"Connection: close", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok", false, "ok"},
      {"close among other tokens", "HTTP/1.1 200 OK\r\nConnection: foo, Close\r\nContent-Length: 2\r\n\r\nok", false,
       "ok"},
      {"1.0 without keep-alive", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", false, "ok"},
      {"a length and chunked", "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n",
       false, "ok"},
      {"bytes after the response", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokHTTP/1.1 200 OK\r\n\r\n", false, "ok"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.what);
    const bool endsByClose = !row.reused && row.first.find("close") != std::string::npos;
    TKeepAliveServer server([&](const std::string&, int i) {
      TAnswer a{{i == 0 ? row.first : kFine}};
      a.close = i == 0 && endsByClose;
      return a;
    });
    ASSERT_TRUE(Run(server, "/first"));
    EXPECT_EQ(*rec.body, row.body);
    EXPECT_EQ(*rec.doneError, 0);
    ASSERT_TRUE(Run(server, "/second"));
    EXPECT_EQ(*rec.body, "fine");
    EXPECT_EQ(*rec.doneError, 0);
    EXPECT_EQ(cli->ConnectionReused(), row.reused);
    EXPECT_EQ(server.Connections(), row.reused ? 1 : 2);
  }
}

TEST_F(KeepAlive, BytesThatCameWhileIdleAreNoAnswer) {
  // A second answer nobody asked for follows the first one a little later.
  TKeepAliveServer server([](const std::string&, int i) {
    if (i == 0) return TAnswer{{kFine, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nstale"}, 30};
    return TAnswer{{kFine}};
  });
  ASSERT_TRUE(Run(server, "/a"));
  // No messages handled meanwhile: the client has not heard of the bytes.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(Run(server, "/b"));
  EXPECT_EQ(*rec.body, "fine");
  EXPECT_EQ(*rec.doneError, 0);
  EXPECT_EQ(server.Connections(), 2);
}

TEST_F(KeepAlive, IdleLimitAndAClientThatKeepsNothing) {
  TKeepAliveServer server([](const std::string&, int) { return TAnswer{{kFine}}; });
  cli->SetKeepAliveTimeout(150);
  ASSERT_TRUE(Run(server, "/a"));
  PumpFor(300);
  ASSERT_TRUE(Run(server, "/b"));
  EXPECT_FALSE(cli->ConnectionReused());
  EXPECT_EQ(server.Connections(), 2);

  cli->SetKeepAliveTimeout(0);
  ASSERT_TRUE(Run(server, "/c"));
  ASSERT_TRUE(Run(server, "/d"));
  EXPECT_EQ(server.Connections(), 4);
  EXPECT_EQ(*rec.body, "fine");
  EXPECT_NE(server.Requests()[3].find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_EQ(server.Requests()[0].find("Connection:"), std::string::npos);
}

TEST_F(KeepAlive, AKeptConnectionClosedUnderARequest) {
  // The server takes the second request and closes without answering it.
  auto script = [](const std::string&, int i) {
    TAnswer a{{kFine}};
    if (i == 1) a = TAnswer{{}, 0, true};
    return a;
  };
  {
    TKeepAliveServer server(script);
    ASSERT_TRUE(Run(server, "/a"));
    ASSERT_TRUE(Run(server, "/b"));
    EXPECT_EQ(*rec.body, "fine");
    EXPECT_EQ(*rec.doneError, 0);
    EXPECT_EQ(rec.Count("done hrGet 0"), 1) << rec.Joined();
    EXPECT_EQ(server.RequestConnections(), (std::vector<int>{0, 0, 1}));
    PumpFor(50);
    EXPECT_EQ(rec.Count("done hrGet 0"), 1);
  }
  {
    // A POST may have had its effect: it is not sent again.
    TKeepAliveServer server(script);
    TMemoryStream body;
    body.Write("x=1", 3);
    cli->SetPostStream(&body);
    ASSERT_TRUE(Run(server, "/a"));
    body.SetPosition(0);
    ASSERT_TRUE(Run(server, "/b", hrPost));
    EXPECT_EQ(*rec.doneError, httpErrIncomplete);
    EXPECT_EQ(server.Requests().size(), 2u);
  }
  {
    // Only once: a server that drops every request on its kept connection
    // and then the retry too ends the request.
    TKeepAliveServer server([](const std::string&, int i) { return i == 0 ? TAnswer{{kFine}} : TAnswer{{}, 0, true}; });
    ASSERT_TRUE(Run(server, "/a"));
    ASSERT_TRUE(Run(server, "/b"));
    EXPECT_EQ(*rec.doneError, httpErrIncomplete);
    EXPECT_EQ(server.Requests().size(), 3u);
  }
}

TEST_F(KeepAlive, InterimAnswersAndTrailers) {
  TKeepAliveServer server([](const std::string&, int i) {
    if (i == 0)
      return TAnswer{{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\n",
                      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"},
                     20};
    return TAnswer{{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\nX-Digest: 1234\r\n\r\n"}};
  });
  ASSERT_TRUE(Run(server, "/a"));
  EXPECT_EQ(cli->HttpStatus(), 200);
  EXPECT_EQ(*rec.body, "ok");
  EXPECT_EQ(rec.Count("header begin"), 1);
  ASSERT_EQ(cli->ResponseHeader()->Count(), 2);
  EXPECT_EQ((*cli->ResponseHeader())[0], "HTTP/1.1 200 OK");
  ASSERT_TRUE(Run(server, "/b"));
  EXPECT_EQ(*rec.body, "abc");
  ASSERT_EQ(cli->ResponseHeader()->Count(), 3);
  EXPECT_EQ((*cli->ResponseHeader())[2], "X-Digest: 1234");
  EXPECT_EQ(rec.Count("doc data"), 1);
  EXPECT_EQ(server.Connections(), 1);
}

TEST_F(KeepAlive, BadFramingEndsItsRequestAndLeavesNothingBehind) {
  struct TRow {
    const char* what;
    std::vector<std::string> pieces;
    WORD error;
    std::string body;  // delivered before the fault
  };
  const std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::vector<TRow> rows = {
      {"a size that is not hexadecimal", {chunkedHead + "2\r\nab\r\nzz\r\ncd\r\n0\r\n\r\n"}, httpErrBadChunk, "ab"},
      {"a size beyond 64 bits", {chunkedHead + "10000000000000000\r\n"}, httpErrChunkOverflow, ""},
      {"no CR LF after the data", {chunkedHead + "3\r\nabcX\r\n0\r\n\r\n"}, httpErrChunkEnd, "abc"},
      {"a close inside a chunk", {chunkedHead + "5\r\nab"}, httpErrIncomplete, "ab"},
      {"a close before the length", {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabcd"}, httpErrIncomplete, "abcd"},
      {"a close inside the header", {"HTTP/1.1 200 OK\r\nContent-"}, httpErrIncomplete, ""},
      {"no status line", {"hello there\r\n\r\n"}, httpErrBadResponse, ""},
      {"a trailer line that does not end", {chunkedHead + "0\r\nX: 1\rY\r\n\r\n"}, httpErrBadChunk, ""},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.what);
    TKeepAliveServer server([&](const std::string&, int i) {
      if (i > 0) return TAnswer{{kFine}};
      TAnswer a{row.pieces};
      a.close = true;
      return a;
    });
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(Run(server, "/bad"));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(*rec.doneError, row.error) << rec.Joined();
    EXPECT_EQ(*rec.body, row.body);
    EXPECT_EQ(rec.Count("done hrGet " + std::to_string(row.error)), 1);
    ASSERT_TRUE(Run(server, "/next"));
    EXPECT_EQ(*rec.doneError, 0);
    EXPECT_EQ(*rec.body, "fine");
    EXPECT_EQ(cli->HttpStatus(), 200);
    EXPECT_EQ(server.Connections(), 2);
  }
}

TEST_F(KeepAlive, TimeoutOfTheSynchronousCalls) {
  TRawHttpServer silent;
  silent.AddReply(TReply{{}, 0, true});
  cli->SetRequestVer("1.0");
  cli->SetTimeout(200);
  cli->SetURL("http://127.0.0.1:" + std::to_string(silent.Port()) + "/never");
  auto t0 = std::chrono::steady_clock::now();
  try {
    cli->Get();
    ADD_FAILURE() << "Get returned";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.ErrorCode(), httpErrTimeout);
  }
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, std::chrono::milliseconds(190));
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  EXPECT_EQ(cli->State(), hcReady);
  ASSERT_TRUE(PumpUntil([&] { return rec.Done(); }, 2000));
  EXPECT_EQ(rec.Count("done hrGet " + std::to_string(httpErrTimeout)), 1);

  // A request that ends in time is not touched by the limit.
  TKeepAliveServer server([](const std::string&, int) { return TAnswer{{kFine}}; });
  cli->SetRequestVer("1.1");
  cli->SetURL(server.Url("/quick"));
  cli->Get();
  EXPECT_EQ(cli->HttpStatus(), 200);
}

TEST_F(KeepAlive, RequestVerIsAPublishedSetting) {
  THttpCli fresh(nullptr);
  EXPECT_EQ(fresh.RequestVer(), "1.0");
  EXPECT_EQ(fresh.Timeout(), 0);
  EXPECT_THROW(fresh.SetRequestVer("2"), EHttpException);
  EXPECT_EQ(fresh.RequestVer(), "1.0");
  fresh.SetRequestVer("1.1");
  EXPECT_EQ(fresh.RequestVer(), "1.1");
}

}  // namespace
