#include "python/values.h"

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "korvane/value.h"
#include "python/convert.h"
#include "python/errors.h"

namespace korvane_python {
namespace {

using korvane_storage::Value;

// type(obj).__name__, for messages.
std::string type_name(PyObject* obj) {
  PyRef type = PyRef::steal(PyObject_Type(obj));
  PyRef name = type ? PyRef::steal(PyObject_GetAttrString(type.get(), "__name__")) : PyRef();
  std::string out;
  if (!name || !PyUnicode_Check(name.get()) || !extract_text(name.get(), nullptr, out)) {
    PyErr_Clear();
    return "?";
  }
  return out;
}

// Raises type with "argument '{name}': " before message (just message for an item of a batch,
// whose name the batch adds).
bool raise_named(PyObject* type, const char* name, const std::string& message) {
  raise_error(type, name ? std::string("argument '") + name + "': " + message : message);
  return false;
}

class ValueReader {
 public:
  explicit ValueReader(const char* name) : name_(name) {}

  // depth: the containers around obj.
  bool read(PyObject* obj, int depth, Value& out) {
    if (obj == Py_None) {
      out = Value::null();
      return true;
    }
    if (PyBool_Check(obj)) {
      out = Value::boolean(obj == Py_True);
      return true;
    }
    if (PyLong_Check(obj)) return read_int(obj, out);
    if (PyFloat_Check(obj)) {
      const double d = PyFloat_AsDouble(obj);
      if (!std::isfinite(d)) {
        return raise_named(PyExc_ValueError, name_,
                           "JSON has no non-finite numbers, so " + std::to_string(d) +
                               " cannot be metadata");
      }
      out = Value::floating(d);
      return true;
    }
    if (PyUnicode_Check(obj)) {
      std::string text;
      if (!extract_text(obj, nullptr, text)) return false;
      out = Value::string(std::move(text));
      return true;
    }
    const bool is_list = PyList_Check(obj), is_tuple = PyTuple_Check(obj), is_dict = PyDict_Check(obj);
    if (!is_list && !is_tuple && !is_dict) {
      return raise_named(PyExc_TypeError, name_,
                         "'" + type_name(obj) +
                             "' object is not a JSON value (expected dict, list, tuple, str, int, "
                             "float, bool or None)");
    }
    if (depth + 1 > korvane_storage::kMaxJsonDepth) {
      return raise_named(PyExc_ValueError, name_,
                         "metadata nested deeper than " +
                             std::to_string(korvane_storage::kMaxJsonDepth) +
                             " levels (or holding itself) has no JSON form");
    }
    if (is_dict) return read_dict(obj, depth + 1, out);
    const Py_ssize_t n = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
    if (n < 0) return false;
    Value::Array items(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
      if (item == nullptr) return false;
      // The item is borrowed; hold it, in case a nested conversion drops the list's last hold.
      PyRef held = PyRef::borrow(item);
      if (!read(held.get(), depth + 1, items[static_cast<std::size_t>(i)])) return false;
    }
    out = Value::array(std::move(items));
    return true;
  }

 private:
  bool read_int(PyObject* obj, Value& out) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow == 0) {
      out = v < 0 ? Value::integer(v) : Value::uinteger(static_cast<std::uint64_t>(v));
      return true;
    }
    if (overflow > 0) {
      const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
      if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        out = Value::uinteger(u);
        return true;
      }
      PyErr_Clear();
    }
    // Beyond 64 bits the reader takes the literal as a correctly rounded double; so does this.
    const double d = PyLong_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return raise_named(PyExc_ValueError, name_,
                         "an integer beyond the range of a double cannot be metadata");
    }
    out = Value::floating(d);
    return true;
  }

  bool read_dict(PyObject* obj, int depth, Value& out) {
    Value::Object members;
    members.reserve(static_cast<std::size_t>(PyDict_Size(obj)));
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        return raise_named(PyExc_TypeError, name_,
                           "dict keys must be str, not '" + type_name(key) + "'");
      }
      PyRef held_key = PyRef::borrow(key), held_value = PyRef::borrow(value);
      Value::Member member;
      if (!extract_text(held_key.get(), nullptr, member.key) ||
          !read(held_value.get(), depth, member.value)) {
        return false;
      }
      members.push_back(std::move(member));
    }
    out = Value::object(std::move(members));
    return true;
  }

  const char* name_;
};

// The number of dimensions of an object that offers the array interface, or -1.
int array_dims(PyObject* obj) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyUnicode_Check(obj) ||
      PyFloat_Check(obj) || PyLong_Check(obj)) {
    return -1;
  }
  // Only types that declare the interface are asked (as convert.cc does).
  PyRef type = PyRef::steal(PyObject_Type(obj));
  if (!type) {
    PyErr_Clear();
    return -1;
  }
  if (PyObject_HasAttrString(type.get(), "__array_interface__")) {
    PyRef interface = PyRef::steal(PyObject_GetAttrString(obj, "__array_interface__"));
    PyObject* shape = interface && PyDict_Check(interface.get())
                          ? PyDict_GetItemString(interface.get(), "shape")
                          : nullptr;
    if (shape != nullptr && PyTuple_Check(shape)) return static_cast<int>(PyTuple_Size(shape));
  }
  PyErr_Clear();
  return -1;
}

// What a vector argument looks like from the outside: 1 for one vector, 2 for several, 0 when
// its first item or interface does not tell.
int vector_rank(PyObject* obj) {
  const int dims = array_dims(obj);
  if (dims >= 0) return dims >= 2 ? 2 : dims;
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) return 0;
  const Py_ssize_t n = PyList_Check(obj) ? PyList_Size(obj) : PyTuple_Size(obj);
  if (n <= 0) return 0;
  PyObject* first = PyList_Check(obj) ? PyList_GetItem(obj, 0) : PyTuple_GetItem(obj, 0);
  if (first == nullptr) {
    PyErr_Clear();
    return 0;
  }
  if (PyFloat_Check(first) || PyLong_Check(first)) return 1;
  if (PyList_Check(first) || PyTuple_Check(first) || array_dims(first) >= 1) return 2;
  return 0;
}

}  // namespace

bool check_one_vector(PyObject* obj, const char* name, const char* message) {
  if (vector_rank(obj) != 2) return true;
  return raise_named(PyExc_ValueError, name, message);
}

bool check_several_vectors(PyObject* obj, const char* name, const char* one_method) {
  if (vector_rank(obj) != 1) return true;
  return raise_named(PyExc_ValueError, name,
                     std::string("expected several vectors (a 2-D array or a sequence of "
                                 "vectors), not one vector; ") +
                         one_method + " takes one");
}

bool extract_path(PyObject* obj, const char* name, std::string& out) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) return extract_text(obj, name, out);
  PyRef path = PyRef::steal(PyOS_FSPath(obj));
  if (!path) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    // Not a path-like object: refused the way a path always was.
    PyErr_Clear();
    return extract_text(obj, name, out);
  }
  if (PyBytes_Check(path.get())) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(path.get(), &data, &size) != 0) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
  }
  return extract_text(path.get(), name, out);
}

bool extract_metadata_value(PyObject* obj, const char* name, std::optional<Value>& out) {
  if (obj == nullptr || obj == Py_None || PyUnicode_Check(obj)) {
    return extract_metadata(obj, name, out);
  }
  out.reset();
  Value value;
  if (!ValueReader(name).read(obj, 0, value)) return false;
  out = std::move(value);
  return true;
}

bool extract_where(PyObject* obj, const char* name, std::optional<Value>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyUnicode_Check(obj) && !PyDict_Check(obj)) {
    return raise_named(PyExc_TypeError, name,
                       "expected a dict or JSON object text, not '" + type_name(obj) + "'");
  }
  if (!extract_metadata_value(obj, name, out)) return false;
  if (!out->is_object()) {
    raise_error(PyExc_ValueError, std::string(name ? name : "where") + " must be a JSON object");
    return false;
  }
  return true;
}

bool extract_filter(PyObject* obj, const char* name, std::optional<korvane_core::Filter>& out) {
  out.reset();
  std::optional<Value> value;
  if (!extract_where(obj, name, value)) return false;
  if (!value) return true;
  auto compiled = korvane_core::Filter::compile(*value);
  if (!compiled) {
    raise_core_error(compiled.error(), ErrorSource::Filter, name);
    return false;
  }
  out = std::move(*compiled);
  return true;
}

bool extract_flag(PyObject* obj, const char* name, bool& out) {
  out = false;
  if (obj == nullptr) return true;
  if (!PyBool_Check(obj)) {
    return raise_named(PyExc_TypeError, name, "expected True or False, not '" + type_name(obj) + "'");
  }
  out = obj == Py_True;
  return true;
}

PyRef value_to_python(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null: return PyRef::borrow(Py_None);
    case Value::Kind::Bool: return PyRef::borrow(value.as_bool() ? Py_True : Py_False);
    case Value::Kind::UInt: return PyRef::steal(PyLong_FromUnsignedLongLong(value.as_uint()));
    case Value::Kind::Int: return PyRef::steal(PyLong_FromLongLong(value.as_int()));
    case Value::Kind::Float: return PyRef::steal(PyFloat_FromDouble(value.as_float()));
    case Value::Kind::String: return text_to_python(value.as_string());
    case Value::Kind::Array: {
      const Value::Array& items = value.as_array();
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list) return list;
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyRef item = value_to_python(items[i]);
        if (!item || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()) != 0) {
          return PyRef();
        }
      }
      return list;
    }
    case Value::Kind::Object: {
      PyRef dict = PyRef::steal(PyDict_New());
      if (!dict) return dict;
      for (const Value::Member& member : value.as_object()) {
        PyRef key = text_to_python(member.key);
        PyRef item = key ? value_to_python(member.value) : PyRef();
        if (!item || PyDict_SetItem(dict.get(), key.get(), item.get()) != 0) return PyRef();
      }
      return dict;
    }
  }
  return PyRef::borrow(Py_None);
}

PyRef metadata_out(const std::optional<Value>& metadata, bool decode) {
  if (!metadata || !decode) return metadata_to_python(metadata);
  return value_to_python(*metadata);
}

PyRef results_to_list(const std::vector<korvane_core::SearchResult>& results, bool decode) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return list;
  Py_ssize_t i = 0;
  for (const korvane_core::SearchResult& result : results) {
    PyRef id = text_to_python(result.id);
    // Widening keeps the 32-bit score exact.
    PyRef score = PyRef::steal(PyFloat_FromDouble(static_cast<double>(result.score)));
    PyRef metadata = metadata_out(result.metadata, decode);
    PyRef tuple = make_tuple({&id, &score, &metadata});
    if (!tuple || PyList_SetItem(list.get(), i++, tuple.release()) != 0) return PyRef();
  }
  return list;
}

}  // namespace korvane_python
