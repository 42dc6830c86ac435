// The methods of the class Korvane beyond the constructor and the original five, and the result
// conversions they share. Each method has the CPython signature its flags call for and runs its
// body through guard() (errors.h).
#pragma once

#include <Python.h>

#include <optional>
#include <vector>

#include "korvane/filter.h"
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

// filters.cc
// A `where` argument: None (or left out) for no filter, JSON object text, or a dict read as the
// JSON text json.dumps writes for it. ValueError for text that is no object or no filter.
bool extract_filter(PyObject* obj, const char* name, std::optional<korvane_core::Filter>& out);
PyObject* korvane_count(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_select(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_delete_where(PyObject* self, PyObject* args, PyObject* kwargs);

// batch.cc
PyObject* korvane_insert_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_upsert(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_upsert_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_delete_many(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace korvane_python
