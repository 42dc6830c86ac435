// Python values where the newer methods take or give them: paths, metadata, filters, results.
//
// Metadata given as a Python value becomes exactly the Value its JSON text (json.dumps) would
// give: dict -> object (str keys only), list or tuple -> array, str -> string, bool -> boolean,
// int -> an integer (a double, correctly rounded, beyond 64 bits, as the reader does), float ->
// a double (finite only), None -> null. Nesting deeper than the reader's limit, which also
// catches a container that holds itself, is refused with ValueError. Going out, metadata is the
// same Value made into Python objects again (decode=True) or compact JSON text.
//
// Failures follow convert.h: an exception set, false returned, a TypeError named after the
// argument. Everything here requires the interpreter lock.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "korvane/korvane.h"
#include "korvane/value.h"
#include "python/pyref.h"

namespace korvane_python {

// A str, or an os.PathLike whose __fspath__ gives a str (encoded as extract_text does) or bytes
// (taken as they are). Anything else fails with extract_text's TypeError.
bool extract_path(PyObject* obj, const char* name, std::string& out);

// Metadata for the new methods: null or None is absent, a str is JSON text (extract_metadata),
// any other value is converted as above.
bool extract_metadata_value(PyObject* obj, const char* name,
                            std::optional<korvane_storage::Value>& out);

// A filter: null or None is absent; JSON object text or a dict, converted as metadata is.
// Anything that is not an object fails (TypeError for another type, ValueError for text).
bool extract_where(PyObject* obj, const char* name, std::optional<korvane_storage::Value>& out);

// A `where` argument (extract_where), compiled: absent for None or left out; ValueError for a
// filter that does not compile, naming the key or operand at fault.
bool extract_filter(PyObject* obj, const char* name, std::optional<korvane_core::Filter>& out);

// A keyword flag given as a bool; null (not given) is false.
bool extract_flag(PyObject* obj, const char* name, bool& out);

// Shape checks made before a vector argument is converted, so that a query of several vectors,
// or one vector where several are wanted, is told apart from a bad element. "Several" is an
// array of two or more dimensions, or a list or tuple whose first item is a sequence or an
// array; "one" is a 1-D array, or a list or tuple whose first item is a number. Both fail with
// ValueError naming the argument (with `message` after it, or naming the method that takes
// the other shape).
bool check_one_vector(PyObject* obj, const char* name, const char* message);
inline constexpr const char* kSeveralQueries =
    "a query is one vector, not several; search_many() takes several queries";
bool check_several_vectors(PyObject* obj, const char* name, const char* one_method);

// The Value as Python objects: None, bool, int, float, str, list, dict.
PyRef value_to_python(const korvane_storage::Value& value);
// Metadata for a result: as Python objects when decode is set, as compact JSON text otherwise;
// None when absent.
PyRef metadata_out(const std::optional<korvane_storage::Value>& metadata, bool decode);

// A new list of (id, score, metadata) tuples, in order; metadata as metadata_out gives it.
PyRef results_to_list(const std::vector<korvane_core::SearchResult>& results, bool decode = false);

}  // namespace korvane_python
