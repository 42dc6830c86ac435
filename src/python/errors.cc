#include "python/errors.h"

#include <exception>
#include <new>
#include <string>

#include "python/pyref.h"
#include "python/texts.h"

namespace korvane_python {
namespace {

constexpr const char* kPanicDoc =
    "Raised when korvane detects an internal fault (a broken invariant, not a caller mistake).\n"
    "\n"
    "It derives from BaseException so that handlers of Exception do not hide the fault.";

PyRef decode(std::string_view message) {
  return PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                           "replace"));
}

// Created on the first fault and kept for the life of the process; never added to the module.
PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(texts::kPanicTypeName, kPanicDoc, PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

void raise_error(PyObject* type, std::string_view message) {
  PyRef text = decode(message);
  if (text) PyErr_SetObject(type, text.get());
}

void raise_core_error(const korvane_core::KorvaneError& error, ErrorSource source,
                      const char* argument) {
  using Code = korvane_core::KorvaneError::Code;
  switch (source) {
    case ErrorSource::Store:
      break;
    case ErrorSource::Batch:
      if (error.item) {
        raise_error(PyExc_RuntimeError,
                    "item " + std::to_string(*error.item) + ": " + error.display());
        return;
      }
      break;
    case ErrorSource::Opening:
      if (error.code == Code::Config) {
        raise_error(PyExc_ValueError, error.message);
        return;
      }
      break;
    case ErrorSource::IndexSettings:
      raise_error(PyExc_ValueError, error.display());
      return;
    case ErrorSource::Filter:
      raise_error(PyExc_ValueError,
                  std::string(argument != nullptr ? argument : "where") + ": " + error.message);
      return;
  }
  if (error.code == Code::OutOfMemory) {
    PyErr_NoMemory();
    return;
  }
  raise_error(PyExc_RuntimeError, error.display());
}

void raise_panic(std::string_view message) {
  PyObject* type = panic_type();
  PyRef text = type != nullptr ? decode(message) : PyRef();
  // There is nothing left to report a fault with; going on would hide it.
  if (!text) Py_FatalError(texts::kFatalPanic);
  PyErr_SetObject(type, text.get());
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic(texts::kFaultWithoutMessage);
  }
}

}  // namespace korvane_python
