// Reading: get, get_all, get_vectors, len() and `in`, count and select, and the settings the
// store was opened with (the properties metric and dim).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "korvane/korvane.h"
#include "python/call.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/instance.h"
#include "python/methods.h"
#include "python/pyref.h"
#include "python/values.h"

namespace korvane_python {
namespace {

using Mode = Access::Mode;

constexpr const char* kIdParameters[] = {"id"};
constexpr const char* kIdsParameters[] = {"ids"};
constexpr const char* kCountParameters[] = {"where"};
constexpr const char* kSelectParameters[] = {"where", "limit", "decode"};

const Method kGet{{"Korvane.get()", kIdParameters, 1}, Mode::Shared};
const Method kGetVectors{{"Korvane.get_vectors()", kIdsParameters, 1}, Mode::Shared};
const Method kCount{{"Korvane.count()", kCountParameters, 0}, Mode::Shared};
const Method kSelect{{"Korvane.select()", kSelectParameters, 0, 1}, Mode::Shared};
// Reads that take no arguments: get_all, len(), `in`, the properties.
const Method kRead{{"Korvane", {}, 0}, Mode::Shared};

// NumPy, imported on first need only: the module itself never requires it.
PyRef import_numpy() {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy && PyErr_ExceptionMatches(PyExc_ImportError)) {
    PyErr_Clear();
    raise_error(PyExc_ImportError, "get_vectors() returns a NumPy array, and NumPy is not installed");
  }
  return numpy;
}

PyObject* metric_get(PyObject* self, void* /*closure*/) {
  return run(self, nullptr, nullptr, kRead, [](Call& call) {
    return PyUnicode_FromString(korvane_core::metric_name(call.store.metric()));
  });
}

PyObject* dim_get(PyObject* self, void* /*closure*/) {
  return run(self, nullptr, nullptr, kRead, [](Call& call) {
    if (!call.store.dim()) return none();
    return PyLong_FromSize_t(*call.store.dim());
  });
}

}  // namespace

PyGetSetDef kGetSet[] = {
    {const_cast<char*>("metric"), metric_get, nullptr,
     const_cast<char*>("The metric the store scores by: 'cosine', 'dot', 'euclidean' or "
                       "'manhattan' (saved in the file by Korvane.open)."),
     nullptr},
    {const_cast<char*>("dim"), dim_get, nullptr,
     const_cast<char*>("The length every vector must have, or None (saved in the file by "
                       "Korvane.open)."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* korvane_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kGet, [](Call& call) -> PyObject* {
    std::string id;
    if (!extract_text(call.args[0], "id", id)) return nullptr;
    auto found = call.store.get(id);
    if (!found) return none();
    return metadata_to_python(found->metadata).release();
  });
}

PyObject* korvane_get_all(PyObject* self, PyObject* /*unused*/) {
  return run(self, nullptr, nullptr, kRead, [](Call& call) -> PyObject* {
    korvane_core::Korvane* store = &call.store;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(store->size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    bool failed = false;
    store->visit([&](const korvane_core::RecordView& record) {
      PyRef id = text_to_python(record.id);
      PyRef metadata = metadata_to_python(record.metadata);
      PyRef tuple = make_tuple({&id, &metadata});
      failed = !tuple || PyList_SetItem(list.get(), i++, tuple.release()) != 0;
      return !failed;
    });
    return failed ? nullptr : list.release();
  });
}

Py_ssize_t korvane_len(PyObject* self) {
  return run(self, nullptr, nullptr, kRead,
             [](Call& call) { return static_cast<Py_ssize_t>(call.store.size()); });
}

int korvane_contains(PyObject* self, PyObject* key) {
  return run(self, nullptr, nullptr, kRead, [key](Call& call) {
    std::string id;
    if (!extract_text(key, "id", id)) return -1;
    return call.store.contains(id) ? 1 : 0;
  });
}

PyObject* korvane_count(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kCount, [](Call& call) -> PyObject* {
    std::optional<korvane_core::Filter> where;
    if (!extract_filter(call.args[0], "where", where)) return nullptr;
    const std::size_t n =
        unlocked([&] { return where ? call.store.count(*where) : call.store.size(); });
    return PyLong_FromSize_t(n);
  });
}

PyObject* korvane_select(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kSelect, [](Call& call) -> PyObject* {
    std::optional<korvane_core::Filter> where;
    if (!extract_filter(call.args[0], "where", where)) return nullptr;
    std::uint64_t limit = static_cast<std::uint64_t>(-1);
    if (call.args[1] != nullptr && call.args[1] != Py_None &&
        !extract_strict_count(call.args[1], "limit", limit)) {
      return nullptr;
    }
    bool decode = false;
    if (!extract_flag(call.args[2], "decode", decode)) return nullptr;
    if (!where) where = *korvane_core::Filter::compile(korvane_storage::Value::object());
    const auto found = unlocked([&] {
      return call.store.select(*where,
                               static_cast<std::size_t>(std::min<std::uint64_t>(limit, SIZE_MAX)));
    });
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < found.size(); ++i) {
      PyRef id = text_to_python(found[i].id);
      PyRef metadata = metadata_out(found[i].metadata, decode);
      PyRef pair = make_tuple({&id, &metadata});
      if (!pair || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release()) != 0) {
        return nullptr;
      }
    }
    return list.release();
  });
}

PyObject* korvane_get_vectors(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyRef numpy;
  std::size_t rows = 0, columns = 0;
  // NumPy is imported before the store is taken, and the array is made after it is let go.
  PyRef bytes = PyRef::steal(run(
      self, args, kwargs, kGetVectors,
      [&] {
        numpy = import_numpy();
        return static_cast<bool>(numpy);
      },
      [&](Call& call) -> PyObject* {
        korvane_core::Korvane* store = &call.store;
        std::vector<std::string> ids;
        if (!extract_text_list(call.args[0], "ids", ids)) return nullptr;
        // The vectors stay where the store keeps them: this call holds the store throughout.
        std::vector<std::span<const float>> vectors;
        vectors.reserve(ids.size());
        for (const std::string& id : ids) {
          auto found = store->visit(id, [&](const korvane_core::RecordView& record) {
            vectors.push_back(record.vector);
          });
          if (!found) {
            PyRef key = text_to_python(id);
            if (key) PyErr_SetObject(PyExc_KeyError, key.get());
            return nullptr;
          }
        }
        rows = vectors.size();
        columns = rows > 0 ? vectors[0].size() : store->dim().value_or(0);
        for (std::size_t i = 1; i < rows; ++i) {
          const std::size_t length = vectors[i].size();
          if (length != columns) {
            raise_error(PyExc_ValueError,
                        "get_vectors() makes one array, but record '" + ids[i] + "' has length " +
                            std::to_string(length) + " and record '" + ids[0] + "' has length " +
                            std::to_string(columns));
            return nullptr;
          }
        }
        PyRef bytes = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, 0));
        if (!bytes ||
            PyByteArray_Resize(bytes.get(), static_cast<Py_ssize_t>(rows * columns * 4)) != 0) {
          return nullptr;
        }
        char* out = PyByteArray_AsString(bytes.get());
        for (std::size_t i = 0; i < rows && columns > 0; ++i) {
          std::memcpy(out + i * columns * 4, vectors[i].data(), columns * 4);
        }
        return bytes.release();
      }));
  if (!bytes) return nullptr;
  return guard([&]() -> PyObject* {
    // The array shares the bytearray's memory and keeps it alive: no second copy.
    PyRef flat = PyRef::steal(
        PyObject_CallMethod(numpy.get(), "frombuffer", "Os", bytes.get(), "float32"));
    if (!flat) return nullptr;
    return PyObject_CallMethod(flat.get(), "reshape", "nn", static_cast<Py_ssize_t>(rows),
                               static_cast<Py_ssize_t>(columns));
  });
}

}  // namespace korvane_python
