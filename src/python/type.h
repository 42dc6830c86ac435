// The class Korvane: a heap type created once per process.
//
//   class Korvane:                      # __module__ "builtins", not subclassable
//       def __new__(cls, path): ...     # opens the store; no instance if that fails
//       def insert(self, id, vector, metadata=None) -> None
//       def search(self, query, k) -> list[tuple[str, float, str | None]]
//       def get(self, id) -> str | None
//       def get_all(self) -> list[tuple[str, str | None]]
//       def delete(self, id) -> None
//
// Each instance owns one core store for its whole life; dropping the last reference closes the
// database and releases its lock. Calls never release the interpreter lock, yet a call can still
// meet another one on the same instance: converting arguments runs the caller's Python code,
// which may call back in or let another thread run. A borrow flag per instance settles this:
// insert and delete take it exclusively, the readers share it, and a refused borrow raises
// RuntimeError instead of letting a write run under a read.
#pragma once

#include <Python.h>

namespace korvane_python {

// The type object, created on first need. Borrowed reference; null with an exception set if
// creation failed (a later call tries again).
PyObject* korvane_type();

}  // namespace korvane_python
