#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "socket/WSockBuf.h"

using evc::TBuffer;

namespace {
std::string UnreadText(const TBuffer& b) {
  int32_t len = -1;
  const char* p = b.PeekData(len);
  return p ? std::string(p, static_cast<size_t>(len)) : std::string();
}
}  // namespace

TEST(TBufferTest, SizeZeroOrNegativeGivesOneFrame) {
  TBuffer a(0), b(-5), c(1460);
  EXPECT_EQ(a.Capacity(), 1514);
  EXPECT_EQ(b.Capacity(), 1514);
  EXPECT_EQ(c.Capacity(), 1460);
  EXPECT_EQ(c.WriteIndex(), 0);
  EXPECT_EQ(c.ReadIndex(), 0);
}

TEST(TBufferTest, AppendStopsAtCapacityAndPeekShowsUnread) {
  TBuffer b(8);
  EXPECT_EQ(b.Append("abcde", 5), 5);
  EXPECT_EQ(b.Append("fghij", 5), 3);  // only three fit
  EXPECT_EQ(b.Append("k", 1), 0);      // full
  EXPECT_EQ(UnreadText(b), "abcdefgh");
}

TEST(TBufferTest, ConsumeResetsIndicesOnlyWhenEmptied) {
  TBuffer b(8);
  b.Append("abcdef", 6);
  EXPECT_EQ(b.Consume(2), 2);
  EXPECT_EQ(b.ReadIndex(), 2);
  // The freed front is not reused while bytes remain.
  EXPECT_EQ(b.Append("xyz", 3), 2);
  EXPECT_EQ(UnreadText(b), "cdefxy");
  int32_t len = 0;
  EXPECT_EQ(b.Consume(100), 6);  // more than unread: only what is there
  EXPECT_EQ(b.ReadIndex(), 0);
  EXPECT_EQ(b.WriteIndex(), 0);
  EXPECT_EQ(b.PeekData(len), nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(b.Consume(1), 0);
  // Negative lengths change nothing (they would break the index order).
  b.Append("ab", 2);
  EXPECT_EQ(b.Consume(-3), 0);
  EXPECT_EQ(b.ReadIndex(), 0);
  EXPECT_EQ(b.Append("q", -1), 0);
}

TEST(TBufferTest, ResizeKeepsUnreadBytesAndIndices) {
  TBuffer b(4);
  b.Append("abcd", 4);
  b.Consume(1);
  b.Resize(10);
  EXPECT_EQ(b.Capacity(), 10);
  EXPECT_EQ(b.ReadIndex(), 1);
  EXPECT_EQ(b.WriteIndex(), 4);
  EXPECT_EQ(UnreadText(b), "bcd");
  EXPECT_EQ(b.Append("efghijk", 7), 6);
  b.Resize(0);  // 0 means one frame
  EXPECT_EQ(b.Capacity(), 1514);
  EXPECT_EQ(UnreadText(b), "bcdefghij");
  TBuffer e(4);
  e.Resize(4);  // same size: nothing happens
  EXPECT_EQ(e.Capacity(), 4);
}
