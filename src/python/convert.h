// Conversions between Python objects and the core's values.
//
// Arguments: each extract_* takes the parameter's name and, when it fails, leaves an exception
// set and returns false. A failure whose exception is exactly TypeError is renamed to
// "argument '{name}': {message}" (keeping the original's __cause__); every other exception type
// passes unchanged, so a caller's own __float__ or __index__ that raises is seen as raised.
// Conversions may run the caller's Python code (__len__, __iter__, __float__, __index__).
//
// Results: new references, null with an exception set on failure.
//
// Everything here requires the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/pyref.h"
#include "storage/value.h"

namespace korvane_python {

// A str (or subclass), encoded to UTF-8 strictly.
bool extract_text(PyObject* obj, const char* name, std::string& out);

// Any sequence but str; each element through the float conversion, rounded to 32 bits.
bool extract_vector(PyObject* obj, const char* name, std::vector<float>& out);

// An unsigned 64-bit count: an int directly, anything else through its index conversion.
bool extract_count(PyObject* obj, const char* name, std::uint64_t& out);

// Metadata given as JSON text; obj null or None means absent. Text that is not exactly one JSON
// value raises ValueError with the reader's message.
bool extract_metadata(PyObject* obj, const char* name,
                      std::optional<korvane_storage::Value>& out);

PyRef text_to_python(std::string_view text);
// Compact JSON text, or None when absent.
PyRef metadata_to_python(const std::optional<korvane_storage::Value>& metadata);

}  // namespace korvane_python
