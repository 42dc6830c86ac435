// The methods of the class Korvane beyond the constructor and the original five, and the result
// conversions they share. Each method has the CPython signature its flags call for and runs its
// body through guard() (errors.h).
#pragma once

#include <Python.h>

#include <optional>
#include <cstdint>
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

// filters.cc
// A `where` argument (values.h's extract_where), compiled: absent for None or left out;
// ValueError for a filter that does not compile, naming the key or operand at fault.
bool extract_filter(PyObject* obj, const char* name, std::optional<korvane_core::Filter>& out);
PyObject* korvane_count(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_select(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_delete_where(PyObject* self, PyObject* args, PyObject* kwargs);
// index_methods.cc
PyObject* korvane_save_index(PyObject* self, PyObject* unused);
PyObject* korvane_index_info(PyObject* self, PyObject* unused);
PyObject* korvane_set_ef_search(PyObject* self, PyObject* args, PyObject* kwargs);
// The widest search the index takes (ef_search, ef_construction, query's ef).
constexpr std::uint64_t kMaxSearchWidth = 1 << 20;
// A count in [1, kMaxSearchWidth]; false with TypeError or ValueError set.
bool extract_search_width(PyObject* obj, const char* name, std::uint64_t& out);

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
