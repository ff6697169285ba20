#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "base/FormFile.h"
#include "base/Streams.h"
#include "sample_components.h"

using namespace evc;
using evc::test::TPicky;
using evc::test::TSample;

namespace {

std::unique_ptr<TComponent> Read(const std::string& text) {
  return std::unique_ptr<TComponent>(TextToComponent(text, nullptr));
}

// The line an EFormError names, or -1 when the text is accepted.
int FailingLine(const std::string& text) {
  try {
    Read(text);
  } catch (const EFormError& e) {
    EXPECT_EQ(e.Message().rfind("Line " + std::to_string(e.Line()) + ": ", 0), 0u) << e.Message();
    return e.Line();
  }
  return -1;
}

bool SamePublished(const TPersistent& a, const TPersistent& b) {
  for (const TPropInfo* p : a.ClassInfo().Props()) {
    if (p->Kind == TPropKind::Object) {
      if (!SamePublished(*std::get<TPersistent*>(p->Get(a)), *std::get<TPersistent*>(p->Get(b)))) return false;
    } else if (!(p->Get(a) == p->Get(b))) {
      ADD_FAILURE() << "property " << p->Name << " differs";
      return false;
    }
  }
  return true;
}

}  // namespace

TEST(FormFile, RoundTripKeepsEveryPublishedProperty) {
  TSample root(nullptr);
  root.SetName("Sample1");
  root.SetTag(-7);
  root.SetCaption(std::string("it's\r\n\x00\xff", 7) + " tail");
  root.SetCount(2147483647);
  root.SetBig(-9223372036854775807LL - 1);
  root.SetSmall(255);
  root.SetRatio(0.1);
  root.SetActive(false);
  root.SetMode(evc::test::smFast);
  root.SetFlags(0b101);
  root.Settings()->SetEnabled(true);
  root.Settings()->SetDelay(250);
  auto* child = new TSample(&root);
  child->SetName("Child");
  child->SetCaption("inner");
  auto* grandchild = new TPicky(child);
  grandchild->SetName("Leaf");
  grandchild->SetValue(9);

  std::string text = ComponentToText(root);
  auto copy = Read(text);
  auto* s = dynamic_cast<TSample*>(copy.get());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->Name(), "Sample1");
  EXPECT_TRUE(SamePublished(root, *s));
  ASSERT_EQ(s->ComponentCount(), 1);
  auto* c = dynamic_cast<TSample*>(s->Components(0));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->Name(), "Child");
  EXPECT_TRUE(SamePublished(*child, *c));
  ASSERT_EQ(c->ComponentCount(), 1);
  EXPECT_EQ(dynamic_cast<TPicky*>(c->Components(0))->Value(), 9);
  // Writing the copy gives the same text: nothing was lost or invented.
  EXPECT_EQ(ComponentToText(*s), text);
}

TEST(FormFile, DefaultsNotStoredAndReadOnlyPropertiesAreNotWritten) {
  TSample root(nullptr);
  root.SetName("S");
  EXPECT_EQ(ComponentToText(root), "object S: TSample\n  Big = 0\nend\n");
  root.Settings()->SetDelay(250);
  root.SetActive(false);
  std::string text = ComponentToText(root);
  EXPECT_NE(text.find("  Settings.Delay = 250\n"), std::string::npos);
  EXPECT_NE(text.find("  Active = False\n"), std::string::npos);
  EXPECT_EQ(text.find("Result"), std::string::npos);   // not stored
  EXPECT_EQ(text.find("Version"), std::string::npos);  // read-only
  EXPECT_EQ(text.find("Settings.Enabled"), std::string::npos);
  EXPECT_EQ(text.find("Tag"), std::string::npos);
}

TEST(FormFile, StringsAndValuesInEveryWrittenForm) {
  auto c = Read(
      "object S: TSample\n"
      "  Caption = 'a''b'#13#10'c' +\n"
      "    'd'#$41\n"
      "  Count = $10\n"
      "  Big = -5\n"
      "  Ratio = 1.5e2\n"
      "  Mode = SMSLOW\n"
      "  Flags = [sfWrite, sfExec]\n"
      "  Settings.Enabled = true\n"
      "end\n");
  auto* s = static_cast<TSample*>(c.get());
  EXPECT_EQ(s->Caption(), "a'b\r\ncdA");
  EXPECT_EQ(s->Count(), 16);
  EXPECT_EQ(s->Big(), -5);
  EXPECT_DOUBLE_EQ(s->Ratio(), 150.0);
  EXPECT_EQ(s->Mode(), evc::test::smSlow);
  EXPECT_EQ(s->Flags(), 0b110u);
  EXPECT_TRUE(s->Settings()->Enabled());
  s->SetRatio(std::nan(""));
  auto again = Read(ComponentToText(*s));
  EXPECT_TRUE(std::isnan(static_cast<TSample*>(again.get())->Ratio()));
}

TEST(FormFile, LoadedRunsOnceForEveryComponentAfterAllPropertiesAreSet) {
  auto c = Read("object R: TSample\n  Count = 1\n  object K: TSample\n    Count = 2\n  end\nend\n");
  auto* r = static_cast<TSample*>(c.get());
  auto* k = static_cast<TSample*>(r->Components(0));
  EXPECT_EQ(r->LoadedCalls, 1);
  EXPECT_EQ(k->LoadedCalls, 1);
  EXPECT_TRUE(r->LoadingSeenInLoaded);
  EXPECT_FALSE(r->ComponentState().Contains(csLoading));
  EXPECT_FALSE(k->ComponentState().Contains(csReading));

  // Reading into an existing component uses it and its named children.
  TSample into(nullptr);
  auto* existing = new TSample(&into);
  existing->SetName("K");
  TextToComponentInto("object R: TSample\n  Count = 3\n  object K: TSample\n    Count = 4\n  end\nend\n", into);
  EXPECT_EQ(into.Count(), 3);
  ASSERT_EQ(into.ComponentCount(), 1);
  EXPECT_EQ(existing->Count(), 4);
  EXPECT_EQ(into.LoadedCalls, 1);
}

TEST(FormFile, BadFilesAreRefusedNamingTheLine) {
  EXPECT_EQ(FailingLine("object S: TSample\n  Count = 1\n  Count 2\nend\n"), 3);            // syntax
  EXPECT_EQ(FailingLine("object S: TNoSuchClass\nend\n"), 1);                              // unknown class
  EXPECT_EQ(FailingLine("object S: TSample\n  object C: TNope\n  end\nend\n"), 2);        // unknown child class
  EXPECT_EQ(FailingLine("object S: TSample\n\n  Colour = 1\nend\n"), 3);                   // unknown property
  EXPECT_EQ(FailingLine("object S: TSample\n  Settings.Nope = 1\nend\n"), 2);              // unknown sub-property
  EXPECT_EQ(FailingLine("object S: TSample\n  Count = 'x'\nend\n"), 2);                    // wrong type
  EXPECT_EQ(FailingLine("object S: TSample\n  Active = 1\nend\n"), 2);
  EXPECT_EQ(FailingLine("object S: TSample\n  Mode = smMedium\nend\n"), 2);
  EXPECT_EQ(FailingLine("object S: TSample\n  Flags = [sfRead, sfBogus]\nend\n"), 2);
  EXPECT_EQ(FailingLine("object S: TSample\n  Count = 2147483648\nend\n"), 2);            // out of range
  EXPECT_EQ(FailingLine("object S: TSample\n  Small = -1\nend\n"), 2);
  EXPECT_EQ(FailingLine("object S: TSample\n  Count = 99999999999999999999\nend\n"), 2);
  EXPECT_EQ(FailingLine("object S: TSample\n  Version = '2'\nend\n"), 2);                  // read-only
  EXPECT_EQ(FailingLine("object S: TSample\n  Settings = 1\nend\n"), 2);                   // an object
  EXPECT_EQ(FailingLine("object S: TSample\n  Caption = 'open\nend\n"), 2);                // unterminated
  EXPECT_EQ(FailingLine("object S: TSample\n  Count = 1\n"), 3);                           // truncated
  EXPECT_EQ(FailingLine("object S: TSample\n  object C: TSample\n"), 3);
  EXPECT_EQ(FailingLine("object S: TSample\nend\nend\n"), 3);                              // text after the end
  EXPECT_EQ(FailingLine(""), 1);
  EXPECT_EQ(FailingLine("object 1S: TSample\nend\n"), 1);
  EXPECT_EQ(FailingLine("object S: TSample\n  object S2: TSample\n  end\n  object s2: TSample\n  end\nend\n"), 4);
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "object C" + std::to_string(i) + ": TSample\n";
  EXPECT_GT(FailingLine(deep), 0);
}

TEST(FormFile, AFailedReadLeavesNothingBehind) {
  int before = evc::test::gLiveSamples;
  // The setter refuses the value after two components already exist.
  EXPECT_EQ(FailingLine("object S: TSample\n  object A: TSample\n  end\n  object P: TPicky\n    Value = -1\n  end\nend\n"),
            5);
  EXPECT_EQ(evc::test::gLiveSamples, before);

  // Reading into an existing root removes what the failed read added and
  // leaves the root out of the loading state.
  TSample root(nullptr);
  auto* mine = new TSample(&root);
  mine->SetName("Mine");
  EXPECT_THROW(TextToComponentInto("object R: TSample\n  object A: TSample\n  end\n  object P: TPicky\n    Value = -2\n  end\nend\n",
                                   root),
               EFormError);
  ASSERT_EQ(root.ComponentCount(), 1);
  EXPECT_EQ(root.Components(0), mine);
  EXPECT_FALSE(root.ComponentState().Contains(csLoading));
  EXPECT_EQ(root.LoadedCalls, 0);

  // A form for another class is refused before anything changes.
  EXPECT_THROW(TextToComponentInto("object P: TPicky\n  Value = 1\nend\n", root), EFormError);
}

TEST(FormFile, StreamsAndFilesCarryForms) {
  TSample root(nullptr);
  root.SetName("Disk");
  root.SetCount(12);
  std::string path = testing::TempDir() + "/evc_form_test.txt";
  WriteComponentFile(path, root);
  auto back = ReadComponentFileAs<TSample>(path);
  EXPECT_EQ(back->Count(), 12);
  EXPECT_THROW(ReadComponentFileAs<TPicky>(path), EFormError);
  EXPECT_THROW(ReadComponentFile(path + ".missing", nullptr), EFOpenError);
  TMemoryStream ms;
  WriteComponent(ms, root);
  ms.SetPosition(0);
  std::unique_ptr<TComponent> c(ReadComponent(ms, nullptr));
  EXPECT_EQ(static_cast<TSample*>(c.get())->Count(), 12);
}
