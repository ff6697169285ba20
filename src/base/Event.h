// Event properties: an optional handler that can be assigned, called and
// cleared. Arguments passed by reference let a handler answer back (the
// `var CanClose` style).
#pragma once
#include <functional>
#include <memory>
#include <utility>

namespace evc {

template <class... Args>
class TEvent {
 public:
  using THandler = std::function<void(Args...)>;

  TEvent() = default;
  TEvent(std::nullptr_t) {}
  template <class F, class = std::enable_if_t<std::is_invocable_v<F&, Args...> &&
                                              !std::is_same_v<std::decay_t<F>, TEvent>>>
  TEvent(F&& f) : FHandler(std::make_shared<THandler>(std::forward<F>(f))) {}

  template <class F, class = std::enable_if_t<std::is_invocable_v<F&, Args...> &&
                                              !std::is_same_v<std::decay_t<F>, TEvent>>>
  TEvent& operator=(F&& f) {
    FHandler = std::make_shared<THandler>(std::forward<F>(f));
    return *this;
  }
  TEvent& operator=(std::nullptr_t) {
    FHandler.reset();
    return *this;
  }

  // Binds a member function of `target` as the handler.
  template <class T, class M>
  void Bind(T* target, M method) {
    FHandler = std::make_shared<THandler>(
        [target, method](Args... args) { (target->*method)(std::forward<Args>(args)...); });
  }

  bool Assigned() const { return FHandler != nullptr; }
  explicit operator bool() const { return Assigned(); }
  void Clear() { FHandler.reset(); }

  // Calls the handler when one is assigned. The handler is held for the call,
  // so it may reassign or clear this event (or destroy its owner's other
  // handlers) while it runs.
  void operator()(Args... args) const {
    if (!FHandler) return;
    std::shared_ptr<THandler> h = FHandler;
    (*h)(std::forward<Args>(args)...);
  }

 private:
  std::shared_ptr<THandler> FHandler;
};

class TObject;
using TNotifyEvent = TEvent<TObject*>;

}  // namespace evc
