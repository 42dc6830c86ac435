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

// A new list of (id, score, metadata) tuples, in order; metadata as Python objects when decode
// is set, as JSON text otherwise.
PyRef results_to_list(const std::vector<korvane_core::SearchResult>& results, bool decode = false);

// queries.cc
PyObject* korvane_query(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_search_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_enable_index(PyObject* self, PyObject* args, PyObject* kwargs);

// batch.cc
PyObject* korvane_insert_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_upsert(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_upsert_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_delete_many(PyObject* self, PyObject* args, PyObject* kwargs);

// readers.cc
PyObject* korvane_get_vectors(PyObject* self, PyObject* args, PyObject* kwargs);
// The properties metric and dim.
extern PyGetSetDef kGetSet[];

}  // namespace korvane_python
