// What an instance of the class Korvane holds, and how a call gets at it.
//
// Each instance owns one core store until close() or its destruction. Calls on one instance are
// ordered by the core store's own fair reader-writer lock: insert, delete, the batch writes,
// enable_index and close hold it exclusively, the readers share it, each for the whole call. A
// thread waits for the lock with the interpreter lock released, so the thread that holds it can
// always finish; and the core's long steps (scoring, loading, committing, building the index)
// run with the interpreter lock released too, so other Python threads go on meanwhile.
//
// Converting arguments runs the caller's Python code, which may call back into the same instance
// from the same thread. Such a call must not wait (it would wait for itself), so each thread
// remembers which instances it holds, and a call that finds its instance already held by its own
// thread meets the borrow rule instead: a shared borrow is refused while an exclusive one is
// held ("Already mutably borrowed"), an exclusive borrow while any is held ("Already borrowed").
// Calls from other threads never meet the rule; they wait for the lock.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "korvane/korvane.h"

namespace korvane_python {

struct State {
  // Null once closed. Shared with the calls that wait for its lock, so that a close meanwhile
  // cannot take the lock away from under them; they find the store closed once they have it.
  std::shared_ptr<korvane_core::Korvane> store;
  std::optional<std::size_t> dim;  // the fixed vector length, when one was set
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
  // Closes the store (held exclusively): the instance lets go of it, the lock is released, and
  // the store goes with the interpreter lock released unless a waiting call still has it.
  void close_store();

 private:
  State& state_;
  Mode mode_;
  std::shared_ptr<korvane_core::Korvane> keep_;     // the store whose lock this call holds
  std::optional<korvane_core::Korvane::Hold> hold_;  // empty when re-entered or closed
  bool borrowed_ = false;  // entered: this thread's list of entered instances names it
};

// Releases the interpreter lock for a scope. Nothing inside may touch a Python object. Taking
// the lock back may end the thread when the interpreter is exiting (a forced unwind), so the
// destructor may throw.
class WithoutGil {
 public:
  WithoutGil() : saved_(PyEval_SaveThread()) {}
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  ~WithoutGil() noexcept(false) { PyEval_RestoreThread(saved_); }

 private:
  PyThreadState* saved_;
};

// Raises ValueError when the store has a fixed dimension and the vector does not match it.
bool check_dim(const State& state, std::size_t length, const char* what);

// Raises ValueError naming the first component that is NaN or infinite (a query given beyond
// the float range became infinite in its conversion): such a query scores NaN everywhere.
bool check_finite(const std::vector<float>& query, const char* what);

}  // namespace korvane_python
