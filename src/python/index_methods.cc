// The methods about the graph index beyond enable_index: save_index, index_info and
// set_ef_search (query's ef= is bound in queries.cc).
#include <optional>
#include <string>

#include "korvane/korvane.h"
#include "python/binding.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/instance.h"
#include "python/methods.h"
#include "python/pyref.h"

namespace korvane_python {
namespace {

constexpr const char* kSetEfSearchParameters[] = {"ef"};
const Signature kSetEfSearch{"Korvane.set_ef_search()", kSetEfSearchParameters, 1};

// Sets d[key] = value, stealing value; false with the error set.
bool set_item(PyObject* d, const char* key, PyObject* value) {
  PyRef v = PyRef::steal(value);
  return v && PyDict_SetItemString(d, key, v.get()) == 0;
}

}  // namespace

bool extract_search_width(PyObject* obj, const char* name, std::uint64_t& out) {
  if (!extract_count(obj, name, out)) return false;
  if (out < 1 || out > kMaxSearchWidth) {
    raise_error(PyExc_ValueError, std::string(name) + " must be between 1 and " +
                                      std::to_string(kMaxSearchWidth) + ", not " +
                                      std::to_string(out));
    return false;
  }
  return true;
}

PyObject* korvane_save_index(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    Access access(state_of(self), Access::Mode::Exclusive);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    auto saved = [&] {
      WithoutGil unlocked;
      return store->save_index();
    }();
    if (!saved) {
      raise_core_error(saved.error());
      return nullptr;
    }
    return none();
  });
}

PyObject* korvane_index_info(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    Access access(state_of(self), Access::Mode::Shared);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    const std::optional<korvane_core::Korvane::IndexInfo> info = [&] {
      WithoutGil unlocked;  // a stale index is rebuilt first, so the counts are current
      return store->index_info();
    }();
    if (!info) return none();
    const korvane_core::HnswConfig& c = info->config;
    const char* source = "built";
    switch (info->source) {
      case korvane_core::Korvane::IndexSource::Built: break;
      case korvane_core::Korvane::IndexSource::Loaded: source = "loaded"; break;
      case korvane_core::Korvane::IndexSource::Rebuilt: source = "rebuilt"; break;
    }
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return nullptr;
    auto size = [](std::size_t n) { return PyLong_FromSize_t(n); };
    if (!set_item(d.get(), "m", size(c.m)) || !set_item(d.get(), "m_max", size(c.m_max)) ||
        !set_item(d.get(), "m_max0", size(c.m_max0)) ||
        !set_item(d.get(), "ef_construction", size(c.ef_construction)) ||
        !set_item(d.get(), "ef_search", size(c.ef_search)) ||
        !set_item(d.get(), "ml", PyFloat_FromDouble(c.ml)) ||
        !set_item(d.get(), "neighbors", PyUnicode_FromString(
                                            c.neighbors == korvane_index::hnsw::Neighbors::Diverse
                                                ? "diverse"
                                                : "nearest")) ||
        !set_item(d.get(), "nodes", size(info->nodes)) ||
        !set_item(d.get(), "deleted", size(info->deleted)) ||
        !set_item(d.get(), "source", PyUnicode_FromString(source))) {
      return nullptr;
    }
    return d.release();
  });
}

PyObject* korvane_set_ef_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1] = {};
    if (!bind_arguments(kSetEfSearch, args, kwargs, bound)) return nullptr;
    Access access(state_of(self), Access::Mode::Exclusive);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    std::uint64_t ef = 0;
    if (!extract_search_width(bound[0], "ef", ef)) return nullptr;
    if (!store->has_index()) {
      raise_error(PyExc_RuntimeError, "the store has no index; call enable_index() first");
      return nullptr;
    }
    store->set_ef_search(static_cast<std::size_t>(ef));
    return none();
  });
}

}  // namespace korvane_python
