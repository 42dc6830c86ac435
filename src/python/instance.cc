#include "python/instance.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "python/errors.h"
#include "python/texts.h"

namespace korvane_python {
namespace {

// The instances this thread has entered, innermost last, each with its mode. Re-entrance is a
// matter of one thread, so this is all the borrow rule needs; and a forked child, which keeps
// only the forking thread, inherits no borrow of a thread it does not have.
struct Entered {
  const State* state;
  Access::Mode mode;
};
thread_local std::vector<Entered> t_entered;

// Whether this thread has entered the instance, and whether exclusively.
bool entered_here(const State& state, bool* exclusively = nullptr) {
  bool found = false;
  for (const Entered& e : t_entered) {
    if (e.state != &state) continue;
    found = true;
    if (exclusively != nullptr && e.mode == Access::Mode::Exclusive) *exclusively = true;
  }
  return found;
}

void leave(const State& state) {
  for (auto it = t_entered.rbegin(); it != t_entered.rend(); ++it) {
    if (it->state == &state) {
      t_entered.erase(std::next(it).base());
      return;
    }
  }
}

}  // namespace

Access::Access(State& state, Mode mode) : state_(state), mode_(mode) {
  bool exclusively = false;
  if (entered_here(state, &exclusively)) {
    // Called back from this thread's own conversion: the lock is this thread's already.
    if (mode == Mode::Exclusive || exclusively) {
      raise_error(PyExc_RuntimeError,
                  mode == Mode::Exclusive ? texts::kAlreadyBorrowed
                                           : texts::kAlreadyMutablyBorrowed);
      return;
    }
  } else if (state.store) {
    keep_ = state.store;
    const auto core_mode = mode == Mode::Exclusive ? korvane_core::Korvane::Mode::Exclusive
                                                   : korvane_core::Korvane::Mode::Shared;
    // Try first: an uncontended call costs no release of the interpreter lock.
    if (auto tried = keep_->try_hold(core_mode)) hold_.emplace(std::move(*tried));
    if (!hold_) {
      try {
        WithoutGil unlocked;
        hold_.emplace(keep_->hold(core_mode));
      } catch (ForcedUnwind&) {
        hold_.reset();  // the interpreter is ending this thread as it takes the lock back
        throw;
      }
    }
  }
  t_entered.push_back(Entered{&state, mode});
  borrowed_ = true;
}

Access::~Access() {
  if (!borrowed_) return;
  leave(state_);
  hold_.reset();
}

void Access::close_store() {
  std::shared_ptr<korvane_core::Korvane> doomed = std::move(state_.store);
  if (borrowed_) {
    leave(state_);
    borrowed_ = false;
  }
  hold_.reset();
  keep_.reset();
  WithoutGil unlocked;
  doomed.reset();
}

korvane_core::Korvane* Access::store() {
  if (!borrowed_) return nullptr;  // the borrow raised already
  if (!state_.store) raise_error(PyExc_RuntimeError, "Korvane store is closed");
  return state_.store.get();
}

bool check_dim(const State& state, std::size_t length, const char* what) {
  if (!state.dim || *state.dim == length) return true;
  raise_error(PyExc_ValueError, std::string(what) + " has length " + std::to_string(length) +
                                    ", but the store's dimension is " +
                                    std::to_string(*state.dim));
  return false;
}

bool check_finite(const std::vector<float>& query, const char* what) {
  for (std::size_t i = 0; i < query.size(); ++i) {
    if (std::isfinite(query[i])) continue;
    raise_error(PyExc_ValueError, std::string(what) + " has a non-finite component at index " +
                                      std::to_string(i) + " (NaN, infinite, or beyond the 32-bit "
                                      "float range)");
    return false;
  }
  return true;
}

}  // namespace korvane_python
