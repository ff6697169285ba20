// Echo of received bytes and backspace / tab editing, seen from the peer.
#include <gtest/gtest.h>

#include "LinePair.h"

namespace linet {
namespace {

using Lines = std::vector<std::string>;

TEST(LineEdit, BackspaceRemovesTheByteBeforeIt) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->SetLineEdit(true);
  p.PeerSend("ab\bc\r\n");
  EXPECT_EQ(p.lines, (Lines{"ac\r\n"}));
}

TEST(LineEdit, BackspaceReachesBytesOfEarlierReads) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->SetLineEdit(true);
  p.PeerSend("abc");
  p.PeerSend("\b\b");
  EXPECT_EQ(p.sock->LineBufferCount(), 1);
  p.PeerSend("\b\b\bxy\r\n");  // more backspaces than bytes: the extra ones do nothing
  EXPECT_EQ(p.lines, (Lines{"xy\r\n"}));
}

TEST(LineEdit, EditingDoesNotDependOnHowReadsAreSplit) {
  // Several lines in one read edit as they would byte by byte: a backspace
  // behind a complete line does not take its terminator back, and a tab
  // counts from the start of its own line.
  const std::string data = "ab\n\bc\n\ty\nxy\b\tz\n";
  const Lines expected{"ab\n", "c\n", "        y\n", "x       z\n"};
  for (size_t step : {1u, 2u, 3u, 100u}) {
    TLinePair p;
    ASSERT_TRUE(p.Open());
    p.sock->SetLineEdit(true);
    p.sock->SetLineEnd("\n");
    for (size_t off = 0; off < data.size(); off += step) p.PeerSend(data.substr(off, step));
    EXPECT_EQ(p.lines, expected) << "pieces of " << step;
  }
}

TEST(LineEdit, TabsAdvanceToTheNextMultipleOfEight) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->SetLineEdit(true);
  p.PeerSend("abc\tx\r\n");  // the tab stands at position 3
  p.PeerSend("\ty\r\n");      // at position 0: a whole stop
  p.PeerSend("abcdefg");
  p.PeerSend("h\t!\r\n");     // at position 8, across reads
  EXPECT_EQ(p.lines, (Lines{"abc     x\r\n", "        y\r\n", "abcdefgh        !\r\n"}));
}

TEST(LineEdit, LongInputWithEditsKeepsEveryOtherByte) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->SetLineEdit(true);
  p.sock->SetLineLimit(0);
  std::string in, expected;
  for (int i = 0; i < 30000; ++i) {
    char c = static_cast<char>('a' + i % 26);
    in += c;
    if (i % 3 == 2) in += '\b';
    else expected += c;
  }
  p.PeerSend(in + "\r\n");
  ASSERT_EQ(p.lines.size(), 1u);
  EXPECT_EQ(p.lines[0], expected + "\r\n");
}

TEST(LineEcho, EditingEchoesEachByteInASendOfItsOwn) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->SetLineEdit(true);
  p.sock->SetLineEcho(true);
  std::vector<int> sends;
  p.sock->OnSendData = [&](TObject*, int32_t n) { sends.push_back(n); };
  p.PeerSend("ab\bc\r\n");
  EXPECT_EQ(p.lines, (Lines{"ac\r\n"}));
  const std::string expected = std::string("ab") + "\b \b" + "c\r\n";
  EXPECT_EQ(p.PeerReceive(expected.size()), expected);
  EXPECT_EQ(sends, (std::vector<int>{1, 1, 3, 1, 1, 1}));
}

TEST(LineEcho, BackspaceAtTheStartEchoesNothing) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->SetLineEdit(true);
  p.sock->SetLineEcho(true);
  p.PeerSend("\b\tz\r\n");
  EXPECT_EQ(p.lines, (Lines{"        z\r\n"}));
  EXPECT_EQ(p.PeerReceive(11), std::string(8, ' ') + "z\r\n");
}

TEST(LineEcho, WithoutEditingTheReadIsEchoedUnchanged) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->SetLineEcho(true);
  std::vector<int> sends;
  p.sock->OnSendData = [&](TObject*, int32_t n) { sends.push_back(n); };
  p.PeerSend("ab\bc\tq\r\n");
  EXPECT_EQ(p.lines, (Lines{"ab\bc\tq\r\n"}));
  EXPECT_EQ(p.PeerReceive(8), "ab\bc\tq\r\n");
  EXPECT_EQ(sends, (std::vector<int>{8}));
}

// The echo's send may end the connection (here a handler closes it; a reset
// found by the send does the same). The bytes being echoed were received:
// they reach the application before the close, like any held bytes.
TEST(LineEcho, AConnectionEndedByTheEchoStillDeliversTheEchoedBytes) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->SetLineEcho(true);
  std::vector<std::string> order;
  p.sock->OnSendData = [&](TObject*, int32_t) { p.sock->Close(); };
  p.sock->OnDataAvailable = [&](TObject*, WORD) { order.push_back("line " + p.sock->ReceiveText()); };
  p.sock->OnSessionClosed = [&](TObject*, WORD) {
    order.push_back("closed");
    p.closed = true;
  };
  p.PeerSend("last words\r\n");
  ASSERT_TRUE(PumpUntil([&] { return p.closed; }, 3000));
  EXPECT_EQ(order, (std::vector<std::string>{"line last words\r\n", "closed"}));
}

}  // namespace
}  // namespace linet
