// The request state machine: event order of a whole request, misuse,
// failed lookups and connections, aborts, relocation chains, synchronous
// requests (also in a worker thread) and form files.
#include <gtest/gtest.h>

#include <thread>

#include "HttpTestUtil.h"
#include "base/FormFile.h"

using namespace evc;
using namespace httptest;

namespace {

class States : public ::testing::Test {
 protected:
  TRawHttpServer server;
  std::unique_ptr<THttpCli> cli = std::make_unique<THttpCli>(nullptr);
  TClientRecorder rec;
  void SetUp() override { rec.Attach(*cli); }
  std::string Url(const std::string& path = "/a.htm") const {
    return "http://127.0.0.1:" + std::to_string(server.Port()) + path;
  }
};

TEST_F(States, SuccessfulRequestFiresEverythingInOrder) {
  server.AddReply("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nabc");
  cli->SetURL("http://localhost:" + std::to_string(server.Port()) + "/a.htm");
  ASSERT_TRUE(RunRequest(*cli, rec, hrGet)) << rec.Joined();
  std::vector<std::string> want = {"state hcNotConnected",
                                   "state hcLookingUp",
                                   "state hcLookupDone",
                                   "state hcConnected",
                                   "session connected",
                                   "state hcAwaitingHeader",
                                   "request header begin",
                                   "before send GET",
                                   "request header end",
                                   "header begin",
                                   "header data HTTP/1.0 200 OK",
                                   "header data Content-Type: text/plain",
                                   "state hcAwaitingBody",
                                   "header end",
                                   "doc begin",
                                   "doc data",
                                   "doc end",
                                   "state hcReady",
                                   "done hrGet 0"};
  EXPECT_EQ(rec.log, want) << rec.Joined();
  EXPECT_EQ(cli->DnsResult(), "127.0.0.1");
  EXPECT_FALSE(cli->Connected());
  EXPECT_EQ(cli->State(), hcReady);
  EXPECT_EQ(cli->RequestType(), hrGet);
}

TEST_F(States, MisuseRaisesWithItsCode) {
  EXPECT_EQ(cli->RequestType(), hrNone);
  try {
    cli->BeginPost();
    FAIL();
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.ErrorCode(), 2);
    EXPECT_EQ(e.Message(), "HTTP component has nothing to post");
  }
  EXPECT_EQ(cli->State(), hcReady);
  EXPECT_TRUE(rec.log.empty());

  server.AddReply("HTTP/1.0 200 OK\r\n\r\nfirst");
  cli->SetURL(Url());
  cli->RequestAsync(hrGet);
  try {
    cli->RequestAsync(hrHead);
    FAIL();
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.ErrorCode(), 1);
    EXPECT_EQ(e.Message(), "HTTP component is busy");
  }
  ASSERT_TRUE(PumpUntil([&] { return rec.Done(); }));
  EXPECT_EQ(*rec.body, "first");
  EXPECT_EQ(rec.Count("done hrGet 0"), 1);
}

TEST_F(States, AbortWhileReadyDoesNothing) {
  cli->Abort();
  PumpFor(50);
  EXPECT_TRUE(rec.log.empty());
  EXPECT_EQ(cli->State(), hcReady);
}

TEST_F(States, HostlessUrlFailsAsAnUnresolvedName) {
  cli->SetURL("http:///nohost");
  cli->RequestAsync(hrGet);
  // Never reported from inside the call, even though it failed there.
  EXPECT_EQ(*rec.done, 0);
  ASSERT_TRUE(PumpUntil([&] { return rec.Done(); }));
  EXPECT_TRUE(rec.Has("socket error"));
  EXPECT_EQ(cli->HttpStatus(), 404);
  EXPECT_EQ(cli->StatusText(), "can't resolve hostname to IP address");
  EXPECT_EQ(*rec.doneError, 10022);
  EXPECT_EQ(rec.log.back(), "done hrGet 10022");
  EXPECT_EQ(rec.Count("done hrGet 10022"), 1);

  try {
    cli->Get();
    FAIL();
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.ErrorCode(), 404);
    EXPECT_EQ(e.Message(), "can't resolve hostname to IP address");
  }
}

TEST_F(States, NameTheResolverRejectsFailsTheLookup) {
  // A label of 70 characters is refused by the resolver before any query
  // is made, so this lookup fails on the worker without touching a network.
  cli->SetURL("http://" + std::string(70, 'a') + ".example/x");
  cli->RequestAsync(hrGet);
  EXPECT_EQ(cli->State(), hcLookingUp);
  ASSERT_TRUE(PumpUntil([&] { return rec.Done(); })) << rec.Joined();
  std::vector<std::string> want = {"state hcNotConnected", "state hcLookingUp", "state hcReady", "done hrGet 11001"};
  EXPECT_EQ(rec.log, want) << rec.Joined();
  EXPECT_EQ(cli->HttpStatus(), 404);
  EXPECT_EQ(cli->StatusText(), "can't resolve hostname to IP address");
  EXPECT_EQ(cli->DnsResult(), "");
}

TEST_F(States, RefusedConnectionEndsWithItsCode) {
  cli->SetURL("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/");
  cli->RequestAsync(hrGet);
  EXPECT_EQ(*rec.done, 0);
  ASSERT_TRUE(PumpUntil([&] { return rec.Done(); })) << rec.Joined();
  EXPECT_EQ(*rec.doneError, 10061);
  EXPECT_EQ(cli->HttpStatus(), 404);
  EXPECT_EQ(cli->StatusText(), "Connection refused (Error #10061)");
  EXPECT_FALSE(rec.Has("session connected"));
  PumpFor(50);
  EXPECT_EQ(rec.Count("done hrGet 10061"), 1);
  EXPECT_EQ(rec.Count("state hcReady"), 1);
}

TEST_F(States, UnusablePortEndsTheRequestInsteadOfHanging) {
  cli->SetURL("http://127.0.0.1:nosuchservice/");
  ASSERT_TRUE(RunRequest(*cli, rec, hrGet, 3000)) << rec.Joined();
  EXPECT_NE(*rec.doneError, 0);
  EXPECT_EQ(cli->HttpStatus(), 404);
  EXPECT_EQ(cli->StatusText().rfind("can't connect: ", 0), 0u) << cli->StatusText();
}

TEST_F(States, AbortDuringLookupGivesOneDoneWithCode3) {
  cli->SetURL("http://localhost:" + std::to_string(server.Port()) + "/");
  cli->RequestAsync(hrHead);
  ASSERT_EQ(cli->State(), hcLookingUp);
  cli->Abort();
  EXPECT_EQ(cli->State(), hcReady);
  EXPECT_EQ(*rec.done, 0);
  PumpFor(200);
  EXPECT_EQ(rec.Count("done hrHead 3"), 1) << rec.Joined();
  EXPECT_EQ(*rec.done, 1);
  int aborting = rec.IndexOf("state hcAborting"), ready = rec.IndexOf("state hcReady");
  EXPECT_TRUE(aborting >= 0 && aborting < ready && ready < rec.IndexOf("done hrHead 3")) << rec.Joined();
  EXPECT_EQ(cli->StatusText(), "Connection aborted on request");
  EXPECT_EQ(server.Connections(), 0);
}

TEST_F(States, AbortWhileAwaitingTheBody) {
  TReply r;
  r.pieces = {"HTTP/1.0 200 OK\r\n\r\npart", "never"};
  r.gapMs = 600;
  server.AddReply(r);
  cli->SetURL(Url());
  cli->OnDocData = [&](TObject*, const void*, int32_t) { cli->Abort(); };
  cli->RequestAsync(hrGet);
  ASSERT_TRUE(PumpUntil([&] { return rec.Done(); })) << rec.Joined();
  PumpFor(100);
  EXPECT_EQ(*rec.done, 1);
  EXPECT_EQ(*rec.doneError, 3);
  EXPECT_EQ(cli->Socket()->State(), wsClosed);
}

TEST_F(States, RelocationChainWithAbsoluteAndRelativeLocations) {
  std::string port = std::to_string(server.Port());
  server.AddReply("HTTP/1.0 302 Found\r\nLocation: http://localhost:" + port + "/dir/two.htm\r\n\r\n");
  server.AddReply("HTTP/1.0 301 Moved\r\nLocation: three.htm\r\n\r\nignored");
  server.AddReply("HTTP/1.0 302 Found\r\nLocation: /top.htm#frag\r\n\r\n");
  server.AddReply("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nfinal");
  cli->SetURL(Url("/one.htm"));
  ASSERT_TRUE(RunRequest(*cli, rec, hrGet)) << rec.Joined();
  EXPECT_EQ(*rec.body, "final");
  EXPECT_EQ(cli->HttpStatus(), 200);
  EXPECT_EQ(rec.Count("header begin"), 4);
  EXPECT_EQ(rec.Count("header end"), 4);
  EXPECT_EQ(rec.Count("done hrGet 0"), 1);
  // The reported location names the host without its port.
  EXPECT_TRUE(rec.Has("location http://localhost/dir/two.htm")) << rec.Joined();
  EXPECT_TRUE(rec.Has("location http://localhost/dir/three.htm")) << rec.Joined();
  EXPECT_TRUE(rec.Has("location http://localhost/top.htm#frag")) << rec.Joined();
  EXPECT_EQ(cli->DocumentName(), "top.htm");
  ASSERT_TRUE(server.WaitRequests(4));
  auto reqs = server.Requests();
  EXPECT_EQ(reqs[1].substr(0, 28), "GET /dir/two.htm HTTP/1.0\r\nA");
  EXPECT_NE(reqs[1].find("\r\nHost: localhost\r\n"), std::string::npos);
  EXPECT_EQ(reqs[2].substr(0, 30), "GET /dir/three.htm HTTP/1.0\r\nA");
  EXPECT_EQ(reqs[3].substr(0, 31), "GET /top.htm#frag HTTP/1.0\r\nAcc");
  EXPECT_EQ(cli->ReceivedCount(), 5);
}

TEST_F(States, PostAnsweredWithALocationIsRepeatedAsGet) {
  TMemoryStream body;
  body.Write("k=v", 3);
  body.SetPosition(0);
  cli->SetPostStream(&body);
  server.AddReply("HTTP/1.0 303 See Other\r\nLocation: /result\r\n\r\n");
  server.AddReply("HTTP/1.0 200 OK\r\n\r\nthanks");
  cli->SetURL(Url("/form"));
  ASSERT_TRUE(RunRequest(*cli, rec, hrPost)) << rec.Joined();
  ASSERT_TRUE(server.WaitRequests(2));
  auto reqs = server.Requests();
  EXPECT_EQ(reqs[0].substr(0, 22), "POST /form HTTP/1.0\r\nA");
  EXPECT_EQ(reqs[0].substr(reqs[0].size() - 7), "\r\n\r\nk=v");
  EXPECT_EQ(reqs[1].substr(0, 20), "GET /result HTTP/1.0");
  EXPECT_EQ(reqs[1].find("Content-Length"), std::string::npos);
  EXPECT_EQ(reqs[1].substr(reqs[1].size() - 4), "\r\n\r\n");
  EXPECT_EQ(rec.log.back(), "done hrGet 0");
  EXPECT_EQ(*rec.body, "thanks");
}

TEST_F(States, AbortBeforeTheRelocationStartsDoesNotFollowIt) {
  // Abort as soon as the Location line is read, while the header goes on.
  TReply r;
  r.pieces = {"HTTP/1.0 302 Found\r\nLocation: /elsewhere\r\n", "\r\n"};
  r.gapMs = 200;
  server.AddReply(r);
  server.AddReply("HTTP/1.0 200 OK\r\n\r\nshould not be fetched");
  cli->SetURL(Url());
  cli->OnHeaderData = [&](TObject*) {
    if (cli->LastLine().rfind("Location", 0) == 0) cli->Abort();
  };
  cli->RequestAsync(hrGet);
  ASSERT_TRUE(PumpUntil([&] { return rec.Done(); }));
  PumpFor(400);
  EXPECT_EQ(*rec.done, 1);
  EXPECT_EQ(*rec.doneError, 3);
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_EQ(cli->State(), hcReady);
  EXPECT_EQ(rec.Count("state hcLookingUp"), 1);
}

TEST_F(States, AbortFromLocationChangeDoesNotFollowIt) {
  server.AddReply("HTTP/1.0 302 Found\r\nLocation: /elsewhere\r\n\r\n");
  server.AddReply("HTTP/1.0 200 OK\r\n\r\nshould not be fetched");
  cli->SetURL(Url());
  cli->OnLocationChange = [&](TObject*) { cli->Abort(); };
  cli->RequestAsync(hrGet);
  ASSERT_TRUE(PumpUntil([&] { return rec.Done(); }));
  PumpFor(300);
  EXPECT_EQ(*rec.done, 1);
  EXPECT_EQ(*rec.doneError, 3);
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_EQ(rec.Count("state hcLookingUp"), 1);
}

TEST_F(States, AbortEndsAnEndlessRelocationLoop) {
  for (int i = 0; i < 40; ++i) server.AddReply("HTTP/1.0 302 Found\r\nLocation: /loop\r\n\r\n");
  int seen = 0;
  cli->OnLocationChange = [&](TObject*) {
    if (++seen == 25) cli->Abort();
  };
  cli->SetURL(Url("/loop"));
  cli->RequestAsync(hrGet);
  ASSERT_TRUE(PumpUntil([&] { return rec.Done(); }, 10000)) << seen;
  PumpFor(100);
  EXPECT_EQ(seen, 25);
  EXPECT_EQ(server.Connections(), 25);
  EXPECT_EQ(*rec.doneError, 3);
}

TEST_F(States, SynchronousRequestAndMultiThreadedFlag) {
  server.AddReply("HTTP/1.0 200 OK\r\n\r\nsync");
  cli->SetURL(Url());
  cli->Get();
  EXPECT_EQ(cli->State(), hcReady);
  EXPECT_EQ(*rec.body, "sync");
  // The done event comes later, from the queue.
  PumpUntil([&] { return rec.Done(); });
  EXPECT_EQ(*rec.done, 1);

  cli->SetMultiThreaded(true);
  EXPECT_TRUE(cli->Socket()->MultiThreaded());
  cli->SetMultiThreaded(false);
  EXPECT_FALSE(cli->Socket()->MultiThreaded());
}

TEST_F(States, WorkerThreadRunsItsOwnSynchronousRequest) {
  server.AddReply("HTTP/1.0 200 OK\r\n\r\nfrom the worker");
  std::string body, failure;
  int status = 0;
  std::thread worker([&] {
    try {
      THttpCli c(nullptr);
      c.SetMultiThreaded(true);
      c.SetURL(Url());
      c.OnDocData = [&](TObject*, const void* p, int32_t n) { body.append(static_cast<const char*>(p), n); };
      c.Get();
      status = c.HttpStatus();
    } catch (const std::exception& e) {
      failure = e.what();
    }
  });
  worker.join();
  EXPECT_EQ(failure, "");
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, "from the worker");
}

TEST(HttpCliForm, PublishedSettingsRoundTrip) {
  THttpCli a(nullptr);
  a.SetName("Http1");
  a.SetURL("http://host/x");
  a.SetProxy("proxy:3128");
  a.SetNoCache(true);
  a.SetModifiedSince(36893.5);
  a.SetAgent("agent/1");
  std::string text = ComponentToText(a);
  EXPECT_NE(text.find("object Http1: THttpCli"), std::string::npos) << text;
  EXPECT_NE(text.find("URL = 'http://host/x'"), std::string::npos) << text;
  // Values at their defaults are not written.
  EXPECT_EQ(text.find("ProxyPort"), std::string::npos) << text;
  std::unique_ptr<TComponent> back(TextToComponent(text, nullptr));
  auto* b = dynamic_cast<THttpCli*>(back.get());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->URL(), "http://host/x");
  EXPECT_EQ(b->Proxy(), "proxy:3128");
  EXPECT_EQ(b->ProxyPort(), "80");
  EXPECT_TRUE(b->NoCache());
  EXPECT_DOUBLE_EQ(b->ModifiedSince(), 36893.5);
  EXPECT_EQ(b->Agent(), "agent/1");
  EXPECT_EQ(b->Accept(), "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
  // The client's own socket is part of it, not a component of the form: it
  // is not written, so reading back does not add a second one each time.
  EXPECT_EQ(text.find("DAVidavi"), std::string::npos) << text;
  EXPECT_EQ(b->ComponentCount(), 1);
  EXPECT_EQ(ComponentToText(*b), text);
}

}  // namespace
