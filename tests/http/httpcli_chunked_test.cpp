// The chunked-body decoder on its own: each body of the table fed whole, cut
// in two at every byte, and one byte at a time must give the same document,
// the same trailer lines, the same outcome and the same count of bytes used.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/HttpChunked.h"

using namespace evc;

namespace {

using S = THttpChunkDecoder::TStatus;

struct TDecoded {
  std::string data;
  std::vector<std::string> trailers;
  S status = S::csMore;
  size_t used = 0;
  bool operator==(const TDecoded&) const = default;
};

struct TCollect : THttpChunkDecoder::TSink {
  TDecoded* out;
  bool ChunkData(const char* p, size_t n) override {
    out->data.append(p, n);
    return true;
  }
  void TrailerLine(const std::string& l) override { out->trailers.push_back(l); }
};

// Feeds the pieces in order, as a connection would hand them over.
TDecoded Decode(const std::string& body, const std::vector<size_t>& cuts) {
  TDecoded r;
  TCollect sink;
  sink.out = &r;
  THttpChunkDecoder d;
  d.Reset();
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(body.size());
  for (size_t end : ends) {
    if (end < from) continue;
    size_t used = d.Feed(body.data() + from, end - from, sink);
    r.used += used;
    if (d.Status() != S::csMore) break;
    EXPECT_EQ(used, end - from) << "a body in progress takes every byte";
    from = end;
  }
  r.status = d.Status();
  EXPECT_EQ(d.DataBytes(), r.data.size());
  return r;
}

struct TCase {
  const char* what;
  std::string body;
  std::string data;
  std::vector<std::string> trailers;
  S status;
  size_t used;  // npos: all of the body
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

const std::vector<TCase>& Cases() {
  static const std::vector<TCase> cases = {
      {"plain", "3\r\nabc\r\n0\r\n\r\n", "abc", {}, S::csDone, std::string::npos},
      {"several chunks, hex in both cases, leading zeros", "000A\r\n0123456789\r\nb\r\nhello world\r\n0\r\n\r\n",
       "0123456789hello world", {}, S::csDone, std::string::npos},
      {"extensions are dropped", "3;name=\"v;x\";flag\r\nabc\r\n2 ; q=1\r\nde\r\n0;last\r\n\r\n", "abcde", {},
       S::csDone, std::string::npos},
      {"trailers", "1\r\na\r\n0\r\nX-Sum: 97\r\nX-Two:  2\r\n\r\n", "a", {"X-Sum: 97", "X-Two:  2"}, S::csDone,
       std::string::npos},
      {"bare line feeds", "2\nab\n0\nT: 1\n\n", "ab", {"T: 1"}, S::csDone, std::string::npos},
      {"data holds CR LF and zero bytes", std::string("4\r\n\r\n\0\n\r\n0\r\n\r\n", 14), std::string("\r\n\0\n", 4),
       {}, S::csDone, std::string::npos},
      {"the next response is not touched", "0\r\n\r\nHTTP/1.1 200 OK\r\n", "", {}, S::csDone, 5},
      {"largest size is a size", "FFFFFFFFFFFFFFFF\r\nabc", "abc", {}, S::csMore, std::string::npos},
      {"unfinished chunk", "5\r\nab", "ab", {}, S::csMore, std::string::npos},
      {"not hexadecimal", "zz\r\nab\r\n", "", {}, S::csBadSize, 1},
      {"empty size line", "\r\nab\r\n", "", {}, S::csBadSize, 1},
      {"a sign", "-1\r\n", "", {}, S::csBadSize, 1},
      {"two numbers", "2 3\r\nab\r\n", "", {}, S::csBadSize, 3},
      {"CR without LF", "2\rab\r\n", "", {}, S::csBadSize, 3},
      {"size beyond 64 bits", "1FFFFFFFFFFFFFFFF\r\n", "", {}, S::csSizeOverflow, 17},
      {"long zero run then overflow", "0000000000000000000010000000000000000\r\n", "", {}, S::csSizeOverflow, 37},
      {"data longer than its size", "3\r\nabcd\r\n0\r\n\r\n", "abc", {}, S::csBadDataEnd, 7},
      {"CR then other byte after data", "3\r\nabc\rX", "abc", {}, S::csBadDataEnd, 8},
      {"trailer CR without LF", "0\r\nX: 1\rY\r\n\r\n", "", {}, S::csBadTrailer, 9},
      {"endless extension", "1;" + Repeat('e', THttpChunkDecoder::kMaxLine), "", {}, S::csBadSize,
       THttpChunkDecoder::kMaxLine + 1},
      {"endless trailer", "0\r\n" + Repeat('t', THttpChunkDecoder::kMaxLine + 5), "", {}, S::csBadTrailer,
       3 + THttpChunkDecoder::kMaxLine + 1},
  };
  return cases;
}

TEST(ChunkDecoder, SameResultWhateverTheSplit) {
  for (const TCase& c : Cases()) {
    SCOPED_TRACE(c.what);
    TDecoded want{c.data, c.trailers, c.status, c.used == std::string::npos ? c.body.size() : c.used};
    TDecoded whole = Decode(c.body, {});
    EXPECT_EQ(whole.data, want.data);
    EXPECT_EQ(whole.trailers, want.trailers);
    EXPECT_EQ(whole.status, want.status);
    EXPECT_EQ(whole.used, want.used);
    for (size_t cut = 1; cut < c.body.size(); ++cut) {
      TDecoded two = Decode(c.body, {cut});
      ASSERT_TRUE(two == whole) << "cut at " << cut << ": got " << two.data.size() << " bytes, status " << two.status;
    }
    std::vector<size_t> every;
    for (size_t i = 1; i < c.body.size(); ++i) every.push_back(i);
    EXPECT_TRUE(Decode(c.body, every) == whole) << "one byte at a time";
  }
}

TEST(ChunkDecoder, StopsWhenTheSinkGivesUpAndResetStartsAfresh) {
  struct TStopper : THttpChunkDecoder::TSink {
    int calls = 0;
    bool ChunkData(const char*, size_t) override { return ++calls < 1; }
    void TrailerLine(const std::string&) override {}
  } stopper;
  THttpChunkDecoder d;
  d.Reset();
  const std::string body = "2\r\nab\r\n2\r\ncd\r\n0\r\n\r\n";
  EXPECT_EQ(d.Feed(body.data(), body.size(), stopper), 5u);  // "2\r\nab": nothing behind the first run
  EXPECT_EQ(stopper.calls, 1);
  d.Reset();
  TDecoded r;
  TCollect sink;
  sink.out = &r;
  EXPECT_EQ(d.Feed(body.data(), body.size(), sink), body.size());
  EXPECT_EQ(r.data, "abcd");
  EXPECT_EQ(d.Status(), S::csDone);
}

}  // namespace
