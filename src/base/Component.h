// TComponent: owner-based lifetime, a name and a tag, component-state flags,
// removal notifications and the after-loading notification.
//
// A component created with an owner is destroyed by that owner; one without
// an owner by whoever created it. The owner marks each owned component as
// being destroyed before deleting it, so a component can tell whether it goes
// on its own or together with its owner.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/Persistent.h"

namespace evc {

enum TComponentStateItem : uint32_t {
  csLoading = 0,      // properties are being read from a form file
  csReading = 1,      // the reader is setting properties right now
  csWriting = 2,      // the writer is storing this component
  csDestroying = 3,   // the component is being destroyed with its owner (or is past its own destructor)
  csDesigning = 4,    // the component is on a designer's surface
  csUpdating = 5,
};

// A small set of TComponentStateItem values.
class TComponentState {
 public:
  bool Contains(TComponentStateItem i) const { return (FBits >> i) & 1u; }
  void Include(TComponentStateItem i) { FBits |= 1u << i; }
  void Exclude(TComponentStateItem i) { FBits &= ~(1u << i); }
  uint32_t Bits() const { return FBits; }

 private:
  uint32_t FBits = 0;
};

enum TOperation { opInsert, opRemove };

class TComponent : public TPersistent {
  EVC_CLASS(TComponent)
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  // The owned component at Index; raises EListError outside 0..ComponentCount-1.
  TComponent* Components(int index) const;
  // The owned component with that name (letter case ignored), or nullptr.
  TComponent* FindComponent(std::string_view name) const;

  const std::string& Name() const { return FName; }
  // Empty, or an identifier unique among the owner's components; raises
  // EComponentError otherwise.
  void SetName(const std::string& name);
  int32_t Tag() const { return FTag; }
  void SetTag(int32_t tag) { FTag = tag; }

  const TComponentState& ComponentState() const { return FComponentState; }
  bool Designing() const { return FComponentState.Contains(csDesigning); }
  // Puts this component and what it owns on or off a design surface.
  void SetDesigning(bool value);

  // A sub-component is made by its owner's constructor and saved as part of
  // it: form files do not write it as an object of its own.
  bool IsSubComponent() const { return FSubComponent; }
  void SetSubComponent(bool value) { FSubComponent = value; }

  // Moves ownership; raises EComponentError when the name clashes there.
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);
  // Asks for a removal notification when `component` is destroyed, and
  // promises one to it in turn (the link works both ways, as it must when
  // two components refer to each other).
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

  // Marks this component and everything it owns as being destroyed.
  void Destroying();
  // Destroys every owned component, the last one first.
  void DestroyComponents();

  // Called once the component's properties have been read from a form file.
  // Overrides call the inherited one, which ends the loading state.
  virtual void Loaded();

  // The form reader's access to the loading flags.
  void BeginLoading();
  void EndReading();
  void EndLoading();

 protected:
  // `component` is being inserted into or removed from the owner, or a
  // component that asked for free notification is going away. The default
  // passes removals on to the owned components.
  virtual void Notification(TComponent* component, TOperation operation);

 private:
  void ValidateName(const std::string& name, const TComponent* owner) const;

  TComponent* FOwner = nullptr;
  std::vector<TComponent*> FComponents;
  std::vector<TComponent*> FFreeNotifies;
  std::string FName;
  int32_t FTag = 0;
  bool FSubComponent = false;
  TComponentState FComponentState;
};

}  // namespace evc
