// Switching line mode during a delivery, closing during a delivery, the last
// line at close, and handlers that misbehave.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "LinePair.h"
#include "platform/kernel.h"

namespace linet {
namespace {

using Lines = std::vector<std::string>;

TEST(LineSwitch, OffInTheMiddleOfALineRedeliversTheRestBeforeNewSocketData) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  std::string plain;
  int lineCalls = 0;
  p.sock->OnDataAvailable = [&](TObject*, WORD) {
    if (p.sock->LineMode()) {
      ++lineCalls;
      char b[2];
      ASSERT_EQ(p.sock->Receive(b, 2), 2);
      EXPECT_EQ(std::string(b, 2), "he");
      p.sock->SetLineMode(false);
      // Inside the same handler the rest already reads as plain data.
      EXPECT_EQ(p.sock->RcvdCount(), 10);
      return;
    }
    plain += p.sock->ReceiveText();
  };
  p.PeerSend("hello\r\nworld");
  EXPECT_EQ(lineCalls, 1);
  // The redelivery ran after the handler returned.
  EXPECT_EQ(plain, "llo\r\nworld");
  EXPECT_EQ(p.sock->LineBufferCount(), 0);
  p.PeerSend(" more");
  EXPECT_EQ(plain, "llo\r\nworld more");
}

TEST(LineSwitch, HeldBytesComeBeforeSocketBytesInOneReceive) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  std::string plain;
  p.sock->OnDataAvailable = [&](TObject*, WORD) {
    if (p.sock->LineMode()) {
      p.sock->SetLineMode(false);
      return;
    }
    char b[64];
    int n = p.sock->Receive(b, sizeof(b));
    if (n > 0) plain.append(b, static_cast<size_t>(n));
  };
  // Both arrive before the redelivery runs: the held line first.
  ASSERT_EQ(::send(p.peer, "first\r\n", 7, 0), 7);
  ASSERT_TRUE(PumpUntil([&] { return !p.sock->LineMode(); }, 2000));
  ASSERT_EQ(::send(p.peer, "second", 6, 0), 6);
  ASSERT_TRUE(PumpUntil([&] { return plain.size() >= 13; }, 2000));
  EXPECT_EQ(plain, "first\r\nsecond");
}

// Switched off after "he" of the held bytes hello CR LF world while NEW
// already waits in the socket: reads of 4 bytes give the held bytes first
// and stop where they end; the socket's bytes come with the next read, also
// when each notification calls the handler only once.
TEST(LineSwitch, OffHandsOutHeldBytesUpToTheirEndThenTheSocketsBytes) {
  for (bool oncePerNotification : {false, true}) {
    SCOPED_TRACE(oncePerNotification ? "wsoNoReceiveLoop" : "receive loop");
    TLinePair p;
    ASSERT_TRUE(p.Open());
    if (oncePerNotification) p.sock->SetComponentOptions(OptionBit(wsoNoReceiveLoop));
    std::vector<std::string> reads;
    p.sock->OnDataAvailable = [&](TObject*, WORD) {
      char b[4];
      if (p.sock->LineMode()) {
        ASSERT_EQ(p.sock->Receive(b, 2), 2);
        ASSERT_EQ(::send(p.peer, "NEW", 3, 0), 3);
        for (int i = 0; i < 400 && WaitingBytes(*p.sock) < 3; ++i) Sleep(5);
        ASSERT_EQ(WaitingBytes(*p.sock), 3);
        p.sock->SetLineMode(false);
        return;
      }
      int n = p.sock->Receive(b, 4);
      if (n > 0) reads.emplace_back(b, static_cast<size_t>(n));
    };
    ASSERT_EQ(::send(p.peer, "hello\r\nworld", 12, 0), 12);
    ASSERT_TRUE(PumpUntil([&] { return reads.size() >= 4; }, 3000)) << reads.size();
    PumpFor(50);
    EXPECT_EQ(reads, (Lines{"llo\r", "\nwor", "ld", "NEW"}));
    EXPECT_EQ(p.sock->LineBufferCount(), 0);
  }
}

TEST(LineSwitch, OnAgainCutsWhatIsHeld) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  std::string plainTaken;
  // One byte of the first line, then plain mode for three bytes, then lines
  // again for what is still held.
  p.sock->OnDataAvailable = [&](TObject*, WORD) {
    char b[1];
    p.sock->Receive(b, 1);
    p.sock->SetLineMode(false);
    p.sock->OnDataAvailable = [&](TObject*, WORD) {
      char c[3];
      int n = p.sock->Receive(c, 3);
      plainTaken.append(c, static_cast<size_t>(std::max(n, 0)));
      p.RecordLines();
      p.sock->SetLineMode(true);
    };
  };
  p.PeerSend("abcde\r\nfg\r\nh");
  PumpFor(50);
  EXPECT_EQ(plainTaken, "bcd");
  EXPECT_EQ(p.lines, (Lines{"e\r\n", "fg\r\n"}));
  EXPECT_EQ(p.sock->LineBufferCount(), 1);
}

TEST(LineClose, PartialLineIsDeliveredBeforeSessionClosed) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  Lines order;
  p.sock->OnDataAvailable = [&](TObject*, WORD) { order.push_back("data " + p.sock->ReceiveText()); };
  p.sock->OnSessionClosed = [&](TObject*, WORD) {
    order.push_back("closed");
    p.closed = true;
  };
  p.PeerSend("line\r\nno end");
  p.PeerClose();
  EXPECT_EQ(order, (Lines{"data line\r\n", "data no end", "closed"}));
  EXPECT_EQ(p.sock->LineBufferSize(), 0);
}

TEST(LineClose, LocalCloseDeliversTheRestToo) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.PeerSend("tail");
  p.sock->Close();
  EXPECT_EQ(p.lines, (Lines{"tail"}));
  EXPECT_TRUE(p.closed);
}

TEST(LineClose, HandlerClosingDuringDeliveryStopsSafely) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  Lines seen;
  p.sock->OnDataAvailable = [&](TObject*, WORD) {
    std::string line = p.sock->ReceiveText();
    seen.push_back(line);
    if (line == "quit\r\n") p.sock->Close();
  };
  p.PeerSend("a\r\nquit\r\nafter\r\nrest");
  // Nothing is delivered twice, nothing after the close is lost: the held
  // lines are handed out by the close, then the partial rest.
  EXPECT_EQ(seen, (Lines{"a\r\n", "quit\r\n", "after\r\n", "rest"}));
  EXPECT_EQ(p.sock->State(), wsClosed);
  EXPECT_EQ(p.sock->LineBufferCount(), 0);
  EXPECT_EQ(p.sock->LineBufferSize(), 0);
  EXPECT_EQ(p.sock->PendingLineLength(), 0);
  EXPECT_EQ(p.sock->RcvdCount(), 0);
}

TEST(LineClose, HandlerAbortingWithPartlyReadLine) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  std::string taken;
  p.sock->OnDataAvailable = [&](TObject*, WORD) {
    char b[2];
    int n = p.sock->Receive(b, 2);
    taken.append(b, static_cast<size_t>(std::max(n, 0)));
    p.sock->Abort();
  };
  p.PeerSend("abcdef\r\nxyz\r\n");
  EXPECT_EQ(p.sock->State(), wsClosed);
  EXPECT_EQ(p.sock->LineBufferSize(), 0);
  // Each byte reached the handler once, in order.
  EXPECT_EQ(taken, "abcdef\r\nxyz\r\n");
}

TEST(LineMisuse, HandlerThatReadsNothingDoesNotHang) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  int calls = 0;
  p.sock->OnDataAvailable = [&](TObject*, WORD) { ++calls; };
  p.PeerSend("ignored\r\n");
  EXPECT_GE(calls, 1);
  EXPECT_LE(calls, 3);
  // The line was not thrown away: a handler that reads gets it next time.
  p.RecordLines();
  p.PeerSend("then\r\n");
  EXPECT_EQ(p.lines, (Lines{"ignored\r\n", "then\r\n"}));
}

TEST(LineMisuse, ExceptionFromHandlerKeepsTheRestOfTheLine) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  bool thrown = false;
  p.sock->OnDataAvailable = [&](TObject*, WORD) {
    if (!thrown) {
      thrown = true;
      char b[3];
      p.sock->Receive(b, 3);
      throw Exception("handler failed");
    }
    p.lines.push_back(p.sock->ReceiveText());
  };
  p.PeerSend("abcdef\r\n");
  EXPECT_TRUE(thrown);
  EXPECT_EQ(p.sock->PendingLineLength(), 0);
  p.PeerSend("next\r\n");
  EXPECT_EQ(p.lines, (Lines{"def\r\n", "next\r\n"}));
}

TEST(LineMisuse, RedeliveryEndsWithoutAHandlerThatTakesData) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->OnDataAvailable = [&](TObject*, WORD) {
    p.sock->SetLineMode(false);
    p.sock->OnDataAvailable = [](TObject*, WORD) {};  // reads nothing
  };
  p.PeerSend("abc\r\ndef");
  PumpFor(100);  // returns: the redelivery loop gave up
  EXPECT_EQ(p.sock->LineBufferCount(), 8);
  // And the bytes are still there for a reader, before later data.
  std::string got;
  p.sock->OnDataAvailable = [&](TObject*, WORD) { got += p.sock->ReceiveText(); };
  p.PeerSend("!");
  EXPECT_EQ(got, "abc\r\ndef!");
}

}  // namespace
}  // namespace linet

namespace linet {
namespace {

TEST(LineReentry, HandlerPumpingMessagesGetsLaterLinesAfterItReturns) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  std::vector<std::string> seen;
  int depth = 0, deepest = 0;
  p.sock->OnDataAvailable = [&](TObject*, WORD) {
    deepest = std::max(deepest, ++depth);
    std::string line = p.sock->ReceiveText();
    seen.push_back(line);
    if (line == "a\r\n") {
      // More data arrives while this handler waits with messages pumped.
      EXPECT_EQ(::send(p.peer, "b\r\nc\r\n", 6, 0), 6);
      bool never = false;
      p.sock->Timeout = 100;
      EXPECT_EQ(p.sock->WaitForFlag(never), 12001);
    }
    --depth;
  };
  p.PeerSend("a\r\n");
  PumpUntil([&] { return seen.size() >= 3; }, 2000);
  EXPECT_EQ(seen, (std::vector<std::string>{"a\r\n", "b\r\n", "c\r\n"}));
  EXPECT_EQ(deepest, 1);
}

}  // namespace
}  // namespace linet
