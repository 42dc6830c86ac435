// How a method of the class reaches the store: the one opening and closing every method shares.
//
//   PyObject* korvane_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
//     return run(self, args, kwargs, kDelete, [](Call& call) -> PyObject* {
//       std::string id;
//       if (!extract_text(call.args[0], "id", id)) return nullptr;
//       return call.core([&] { return call.store.delete_(id); });
//     });
//   }
//
// run() binds the arguments to the method's parameters (binding.h), takes the store for the call
// (instance.h's Access, shared or exclusive), refuses a closed store, and runs the body, with no
// C++ exception let out (errors.h's guard). The body converts its arguments, which may run the
// caller's Python code, and makes its core call through Call::core, which releases the
// interpreter lock for it and raises a failure through raise_core_error, as the method's
// ErrorSource says.
//
// Everything here requires the interpreter lock, except what Call::core runs.
#pragma once

#include <Python.h>

#include <cstddef>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "korvane/korvane.h"
#include "python/binding.h"
#include "python/errors.h"
#include "python/instance.h"

namespace korvane_python {

// A new reference to None.
inline PyObject* none() {
  Py_IncRef(Py_None);
  return Py_None;
}

// Runs fn with the interpreter lock released, and gives what it returns. fn touches no Python
// object.
template <class Fn>
auto unlocked(Fn&& fn) -> decltype(fn()) {
  WithoutGil released;
  return fn();
}

// What run() needs to know of a method beyond its body.
struct Method {
  // The parameters; a method that takes none (a slot, a property, METH_NOARGS) has an empty
  // list and is given no arguments.
  Signature signature;
  Access::Mode mode;
  ErrorSource errors = ErrorSource::Store;
};

// The most parameters a method has.
constexpr std::size_t kMaxParameters = 9;

// One call of a method, with the store held.
struct Call {
  State& state;
  korvane_core::Korvane& store;
  // args[i]: the argument bound to parameter i, borrowed; null when it was not given.
  PyObject* const* args;
  ErrorSource errors;

  // Runs op, a core call returning a Result, with the interpreter lock released. A failure is
  // raised (null); a value becomes the result by done(value), or done() for a Result<void>.
  template <class Op, class Done>
  PyObject* core(Op&& op, Done&& done) {
    auto result = unlocked(op);
    if (!result) {
      raise_core_error(result.error(), errors);
      return nullptr;
    }
    if constexpr (std::is_invocable_v<Done&>) {
      return done();
    } else {
      return done(*result);
    }
  }
  // core() for a call that gives nothing back: None.
  template <class Op>
  PyObject* core(Op&& op) {
    return core(std::forward<Op>(op), [] { return none(); });
  }
};

// Runs a method's body: binds args and kwargs (either may be null: no arguments), calls prepare() (false with
// an exception set stops the call) before the store is taken, then body(call) with the store
// held. The body returns PyObject* (null with an exception set) or, for a slot, a number (-1).
template <class Prepare, class Body>
auto run(PyObject* self, PyObject* args, PyObject* kwargs, const Method& method,
         Prepare&& prepare, Body&& body) {
  return guard([&]() -> std::invoke_result_t<Body&, Call&> {
    using R = std::invoke_result_t<Body&, Call&>;
    if (method.signature.parameters.size() > kMaxParameters) {
      throw std::logic_error("a method has more parameters than a call can bind");
    }
    PyObject* bound[kMaxParameters] = {};
    if (!bind_arguments(method.signature, args, kwargs, bound)) return failed_result<R>();
    if (!prepare()) return failed_result<R>();
    State& state = state_of(self);
    Access access(state, method.mode);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return failed_result<R>();
    Call call{state, *store, bound, method.errors};
    return body(call);
  });
}

template <class Body>
auto run(PyObject* self, PyObject* args, PyObject* kwargs, const Method& method, Body&& body) {
  return run(self, args, kwargs, method, [] { return true; }, std::forward<Body>(body));
}

}  // namespace korvane_python
