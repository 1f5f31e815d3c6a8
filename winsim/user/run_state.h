// Per-run state of one area of the programs' side: a default-made T that
// goes back to its default after every run. Internal to winsim/user.
#pragma once
#include "winsim/kernel/sim.h"

namespace winsim::user {

template <typename T>
T& PerRun(const char* what) {
  static T state;
  static const bool registered = [what] {
    kernel::RegisterRunState(
        what, [] { state = T{}; }, [] { return LONG{0}; });
    return true;
  }();
  (void)registered;
  return state;
}

}  // namespace winsim::user
