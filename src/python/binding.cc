#include "python/binding.h"

#include <cstring>
#include <string>
#include <vector>

#include "python/errors.h"
#include "python/pyref.h"

namespace korvane_python {
namespace {

const char* verb(Py_ssize_t given) { return given == 1 ? "was" : "were"; }

std::size_t positional_count(const Signature& sig) {
  return sig.positional < sig.parameters.size() ? sig.positional : sig.parameters.size();
}

void raise_too_many_positionals(const Signature& sig, Py_ssize_t given) {
  const std::size_t n = positional_count(sig);
  std::string message = sig.function;
  if (sig.required != n) {
    message += " takes from " + std::to_string(sig.required) + " to " + std::to_string(n);
  } else {
    message += " takes " + std::to_string(n);
  }
  // "arguments" stays plural even for one parameter; callers match these texts exactly.
  message += " positional arguments but " + std::to_string(given) + " " + verb(given) + " given";
  raise_error(PyExc_TypeError, message);
}

void raise_missing(const Signature& sig, const std::vector<const char*>& missing) {
  std::string message = sig.function;
  message += missing.size() == 1 ? " missing 1 required positional argument: "
                                 : " missing " + std::to_string(missing.size()) +
                                       " required positional arguments: ";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        message += " and ";
      } else {
        message += i + 1 == missing.size() ? ", and " : ", ";
      }
    }
    message += '\'';
    message += missing[i];
    message += '\'';
  }
  raise_error(PyExc_TypeError, message);
}

// Reports the key as str(key) shows it, so an unusual key (not a str, or not encodable) still
// reads back the way the caller wrote it.
void raise_unexpected_keyword(const Signature& sig, PyObject* key) {
  PyRef text = PyRef::steal(PyObject_Str(key));
  if (!text) return;
  PyRef message = PyRef::steal(
      PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", sig.function, text.get()));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// Index of the parameter named by key, or -1. Keys that are not str, or that cannot be encoded,
// name no parameter.
Py_ssize_t parameter_index(const Signature& sig, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(key));
  if (!bytes) {
    PyErr_Clear();
    return -1;
  }
  const char* data = PyBytes_AsString(bytes.get());
  const Py_ssize_t size = PyBytes_Size(bytes.get());
  Py_ssize_t index = 0;
  for (const char* name : sig.parameters) {
    if (static_cast<Py_ssize_t>(std::strlen(name)) == size && std::memcmp(name, data, size) == 0) {
      return index;
    }
    ++index;
  }
  return -1;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(positional_count(sig));
  const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  if (given > n) {
    raise_too_many_positionals(sig, given);
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) {
    slots[i] = PyTuple_GetItem(args, i);
    if (slots[i] == nullptr) return false;
  }

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const Py_ssize_t index = parameter_index(sig, key);
      if (index < 0) {
        raise_unexpected_keyword(sig, key);
        return false;
      }
      if (slots[index] != nullptr) {
        raise_error(PyExc_TypeError, std::string(sig.function) +
                                         " got multiple values for argument '" +
                                         sig.parameters[index] + "'");
        return false;
      }
      slots[index] = value;
    }
  }

  if (given < static_cast<Py_ssize_t>(sig.required)) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
      if (slots[i] == nullptr) missing.push_back(sig.parameters[i]);
    }
    if (!missing.empty()) {
      raise_missing(sig, missing);
      return false;
    }
  }
  return true;
}

}  // namespace korvane_python
