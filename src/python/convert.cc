#include "python/convert.h"

#include "python/errors.h"
#include "storage/json.h"

namespace korvane_python {
namespace {

constexpr const char* kUnknownTypeName = "<failed to extract type name>";

// type(obj).__qualname__ as UTF-8, so nested classes read "Outer.Inner".
std::string type_qualname(PyObject* obj) {
  PyRef type = PyRef::steal(PyObject_Type(obj));
  PyRef qualname = type ? PyRef::steal(PyObject_GetAttrString(type.get(), "__qualname__")) : PyRef();
  PyRef bytes = qualname && PyUnicode_Check(qualname.get())
                    ? PyRef::steal(PyUnicode_AsUTF8String(qualname.get()))
                    : PyRef();
  if (!bytes) {
    PyErr_Clear();
    return kUnknownTypeName;
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

// Renames a pending TypeError after the argument it came from; see convert.h.
void name_argument_error(const char* name) {
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  if (raw_type == nullptr) return;
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  PyRef type = PyRef::steal(raw_type);
  PyRef value = PyRef::steal(raw_value);
  PyRef traceback = PyRef::steal(raw_traceback);

  PyRef actual = value ? PyRef::steal(PyObject_Type(value.get())) : PyRef();
  if (actual.get() != PyExc_TypeError) {
    PyErr_Restore(type.release(), value.release(), traceback.release());
    return;
  }

  PyRef text = PyRef::steal(PyObject_Str(value.get()));
  if (!text) {
    PyErr_Clear();
    text = PyRef::steal(PyUnicode_FromString("<unprintable object>"));
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

bool fail(const char* name) {
  name_argument_error(name);
  return false;
}

bool encode_text(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_not_convertible(obj, "PyString");
    return false;
  }
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(obj));
  if (!bytes) return false;
  out.assign(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
  return true;
}

}  // namespace

bool extract_text(PyObject* obj, const char* name, std::string& out) {
  return encode_text(obj, out) || fail(name);
}

bool extract_vector(PyObject* obj, const char* name, std::vector<float>& out) {
  // A str is a sequence of str; refusing it up front gives a clearer message than the first
  // element's float conversion would.
  if (PyUnicode_Check(obj)) {
    raise_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return fail(name);
  }
  if (!PySequence_Check(obj)) {
    raise_not_convertible(obj, "Sequence");
    return fail(name);
  }
  // The length only sizes the buffer; a sequence that cannot tell it, or tells a length no
  // buffer could have, is still read element by element.
  const Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) {
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

}  // namespace korvane_python
