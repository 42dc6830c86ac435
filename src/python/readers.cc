// Reading what a store holds beyond metadata: get_vectors, and the settings it was opened with
// (the properties metric and dim).
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "korvane/korvane.h"
#include "python/binding.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/instance.h"
#include "python/methods.h"
#include "python/pyref.h"

namespace korvane_python {
namespace {

constexpr const char* kGetVectorsParameters[] = {"ids"};
const Signature kGetVectors{"Korvane.get_vectors()", kGetVectorsParameters, 1};

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
  return guard([&]() -> PyObject* {
    Access access(state_of(self), Access::Mode::Shared);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    return PyUnicode_FromString(korvane_core::metric_name(store->metric()));
  });
}

PyObject* dim_get(PyObject* self, void* /*closure*/) {
  return guard([&]() -> PyObject* {
    Access access(state_of(self), Access::Mode::Shared);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    if (!store->dim()) return none();
    return PyLong_FromSize_t(*store->dim());
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


PyObject* korvane_get_vectors(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1] = {};
    if (!bind_arguments(kGetVectors, args, kwargs, bound)) return nullptr;
    PyRef numpy = import_numpy();
    if (!numpy) return nullptr;
    PyRef bytes;
    std::size_t rows = 0, columns = 0;
    {
      State& state = state_of(self);
      Access access(state, Access::Mode::Shared);
      korvane_core::Korvane* store = access.store();
      if (store == nullptr) return nullptr;
      std::vector<std::string> ids;
      if (!extract_text_list(bound[0], "ids", ids)) return nullptr;
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
      bytes = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, 0));
      if (!bytes || PyByteArray_Resize(bytes.get(), static_cast<Py_ssize_t>(rows * columns * 4)) != 0) {
        return nullptr;
      }
      char* out = PyByteArray_AsString(bytes.get());
      for (std::size_t i = 0; i < rows && columns > 0; ++i) {
        std::memcpy(out + i * columns * 4, vectors[i].data(), columns * 4);
      }
    }
    // The array shares the bytearray's memory and keeps it alive: no second copy.
    PyRef flat = PyRef::steal(
        PyObject_CallMethod(numpy.get(), "frombuffer", "Os", bytes.get(), "float32"));
    if (!flat) return nullptr;
    return PyObject_CallMethod(flat.get(), "reshape", "nn", static_cast<Py_ssize_t>(rows),
                               static_cast<Py_ssize_t>(columns));
  });
}

}  // namespace korvane_python
