// The class Korvane: a heap type created once per process.
//
//   class Korvane:                      # __module__ "builtins", not subclassable
//       def __new__(cls, path): ...     # opens the store; no instance if that fails
//       def insert(self, id, vector, metadata=None) -> None
//       def search(self, query, k) -> list[tuple[str, float, str | None]]
//       def get(self, id) -> str | None
//       def get_all(self) -> list[tuple[str, str | None]]
//       def delete(self, id) -> None
//   and beside them open(), close(), the context manager, len(), `in`, query(), search_many(),
//   enable_index(), the batch writes, get_vectors() and the properties metric and dim (their
//   doc strings say what each does).
//
// Each instance owns one core store until close() or until the last reference goes. How calls
// on one instance from several threads, and re-entrant calls from argument conversion, are
// ordered is python/instance.h's; how a method reaches the store, python/call.h's; where each
// method is written, python/methods.h's.
#pragma once

#include <Python.h>

namespace korvane_python {

// The type object, created on first need. Borrowed reference; null with an exception set if
// creation failed (a later call tries again).
PyObject* korvane_type();

}  // namespace korvane_python
