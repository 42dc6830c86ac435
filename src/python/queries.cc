// Searching: search, query (filters, decay, the index's width) and search_many.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "korvane/korvane.h"
#include "python/call.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/instance.h"
#include "python/methods.h"
#include "python/pyref.h"
#include "python/values.h"

namespace korvane_python {
namespace {

using Mode = Access::Mode;

constexpr const char* kSearchParameters[] = {"query", "k"};
constexpr const char* kQueryParameters[] = {"query", "k", "where", "decay", "now", "decode", "ef"};
constexpr const char* kSearchManyParameters[] = {"queries", "k", "where", "decode"};

const Method kSearch{{"Korvane.search()", kSearchParameters, 2}, Mode::Shared};
const Method kQuery{{"Korvane.query()", kQueryParameters, 2, 2}, Mode::Shared};
const Method kSearchMany{{"Korvane.search_many()", kSearchManyParameters, 2, 2}, Mode::Shared};

std::uint64_t seconds_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  return seconds > 0 ? static_cast<std::uint64_t>(seconds) : 0;
}

// A query argument: one vector, not several.
bool extract_query(PyObject* obj, std::vector<float>& out) {
  return check_one_vector(obj, "query", kSeveralQueries) && extract_vector(obj, "query", out);
}

// A query of the store's length with every component finite.
bool check_query(const Call& call, const std::vector<float>& query, const char* what) {
  return check_dim(call.state, query.size(), what) && check_finite(query, what);
}

// decay: a finite factor of 0 or more, also once rounded to 32 bits (a double beyond the float
// range passes as finite but scores as infinity).
bool extract_decay(PyObject* obj, std::optional<float>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  double factor = 0.0;
  if (!extract_real(obj, "decay", factor)) return false;
  if (std::isfinite(factor) && factor >= 0.0) out = static_cast<float>(factor);
  if (out && std::isfinite(*out)) return true;
  out.reset();
  raise_error(PyExc_ValueError, "decay must be a finite number, 0 or more");
  return false;
}

}  // namespace

PyObject* korvane_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kSearch, [](Call& call) -> PyObject* {
    std::vector<float> query;
    std::uint64_t k = 0;
    if (!extract_query(call.args[0], query) || !extract_count(call.args[1], "k", k) ||
        !check_query(call, query, "query")) {
      return nullptr;
    }
    return call.core([&] { return call.store.search(query, k); },
                     [](const auto& found) { return results_to_list(found).release(); });
  });
}

PyObject* korvane_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kQuery, [](Call& call) -> PyObject* {
    std::vector<float> query;
    std::uint64_t k = 0;
    std::optional<korvane_core::Filter> where;
    bool decode = false;
    std::optional<float> decay;
    if (!extract_query(call.args[0], query) ||
        !extract_strict_count(call.args[1], "k", k) ||
        !extract_filter(call.args[2], "where", where) ||
        !extract_flag(call.args[5], "decode", decode) || !extract_decay(call.args[3], decay)) {
      return nullptr;
    }
    std::uint64_t now = 0;
    if (call.args[4] != nullptr && call.args[4] != Py_None) {
      if (!extract_strict_count(call.args[4], "now", now)) return nullptr;
    } else {
      now = seconds_now();
    }
    std::uint64_t ef = 0;
    if (call.args[6] != nullptr && call.args[6] != Py_None &&
        !extract_search_width(call.args[6], "ef", ef)) {
      return nullptr;
    }
    if (!check_query(call, query, "query")) return nullptr;
    return call.core(
        [&] {
          korvane_core::SearchBuilder builder = call.store.search_builder(query, k);
          if (where) builder.where(*where);
          if (decay) builder.decay(*decay).now(now);
          if (ef > 0) builder.ef(static_cast<std::size_t>(ef));
          return std::move(builder).execute();
        },
        [&](const auto& found) { return results_to_list(found, decode).release(); });
  });
}

PyObject* korvane_search_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kSearchMany, [](Call& call) -> PyObject* {
    std::vector<std::vector<float>> queries;
    std::uint64_t k = 0;
    std::optional<korvane_core::Filter> where;
    bool decode = false;
    if (!check_several_vectors(call.args[0], "queries", "search()") ||
        !extract_vectors(call.args[0], "queries", queries) ||
        !extract_strict_count(call.args[1], "k", k) ||
        !extract_filter(call.args[2], "where", where) ||
        !extract_flag(call.args[3], "decode", decode)) {
      return nullptr;
    }
    for (std::size_t i = 0; i < queries.size(); ++i) {
      if (!check_query(call, queries[i], ("query " + std::to_string(i)).c_str())) return nullptr;
    }
    std::vector<std::span<const float>> views(queries.begin(), queries.end());
    return call.core(
        [&] {
          return where ? call.store.search_batch(views, k, *where)
                       : call.store.search_batch(views, k);
        },
        [&](const auto& answers) -> PyObject* {
          PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(answers.size())));
          if (!list) return nullptr;
          for (std::size_t i = 0; i < answers.size(); ++i) {
            PyRef one = results_to_list(answers[i], decode);
            if (!one ||
                PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), one.release()) != 0) {
              return nullptr;
            }
          }
          return list.release();
        });
  });
}

}  // namespace korvane_python
