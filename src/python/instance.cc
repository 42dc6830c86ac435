#include "python/instance.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "python/errors.h"

namespace korvane_python {
namespace {

constexpr std::size_t kExclusive = std::numeric_limits<std::size_t>::max();

// The instances whose lock this thread holds, innermost last.
thread_local std::vector<const State*> t_held;

bool held_here(const State& state) {
  return std::find(t_held.begin(), t_held.end(), &state) != t_held.end();
}

bool take_borrow(std::atomic<std::size_t>& flag, Access::Mode mode) {
  if (mode == Access::Mode::Exclusive) {
    std::size_t expected = 0;
    if (flag.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      return true;
    }
    raise_error(PyExc_RuntimeError, "Already borrowed");
    return false;
  }
  std::size_t current = flag.load(std::memory_order_relaxed);
  while (current != kExclusive) {
    if (flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                   std::memory_order_relaxed)) {
      return true;
    }
  }
  raise_error(PyExc_RuntimeError, "Already mutably borrowed");
  return false;
}

}  // namespace

bool WriterFirstLock::try_lock() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (writer_ || readers_ > 0) return false;
  writer_ = true;
  return true;
}

void WriterFirstLock::lock() {
  std::unique_lock<std::mutex> guard(mutex_);
  ++writers_waiting_;
  changed_.wait(guard, [this] { return !writer_ && readers_ == 0; });
  --writers_waiting_;
  writer_ = true;
}

void WriterFirstLock::unlock() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    writer_ = false;
  }
  changed_.notify_all();
}

bool WriterFirstLock::try_lock_shared() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (writer_ || writers_waiting_ > 0) return false;
  ++readers_;
  return true;
}

void WriterFirstLock::lock_shared() {
  std::unique_lock<std::mutex> guard(mutex_);
  changed_.wait(guard, [this] { return !writer_ && writers_waiting_ == 0; });
  ++readers_;
}

void WriterFirstLock::unlock_shared() {
  bool last = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    last = --readers_ == 0;
  }
  if (last) changed_.notify_all();
}

Access::Access(State& state, Mode mode) : state_(state), mode_(mode) {
  if (!held_here(state)) {
    // Try first: an uncontended call costs no release of the interpreter lock.
    if (mode == Mode::Exclusive) {
      if (!state.lock.try_lock()) {
        WithoutGil unlocked;
        state.lock.lock();
      }
    } else if (!state.lock.try_lock_shared()) {
      WithoutGil unlocked;
      state.lock.lock_shared();
    }
    locked_ = true;
    t_held.push_back(&state);
  }
  borrowed_ = take_borrow(state.borrow, mode);
  if (!borrowed_ && locked_) {
    // Cannot happen while the lock excludes other threads, but never leave it held.
    t_held.pop_back();
    if (mode == Mode::Exclusive) {
      state.lock.unlock();
    } else {
      state.lock.unlock_shared();
    }
    locked_ = false;
  }
}

Access::~Access() {
  if (borrowed_) {
    if (mode_ == Mode::Exclusive) {
      state_.borrow.store(0, std::memory_order_release);
    } else {
      state_.borrow.fetch_sub(1, std::memory_order_release);
    }
  }
  if (locked_) {
    auto it = std::find(t_held.rbegin(), t_held.rend(), &state_);
    t_held.erase(std::next(it).base());
    if (mode_ == Mode::Exclusive) {
      state_.lock.unlock();
    } else {
      state_.lock.unlock_shared();
    }
  }
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

}  // namespace korvane_python
