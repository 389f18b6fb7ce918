#pragma once
// TComponent: the run time's component. A component has a name and an
// owner; the owner frees the components it owns when it is freed (last
// created first). A component may ask to be told when another one is freed
// (FreeNotification), so that it drops its pointer to it in time. Loading
// from a stored description is bracketed by BeginLoading/EndLoading:
// properties set in between are stored and applied by Loaded().

#include <string>
#include <vector>

namespace fw {

enum class TOperation { kInsert, kRemove };

class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  const std::string& Name() const { return name_; }
  virtual void SetName(const std::string& name);
  TComponent* Owner() const { return owner_; }
  // The components this one owns, in creation order.
  const std::vector<TComponent*>& Components() const { return components_; }
  TComponent* FindComponent(const std::string& name) const;

  // Loading from a stored description: BeginLoading marks this component
  // and the ones it owns; EndLoading clears the marks and calls Loaded on
  // each, owned components first in creation order, then this one.
  void BeginLoading();
  void EndLoading();
  bool Loading() const { return loading_; }
  bool Destroying() const { return destroying_; }

  // Asks to be told (Notification with kRemove) when `other` is freed; the
  // request is mutual, so whichever goes first tells the other.
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

 protected:
  // Applies what was stored while loading.
  virtual void Loaded() {}
  // `component` is being freed (kRemove) and this one asked to know.
  virtual void Notification(TComponent* /*component*/, TOperation /*operation*/) {}
  // Marks the start of destruction; derived destructors call it first so
  // that the notifications they cause see the component going.
  void MarkDestroying() { destroying_ = true; }

 private:
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

  std::string name_;
  TComponent* owner_ = nullptr;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> freeNotifies_;
  bool loading_ = false;
  bool destroying_ = false;
};

}  // namespace fw
