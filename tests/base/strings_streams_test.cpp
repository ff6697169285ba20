#include <gtest/gtest.h>

#include "base/Exception.h"
#include "base/Streams.h"
#include "base/Strings.h"

using namespace evc;

TEST(StringList, TextSplitsEveryLineBreakAndKeepsZeroBytes) {
  TStringList l;
  l.SetText(std::string("a\r\nb\nc\rd\r\n\r\ne\0f", 15));
  ASSERT_EQ(l.Count(), 6);
  EXPECT_EQ(l[0], "a");
  EXPECT_EQ(l[3], "d");
  EXPECT_EQ(l[4], "");
  EXPECT_EQ(l[5], std::string("e\0f", 3));
  EXPECT_EQ(l.Text().substr(0, 6), "a\r\nb\r\n");
  EXPECT_THROW(l.Get(6), EListError);
  EXPECT_THROW(l.Delete(-1), EListError);
}

TEST(StringList, NameValuePairsAndLookups) {
  TStringList l;
  l.Add("Content-Type=text/html");
  l.Add("Location=/a=b");
  EXPECT_EQ(l.Values("content-type"), "text/html");
  EXPECT_EQ(l.Values("Location"), "/a=b");
  EXPECT_EQ(l.Names(1), "Location");
  l.SetValue("Location", "/c");
  EXPECT_EQ(l[1], "Location=/c");
  l.SetValue("Location", "");
  EXPECT_EQ(l.Count(), 1);
  EXPECT_EQ(l.IndexOf("CONTENT-TYPE=TEXT/HTML"), 0);
  EXPECT_EQ(l.IndexOf("nothing"), -1);
}

TEST(StringList, SortedListsKeepOrderAndApplyDuplicates) {
  TStringList l;
  l.SetSorted(true);
  l.Add("pear");
  l.Add("Apple");
  l.Add("fig");
  EXPECT_EQ(l.CommaText(), "Apple,fig,pear");
  EXPECT_EQ(l.Add("apple"), 0);  // ignored duplicate: the existing index
  EXPECT_EQ(l.Count(), 3);
  l.SetDuplicates(dupError);
  EXPECT_THROW(l.Add("FIG"), EListError);
  l.SetDuplicates(dupAccept);
  l.Add("fig");
  EXPECT_EQ(l.Count(), 4);
  EXPECT_THROW(l.Insert(0, "z"), EListError);
  int at;
  EXPECT_FALSE(l.Find("grape", at));
  EXPECT_EQ(at, 3);
}

TEST(StringList, CommaTextQuotesWhatNeedsIt) {
  TStringList l;
  l.SetCommaText("a, \"b c\",\"d\"\"e\",");
  ASSERT_EQ(l.Count(), 4);
  EXPECT_EQ(l[1], "b c");
  EXPECT_EQ(l[2], "d\"e");
  EXPECT_EQ(l[3], "");
  EXPECT_EQ(l.CommaText(), "a,\"b c\",\"d\"\"e\",\"\"");
}

TEST(StringList, ChangeEventsFireOncePerUpdateAndOwnedObjectsAreFreed) {
  TStringList l;
  int changes = 0;
  l.OnChange = [&](TObject*) { ++changes; };
  l.Add("x");
  EXPECT_EQ(changes, 1);
  l.BeginUpdate();
  l.Add("y");
  l.Add("z");
  l.EndUpdate();
  EXPECT_EQ(changes, 2);

  struct TCounted : TObject {
    int* live;
    explicit TCounted(int* l) : live(l) { ++*live; }
    ~TCounted() override { --*live; }
  };
  int live = 0;
  {
    TStringList owner;
    owner.SetOwnsObjects(true);
    owner.AddObject("a", new TCounted(&live));
    owner.AddObject("b", new TCounted(&live));
    owner.Delete(0);
    EXPECT_EQ(live, 1);
  }
  EXPECT_EQ(live, 0);
}

TEST(Streams, MemoryStreamReadWriteSeekAndGaps) {
  TMemoryStream m;
  m.WriteBuffer("hello", 5);
  EXPECT_EQ(m.Size(), 5);
  EXPECT_EQ(m.Position(), 5);
  m.SetPosition(8);
  m.WriteBuffer("!", 1);  // writing past the end fills the gap with zeros
  EXPECT_EQ(m.DataString(), std::string("hello\0\0\0!", 9));
  m.SetPosition(1);
  char buf[4] = {};
  EXPECT_EQ(m.Read(buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "ello");
  m.SetPosition(9);
  EXPECT_EQ(m.Read(buf, 4), 0);
  EXPECT_THROW(m.ReadBuffer(buf, 1), EReadError);
  EXPECT_EQ(m.Seek(-1, soBeginning), -1);
  m.SetSize(2);
  EXPECT_EQ(m.Position(), 2);
  EXPECT_EQ(m.DataString(), "he");
}

TEST(Streams, FileStreamAndCopyFrom) {
  std::string path = testing::TempDir() + "/evc_stream_test.bin";
  {
    TFileStream f(path, fmCreate);
    std::string big(200000, 'q');
    big[199999] = 'z';
    f.WriteBuffer(big.data(), static_cast<int64_t>(big.size()));
  }
  TFileStream in(path, fmOpenRead);
  EXPECT_EQ(in.Size(), 200000);
  TMemoryStream m;
  EXPECT_EQ(m.CopyFrom(in, 0), 200000);
  EXPECT_EQ(m.Memory()[199999], 'z');
  EXPECT_EQ(in.Write("x", 1), -1);  // opened for reading only
  try {
    TFileStream missing(path + ".none", fmOpenRead);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message().rfind("Cannot open file \"" + path + ".none\". ", 0), 0u);
  }
  TStringList l;
  l.Add("one");
  l.Add("two");
  l.SaveToFile(path);
  TStringList back;
  back.LoadFromFile(path);
  EXPECT_TRUE(back.Equals(l));
}
