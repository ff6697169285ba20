#include <gtest/gtest.h>

#include <random>

#include "http/Base64.h"

using evc::TBase64;

namespace {
std::string Enc(const std::string& s) {
  std::string out = "junk";
  EXPECT_FALSE(TBase64().Encode(s, out));
  return out;
}
int Dec(const std::string& s, std::string& out, bool filter = true) {
  TBase64 b;
  b.FilterInput = filter;
  return b.Decode(s, out);
}
}  // namespace

TEST(Base64, EncodesGroupsWithPadding) {
  EXPECT_EQ(Enc("abc"), "YWJj");
  EXPECT_EQ(Enc("ab"), "YWI=");
  EXPECT_EQ(Enc("a"), "YQ==");
  EXPECT_EQ(Enc(""), "");
  EXPECT_EQ(Enc("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(Enc(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(Base64, DecodesAndFiltersNoise) {
  std::string out;
  EXPECT_EQ(Dec("YWJj", out), 0);
  EXPECT_EQ(out, "abc");
  EXPECT_EQ(Dec("YWI=", out), 0);
  EXPECT_EQ(out, "ab");
  EXPECT_EQ(Dec("YQ==", out), 0);
  EXPECT_EQ(out, "a");
  for (const char* noisy : {"YW Jj", "YWJj\r\n", "YW*Jj"}) {
    EXPECT_EQ(Dec(noisy, out), 0) << noisy;
    EXPECT_EQ(out, "abc");
  }
  EXPECT_EQ(Dec("YW Jj", out, false), 3);
  EXPECT_EQ(Dec("YWJj\r\n", out, false), 3);
  EXPECT_EQ(Dec("YW*j", out, false), 2);
}

TEST(Base64, ReportsEachMalformedInputWithItsCodeAndKeepsWhatCameBefore) {
  std::string out;
  EXPECT_EQ(Dec("YQ=a", out), 5);
  EXPECT_EQ(Dec("YQ==YQ==", out), 4);
  EXPECT_EQ(out, "a");  // the first group was decoded before the fault
  EXPECT_EQ(Dec("Y===", out), 2);
  EXPECT_EQ(Dec("YWJ", out), 3);
  EXPECT_EQ(Dec("YWI=YWJj", out), 4);  // padding in a group that is not the last
  EXPECT_EQ(out, "ab");
  EXPECT_EQ(Dec("YWJjYQ=j", out), 5);
  EXPECT_EQ(out, "abca");
  out = "kept";
  EXPECT_EQ(Dec("", out), 0);
  EXPECT_EQ(out, "kept");  // an empty input leaves the output alone
  out = "kept";
  EXPECT_EQ(Dec("***", out), 0);  // filtered to nothing: decodes to nothing
  EXPECT_EQ(out, "");
}

TEST(Base64, ValueAndCharacterMapping) {
  TBase64 b;
  char ch = '?';
  EXPECT_TRUE(b.EncodeValue(63, ch));
  EXPECT_EQ(ch, '/');
  ch = '?';
  EXPECT_FALSE(b.EncodeValue(64, ch));
  EXPECT_EQ(ch, '?');
  uint8_t v = 9;
  EXPECT_TRUE(b.DecodeChar('+', v));
  EXPECT_EQ(v, 62);
  EXPECT_FALSE(b.DecodeChar('=', v));
  EXPECT_EQ(v, 0);
  std::string f;
  b.Filter("a=b\x80\n-c", f);
  EXPECT_EQ(f, "a=bc");
}

TEST(Base64, EveryByteStringRoundTrips) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  std::mt19937 rng(7);
  for (int len = 0; len < 300; ++len) {
    std::string s = all.substr(0, static_cast<size_t>(len % 257));
    if (len > 256)
      for (char& c : s) c = static_cast<char>(rng());
    std::string back;
    ASSERT_EQ(Dec(Enc(s), back, false), 0);
    EXPECT_EQ(back, s);
  }
}
