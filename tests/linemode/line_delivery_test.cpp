// Cutting received bytes into lines on a real loopback connection.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "LinePair.h"

namespace linet {
namespace {

using Lines = std::vector<std::string>;

TEST(LineDelivery, ManyLinesInOneReadComeOutOneByOne) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.PeerSend("abc\r\ndef\r\n\r\nlast\r\npartial");
  EXPECT_EQ(p.lines, (Lines{"abc\r\n", "def\r\n", "\r\n", "last\r\n"}));
  // The unterminated rest waits in the buffer, and RcvdCount outside a
  // delivery is 0.
  EXPECT_EQ(p.sock->LineBufferCount(), 7);
  EXPECT_EQ(p.sock->RcvdCount(), 0);
  EXPECT_TRUE(p.errors.empty());
}

TEST(LineDelivery, TerminatorSplitOverReadsIsFound) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.PeerSend("abc\r");
  EXPECT_TRUE(p.lines.empty());
  p.PeerSend("\n");
  EXPECT_EQ(p.lines, (Lines{"abc\r\n"}));

  // A terminator of several bytes, split at every place in turn.
  p.sock->SetLineEnd("\r\n.\r\n");
  const std::string body = "one\r\ntwo";
  const std::string end = "\r\n.\r\n";
  for (size_t cut = 0; cut <= end.size(); ++cut) {
    p.lines.clear();
    p.PeerSend(body + end.substr(0, cut));
    p.PeerSend(end.substr(cut));
    EXPECT_EQ(p.lines, (Lines{body + end})) << "cut at " << cut;
  }
}

TEST(LineDelivery, FirstByteOfTerminatorInsideTheLineIsNoMatch) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->SetLineEnd("ab");
  p.PeerSend("aaxa");
  p.PeerSend("aab");
  EXPECT_EQ(p.lines, (Lines{"aaxaaab"}));
}

TEST(LineDelivery, HandlerReadingTwoBytesAtATimeIsCalledUntilTheLineIsRead) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  Lines pieces;
  std::vector<int> counts;
  p.sock->OnDataAvailable = [&](TObject*, WORD) {
    counts.push_back(p.sock->RcvdCount());
    char b[2];
    int n = p.sock->Receive(b, 2);
    pieces.emplace_back(b, static_cast<size_t>(std::max(n, 0)));
  };
  p.PeerSend("hello\r\nxy\r\n");
  EXPECT_EQ(pieces, (Lines{"he", "ll", "o\r", "\n", "xy", "\r\n"}));
  EXPECT_EQ(counts, (std::vector<int>{7, 5, 3, 1, 4, 2}));
  EXPECT_EQ(p.sock->LineBufferCount(), 0);
  // Every byte reached the application once, and was counted once.
  EXPECT_EQ(p.sock->ReadCount(), 11);
}

TEST(LineDelivery, TheSameBytesSplitDifferentlyGiveTheSameLines) {
  const std::string data = "GET / HTTP/1.0\r\nHost: x\r\n\r\nbody line\r\n\rodd\n\r\r\n";
  const Lines expected{"GET / HTTP/1.0\r\n", "Host: x\r\n", "\r\n", "body line\r\n", "\rodd\n\r\r\n"};
  for (size_t step : {1u, 2u, 3u, 5u, 7u, 16u, 64u}) {
    TLinePair p;
    ASSERT_TRUE(p.Open());
    for (size_t off = 0; off < data.size(); off += step) p.PeerSend(data.substr(off, step));
    EXPECT_EQ(p.lines, expected) << "pieces of " << step;
  }
}

TEST(LineDelivery, WithoutHandlerLinesAreDroppedAndOnlyThePartialLineStays) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->OnDataAvailable = nullptr;
  p.PeerSend("gone\r\nalso gone\r\nkept");
  EXPECT_EQ(p.sock->LineBufferCount(), 4);
  // The kept bytes start the next line once a handler is there.
  p.RecordLines();
  p.PeerSend("!\r\n");
  EXPECT_EQ(p.lines, (Lines{"kept!\r\n"}));
}

TEST(LineDelivery, EmptyTerminatorOrLineModeOffIsPlainData) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  std::string got;
  p.sock->OnDataAvailable = [&](TObject*, WORD) { got += p.sock->ReceiveText(); };
  p.sock->SetLineEnd("");
  p.PeerSend("no\r\nlines\r\n");
  EXPECT_EQ(got, "no\r\nlines\r\n");
  EXPECT_EQ(p.sock->LineBufferCount(), 0);
  p.sock->SetLineEnd("\n");
  p.sock->SetLineMode(false);
  got.clear();
  p.PeerSend("still\nplain\n");
  EXPECT_EQ(got, "still\nplain\n");
}

TEST(LineDelivery, OutsideADeliveryReceiveReadsTheSocketPastTheBuffer) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->OnDataAvailable = nullptr;
  p.PeerSend("held");
  ASSERT_EQ(p.sock->LineBufferCount(), 4);
  // No message handling in between: on loopback the bytes wait at once.
  ASSERT_EQ(::send(p.peer, "raw", 3, 0), 3);
  ASSERT_EQ(WaitingBytes(*p.sock), 3);
  char b[16];
  EXPECT_EQ(p.sock->Receive(b, sizeof(b)), 3);
  EXPECT_EQ(std::string(b, 3), "raw");
  EXPECT_EQ(p.sock->LineBufferCount(), 4);
}

TEST(LineDelivery, LargeVolumeArrivesIntactInOrder) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  std::string data;
  Lines expected;
  for (int i = 0; i < 20000; ++i) {
    std::string line = "line " + std::to_string(i) + std::string(static_cast<size_t>(i % 50), 'x') + "\r\n";
    expected.push_back(line);
    data += line;
  }
  std::thread writer([&] {
    size_t off = 0;
    while (off < data.size()) {
      ssize_t n = ::send(p.peer, data.data() + off, std::min<size_t>(data.size() - off, 3001), MSG_NOSIGNAL);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
  });
  bool all = PumpUntil([&] { return p.lines.size() >= expected.size(); }, 20000);
  writer.join();
  ASSERT_TRUE(all) << p.lines.size();
  EXPECT_EQ(p.lines, expected);
}

}  // namespace
}  // namespace linet
