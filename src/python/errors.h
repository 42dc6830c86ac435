// The one place where failures become Python exceptions.
//
// Below the module nothing raises: the core reports KorvaneError values, which become
// RuntimeError here (MemoryError when SQLite ran out of memory). C++ exceptions (an allocation
// failure, a broken invariant that throws) must never unwind into the interpreter, so every
// entry point the interpreter calls runs its body through guard(), which turns whatever escapes
// into a Python exception:
//   std::bad_alloc        -> MemoryError
//   other std::exception  -> PanicException(what())
//   anything else         -> PanicException(a fixed message)
// PanicException derives from BaseException, so `except Exception` in a caller does not swallow
// an internal fault.
//
// One unwinding is let through: a thread that the exiting interpreter ends while it waits for
// the interpreter lock unwinds by force (abi::__forced_unwind); that must reach the thread's
// start, so guard() and the slots that catch for themselves rethrow it, and nothing on that path
// is noexcept.
//
// Everything here requires the interpreter lock.
#pragma once

#include <Python.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <string_view>

#include "korvane/korvane.h"

namespace korvane_python {

// The type of a forced unwind, where the C++ runtime names one (GNU's). LLVM's runtime, which the
// older-Linux wheel links, names none; there the stand-in is never thrown, and the wheel's run
// of the Python suite checks an exit during a call.
#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};
#endif

// Each of these sets the exception and returns nothing; callers return null (or -1) afterwards.
// Message bytes that are not valid UTF-8 are replaced rather than failing the raise.
void raise_error(PyObject* type, std::string_view message);
void raise_core_error(const korvane_core::KorvaneError& error);
void raise_panic(std::string_view message);

// Converts the C++ exception being handled into a Python exception. Call only from a catch block.
void raise_current_exception() noexcept;

// Runs body (returning PyObject*, null with an exception set on failure) so that no C++
// exception leaves it.
template <class Body>
PyObject* guard(Body&& body) {
  try {
    return body();
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace korvane_python
