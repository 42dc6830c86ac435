#include "core/fair_lock.h"

#include <pthread.h>

#include <new>

namespace korvane_core {
namespace {

// Bumped in every forked child, before anything else runs there.
std::atomic<std::uint64_t> g_generation{0};

void forked_child() { g_generation.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t current_generation() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, forked_child);
    return true;
  }();
  static_cast<void>(registered);
  return g_generation.load(std::memory_order_relaxed);
}

}  // namespace

FairLock::FairLock() : generation_(current_generation()) {}

std::uint64_t FairLock::generation() { return current_generation(); }

void FairLock::adopt() {
  const std::uint64_t now = current_generation();
  if (generation_.load(std::memory_order_relaxed) == now) return;
  // A forked child, alone in its process: the mutex may have been held by a thread of the
  // parent's at the fork, so it is made anew rather than unlocked.
  new (&mutex_) std::mutex;
  new (&changed_) std::condition_variable;
  writers_arrived_ = writers_done_ = 0;
  writing_ = false;
  readers_arrived_ = readers_admitted_ = readers_active_ = 0;
  generation_.store(now, std::memory_order_relaxed);
}

void FairLock::lock() {
  adopt();
  std::unique_lock<std::mutex> guard(mutex_);
  const std::uint64_t number = writers_arrived_++;
  const std::uint64_t readers_before = readers_arrived_;
  changed_.wait(guard, [&] {
    return writers_done_ == number && readers_admitted_ >= readers_before && readers_active_ == 0;
  });
  writing_ = true;
}

bool FairLock::try_lock() {
  adopt();
  std::lock_guard<std::mutex> guard(mutex_);
  if (writers_done_ != writers_arrived_ || readers_active_ != 0 ||
      readers_admitted_ != readers_arrived_) {
    return false;
  }
  ++writers_arrived_;
  writing_ = true;
  return true;
}

void FairLock::unlock() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    writing_ = false;
    ++writers_done_;
  }
  changed_.notify_all();
}

void FairLock::lock_shared() {
  adopt();
  std::unique_lock<std::mutex> guard(mutex_);
  ++readers_arrived_;
  const std::uint64_t writers_before = writers_arrived_;
  changed_.wait(guard, [&] { return writers_done_ >= writers_before; });
  ++readers_admitted_;
  ++readers_active_;
}

bool FairLock::try_lock_shared() {
  adopt();
  std::lock_guard<std::mutex> guard(mutex_);
  if (writers_done_ != writers_arrived_) return false;
  ++readers_arrived_;
  ++readers_admitted_;
  ++readers_active_;
  return true;
}

void FairLock::unlock_shared() {
  bool last = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    last = --readers_active_ == 0;
  }
  if (last) changed_.notify_all();
}

std::uint64_t FairLock::waiting() {
  adopt();
  std::lock_guard<std::mutex> guard(mutex_);
  const std::uint64_t writers = writers_arrived_ - writers_done_ - (writing_ ? 1 : 0);
  return writers + (readers_arrived_ - readers_admitted_);
}

void FairLock::unlock(std::uint64_t taken_in) {
  if (taken_in == current_generation()) unlock();
}

void FairLock::unlock_shared(std::uint64_t taken_in) {
  if (taken_in == current_generation()) unlock_shared();
}

}  // namespace korvane_core
