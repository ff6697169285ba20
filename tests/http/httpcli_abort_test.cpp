// Abort from inside every event of a request, against a real server on
// loopback: exactly one OnRequestDone, and nothing of the request after the
// abort (no connection, no byte sent, no further event).
#include <gtest/gtest.h>

#include "HttpTestUtil.h"
#include "common/ChainEvent.h"
#include "base/Streams.h"

using namespace evc;
using evctest::Chain;
using namespace httptest;

namespace {

enum TTarget { kLocalhost, kDotted, kHostless, kRelocating };
constexpr int kNothingSent = -1;  // no request bytes reach the server
constexpr int kPostSize = 20000;  // three body chunks

struct TAbortCase {
  const char* at;     // the recorded event whose handler aborts (a prefix)
  int occurrence;     // at its n-th occurrence
  const char* then;   // a second event that aborts again, or nullptr
  THttpRequest rq;
  TTarget target;
  int connections;    // connections the server sees in all
  int bodySent;       // body bytes behind the request header, or kNothingSent
  WORD error;         // of the one OnRequestDone
};

const TAbortCase kCases[] = {
    {"state hcNotConnected", 1, nullptr, hrGet, kLocalhost, 0, kNothingSent, 3},
    {"state hcLookingUp", 1, nullptr, hrGet, kLocalhost, 0, kNothingSent, 3},
    {"state hcLookingUp", 1, nullptr, hrGet, kDotted, 0, kNothingSent, 3},
    {"state hcLookupDone", 1, nullptr, hrGet, kLocalhost, 0, kNothingSent, 3},
    {"state hcLookupDone", 1, nullptr, hrGet, kDotted, 0, kNothingSent, 3},
    {"socket error", 1, nullptr, hrGet, kHostless, 0, kNothingSent, 3},
    {"state hcConnected", 1, nullptr, hrGet, kLocalhost, 1, kNothingSent, 3},
    {"session connected", 1, nullptr, hrGet, kLocalhost, 1, kNothingSent, 3},
    {"state hcAwaitingHeader", 1, nullptr, hrGet, kLocalhost, 1, kNothingSent, 3},
    {"request header begin", 1, nullptr, hrGet, kLocalhost, 1, kNothingSent, 3},
    {"before send GET", 1, nullptr, hrGet, kLocalhost, 1, kNothingSent, 3},
    {"command GET", 1, nullptr, hrGet, kLocalhost, 1, kNothingSent, 3},
    {"command Host", 1, nullptr, hrGet, kLocalhost, 1, kNothingSent, 3},
    {"request header end", 1, nullptr, hrGet, kLocalhost, 1, kNothingSent, 3},
    {"send begin", 1, nullptr, hrPost, kLocalhost, 1, 0, 3},
    {"send data", 1, nullptr, hrPost, kLocalhost, 1, 0, 3},
    {"send data", 2, nullptr, hrPost, kLocalhost, 1, 8193, 3},
    {"send end", 1, nullptr, hrPost, kLocalhost, 1, kPostSize, 3},
    {"header begin", 1, nullptr, hrGet, kLocalhost, 1, 0, 3},
    {"header data HTTP", 1, nullptr, hrGet, kLocalhost, 1, 0, 3},
    {"cookie", 1, nullptr, hrHead, kLocalhost, 1, 0, 3},
    {"state hcAwaitingBody", 1, nullptr, hrGet, kLocalhost, 1, 0, 3},
    {"header end", 1, nullptr, hrGet, kLocalhost, 1, 0, 3},
    {"doc begin", 1, nullptr, hrGet, kLocalhost, 1, 0, 3},
    {"doc data", 1, nullptr, hrGet, kLocalhost, 1, 0, 3},
    {"doc end", 1, nullptr, hrGet, kLocalhost, 1, 0, 3},
    {"doc begin", 1, "state hcAborting", hrGet, kLocalhost, 1, 0, 3},
    {"state hcLookingUp", 1, "state hcAborting", hrGet, kLocalhost, 0, kNothingSent, 3},
    {"header end", 1, nullptr, hrGet, kRelocating, 1, 0, 3},
    {"location", 1, nullptr, hrGet, kRelocating, 1, 0, 3},
    {"state hcLookingUp", 2, nullptr, hrGet, kRelocating, 1, 0, 3},
    {"state hcLookupDone", 2, nullptr, hrGet, kRelocating, 1, 0, 3},
    // Once ready the request is over: Abort changes nothing of its outcome.
    {"state hcReady", 1, nullptr, hrGet, kLocalhost, 1, 0, 0},
    {"done", 1, nullptr, hrGet, kLocalhost, 1, 0, 0},
};

const char kReply[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nSet-Cookie: a=b\r\n\r\nbody";

std::string Describe(const TAbortCase& c) {
  return std::string("abort at '") + c.at + "' #" + std::to_string(c.occurrence) + (c.then ? " then '" : "") +
         (c.then ? c.then : "") + (c.then ? "'" : "") + " of " + HttpRequestName(c.rq) + " target " +
         std::to_string(c.target);
}

void RunCase(const TAbortCase& c) {
  SCOPED_TRACE(Describe(c));
  TRawHttpServer server;
  std::string port = std::to_string(server.Port());
  if (c.target == kRelocating) server.AddReply("HTTP/1.0 302 Found\r\nLocation: /b.htm\r\n\r\n");
  server.AddReply(kReply);
  server.AddReply(kReply);

  THttpCli cli(nullptr);
  TClientRecorder rec;
  rec.Attach(cli);
  auto log = rec.store;
  cli.OnCommand = [log](TObject*, std::string& line) { log->push_back("command " + line); };
  cli.OnUnsolicitedLine = [log](TObject*, WORD) { log->push_back("unsolicited"); };

  int seen = 0;
  bool aborted = false, abortedAgain = false;
  auto after = [&] {
    const std::string& last = log->back();
    if (!aborted && last.rfind(c.at, 0) == 0 && ++seen == c.occurrence) {
      aborted = true;
      cli.Abort();
    } else if (aborted && c.then && !abortedAgain && last.rfind(c.then, 0) == 0) {
      abortedAgain = true;
      cli.Abort();
    }
  };
  Chain(cli.OnStateChange, after);
  Chain(cli.OnSessionConnected, after);
  Chain(cli.OnRequestHeaderBegin, after);
  Chain(cli.OnRequestHeaderEnd, after);
  Chain(cli.OnBeforeHeaderSend, after);
  Chain(cli.OnCommand, after);
  Chain(cli.OnHeaderBegin, after);
  Chain(cli.OnHeaderData, after);
  Chain(cli.OnHeaderEnd, after);
  Chain(cli.OnDocBegin, after);
  Chain(cli.OnDocData, after);
  Chain(cli.OnDocEnd, after);
  Chain(cli.OnSendBegin, after);
  Chain(cli.OnSendData, after);
  Chain(cli.OnSendEnd, after);
  Chain(cli.OnLocationChange, after);
  Chain(cli.OnCookie, after);
  Chain(cli.OnSocketError, after);
  Chain(cli.OnRequestDone, after);

  TMemoryStream post;
  std::string body(kPostSize, 'p');
  post.Write(body.data(), kPostSize);
  post.SetPosition(0);
  cli.SetPostStream(&post);
  switch (c.target) {
    case kDotted: cli.SetURL("http://127.0.0.1:" + port + "/a.txt"); break;
    case kHostless: cli.SetURL("http:///a.txt"); break;
    default: cli.SetURL("http://localhost:" + port + "/a.txt"); break;
  }

  cli.RequestAsync(c.rq);
  ASSERT_TRUE(PumpUntil([&] { return rec.Done(); })) << rec.Joined();
  PumpFor(150);  // whatever would still come of the request
  EXPECT_TRUE(aborted) << rec.Joined();

  EXPECT_EQ(*rec.done, 1) << rec.Joined();
  EXPECT_EQ(*rec.doneError, c.error) << rec.Joined();
  EXPECT_EQ(rec.Count("state hcReady"), 1) << rec.Joined();
  // Ready is the request's last event; only its OnRequestDone follows.
  int ready = rec.IndexOf("state hcReady");
  ASSERT_GE(ready, 0);
  EXPECT_EQ(static_cast<size_t>(ready) + 2, log->size()) << rec.Joined();
  EXPECT_EQ(log->back(), std::string("done ") + HttpRequestName(c.rq) + " " + std::to_string(c.error));
  if (c.error == 3) {
    EXPECT_EQ(cli.StatusText(), "Connection aborted on request");
  }
  EXPECT_EQ(cli.State(), hcReady);
  EXPECT_EQ(cli.Socket()->State(), wsClosed);

  EXPECT_EQ(server.Connections(), c.connections) << rec.Joined();
  ASSERT_TRUE(server.WaitRequests(static_cast<size_t>(c.connections)));
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), static_cast<size_t>(c.connections));
  if (c.connections == 0) return;
  const std::string& got = requests.back();
  if (c.bodySent == kNothingSent) {
    EXPECT_EQ(got, "") << "bytes sent after the abort";
    return;
  }
  size_t end = got.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos) << got;
  EXPECT_EQ(got.substr(0, 4), c.rq == hrPost ? "POST" : c.rq == hrHead ? "HEAD" : "GET ");
  EXPECT_EQ(got.size() - end - 4, static_cast<size_t>(c.bodySent)) << "body bytes sent";
}

TEST(AbortFromHandlers, EveryEventEndsTheRequestOnceAndNothingFollows) {
  for (const TAbortCase& c : kCases) RunCase(c);
}

}  // namespace
