#include <gtest/gtest.h>

#include "base/Component.h"
#include "base/Event.h"
#include "base/Exception.h"
#include "sample_components.h"

using namespace evc;
using evc::test::TSample;

namespace {

// Records the removal notifications it receives.
class TWatcher : public TComponent {
 public:
  using TComponent::TComponent;
  std::vector<TComponent*> Removed;
  TComponent* Target = nullptr;

 protected:
  void Notification(TComponent* c, TOperation op) override {
    TComponent::Notification(c, op);
    if (op == opRemove) {
      Removed.push_back(c);
      if (c == Target) Target = nullptr;
    }
  }
};

}  // namespace

TEST(Component, OwnerDestroysOwnedComponentsMarkedAsBeingDestroyed) {
  std::vector<std::string> log;
  int before = evc::test::gLiveSamples;
  {
    auto* root = new TSample(nullptr);
    root->SetName("Root");
    root->Log = &log;
    auto* a = new TSample(root);
    a->SetName("A");
    a->Log = &log;
    auto* b = new TSample(a);  // owned by an owned component
    b->SetName("B");
    b->Log = &log;
    EXPECT_EQ(root->ComponentCount(), 1);
    EXPECT_EQ(a->Owner(), root);
    delete root;
  }
  EXPECT_EQ(evc::test::gLiveSamples, before);
  // The root itself goes on its own; what it owns goes with it and knows it.
  // Each component's own destructor runs before it destroys what it owns.
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0], "Root:alone");
  EXPECT_EQ(log[1], "A:destroying");
  EXPECT_EQ(log[2], "B:destroying");
}

TEST(Component, DestroyedOnItsOwnLeavesItsOwnersList) {
  TSample root(nullptr);
  auto* a = new TSample(&root);
  auto* b = new TSample(&root);
  a->SetName("A");
  b->SetName("B");
  std::vector<std::string> log;
  a->Log = &log;
  delete a;
  ASSERT_EQ(root.ComponentCount(), 1);
  EXPECT_EQ(root.Components(0), b);
  EXPECT_EQ(root.FindComponent("a"), nullptr);
  EXPECT_EQ(log, std::vector<std::string>{"A:alone"});
  EXPECT_THROW(root.Components(1), EListError);
}

TEST(Component, NamesAreIdentifiersUniqueAmongTheOwnersComponents) {
  TSample root(nullptr);
  auto* a = new TSample(&root);
  auto* b = new TSample(&root);
  a->SetName("Socket1");
  EXPECT_THROW(b->SetName("socket1"), EComponentError);  // letter case does not make it different
  EXPECT_EQ(b->Name(), "");
  EXPECT_THROW(b->SetName("1abc"), EComponentError);
  EXPECT_THROW(b->SetName("a b"), EComponentError);
  b->SetName("_ok2");
  EXPECT_EQ(root.FindComponent("_OK2"), b);
  try {
    b->SetName("Socket1");
    FAIL();
  } catch (const EComponentError& e) {
    EXPECT_EQ(e.Message(), "A component named Socket1 already exists");
  }
  // Moving a component to an owner that already holds its name is refused.
  TSample other(nullptr);
  auto* c = new TSample(&other);
  c->SetName("Socket1");
  EXPECT_THROW(root.InsertComponent(c), EComponentError);
  EXPECT_EQ(c->Owner(), &other);
}

TEST(Component, RemovalNotificationsReachOwnedComponentsAndFreeNotifyLinks) {
  TWatcher root(nullptr);
  auto* watcher = new TWatcher(&root);
  auto* victim = new TSample(&root);
  delete victim;
  // The owner passes the removal on to everything it owns.
  ASSERT_EQ(watcher->Removed.size(), 1u);
  EXPECT_EQ(watcher->Removed[0], victim);

  // A component elsewhere that refers to another asks to be told.
  TWatcher outsider(nullptr);
  auto* target = new TSample(nullptr);
  outsider.Target = target;
  outsider.FreeNotification(target);
  delete target;
  EXPECT_EQ(outsider.Target, nullptr);

  // The link works both ways: the watcher going first leaves no dangling link.
  auto* w2 = new TWatcher(nullptr);
  TSample t2(nullptr);
  w2->FreeNotification(&t2);
  delete w2;  // t2's destructor must not notify the freed watcher
}

TEST(Component, DesigningAndLoadingFlags) {
  TSample root(nullptr);
  auto* a = new TSample(&root);
  root.SetDesigning(true);
  EXPECT_TRUE(a->Designing());
  EXPECT_TRUE(a->ComponentState().Contains(csDesigning));
  root.SetDesigning(false);
  EXPECT_FALSE(a->ComponentState().Contains(csDesigning));
  root.BeginLoading();
  EXPECT_TRUE(root.ComponentState().Contains(csLoading));
  root.Loaded();
  EXPECT_FALSE(root.ComponentState().Contains(csLoading));
}

TEST(Event, AssignCallClearAndReferenceArguments) {
  TEvent<TObject*, bool&> onClose;
  EXPECT_FALSE(onClose.Assigned());
  bool canClose = true;
  onClose(nullptr, canClose);  // nothing assigned: nothing happens
  EXPECT_TRUE(canClose);
  onClose = [](TObject*, bool& c) { c = false; };
  EXPECT_TRUE(onClose.Assigned());
  onClose(nullptr, canClose);
  EXPECT_FALSE(canClose);
  onClose.Clear();
  EXPECT_FALSE(onClose.Assigned());
}

TEST(Event, HandlerMayReplaceItsOwnEventWhileRunning) {
  TNotifyEvent ev;
  int first = 0, second = 0;
  ev = [&](TObject*) {
    ++first;
    ev = [&](TObject*) { ++second; };  // the running handler stays alive
  };
  ev(nullptr);
  ev(nullptr);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);

  struct TTarget {
    int hits = 0;
    void Handle(TObject*) { ++hits; }
  } target;
  ev.Bind(&target, &TTarget::Handle);
  ev(nullptr);
  EXPECT_EQ(target.hits, 1);
}

TEST(Persistent, AssignCopiesStoredPropertiesAndRefusesOtherClasses) {
  TSample a(nullptr), b(nullptr);
  a.SetName("A");
  a.SetCaption("x");
  a.SetCount(3);
  a.Settings()->SetDelay(7);
  b.Assign(a);
  EXPECT_EQ(b.Caption(), "x");
  EXPECT_EQ(b.Count(), 3);
  EXPECT_EQ(b.Settings()->Delay(), 7);
  EXPECT_EQ(b.Name(), "");  // names are not properties to copy
  evc::test::TPicky p(nullptr);
  EXPECT_THROW(p.Assign(a), EConvertError);
}
