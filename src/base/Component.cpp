#include "base/Component.h"

#include <algorithm>

#include "base/Exception.h"

namespace evc {

const TClassInfo& TComponent::StaticClassInfo() {
  using P = Published<TComponent>;
  // The name is written in an object's header line, not as a property.
  static const TClassInfo info("TComponent", &TPersistent::StaticClassInfo(),
                               {P::String("Name", &TComponent::Name, &TComponent::SetName).NotStored(),
                                P::Integer("Tag", &TComponent::Tag, &TComponent::SetTag).WithDefault(int64_t(0))});
  return info;
}

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  // Those that asked to hear of our removal forget us now.
  while (!FFreeNotifies.empty()) {
    TComponent* other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    auto& back = other->FFreeNotifies;
    back.erase(std::remove(back.begin(), back.end(), this), back.end());
    other->Notification(this, opRemove);
  }
  DestroyComponents();
  if (FOwner) FOwner->RemoveComponent(this);
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return FComponents[static_cast<size_t>(index)];
}

TComponent* TComponent::FindComponent(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : FComponents)
    if (SameText(c->FName, name)) return c;
  return nullptr;
}

void TComponent::ValidateName(const std::string& name, const TComponent* owner) const {
  if (name.empty()) return;
  bool valid = std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_';
  for (char c : name) valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
  if (!valid) throw EComponentError("'" + name + "' is not a valid component name");
  if (owner) {
    TComponent* other = owner->FindComponent(name);
    if (other && other != this) throw EComponentError("A component named " + name + " already exists");
  }
}

void TComponent::SetName(const std::string& name) {
  if (name == FName) return;
  ValidateName(name, FOwner);
  FName = name;
}

void TComponent::SetDesigning(bool value) {
  if (value)
    FComponentState.Include(csDesigning);
  else
    FComponentState.Exclude(csDesigning);
  for (TComponent* c : FComponents) c->SetDesigning(value);
}

void TComponent::InsertComponent(TComponent* component) {
  if (!component || component->FOwner == this) return;
  component->ValidateName(component->FName, this);
  if (component->FOwner) component->FOwner->RemoveComponent(component);
  FComponents.push_back(component);
  component->FOwner = this;
  Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  if (!component || component->FOwner != this) return;
  FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), component), FComponents.end());
  component->FOwner = nullptr;
  Notification(component, opRemove);
}

void TComponent::FreeNotification(TComponent* component) {
  if (!component || component == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), component) == FFreeNotifies.end())
    FFreeNotifies.push_back(component);
  auto& back = component->FFreeNotifies;
  if (std::find(back.begin(), back.end(), this) == back.end()) back.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (!component) return;
  FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), component), FFreeNotifies.end());
  auto& back = component->FFreeNotifies;
  back.erase(std::remove(back.begin(), back.end(), this), back.end());
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  if (operation != opRemove || !component) return;
  RemoveFreeNotification(component);
  // Copy: a handler may free components of ours while we iterate.
  std::vector<TComponent*> owned = FComponents;
  for (TComponent* c : owned)
    if (std::find(FComponents.begin(), FComponents.end(), c) != FComponents.end())
      c->Notification(component, operation);
}

void TComponent::Destroying() {
  if (FComponentState.Contains(csDestroying)) return;
  FComponentState.Include(csDestroying);
  for (TComponent* c : FComponents) c->Destroying();
}

void TComponent::DestroyComponents() {
  while (!FComponents.empty()) {
    TComponent* c = FComponents.back();
    FComponents.pop_back();
    c->FOwner = nullptr;
    c->Destroying();
    delete c;
  }
}

void TComponent::Loaded() { FComponentState.Exclude(csLoading); }

void TComponent::BeginLoading() {
  FComponentState.Include(csLoading);
  FComponentState.Include(csReading);
}

void TComponent::EndReading() { FComponentState.Exclude(csReading); }

void TComponent::EndLoading() {
  FComponentState.Exclude(csReading);
  FComponentState.Exclude(csLoading);
}

}  // namespace evc
