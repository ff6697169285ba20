// Asynchronous lookups through the component's window.
#include <gtest/gtest.h>

#include "SocketTestUtil.h"

using namespace evc;
using sockt::PumpFor;
using sockt::PumpUntil;

TEST(LookupTest, DottedQuadCompletesAtOnce) {
  DAVidavi s(nullptr);
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TObject*, WORD e) { done.push_back(e); };
  s.DnsLookup(" 10.1.2.3 ");
  ASSERT_EQ(done, std::vector<int>{0});  // before DnsLookup returned
  EXPECT_EQ(s.DnsResult(), "10.1.2.3");
  ASSERT_EQ(s.DnsResultList()->Count(), 1);
  EXPECT_EQ(s.DnsResultList()->Strings(0), "10.1.2.3");
}

TEST(LookupTest, NameLookupThroughTheWindow) {
  DAVidavi s(nullptr);
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TObject*, WORD e) { done.push_back(e); };
  s.DnsLookup("localhost");
  EXPECT_TRUE(done.empty());
  ASSERT_TRUE(PumpUntil([&] { return !done.empty(); }));
  EXPECT_EQ(done, std::vector<int>{0});
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
  EXPECT_EQ(s.DnsResultList()->Strings(0), s.DnsResult());
}

TEST(LookupTest, ReverseLookupGivesTheName) {
  DAVidavi s(nullptr);
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TObject*, WORD e) { done.push_back(e); };
  s.ReverseDnsLookup("127.0.0.1");
  ASSERT_TRUE(PumpUntil([&] { return !done.empty(); }));
  EXPECT_EQ(done, std::vector<int>{0});
  EXPECT_FALSE(s.DnsResult().empty());
  ASSERT_EQ(s.DnsResultList()->Count(), 1);
}

TEST(LookupTest, CancelAndReplace) {
  DAVidavi s(nullptr);
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TObject*, WORD e) { done.push_back(e); };
  s.DnsLookup("localhost");
  s.CancelLookup();
  EXPECT_EQ(done, std::vector<int>{10004});
  PumpFor(200);
  EXPECT_EQ(done, std::vector<int>{10004});  // no reply after a cancel
  done.clear();
  // A second lookup replaces the first; only the second reports.
  s.DnsLookup("localhost");
  s.ReverseDnsLookup("127.0.0.1");
  ASSERT_TRUE(PumpUntil([&] { return !done.empty(); }));
  PumpFor(200);
  EXPECT_EQ(done, std::vector<int>{0});
  s.CancelLookup();  // nothing pending: nothing fires
  EXPECT_EQ(done.size(), 1u);
}

TEST(LookupTest, InvalidNamesReportThenFire) {
  DAVidavi s(nullptr);
  std::vector<int> done;
  int errors = 0;
  s.OnDnsLookupDone = [&](TObject*, WORD e) { done.push_back(e); };
  try {
    s.DnsLookup("");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "DNS lookup: invalid host name.");
  }
  EXPECT_TRUE(done.empty());  // the raise came first
  s.OnError = [&](TObject*) { ++errors; };
  s.DnsLookup("");
  s.ReverseDnsLookup(std::string(257, 'a'));
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(done, (std::vector<int>{10022, 10022}));
}

TEST(LookupTest, LookupSurvivesACloseOfTheSocket) {
  sockt::TRawListener peer;
  DAVidavi s(nullptr);
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TObject*, WORD e) { done.push_back(e); };
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(peer.port));
  s.Connect();
  s.DnsLookup("localhost");
  s.Close();  // the session ends; the lookup does not belong to it
  ASSERT_TRUE(PumpUntil([&] { return !done.empty(); }));
  EXPECT_EQ(done, std::vector<int>{0});
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
}

TEST(LookupTest, ComponentFreedWithPendingLookup) {
  for (int i = 0; i < 20; ++i) {
    DAVidavi s(nullptr);
    s.DnsLookup("localhost");
  }
  PumpFor(100);
  SUCCEED();  // under the sanitizers: no write into a freed buffer
}
