// The graph index: enable_index, save_index, index_info and set_ef_search (query's ef= is
// bound in queries.cc, with extract_search_width).
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "korvane/korvane.h"
#include "python/call.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/instance.h"
#include "python/methods.h"
#include "python/pyref.h"

namespace korvane_python {
namespace {

using Mode = Access::Mode;

constexpr const char* kEnableIndexParameters[] = {"m",      "ef_construction", "ef_search",
                                                  "m_max",  "m_max0",          "ml",
                                                  "neighbors", "progress",     "threads"};
constexpr const char* kSetEfSearchParameters[] = {"ef"};

const Method kEnableIndex{{"Korvane.enable_index()", kEnableIndexParameters, 0, 3},
                          Mode::Exclusive, ErrorSource::IndexSettings};
const Method kSaveIndex{{"Korvane.save_index()", {}, 0}, Mode::Exclusive};
const Method kIndexInfo{{"Korvane.index_info()", {}, 0}, Mode::Shared};
const Method kSetEfSearch{{"Korvane.set_ef_search()", kSetEfSearchParameters, 1},
                          Mode::Exclusive};

// Index parameters beyond these would only exhaust memory or time.
constexpr std::uint64_t kMaxLinks = 4096;
constexpr std::uint64_t kMaxWidth = kMaxSearchWidth;
constexpr double kMaxLevelFactor = 16.0;
// More build threads than this would only wait for one another.
constexpr std::uint64_t kMaxThreads = 1024;
// Records between two progress reports.
constexpr std::size_t kProgressEvery = 1000;

// A count argument that may be left out (or None), within [low, high].
bool optional_count(PyObject* obj, const char* name, std::uint64_t low, std::uint64_t high,
                    std::optional<std::uint64_t>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::uint64_t value = 0;
  if (!extract_count(obj, name, value)) return false;
  if (value < low || value > high) {
    raise_error(PyExc_ValueError, std::string(name) + " must be between " + std::to_string(low) +
                                      " and " + std::to_string(high) + ", not " +
                                      std::to_string(value));
    return false;
  }
  out = value;
  return true;
}

// enable_index's arguments but progress, into the index's settings.
bool extract_config(PyObject* const* args, korvane_core::HnswConfig& config) {
  std::optional<std::uint64_t> m, ef_construction, ef_search, m_max, m_max0, threads;
  if (!optional_count(args[0], "m", 2, kMaxLinks, m) ||
      !optional_count(args[1], "ef_construction", 1, kMaxWidth, ef_construction) ||
      !optional_count(args[2], "ef_search", 1, kMaxWidth, ef_search) ||
      !optional_count(args[3], "m_max", 1, kMaxLinks, m_max) ||
      !optional_count(args[4], "m_max0", 1, kMaxLinks, m_max0) ||
      !optional_count(args[8], "threads", 1, kMaxThreads, threads)) {
    return false;
  }
  config.m = static_cast<std::size_t>(m.value_or(16));
  config.ef_construction = static_cast<std::size_t>(ef_construction.value_or(200));
  config.ef_search = static_cast<std::size_t>(ef_search.value_or(64));
  config.m_max = static_cast<std::size_t>(m_max.value_or(config.m));
  config.m_max0 = static_cast<std::size_t>(m_max0.value_or(2 * config.m));
  config.ml = 1.0f / std::log(static_cast<float>(config.m));
  config.threads = static_cast<std::size_t>(threads.value_or(0));  // 0: one per core
  if (args[5] != nullptr && args[5] != Py_None) {
    double ml = 0.0;
    if (!extract_real(args[5], "ml", ml)) return false;
    if (!(ml > 0.0 && ml <= kMaxLevelFactor)) {
      raise_error(PyExc_ValueError, "ml must be above 0 and at most 16");
      return false;
    }
    config.ml = static_cast<float>(ml);
  }
  if (args[6] != nullptr && args[6] != Py_None) {
    std::string neighbors;
    if (!extract_text(args[6], "neighbors", neighbors)) return false;
    if (neighbors == "diverse") {
      config.neighbors = korvane_index::hnsw::Neighbors::Diverse;
    } else if (neighbors != "nearest") {
      raise_error(PyExc_ValueError,
                  "neighbors must be 'nearest' or 'diverse', not '" + neighbors + "'");
      return false;
    }
  }
  return true;
}

// Builds the index while reporting to progress, a callable: the build runs without the
// interpreter lock, and each report takes it back for the call. A callback that raises stops
// the build, and the store keeps the index it had.
PyObject* build_reporting(Call& call, const korvane_core::HnswConfig& config, PyObject* progress) {
  korvane_core::Korvane* store = &call.store;
  const std::size_t total = store->size();
  PyRef first = PyRef::steal(PyObject_CallFunction(progress, "nn", Py_ssize_t{0},
                                                   static_cast<Py_ssize_t>(total)));
  if (!first) return nullptr;
  first.reset();
  bool failed = false;
  PyThreadState* saved = PyEval_SaveThread();
  auto report = [&](std::size_t done, std::size_t all) {
    PyEval_RestoreThread(saved);
    PyRef result = PyRef::steal(PyObject_CallFunction(
        progress, "nn", static_cast<Py_ssize_t>(done), static_cast<Py_ssize_t>(all)));
    failed = !result;
    result.reset();
    saved = PyEval_SaveThread();
    return !failed;
  };
  auto enabled = [&] {
    try {
      return store->enable_hnsw(config, kProgressEvery, report);
    } catch (ForcedUnwind&) {
      throw;  // the thread is ending; it holds no interpreter state to restore
    } KORVANE_CATCH_FAULT {
      PyEval_RestoreThread(saved);
      throw;
    }
  }();
  PyEval_RestoreThread(saved);
  if (!enabled) {
    raise_core_error(enabled.error(), call.errors);
    return nullptr;
  }
  if (failed) return nullptr;
  return none();
}

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

PyObject* korvane_enable_index(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kEnableIndex, [](Call& call) -> PyObject* {
    korvane_core::HnswConfig config;
    if (!extract_config(call.args, config)) return nullptr;
    PyObject* progress = call.args[7] != Py_None ? call.args[7] : nullptr;
    if (progress != nullptr && !PyCallable_Check(progress)) {
      raise_error(PyExc_TypeError, "argument 'progress': not callable");
      return nullptr;
    }
    if (progress != nullptr) return build_reporting(call, config, progress);
    korvane_core::Korvane* store = &call.store;
    return call.core([&] { return store->enable_hnsw(config); });
  });
}

PyObject* korvane_save_index(PyObject* self, PyObject* /*unused*/) {
  return run(self, nullptr, nullptr, kSaveIndex,
             [](Call& call) { return call.core([&] { return call.store.save_index(); }); });
}

PyObject* korvane_index_info(PyObject* self, PyObject* /*unused*/) {
  return run(self, nullptr, nullptr, kIndexInfo, [](Call& call) -> PyObject* {
    korvane_core::Korvane* store = &call.store;
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
  return run(self, args, kwargs, kSetEfSearch, [](Call& call) -> PyObject* {
    std::uint64_t ef = 0;
    if (!extract_search_width(call.args[0], "ef", ef)) return nullptr;
    if (!call.store.has_index()) {
      raise_error(PyExc_RuntimeError, "the store has no index; call enable_index() first");
      return nullptr;
    }
    call.store.set_ef_search(static_cast<std::size_t>(ef));
    return none();
  });
}

}  // namespace korvane_python
