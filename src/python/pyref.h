// PyRef: the owner of one strong reference to a Python object.
//
// Every PyObject* the module holds for longer than a single call expression lives in a PyRef, so
// that each early return and each C++ exception releases what was acquired. A PyRef is movable
// and not copyable; taking the reference back out (release()) hands ownership to the caller,
// typically the interpreter, as a function's return value.
//
// All use requires the interpreter lock.
#pragma once

#include <Python.h>

#include <utility>

namespace korvane_python {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (the result of a call that returns one); null is allowed.
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Adds a reference of its own to a borrowed object.
  static PyRef borrow(PyObject* obj) {
    Py_IncRef(obj);
    return PyRef(obj);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() { reset(); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  void reset() {
    // Py_DecRef tolerates null, and clearing first keeps a destructor that re-enters the module
    // from seeing a dangling pointer.
    Py_DecRef(std::exchange(obj_, nullptr));
  }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace korvane_python
