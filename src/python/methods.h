// The methods of the class Korvane beyond the constructor and the original five, and the result
// conversions they share. Each method has the CPython signature its flags call for and runs its
// body through guard() (errors.h).
#pragma once

#include <Python.h>

#include <vector>

#include "korvane/korvane.h"
#include "python/pyref.h"

namespace korvane_python {

PyObject* none();

// A new list of (id, score, metadata) tuples, in order.
PyRef results_to_list(const std::vector<korvane_core::SearchResult>& results);

// search.cc
PyObject* korvane_query(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_search_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_enable_index(PyObject* self, PyObject* args, PyObject* kwargs);

// batch.cc
PyObject* korvane_insert_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_upsert(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_upsert_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_delete_many(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace korvane_python
