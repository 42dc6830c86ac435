// Binding of a call's positional and keyword arguments to a method's parameters.
//
// Parameters are positional-or-keyword, except that those past `positional` may only be given by
// keyword (the `*` of a Python signature). The checks run in a fixed order and the first
// failure raises TypeError; the messages name the callable as "Korvane.insert()" and are never
// prefixed with an argument name:
//   1. too many positionals   "{fn} takes {n} positional arguments but {m} were given"
//                             ("takes from {required} to {n}" when some positional parameters
//                             are optional)
//   2. keywords, in the order given: unknown name, or a parameter that already has a value
//   3. (only when fewer positionals than required parameters) every required one still missing
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

namespace korvane_python {

struct Signature {
  const char* function;  // "Korvane.insert()"
  std::span<const char* const> parameters;
  std::size_t required;  // the first `required` parameters have no default
  // Parameters [positional, size) are keyword-only; the default makes every one positional.
  std::size_t positional = static_cast<std::size_t>(-1);
};

// Fills slots[i] with a borrowed reference to the argument bound to parameter i, or null when
// none was given. REQUIRES: slots has room for every parameter and starts all null.
// Returns false with TypeError set.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    PyObject** slots);

}  // namespace korvane_python
