#include "python/convert.h"

#include <bit>
#include <cstring>

#include "python/errors.h"
#include "python/texts.h"
#include "korvane/value.h"

namespace korvane_python {
namespace {

// type(obj).__qualname__ as UTF-8, so nested classes read "Outer.Inner".
std::string type_qualname(PyObject* obj) {
  PyRef type = PyRef::steal(PyObject_Type(obj));
  PyRef qualname = type ? PyRef::steal(PyObject_GetAttrString(type.get(), "__qualname__")) : PyRef();
  PyRef bytes = qualname && PyUnicode_Check(qualname.get())
                    ? PyRef::steal(PyUnicode_AsUTF8String(qualname.get()))
                    : PyRef();
  if (!bytes) {
    PyErr_Clear();
    return texts::kUnknownTypeName;
  }
  return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

void raise_not_convertible(PyObject* obj, const char* target) {
  std::string message = "'";
  message += type_qualname(obj);
  message += "' object cannot be converted to '";
  message += target;
  message += '\'';
  raise_error(PyExc_TypeError, message);
}

// The pending exception, taken out of the interpreter and normalized.
struct Pending {
  PyRef type, value, traceback;

  // False when no exception was pending.
  bool take() {
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    if (raw_type == nullptr) return false;
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
    type = PyRef::steal(raw_type);
    value = PyRef::steal(raw_value);
    traceback = PyRef::steal(raw_traceback);
    return true;
  }
  // Sets it again, as it was.
  void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

// Renames a pending TypeError after the argument it came from; see convert.h.
void name_argument_error(const char* name) {
  if (name == nullptr) return;
  Pending pending;
  if (!pending.take()) return;
  PyRef& value = pending.value;

  PyRef actual = value ? PyRef::steal(PyObject_Type(value.get())) : PyRef();
  if (actual.get() != PyExc_TypeError) {
    pending.restore();
    return;
  }

  PyRef text = PyRef::steal(PyObject_Str(value.get()));
  if (!text) {
    PyErr_Clear();
    text = PyRef::steal(PyUnicode_FromString(texts::kUnprintable));
    if (!text) return;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  PyRef renamed = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!renamed) return;
  // The original is dropped rather than chained; only its cause carries over. Setting the cause
  // (even to None) also suppresses the context, which would only repeat the original.
  PyException_SetCause(renamed.get(), PyException_GetCause(value.get()));
  PyErr_SetObject(PyExc_TypeError, renamed.get());
}

// Prefixes the pending exception's message with "item {index}: ", keeping its type, so a
// failure inside a batch says which element it was. Exceptions with other arguments than one
// message pass unchanged.
void name_item_error(Py_ssize_t index) {
  Pending pending;
  if (!pending.take()) return;
  PyRef& type = pending.type;
  PyRef& value = pending.value;
  PyRef args = value ? PyRef::steal(PyObject_GetAttrString(value.get(), "args")) : PyRef();
  const bool plain = args && PyTuple_Check(args.get()) && PyTuple_Size(args.get()) == 1 &&
                     PyUnicode_Check(PyTuple_GetItem(args.get(), 0));
  // Only the kinds conversions raise are rebuilt from a message; anything else (a borrow
  // conflict's RuntimeError among them) passes as raised.
  const bool builtin = type.get() == PyExc_TypeError || type.get() == PyExc_ValueError ||
                       type.get() == PyExc_OverflowError;
  if (!plain || !builtin) {
    pending.restore();
    return;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat("item %zd: %U", index,
                                                    PyTuple_GetItem(args.get(), 0)));
  if (!message) return;
  PyRef renamed = PyRef::steal(PyObject_CallFunctionObjArgs(type.get(), message.get(), nullptr));
  if (!renamed) return;
  PyException_SetCause(renamed.get(), PyException_GetCause(value.get()));
  PyErr_SetObject(type.get(), renamed.get());
}

bool fail(const char* name) {
  name_argument_error(name);
  return false;
}

// Batch arguments pair up by position, so they must have one: a set or a dict (whose keys
// would be taken) is refused with "{expected}, not {type}".
bool require_sequence(PyObject* obj, const char* expected) {
  if (PySequence_Check(obj)) return true;
  raise_error(PyExc_TypeError, std::string(expected) + ", not " + type_qualname(obj));
  return false;
}

bool encode_text(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_not_convertible(obj, texts::kTextTarget);
    return false;
  }
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(obj));
  if (!bytes) return false;
  out.assign(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
  return true;
}

// A value of the interface dict, with a reference of its own: a later lookup may run the keys'
// __eq__, which can change the dict. Null (and no exception) when it is missing.
PyRef interface_item(PyObject* interface, const char* key) {
  PyObject* item = PyDict_GetItemString(interface, key);
  return item == nullptr ? PyRef() : PyRef::borrow(item);
}

bool read_sizes(PyObject* tuple, int dims, Py_ssize_t* out) {
  if (tuple == nullptr || !PyTuple_Check(tuple) || PyTuple_Size(tuple) != dims) return false;
  for (int i = 0; i < dims; ++i) {
    out[i] = PyLong_AsSsize_t(PyTuple_GetItem(tuple, i));
    if (out[i] == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
  }
  return true;
}

// The array interface's C structure, as the protocol defines it, handed over in a capsule by
// __array_struct__.
struct ArrayStruct {
  int two;  // always 2: tells the structure apart from other capsule contents
  int nd;
  char typekind;
  int itemsize;
  int flags;
  Py_intptr_t* shape;
  Py_intptr_t* strides;  // null for C order
  void* data;
  PyObject* descr;
};
constexpr int kNotSwapped = 0x200;  // the data is in the machine's byte order

// array_view through __array_struct__; false (no exception set) when it does not apply.
bool struct_view(PyObject* obj, int dims, ArrayView& out) {
  PyRef capsule = PyRef::steal(PyObject_GetAttrString(obj, "__array_struct__"));
  if (!capsule) {
    PyErr_Clear();
    return false;
  }
  auto* a = static_cast<ArrayStruct*>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (a == nullptr) {
    PyErr_Clear();
    return false;
  }
  if (a->two != 2 || a->nd != dims || a->typekind != 'f' || (a->itemsize != 4 && a->itemsize != 8) ||
      (a->flags & kNotSwapped) == 0 || a->shape == nullptr) {
    return false;
  }
  out.is_double = a->itemsize == 8;
  out.shape[1] = 1;
  out.strides[1] = 0;
  for (int i = 0; i < dims; ++i) {
    out.shape[i] = static_cast<Py_ssize_t>(a->shape[i]);
    if (out.shape[i] < 0) return false;
  }
  if (a->strides != nullptr) {
    for (int i = 0; i < dims; ++i) out.strides[i] = static_cast<Py_ssize_t>(a->strides[i]);
  } else {
    out.strides[dims - 1] = a->itemsize;
    if (dims == 2) out.strides[0] = out.shape[1] * a->itemsize;
  }
  out.data = static_cast<const char*>(a->data);
  if (out.data == nullptr && out.shape[0] != 0 && out.shape[1] != 0) return false;
  // The capsule owns the structure and may hold the only reference to the array behind it.
  out.owner = std::move(capsule);
  return true;
}

}  // namespace

bool fail_argument(const char* name) { return fail(name); }

bool fail_item(std::size_t index, const char* name) {
  name_item_error(static_cast<Py_ssize_t>(index));
  return fail(name);
}

bool Items::open(PyObject* obj, const char* name, const SequenceOf& kind) {
  name_ = name;
  if (PyUnicode_Check(obj)) {
    raise_error(PyExc_TypeError, kind.if_text);
    return fail(name);
  }
  if (kind.if_dict != nullptr && PyDict_Check(obj)) {
    raise_error(PyExc_TypeError, kind.if_dict);
    return fail(name);
  }
  if (!require_sequence(obj, kind.expected)) return fail(name);
  items_ = PyRef::steal(PySequence_Fast(obj, kind.expected));
  if (!items_) return fail(name);
  const Py_ssize_t n = PySequence_Size(items_.get());
  if (n < 0) return fail(name);
  size_ = static_cast<std::size_t>(n);
  return true;
}

float ArrayView::at(std::size_t i, std::size_t j) const {
  const char* p = data + static_cast<Py_ssize_t>(i) * strides[0] +
                  static_cast<Py_ssize_t>(j) * strides[1];
  if (is_double) {
    double d;
    std::memcpy(&d, p, sizeof d);
    return static_cast<float>(d);
  }
  float f;
  std::memcpy(&f, p, sizeof f);
  return f;
}

bool array_view(PyObject* obj, int dims, ArrayView& out) {
  // Lists and tuples are by far the most common arguments; they never carry the interface, and
  // asking would cost an AttributeError each time.
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyUnicode_Check(obj)) return false;
  // Only types that declare the interface are asked, so an instance's own __getattr__ never
  // runs here.
  PyRef type = PyRef::steal(PyObject_Type(obj));
  if (!type) {
    PyErr_Clear();
    return false;
  }
  // The C form of the interface first: a capsule, much cheaper to make than the dictionary.
  PyRef declares_struct = PyRef::steal(PyObject_GetAttrString(type.get(), "__array_struct__"));
  if (declares_struct) {
    if (struct_view(obj, dims, out)) return true;
  } else {
    PyErr_Clear();
  }
  PyRef declared = PyRef::steal(PyObject_GetAttrString(type.get(), "__array_interface__"));
  if (!declared) {
    PyErr_Clear();
    return false;
  }
  PyRef interface = PyRef::steal(PyObject_GetAttrString(obj, "__array_interface__"));
  if (!interface || !PyDict_Check(interface.get())) {
    PyErr_Clear();
    return false;
  }
  PyObject* d = interface.get();

  // Only native-order 32- and 64-bit floats are read directly.
  PyRef typestr_ref = interface_item(d, "typestr");
  PyObject* typestr = typestr_ref.get();
  if (typestr == nullptr || !PyUnicode_Check(typestr)) return false;
  const bool little = std::endian::native == std::endian::little;
  if (PyUnicode_CompareWithASCIIString(typestr, little ? "<f4" : ">f4") == 0) {
    out.is_double = false;
  } else if (PyUnicode_CompareWithASCIIString(typestr, little ? "<f8" : ">f8") == 0) {
    out.is_double = true;
  } else {
    return false;
  }
  const Py_ssize_t item_size = out.is_double ? 8 : 4;

  // A mask, or data handed over as a buffer object (with an offset into it), take the general
  // path.
  PyRef mask = interface_item(d, "mask");
  if (mask && mask.get() != Py_None) return false;
  PyRef data = interface_item(d, "data");
  if (!data || !PyTuple_Check(data.get()) || PyTuple_Size(data.get()) != 2) return false;
  PyRef offset = interface_item(d, "offset");
  if (offset && !(PyLong_Check(offset.get()) && PyLong_AsLong(offset.get()) == 0)) {
    PyErr_Clear();
    return false;
  }

  out.shape[1] = 1;
  PyRef shape = interface_item(d, "shape");
  if (!read_sizes(shape.get(), dims, out.shape)) return false;
  if (out.shape[0] < 0 || out.shape[1] < 0) return false;
  PyRef strides = interface_item(d, "strides");
  out.strides[1] = 0;
  if (!strides || strides.get() == Py_None) {
    // C order: the last dimension varies fastest.
    out.strides[dims - 1] = item_size;
    if (dims == 2) out.strides[0] = out.shape[1] * item_size;
  } else if (!read_sizes(strides.get(), dims, out.strides)) {
    return false;
  }
  void* pointer = PyLong_AsVoidPtr(PyTuple_GetItem(data.get(), 0));
  if (pointer == nullptr) {
    PyErr_Clear();
    // An empty array may sit at address 0; there is nothing to read from it.
    if (out.shape[0] != 0 && out.shape[1] != 0) return false;
  }
  out.data = static_cast<const char*>(pointer);
  out.owner = std::move(data);
  return true;
}

bool extract_text(PyObject* obj, const char* name, std::string& out) {
  return encode_text(obj, out) || fail(name);
}

bool extract_vector(PyObject* obj, const char* name, std::vector<float>& out) {
  ArrayView view;
  if (array_view(obj, 1, view)) {
    const auto n = static_cast<std::size_t>(view.shape[0]);
    if (n > out.max_size()) {
      PyErr_NoMemory();
      return false;
    }
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = view.at(i, 0);
    return true;
  }
  // A str is a sequence of str; refusing it up front gives a clearer message than the first
  // element's float conversion would.
  if (PyUnicode_Check(obj)) {
    raise_error(PyExc_TypeError, texts::kTextIsNoVector);
    return fail(name);
  }
  if (!PySequence_Check(obj)) {
    raise_not_convertible(obj, texts::kSequenceTarget);
    return fail(name);
  }
  // The length only sizes the buffer; a sequence that cannot tell it, or tells a length no
  // buffer could have, is still read element by element.
  const Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) {
    // Only an ordinary error is ignored: an interrupt, an exit or an exhausted memory is the
    // caller's to see, and nothing is stored.
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
      return false;
    }
    PyErr_Clear();
  } else if (static_cast<std::size_t>(length) <= out.max_size()) {
    out.reserve(static_cast<std::size_t>(length));
  }

  PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
  if (!iterator) return fail(name);
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    const double component = PyFloat_AsDouble(item.get());
    if (component == -1.0 && PyErr_Occurred()) return fail(name);
    // Rounds to nearest; magnitudes past the float range become infinities, NaN stays NaN.
    out.push_back(static_cast<float>(component));
  }
  if (PyErr_Occurred()) return fail(name);
  return true;
}

bool extract_count(PyObject* obj, const char* name, std::uint64_t& out) {
  unsigned long long count = 0;
  if (PyLong_Check(obj)) {
    count = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return fail(name);
    count = PyLong_AsUnsignedLongLong(index.get());
  }
  // 2**64 - 1 is also a valid count, so only that value needs the error check.
  if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail(name);
  out = count;
  return true;
}

bool extract_strict_count(PyObject* obj, const char* name, std::uint64_t& out) {
  if (PyBool_Check(obj)) {
    raise_error(PyExc_TypeError, "expected an integer, not bool");
    return fail(name);
  }
  return extract_count(obj, name, out);
}

bool extract_real(PyObject* obj, const char* name, double& out) {
  out = PyFloat_AsDouble(obj);
  if (out == -1.0 && PyErr_Occurred()) return fail(name);
  return true;
}

bool extract_text_list(PyObject* obj, const char* name, std::vector<std::string>& out) {
  static constexpr SequenceOf kTexts{"expected a sequence of str",
                                     "expected a sequence of str, not a str"};
  Items items;
  if (!items.open(obj, name, kTexts)) return false;
  out.clear();
  out.reserve(items.size());
  return items.each([&](std::size_t, PyObject* item) {
    std::string text;
    if (!encode_text(item, text)) return false;
    out.push_back(std::move(text));
    return true;
  });
}

bool extract_vectors(PyObject* obj, const char* name, std::vector<std::vector<float>>& out) {
  out.clear();
  ArrayView view;
  if (array_view(obj, 2, view)) {
    const auto rows = static_cast<std::size_t>(view.shape[0]);
    const auto columns = static_cast<std::size_t>(view.shape[1]);
    // A shape no memory could hold (the product may not even fit a word).
    if (rows > out.max_size() ||
        (columns != 0 && rows > std::vector<float>().max_size() / columns)) {
      PyErr_NoMemory();
      return false;
    }
    out.resize(rows);
    // Rows of packed float32 (the usual C-ordered array) are copied whole.
    const bool packed = !view.is_double && view.strides[1] == static_cast<Py_ssize_t>(sizeof(float));
    for (std::size_t i = 0; i < rows; ++i) {
      std::vector<float>& row = out[i];
      row.resize(columns);
      if (packed && columns > 0) {
        std::memcpy(row.data(), view.data + static_cast<Py_ssize_t>(i) * view.strides[0],
                    columns * sizeof(float));
        continue;
      }
      for (std::size_t j = 0; j < columns; ++j) row[j] = view.at(i, j);
    }
    return true;
  }
  static constexpr SequenceOf kVectors{"expected a sequence of vectors", texts::kTextIsNoVector};
  Items items;
  if (!items.open(obj, name, kVectors)) return false;
  out.reserve(items.size());
  // Each row's own conversion names no argument; the walk adds the index, then the argument.
  return items.each([&](std::size_t, PyObject* item) {
    std::vector<float> row;
    if (!extract_vector(item, nullptr, row)) return false;
    out.push_back(std::move(row));
    return true;
  });
}

bool extract_metadata(PyObject* obj, const char* name,
                      std::optional<korvane_storage::Value>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::string text;
  if (!extract_text(obj, name, text)) return false;
  auto parsed = korvane_storage::parse_json(text);
  if (!parsed) {
    raise_error(PyExc_ValueError, parsed.error().message);
    return false;
  }
  out = std::move(*parsed);
  return true;
}

PyRef text_to_python(std::string_view text) {
  return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef metadata_to_python(const std::optional<korvane_storage::Value>& metadata) {
  if (!metadata) return PyRef::borrow(Py_None);
  return text_to_python(korvane_storage::to_json(*metadata));
}

PyRef make_tuple(std::initializer_list<PyRef*> items) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return tuple;
  Py_ssize_t i = 0;
  // PyTuple_SetItem takes the reference, also on failure; what is left goes with its PyRef.
  for (PyRef* item : items) {
    if (!*item || PyTuple_SetItem(tuple.get(), i++, item->release()) != 0) return PyRef();
  }
  return tuple;
}

}  // namespace korvane_python
