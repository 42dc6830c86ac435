// The searching methods beyond search(): query (filters and decay), search_many, and
// enable_index, which builds the graph index those searches may then take.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
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

constexpr const char* kQueryParameters[] = {"query", "k", "where", "decay", "now", "decode", "ef"};
constexpr const char* kSearchManyParameters[] = {"queries", "k", "where", "decode"};
constexpr const char* kEnableIndexParameters[] = {"m",      "ef_construction", "ef_search",
                                                  "m_max",  "m_max0",          "ml",
                                                  "neighbors", "progress",     "threads"};

const Signature kQuery{"Korvane.query()", kQueryParameters, 2, 2};
const Signature kSearchMany{"Korvane.search_many()", kSearchManyParameters, 2, 2};
const Signature kEnableIndex{"Korvane.enable_index()", kEnableIndexParameters, 0, 3};

// Index parameters beyond these would only exhaust memory or time.
constexpr std::uint64_t kMaxLinks = 4096;
constexpr std::uint64_t kMaxWidth = kMaxSearchWidth;
constexpr double kMaxLevelFactor = 16.0;
// More build threads than this would only wait for one another.
constexpr std::uint64_t kMaxThreads = 1024;
// Records between two progress reports.
constexpr std::size_t kProgressEvery = 1000;

std::uint64_t seconds_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  return seconds > 0 ? static_cast<std::uint64_t>(seconds) : 0;
}

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

}  // namespace

PyObject* korvane_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[7] = {};
    if (!bind_arguments(kQuery, args, kwargs, bound)) return nullptr;
    State& state = state_of(self);
    Access access(state, Access::Mode::Shared);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;

    std::vector<float> query;
    std::uint64_t k = 0;
    std::optional<korvane_core::Filter> where;
    bool decode = false;
    if (!check_one_vector(bound[0], "query", kSeveralQueries) ||
        !extract_vector(bound[0], "query", query) || !extract_strict_count(bound[1], "k", k) ||
        !extract_filter(bound[2], "where", where) || !extract_flag(bound[5], "decode", decode)) {
      return nullptr;
    }
    std::optional<float> decay;
    if (bound[3] != nullptr && bound[3] != Py_None) {
      double factor = 0.0;
      if (!extract_real(bound[3], "decay", factor)) return nullptr;
      if (!std::isfinite(factor) || factor < 0.0) {
        raise_error(PyExc_ValueError, "decay must be a finite number, 0 or more");
        return nullptr;
      }
      decay = static_cast<float>(factor);
      // A double beyond the float range passes the check above but scores as infinity.
      if (!std::isfinite(*decay)) {
        raise_error(PyExc_ValueError, "decay must be a finite number, 0 or more");
        return nullptr;
      }
    }
    std::uint64_t now = 0;
    if (bound[4] != nullptr && bound[4] != Py_None) {
      if (!extract_strict_count(bound[4], "now", now)) return nullptr;
    } else {
      now = seconds_now();
    }
    std::uint64_t ef = 0;
    if (bound[6] != nullptr && bound[6] != Py_None && !extract_search_width(bound[6], "ef", ef)) {
      return nullptr;
    }
    if (!check_dim(state, query.size(), "query") || !check_finite(query, "query")) return nullptr;

    auto found = [&] {
      WithoutGil unlocked;
      korvane_core::SearchBuilder builder = store->search_builder(query, k);
      if (where) builder.where(*where);
      if (decay) builder.decay(*decay).now(now);
      if (ef > 0) builder.ef(static_cast<std::size_t>(ef));
      return std::move(builder).execute();
    }();
    if (!found) {
      raise_core_error(found.error());
      return nullptr;
    }
    return results_to_list(*found, decode).release();
  });
}

PyObject* korvane_search_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[4] = {};
    if (!bind_arguments(kSearchMany, args, kwargs, bound)) return nullptr;
    State& state = state_of(self);
    Access access(state, Access::Mode::Shared);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    std::vector<std::vector<float>> queries;
    std::uint64_t k = 0;
    std::optional<korvane_core::Filter> where;
    bool decode = false;
    if (!check_several_vectors(bound[0], "queries", "search()") ||
        !extract_vectors(bound[0], "queries", queries) || !extract_strict_count(bound[1], "k", k) ||
        !extract_filter(bound[2], "where", where) || !extract_flag(bound[3], "decode", decode)) {
      return nullptr;
    }
    for (std::size_t i = 0; i < queries.size(); ++i) {
      const std::string what = "query " + std::to_string(i);
      if (!check_dim(state, queries[i].size(), what.c_str()) ||
          !check_finite(queries[i], what.c_str())) {
        return nullptr;
      }
    }
    std::vector<std::span<const float>> views(queries.begin(), queries.end());
    auto found = [&] {
      WithoutGil unlocked;
      return where ? store->search_batch(views, k, *where) : store->search_batch(views, k);
    }();
    if (!found) {
      raise_core_error(found.error());
      return nullptr;
    }
    const auto& answers = *found;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(answers.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < answers.size(); ++i) {
      PyRef one = results_to_list(answers[i], decode);
      if (!one || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), one.release()) != 0) {
        return nullptr;
      }
    }
    return list.release();
  });
}

PyObject* korvane_enable_index(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[9] = {};
    if (!bind_arguments(kEnableIndex, args, kwargs, bound)) return nullptr;
    State& state = state_of(self);
    Access access(state, Access::Mode::Exclusive);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;

    std::optional<std::uint64_t> m, ef_construction, ef_search, m_max, m_max0, threads;
    if (!optional_count(bound[0], "m", 2, kMaxLinks, m) ||
        !optional_count(bound[1], "ef_construction", 1, kMaxWidth, ef_construction) ||
        !optional_count(bound[2], "ef_search", 1, kMaxWidth, ef_search) ||
        !optional_count(bound[3], "m_max", 1, kMaxLinks, m_max) ||
        !optional_count(bound[4], "m_max0", 1, kMaxLinks, m_max0) ||
        !optional_count(bound[8], "threads", 1, kMaxThreads, threads)) {
      return nullptr;
    }
    korvane_core::HnswConfig config;
    config.m = static_cast<std::size_t>(m.value_or(16));
    config.ef_construction = static_cast<std::size_t>(ef_construction.value_or(200));
    config.ef_search = static_cast<std::size_t>(ef_search.value_or(64));
    config.m_max = static_cast<std::size_t>(m_max.value_or(config.m));
    config.m_max0 = static_cast<std::size_t>(m_max0.value_or(2 * config.m));
    config.ml = 1.0f / std::log(static_cast<float>(config.m));
    config.threads = static_cast<std::size_t>(threads.value_or(0));  // 0: every core
    if (bound[5] != nullptr && bound[5] != Py_None) {
      double ml = 0.0;
      if (!extract_real(bound[5], "ml", ml)) return nullptr;
      if (!(ml > 0.0 && ml <= kMaxLevelFactor)) {
        raise_error(PyExc_ValueError, "ml must be above 0 and at most 16");
        return nullptr;
      }
      config.ml = static_cast<float>(ml);
    }
    if (bound[6] != nullptr && bound[6] != Py_None) {
      std::string neighbors;
      if (!extract_text(bound[6], "neighbors", neighbors)) return nullptr;
      if (neighbors == "diverse") {
        config.neighbors = korvane_index::hnsw::Neighbors::Diverse;
      } else if (neighbors != "nearest") {
        raise_error(PyExc_ValueError,
                    "neighbors must be 'nearest' or 'diverse', not '" + neighbors + "'");
        return nullptr;
      }
    }
    PyObject* progress = bound[7] != Py_None ? bound[7] : nullptr;
    if (progress != nullptr && !PyCallable_Check(progress)) {
      raise_error(PyExc_TypeError, "argument 'progress': not callable");
      return nullptr;
    }

    const std::size_t total = store->size();
    if (progress == nullptr) {
      auto enabled = [&] {
        WithoutGil unlocked;
        return store->enable_hnsw(config);
      }();
      if (!enabled) {
        raise_error(PyExc_ValueError, enabled.error().display());
        return nullptr;
      }
      return none();
    }

    // The build runs without the interpreter lock; each report takes it back for the call.
    // A callback that raises stops the build, and the store keeps the index it had.
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
      } catch (...) {
        PyEval_RestoreThread(saved);
        throw;
      }
    }();
    PyEval_RestoreThread(saved);
    if (!enabled) {
      raise_error(PyExc_ValueError, enabled.error().display());
      return nullptr;
    }
    if (failed) return nullptr;
    return none();
  });
}

}  // namespace korvane_python
