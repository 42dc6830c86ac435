// The methods of the class Korvane, by the file that writes them. Each has the CPython signature
// its flags or slot call for, and reaches the store through run() (call.h); the table that
// names them to Python is class.cc's.
#pragma once

#include <Python.h>

#include <cstdint>

namespace korvane_python {

// lifecycle.cc: the constructor and open(), close(), the context manager, the destructor.
PyObject* korvane_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);
PyObject* korvane_open(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* korvane_close(PyObject* self, PyObject* unused);
PyObject* korvane_enter(PyObject* self, PyObject* unused);
PyObject* korvane_exit(PyObject* self, PyObject* args);
void korvane_dealloc(PyObject* self);

// reads.cc
PyObject* korvane_get(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_get_all(PyObject* self, PyObject* unused);
PyObject* korvane_get_vectors(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_count(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_select(PyObject* self, PyObject* args, PyObject* kwargs);
Py_ssize_t korvane_len(PyObject* self);
int korvane_contains(PyObject* self, PyObject* key);
// The properties metric and dim.
extern PyGetSetDef kGetSet[];

// writes.cc
PyObject* korvane_insert(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_delete(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_insert_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_upsert(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_upsert_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_delete_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_delete_where(PyObject* self, PyObject* args, PyObject* kwargs);

// queries.cc
PyObject* korvane_search(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_query(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_search_many(PyObject* self, PyObject* args, PyObject* kwargs);

// index.cc
PyObject* korvane_enable_index(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* korvane_save_index(PyObject* self, PyObject* unused);
PyObject* korvane_index_info(PyObject* self, PyObject* unused);
PyObject* korvane_set_ef_search(PyObject* self, PyObject* args, PyObject* kwargs);
// The widest search the index takes (ef_search, ef_construction, query's ef).
constexpr std::uint64_t kMaxSearchWidth = 1 << 20;
// A count in [1, kMaxSearchWidth]; false with TypeError or ValueError set.
bool extract_search_width(PyObject* obj, const char* name, std::uint64_t& out);

}  // namespace korvane_python
