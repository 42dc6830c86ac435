// What an instance of the class Korvane holds, and how a call gets at it.
//
// Each instance owns one core store until close() or its destruction. Calls on one instance are
// ordered by a reader-writer lock: insert, delete, the batch writes, enable_index and close take
// it exclusively, the readers share it. A thread waits for the lock with the interpreter lock
// released, so the thread that holds it can always finish; and the core's long steps (scoring,
// loading, committing, building the index) run with the interpreter lock released too, so other
// Python threads go on meanwhile.
//
// Converting arguments runs the caller's Python code, which may call back into the same instance
// from the same thread. Such a call must not wait (it would wait for itself), so each thread
// remembers which instances it holds, and a call that finds its instance already held by its own
// thread meets the borrow flag instead: a shared borrow is refused while an exclusive one is
// held ("Already mutably borrowed"), an exclusive borrow while any is held ("Already borrowed").
// Calls from other threads never meet the flag; they wait for the lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>

#include "korvane/korvane.h"

namespace korvane_python {

// A reader-writer lock that lets a waiting writer in before readers that come after it, so a
// steady stream of searches cannot hold a write off forever.
class WriterFirstLock {
 public:
  bool try_lock();
  void lock();
  void unlock();
  bool try_lock_shared();
  void lock_shared();
  void unlock_shared();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t readers_ = 0;
  std::size_t writers_waiting_ = 0;
  bool writer_ = false;
};

struct State {
  std::unique_ptr<korvane_core::Korvane> store;  // null once closed
  std::optional<std::size_t> dim;                 // the fixed vector length, when one was set
  WriterFirstLock lock;
  // 0: free; n: n shared borrows; all ones: one exclusive borrow.
  std::atomic<std::size_t> borrow{0};
};

struct KorvaneObject {
  PyObject_HEAD
  State* state;  // set by the constructor, deleted by the destructor
};

inline State& state_of(PyObject* self) { return *reinterpret_cast<KorvaneObject*>(self)->state; }

// Holds the instance for one call. store() gives the open store, or null with the error set: the
// borrow failed (re-entrance), or the instance was closed.
class Access {
 public:
  enum class Mode { Shared, Exclusive };

  Access(State& state, Mode mode);
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;
  ~Access();

  bool ok() const { return borrowed_; }
  korvane_core::Korvane* store();

 private:
  State& state_;
  Mode mode_;
  bool locked_ = false;    // this call took the lock (it was not re-entered)
  bool borrowed_ = false;
};

// Releases the interpreter lock for a scope. Nothing inside may touch a Python object.
class WithoutGil {
 public:
  WithoutGil() : saved_(PyEval_SaveThread()) {}
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  ~WithoutGil() { PyEval_RestoreThread(saved_); }

 private:
  PyThreadState* saved_;
};

// Raises ValueError when the store has a fixed dimension and the vector does not match it.
bool check_dim(const State& state, std::size_t length, const char* what);

}  // namespace korvane_python
