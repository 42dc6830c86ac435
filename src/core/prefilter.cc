#include "core/prefilter.h"

#include <cstdlib>
#include <string_view>

namespace korvane_core::prefilter {
namespace {

// -1 until first asked; KORVANE_COMPACT=0 in the environment starts it off (for measuring the
// plain scan beside it).
std::atomic<int> state{-1};

}  // namespace

bool enabled() {
  int s = state.load(std::memory_order_relaxed);
  if (s < 0) {
    const char* e = std::getenv("KORVANE_COMPACT");
    s = (e != nullptr && std::string_view(e) == "0") ? 0 : 1;
    state.store(s, std::memory_order_relaxed);
  }
  return s == 1;
}

void set_enabled(bool on) { state.store(on ? 1 : 0, std::memory_order_relaxed); }

}  // namespace korvane_core::prefilter
