// An instance's life: the constructor and open(), close(), the context manager and the
// destructor.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "korvane/korvane.h"
#include "python/binding.h"
#include "python/call.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/instance.h"
#include "python/methods.h"
#include "python/values.h"

namespace korvane_python {
namespace {

constexpr const char* kNewParameters[] = {"path"};
constexpr const char* kOpenParameters[] = {"path", "metric", "dim"};

const Signature kNew{"Korvane.__new__()", kNewParameters, 1};
const Signature kOpen{"Korvane.open()", kOpenParameters, 1, 1};
const Method kEnter{{"Korvane.__enter__()", {}, 0}, Access::Mode::Shared};

bool parse_metric(PyObject* obj, korvane_core::Metric& out) {
  std::string name;
  if (!extract_text(obj, "metric", name)) return false;
  if (const auto metric = korvane_core::metric_from_name(name)) {
    out = *metric;
    return true;
  }
  raise_error(PyExc_ValueError, "unknown metric '" + name +
                                    "': expected 'cosine', 'dot', 'euclidean' or 'manhattan'");
  return false;
}

bool parse_dim(PyObject* obj, korvane_core::Settings& wanted) {
  if (obj == nullptr || obj == Py_None) return true;
  std::uint64_t value = 0;
  if (!extract_strict_count(obj, "dim", value)) return false;
  if (value == 0) {
    raise_error(PyExc_ValueError, "dim must be positive");
    return false;
  }
  if (value > korvane_core::Settings::kMaxDim) {
    raise_error(PyExc_ValueError, "dim must be at most " +
                                      std::to_string(korvane_core::Settings::kMaxDim) + ", not " +
                                      std::to_string(value));
    return false;
  }
  wanted.dim = static_cast<std::size_t>(value);
  return true;
}

// Opens the store, then makes the instance; nothing is allocated when opening fails. The
// settings saved in the file are used; those in `wanted` must agree with them (ValueError).
PyObject* open_instance(PyTypeObject* subtype, const std::string& path,
                        const korvane_core::Settings* wanted) {
  // Loading every record is the slow part of opening; other threads run meanwhile.
  auto opened = unlocked([&] {
    return wanted ? korvane_core::Korvane::open(path, *wanted) : korvane_core::Korvane::open(path);
  });
  if (!opened) {
    raise_core_error(opened.error(), ErrorSource::Opening);
    return nullptr;
  }
  auto state = std::make_unique<State>();
  state->dim = (*opened)->dim();
  state->store = std::move(*opened);
  // Should the allocation fail, `state` closes the database again on the way out.
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
  PyObject* self = alloc(subtype, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<KorvaneObject*>(self)->state = state.release();
  return self;
}

// The constructor, and open(), whose further arguments are the settings wanted.
PyObject* construct(PyTypeObject* type, const Signature& signature, PyObject* args,
                    PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[std::size(kOpenParameters)] = {};
    if (!bind_arguments(signature, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!extract_path(bound[0], "path", path)) return nullptr;
    if (signature.parameters.size() == 1) return open_instance(type, path, nullptr);
    korvane_core::Settings wanted;
    if (bound[1] != nullptr) {
      korvane_core::Metric metric = korvane_core::Metric::Cosine;
      if (!parse_metric(bound[1], metric)) return nullptr;
      wanted.metric = metric;
    }
    if (!parse_dim(bound[2], wanted)) return nullptr;
    return open_instance(type, path, &wanted);
  });
}

}  // namespace

PyObject* korvane_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return construct(subtype, kNew, args, kwargs);
}

PyObject* korvane_open(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return construct(reinterpret_cast<PyTypeObject*>(cls), kOpen, args, kwargs);
}

void korvane_dealloc(PyObject* self) {
  // Read before freeing: the instance's reference to its heap type is released last.
  PyTypeObject* type = Py_TYPE(self);
  // Closes the database and releases its file lock before the memory goes.
  delete reinterpret_cast<KorvaneObject*>(self)->state;
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// The one method that takes a closed store: closing again does nothing.
PyObject* korvane_close(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    State& state = state_of(self);
    Access access(state, Access::Mode::Exclusive);
    if (!access.ok()) return nullptr;
    if (!state.store) return none();
    // The index is saved first; the store closes whether or not that worked, and a failure is
    // raised afterwards. A forked child's copy saves nothing.
    auto saved = [&]() -> korvane_storage::Result<void, korvane_core::KorvaneError> {
      WithoutGil unlocked;
      return state.store->check_writable()
                 ? state.store->save_index()
                 : korvane_storage::Result<void, korvane_core::KorvaneError>{};
    }();
    access.close_store();
    if (!saved) {
      raise_core_error(saved.error());
      return nullptr;
    }
    return none();
  });
}

PyObject* korvane_enter(PyObject* self, PyObject* /*unused*/) {
  return run(self, nullptr, nullptr, kEnter, [self](Call&) {
    Py_IncRef(self);
    return self;
  });
}

PyObject* korvane_exit(PyObject* self, PyObject* /*args*/) {
  // Closes whether or not the block raised, and never swallows what it raised.
  PyRef closed = PyRef::steal(korvane_close(self, nullptr));
  if (!closed) return nullptr;
  Py_IncRef(Py_False);
  return Py_False;
}

}  // namespace korvane_python
