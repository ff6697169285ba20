// Adding behaviour to an event that already has a handler (a recorder, say):
// the tests that act from inside handlers use it to act right after the
// event was recorded.
#pragma once
#include <functional>

#include "base/Event.h"

namespace evctest {

// Calls `after` once the handler already assigned to `ev` has run.
template <class... A>
void Chain(evc::TEvent<A...>& ev, const std::function<void()>& after) {
  evc::TEvent<A...> prev = ev;
  ev = [prev, after](A... a) {
    prev(a...);
    after();
  };
}

}  // namespace evctest
