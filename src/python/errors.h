// The one place where failures become Python exceptions.
//
// Below the module nothing raises: the core reports KorvaneError values, which become Python
// exceptions in raise_core_error alone (the call says, by its ErrorSource, what a failure means
// to its caller). C++ exceptions (an allocation failure, a broken invariant that throws) must
// never unwind into the interpreter, so every entry point the interpreter calls runs its body
// through guard(), which turns whatever escapes into a Python exception:
//   std::bad_alloc        -> MemoryError
//   other std::exception  -> PanicException(what())
//   anything else         -> PanicException(a fixed message)
// PanicException derives from BaseException, so `except Exception` in a caller does not swallow
// an internal fault.
//
// One unwinding is let through: a thread that the exiting interpreter ends while it waits for
// the interpreter lock unwinds by force; that must reach the thread's start, so guard() lets it
// pass, and nothing on that path is noexcept. GNU's C++ runtime names it (abi::__forced_unwind)
// and a catch-all may rethrow it. LLVM's, which the older-Linux wheel links, names none, and a
// forced unwind caught by a catch-all there cannot go on (the process aborts); so with that
// runtime the catch-alls on the path catch std::exception alone, which is everything the core
// and the libraries beneath it throw.
//
// Everything here requires the interpreter lock.
#pragma once

#include <Python.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <exception>
#include <string_view>
#include <type_traits>

#include "korvane/korvane.h"

namespace korvane_python {

// The type of a forced unwind where the C++ runtime names one, else a stand-in never thrown; and
// the catch-all for the path of a forced unwind (see above). The wheel's run of the Python suite
// checks an exit during a call.
#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#define KORVANE_CATCH_FAULT catch (...)
#else
struct ForcedUnwind {};
#define KORVANE_CATCH_FAULT catch (const std::exception&)
#endif

// What a core failure means to the caller; a few calls give the store's errors a meaning of
// their own.
enum class ErrorSource {
  // RuntimeError with the error's display text; MemoryError when SQLite ran out of memory.
  Store,
  // A batch write: as Store, with "item {i}: " before the text when the failure names an item.
  Batch,
  // Opening with settings: a configuration error (settings the file disagrees with) is the
  // caller's mistake, ValueError with the bare message; anything else as Store.
  Opening,
  // Building an index: the settings the index cannot hold, ValueError with the display text.
  IndexSettings,
  // Compiling a filter argument: ValueError("{argument}: {message}").
  Filter,
};

// Each of these sets the exception and returns nothing; callers return null (or -1) afterwards.
// Message bytes that are not valid UTF-8 are replaced rather than failing the raise.
void raise_error(PyObject* type, std::string_view message);
// The one mapping of the core's errors to Python exceptions. `argument` names the argument at
// fault, for the sources that say one.
void raise_core_error(const korvane_core::KorvaneError& error,
                      ErrorSource source = ErrorSource::Store, const char* argument = nullptr);
void raise_panic(std::string_view message);

// Converts the C++ exception being handled into a Python exception. Call only from a catch block.
void raise_current_exception() noexcept;

// What an entry point returns with an exception set: null for an object, -1 for a number.
template <class R>
constexpr R failed_result() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return R(-1);
  }
}

// Runs body (returning PyObject*, or the number a slot returns; failed_result() with an
// exception set on failure) so that no C++ exception leaves it.
template <class Body>
auto guard(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (ForcedUnwind&) {
    throw;
  } KORVANE_CATCH_FAULT {
    raise_current_exception();
    return failed_result<decltype(body())>();
  }
}

}  // namespace korvane_python
