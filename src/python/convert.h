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

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/pyref.h"
#include "korvane/value.h"

namespace korvane_python {

// A str (or subclass), encoded to UTF-8 strictly.
bool extract_text(PyObject* obj, const char* name, std::string& out);

// Any sequence but str; each element through the float conversion, rounded to 32 bits. An array
// of native 32- or 64-bit floats that offers the array interface (__array_struct__ or
// __array_interface__, as NumPy's do; any strides) is read directly, with the same result the
// element-by-element path would give.
bool extract_vector(PyObject* obj, const char* name, std::vector<float>& out);

// Direct access to a 1- or 2-dimensional array of floats through the array interface.
struct ArrayView {
  const char* data = nullptr;
  bool is_double = false;
  Py_ssize_t shape[2] = {0, 1};
  Py_ssize_t strides[2] = {0, 0};  // in bytes, possibly negative
  // What keeps data alive beyond obj: the capsule of __array_struct__ (which may be the only
  // owner of a fresh array), or the interface's data tuple.
  PyRef owner;
  // Element [i][j] (j is 0 for one dimension), rounded to 32 bits.
  float at(std::size_t i, std::size_t j) const;
};
// True when obj offers such an array with exactly `dims` dimensions. False, with no exception
// set, for anything else: the caller then takes the general path. The view is valid while it
// and obj live and nothing resizes the array. An address claimed in __array_interface__ is
// trusted, as the protocol intends.
bool array_view(PyObject* obj, int dims, ArrayView& out);

// An unsigned 64-bit count: an int directly, anything else through its index conversion.
bool extract_count(PyObject* obj, const char* name, std::uint64_t& out);

// extract_count refusing bool (TypeError), for parameters that never took True as 1.
bool extract_strict_count(PyObject* obj, const char* name, std::uint64_t& out);

// A real number through the float conversion (an int, a float, or anything with __float__).
bool extract_real(PyObject* obj, const char* name, double& out);

// A sequence (not a str, a set or a dict) of str, each encoded as extract_text does.
bool extract_text_list(PyObject* obj, const char* name, std::vector<std::string>& out);

// Vectors for a batch: a 2-dimensional float array read directly, or a sequence (not a str) of
// vectors, each converted by extract_vector; a failure of one names its index.
bool extract_vectors(PyObject* obj, const char* name, std::vector<std::vector<float>>& out);

// Renames a pending TypeError after the argument, as above. Returns false.
bool fail_argument(const char* name);

// For conversions of one item of a sequence argument (made with a null name, so that nothing is
// renamed yet): prefixes the pending exception's message with "item {index}: ", then renames a
// TypeError after the argument. Returns false.
bool fail_item(std::size_t index, const char* name);

// What the refusals of a sequence argument say, each a TypeError named after the argument.
struct SequenceOf {
  // For what is no sequence (a set, an iterator...): "{expected}, not {type}".
  const char* expected;
  // For a str, which is a sequence of its characters: the whole message.
  const char* if_text;
  // For a dict, which would pass its keys for items: the whole message; null to refuse it as
  // any other object that is no sequence.
  const char* if_dict = nullptr;
};

// The items of a sequence argument (a list, a tuple, an array), walked in order. Pairing batch
// arguments up by position needs a sequence, so sets, dicts and iterators are refused.
class Items {
 public:
  // False with the error set unless obj is such a sequence.
  bool open(PyObject* obj, const char* name, const SequenceOf& kind);
  std::size_t size() const { return size_; }
  // fn(index, item) for each item, stopping at the first that returns false; that failure is
  // named after the item, then the argument (fail_item).
  template <class Fn>
  bool each(Fn&& fn) const {
    for (std::size_t i = 0; i < size_; ++i) {
      PyRef item = PyRef::steal(PySequence_GetItem(items_.get(), static_cast<Py_ssize_t>(i)));
      if (!item) return fail_argument(name_);
      if (!fn(i, item.get())) return fail_item(i, name_);
    }
    return true;
  }

 private:
  PyRef items_;  // the sequence as a list or tuple
  std::size_t size_ = 0;
  const char* name_ = nullptr;
};

// Metadata given as JSON text; obj null or None means absent. Text that is not exactly one JSON
// value raises ValueError with the reader's message.
bool extract_metadata(PyObject* obj, const char* name,
                      std::optional<korvane_storage::Value>& out);

PyRef text_to_python(std::string_view text);
// Compact JSON text, or None when absent.
PyRef metadata_to_python(const std::optional<korvane_storage::Value>& metadata);

// A new tuple of the items, taking each reference (all of them, also on failure); null when any
// item is null.
PyRef make_tuple(std::initializer_list<PyRef*> items);

}  // namespace korvane_python
