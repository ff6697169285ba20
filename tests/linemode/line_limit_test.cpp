// The limit on bytes held without a terminator.
#include <gtest/gtest.h>

#include "LinePair.h"

namespace linet {
namespace {

using Lines = std::vector<std::string>;

TEST(LineLimit, DefaultLimitReportsOnceAndClearsTheBuffer) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  EXPECT_EQ(p.sock->LineLimit(), 65536);
  std::vector<int> reported;
  p.sock->OnLineLimitExceeded = [&](TObject*, int32_t n, bool& clear) {
    EXPECT_TRUE(clear);
    reported.push_back(n);
  };
  p.PeerSend(std::string(65536, 'a'));  // exactly at the limit: nothing yet
  EXPECT_TRUE(reported.empty());
  p.PeerSend("b");
  EXPECT_EQ(reported, (std::vector<int>{65537}));
  EXPECT_EQ(p.sock->LineBufferCount(), 0);
  // Reception goes on with a fresh line.
  p.PeerSend("next\r\n");
  EXPECT_EQ(p.lines, (Lines{"next\r\n"}));
  EXPECT_EQ(reported.size(), 1u);
}

TEST(LineLimit, KeepingTheDataReportsAgainAtEveryArrival) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->SetLineLimit(10);
  std::vector<int> reported;
  p.sock->OnLineLimitExceeded = [&](TObject*, int32_t n, bool& clear) {
    reported.push_back(n);
    clear = false;
  };
  p.PeerSend("0123456789");
  EXPECT_TRUE(reported.empty());
  p.PeerSend("ab");
  p.PeerSend("cd");
  EXPECT_EQ(reported, (std::vector<int>{12, 14}));
  // Nothing was lost: the long line arrives whole once it ends.
  p.PeerSend("\r\n");
  EXPECT_EQ(p.lines, (Lines{"0123456789abcd\r\n"}));
  EXPECT_EQ(reported.size(), 2u);
}

TEST(LineLimit, CompleteLinesInTheSameReadAreNotCounted) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->SetLineLimit(8);
  int reported = 0;
  p.sock->OnLineLimitExceeded = [&](TObject*, int32_t, bool&) { ++reported; };
  p.PeerSend("0123456789\r\nshort");
  EXPECT_EQ(reported, 0);
  EXPECT_EQ(p.lines, (Lines{"0123456789\r\n"}));
}

TEST(LineLimit, ZeroOrNegativeMeansNoLimit) {
  for (int limit : {0, -5}) {
    TLinePair p;
    ASSERT_TRUE(p.Open());
    p.sock->SetLineLimit(limit);
    int reported = 0;
    p.sock->OnLineLimitExceeded = [&](TObject*, int32_t, bool&) { ++reported; };
    p.PeerSend(std::string(70000, 'z'));
    p.PeerSend(std::string(70000, 'z'));
    EXPECT_EQ(reported, 0);
    EXPECT_EQ(p.sock->LineBufferCount(), 140000);
  }
}

TEST(LineLimit, HandlerThatClosesTheConnectionLeavesNothingBehind) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->SetLineLimit(4);
  p.sock->OnLineLimitExceeded = [&](TObject*, int32_t, bool&) { p.sock->Close(); };
  p.PeerSend("toolong");
  EXPECT_TRUE(p.closed);
  EXPECT_EQ(p.sock->State(), wsClosed);
  EXPECT_EQ(p.sock->LineBufferCount(), 0);
  EXPECT_EQ(p.sock->LineBufferSize(), 0);
  // The bytes the handler was asked about are not delivered at the close.
  EXPECT_TRUE(p.lines.empty());
}

}  // namespace
}  // namespace linet
