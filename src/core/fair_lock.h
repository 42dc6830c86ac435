// FairLock: the store's reader-writer lock. Writers hold it one at a time, readers together.
//
// Callers are served in the order they arrived, readers in groups: a reader waits only for the
// writers that were already waiting (or writing) when it arrived, and a writer only for the
// readers and writers that arrived before it. So neither side can starve the other: under a
// steady stream of writes a reader waits for at most the writes queued ahead of it, and under a
// steady stream of searches a writer waits for at most the searches that began before it.
//
// Every waiting ticket is a number handed out at arrival: a writer takes the next writer
// number and notes how many readers had arrived; a reader notes how many writers had arrived.
//
// After fork() the child holds a copy of the lock in whatever state the parent's threads left
// it, though none of those threads exist there. The first use in the child starts it afresh
// (free, nobody waiting), so the child's own calls never wait for a thread it does not have.
// The child must make its first call on the store before it starts threads of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace korvane_core {

class FairLock {
 public:
  FairLock();
  FairLock(const FairLock&) = delete;
  FairLock& operator=(const FairLock&) = delete;

  void lock();
  bool try_lock();
  void unlock();
  void lock_shared();
  bool try_lock_shared();
  void unlock_shared();

  // The process generation the lock belongs to: it changes in a forked child. An unlock made
  // with a generation other than the lock's undoes nothing (the hold was the parent's).
  // Callers waiting now (for tests and diagnostics).
  std::uint64_t waiting();

  static std::uint64_t generation();
  void unlock(std::uint64_t taken_in);
  void unlock_shared(std::uint64_t taken_in);

 private:
  // Starts the lock afresh when it was inherited through fork(). Called before every use.
  void adopt();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<std::uint64_t> generation_;
  std::uint64_t writers_arrived_ = 0;  // writer numbers handed out
  std::uint64_t writers_done_ = 0;     // writers that have finished, in number order
  bool writing_ = false;
  std::uint64_t readers_arrived_ = 0;
  std::uint64_t readers_admitted_ = 0;
  std::uint64_t readers_active_ = 0;
};

}  // namespace korvane_core
