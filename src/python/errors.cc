#include "python/errors.h"

#include <exception>
#include <new>

#include "python/pyref.h"

namespace korvane_python {
namespace {

constexpr const char* kPanicTypeName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "Raised when korvane detects an internal fault (a broken invariant, not a caller mistake).\n"
    "\n"
    "It derives from BaseException so that handlers of Exception do not hide the fault.";
constexpr std::string_view kFaultWithoutMessage = "korvane hit an internal fault that carried no message";
constexpr const char* kFatalPanic = "uncaught panic at ffi boundary";

PyRef decode(std::string_view message) {
  return PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                           "replace"));
}

// Created on the first fault and kept for the life of the process; never added to the module.
PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(kPanicTypeName, kPanicDoc, PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

void raise_error(PyObject* type, std::string_view message) {
  PyRef text = decode(message);
  if (text) PyErr_SetObject(type, text.get());
}

void raise_core_error(const korvane_core::KorvaneError& error) {
  if (error.code == korvane_core::KorvaneError::Code::OutOfMemory) {
    PyErr_NoMemory();
    return;
  }
  raise_error(PyExc_RuntimeError, error.display());
}

void raise_panic(std::string_view message) {
  PyObject* type = panic_type();
  PyRef text = type != nullptr ? decode(message) : PyRef();
  // There is nothing left to report a fault with; going on would hide it.
  if (!text) Py_FatalError(kFatalPanic);
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
    raise_panic(kFaultWithoutMessage);
  }
}

}  // namespace korvane_python
