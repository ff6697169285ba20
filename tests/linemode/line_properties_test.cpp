// The line-mode properties as DAVidavi publishes and stores them.
#include <gtest/gtest.h>

#include <algorithm>

#include "LinePair.h"
#include "base/FormFile.h"
#include "base/TypInfo.h"

namespace linet {
namespace {

TEST(LineProperties, DefaultsAfterConstruction) {
  DAVidavi s(nullptr);
  EXPECT_FALSE(s.LineMode());
  EXPECT_EQ(s.LineEnd(), "\r\n");
  EXPECT_EQ(s.LineLimit(), 65536);
  EXPECT_FALSE(s.LineEcho());
  EXPECT_FALSE(s.LineEdit());
  EXPECT_EQ(s.Timeout, 0);
  EXPECT_EQ(s.LineBufferCount(), 0);
  EXPECT_FALSE(s.OnLineLimitExceeded.Assigned());
}

TEST(LineProperties, PublishedAfterTheCoreInOrder) {
  std::vector<std::string> names;
  for (const TPropInfo* p : DAVidavi::StaticClassInfo().Props()) names.push_back(p->Name);
  auto at = [&](const std::string& n) {
    return static_cast<long>(std::find(names.begin(), names.end(), n) - names.begin());
  };
  const long linger = at("LingerTimeout");
  ASSERT_LT(linger, static_cast<long>(names.size()));
  const char* order[] = {"LineMode", "LineLimit", "LineEnd", "LineEcho", "LineEdit"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(at(order[i]), linger + 1 + i) << order[i];
  // None of them declares a default, so every value is written.
  for (const char* n : order) EXPECT_FALSE(DAVidavi::StaticClassInfo().FindProp(n)->Default.has_value()) << n;
}

TEST(LineProperties, SettingThroughTheTableUsesTheSetters) {
  TLinePair p;
  ASSERT_TRUE(p.Open());
  p.sock->OnDataAvailable = nullptr;
  p.PeerSend("held");
  ASSERT_EQ(p.sock->LineBufferCount(), 4);
  std::string got;
  p.sock->OnDataAvailable = [&](TObject*, WORD) { got += p.sock->ReceiveText(); };
  // Switching off through the published property redelivers the held bytes.
  DAVidavi::StaticClassInfo().FindProp("LineMode")->Set(*p.sock, TPropValue(false));
  PumpUntil([&] { return !got.empty(); }, 2000);
  EXPECT_EQ(got, "held");
  DAVidavi::StaticClassInfo().FindProp("LineEnd")->Set(*p.sock, TPropValue(std::string("\n")));
  EXPECT_EQ(p.sock->LineEnd(), "\n");
}

}  // namespace
}  // namespace linet
