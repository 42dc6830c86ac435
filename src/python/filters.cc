// The filter language from Python: the `where` argument shared by query and search_many, and the
// methods that take a filter alone, count, select and delete_where.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "korvane/korvane.h"
#include "python/binding.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/instance.h"
#include "python/methods.h"
#include "python/pyref.h"
#include "python/values.h"

namespace korvane_python {
namespace {

constexpr const char* kCountParameters[] = {"where"};
constexpr const char* kSelectParameters[] = {"where", "limit", "decode"};
constexpr const char* kDeleteWhereParameters[] = {"where"};

const Signature kCount{"Korvane.count()", kCountParameters, 0};
const Signature kSelect{"Korvane.select()", kSelectParameters, 0, 1};
const Signature kDeleteWhere{"Korvane.delete_where()", kDeleteWhereParameters, 1};

}  // namespace

bool extract_filter(PyObject* obj, const char* name, std::optional<korvane_core::Filter>& out) {
  out.reset();
  std::optional<korvane_storage::Value> value;
  if (!extract_where(obj, name, value)) return false;
  if (!value) return true;
  auto compiled = korvane_core::Filter::compile(*value);
  if (!compiled) {
    raise_error(PyExc_ValueError, std::string(name) + ": " + compiled.error().message);
    return false;
  }
  out = std::move(*compiled);
  return true;
}

PyObject* korvane_count(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1] = {};
    if (!bind_arguments(kCount, args, kwargs, bound)) return nullptr;
    Access access(state_of(self), Access::Mode::Shared);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    std::optional<korvane_core::Filter> where;
    if (!extract_filter(bound[0], "where", where)) return nullptr;
    const std::size_t n = [&] {
      WithoutGil unlocked;
      return where ? store->count(*where) : store->size();
    }();
    return PyLong_FromSize_t(n);
  });
}

PyObject* korvane_select(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[3] = {};
    if (!bind_arguments(kSelect, args, kwargs, bound)) return nullptr;
    Access access(state_of(self), Access::Mode::Shared);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    std::optional<korvane_core::Filter> where;
    if (!extract_filter(bound[0], "where", where)) return nullptr;
    std::uint64_t limit = static_cast<std::uint64_t>(-1);
    if (bound[1] != nullptr && bound[1] != Py_None && !extract_strict_count(bound[1], "limit", limit)) {
      return nullptr;
    }
    bool decode = false;
    if (!extract_flag(bound[2], "decode", decode)) return nullptr;
    if (!where) where = *korvane_core::Filter::compile(korvane_storage::Value::object());
    const auto found = [&] {
      WithoutGil unlocked;
      return store->select(*where, static_cast<std::size_t>(
                                       std::min<std::uint64_t>(limit, SIZE_MAX)));
    }();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < found.size(); ++i) {
      PyRef id = text_to_python(found[i].id);
      PyRef metadata = metadata_out(found[i].metadata, decode);
      if (!id || !metadata) return nullptr;
      PyRef pair = PyRef::steal(PyTuple_Pack(2, id.get(), metadata.get()));
      if (!pair || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release()) != 0) {
        return nullptr;
      }
    }
    return list.release();
  });
}

PyObject* korvane_delete_where(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1] = {};
    if (!bind_arguments(kDeleteWhere, args, kwargs, bound)) return nullptr;
    Access access(state_of(self), Access::Mode::Exclusive);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    if (bound[0] == Py_None) {
      raise_error(PyExc_TypeError, "argument 'where': expected a str or dict, not None");
      return nullptr;
    }
    std::optional<korvane_core::Filter> where;
    if (!extract_filter(bound[0], "where", where)) return nullptr;
    auto removed = [&] {
      WithoutGil unlocked;
      return store->remove_where(*where);
    }();
    if (!removed) {
      raise_core_error(removed.error());
      return nullptr;
    }
    return PyLong_FromSize_t(*removed);
  });
}

}  // namespace korvane_python
