// The batch writes: insert_many, upsert, upsert_many and delete_many. Each gathers its records
// into one WriteBatch, which the core commits in one transaction: every record is stored, or,
// on any failure, none, in the file and in memory. Argument errors name the item at fault.
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

constexpr const char* kManyParameters[] = {"ids", "vectors", "metadata", "timestamps"};
constexpr const char* kUpsertParameters[] = {"id", "vector", "metadata", "timestamp"};
constexpr const char* kDeleteManyParameters[] = {"ids"};

const Signature kInsertMany{"Korvane.insert_many()", kManyParameters, 2, 3};
const Signature kUpsertMany{"Korvane.upsert_many()", kManyParameters, 2, 3};
const Signature kUpsert{"Korvane.upsert()", kUpsertParameters, 2, 3};
const Signature kDeleteMany{"Korvane.delete_many()", kDeleteManyParameters, 1};

using Metadata = std::optional<korvane_storage::Value>;

// Runs fn(index, item) over a sequence argument (never a str); false when fn or the walk failed.
template <class Fn>
bool for_each_item(PyObject* obj, const char* name, Fn&& fn) {
  if (PyUnicode_Check(obj)) {
    raise_error(PyExc_TypeError, std::string("argument '") + name + "': expected a sequence, not a str");
    return false;
  }
  // A dict iterates its keys, which would pass for an item each.
  if (PyDict_Check(obj)) {
    raise_error(PyExc_TypeError, std::string("argument '") + name +
                                     "': expected a sequence with one item per id, not a dict");
    return false;
  }
  if (!is_sequence_argument(obj, name)) return false;
  PyRef items = PyRef::steal(PySequence_Fast(obj, "expected a sequence"));
  if (!items) {
    // Said the way every other conversion says it.
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_error(PyExc_TypeError, std::string("argument '") + name + "': expected a sequence");
    }
    return false;
  }
  const Py_ssize_t n = PySequence_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(items.get(), i));
    if (!item || !fn(static_cast<std::size_t>(i), item.get())) return false;
  }
  return n >= 0;
}

bool extract_metadata_list(PyObject* obj, std::size_t count, std::vector<Metadata>& out) {
  out.assign(count, std::nullopt);
  if (obj == nullptr || obj == Py_None) return true;
  std::size_t seen = 0;
  bool ok = for_each_item(obj, "metadata", [&](std::size_t i, PyObject* item) {
    if (seen++ >= count) return true;  // the count check below reports it
    return extract_metadata_value(item, nullptr, out[i]) || fail_item(i, "metadata");
  });
  if (!ok) return false;
  if (seen != count) {
    raise_error(PyExc_ValueError, "metadata has " + std::to_string(seen) + " items, but ids has " +
                                      std::to_string(count));
    return false;
  }
  return true;
}

bool extract_timestamp(PyObject* obj, const char* name, std::optional<std::uint64_t>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::uint64_t value = 0;
  if (!extract_strict_count(obj, name, value)) return false;
  out = value;
  return true;
}

bool extract_timestamp_list(PyObject* obj, std::size_t count,
                            std::vector<std::optional<std::uint64_t>>& out) {
  out.assign(count, std::nullopt);
  if (obj == nullptr || obj == Py_None) return true;
  std::size_t seen = 0;
  bool ok = for_each_item(obj, "timestamps", [&](std::size_t i, PyObject* item) {
    if (seen++ >= count) return true;
    return extract_timestamp(item, nullptr, out[i]) || fail_item(i, "timestamps");
  });
  if (!ok) return false;
  if (seen != count) {
    raise_error(PyExc_ValueError, "timestamps has " + std::to_string(seen) +
                                      " items, but ids has " + std::to_string(count));
    return false;
  }
  return true;
}

// Commits the batch with the interpreter lock released; a record's failure names its item.
PyObject* commit(korvane_core::Korvane& store, korvane_core::WriteBatch batch) {
  auto written = [&] {
    WithoutGil unlocked;
    return store.write(std::move(batch));
  }();
  if (!written) {
    const korvane_core::KorvaneError& error = written.error();
    if (error.item) {
      raise_error(PyExc_RuntimeError, "item " + std::to_string(*error.item) + ": " + error.display());
    } else {
      raise_core_error(error);
    }
    return nullptr;
  }
  return none();
}

enum class Kind { Insert, Upsert };

PyObject* write_many(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& sig,
                     Kind kind) {
  PyObject* bound[4] = {};
  if (!bind_arguments(sig, args, kwargs, bound)) return nullptr;
  State& state = state_of(self);
  Access access(state, Access::Mode::Exclusive);
  korvane_core::Korvane* store = access.store();
  if (store == nullptr) return nullptr;

  std::vector<std::string> ids;
  std::vector<std::vector<float>> vectors;
  if (!extract_text_list(bound[0], "ids", ids) ||
      !check_several_vectors(bound[1], "vectors", kind == Kind::Insert ? "insert()" : "upsert()") ||
      !extract_vectors(bound[1], "vectors", vectors)) {
    return nullptr;
  }
  if (vectors.size() != ids.size()) {
    raise_error(PyExc_ValueError, "vectors has " + std::to_string(vectors.size()) +
                                      " items, but ids has " + std::to_string(ids.size()));
    return nullptr;
  }
  std::vector<Metadata> metadata;
  std::vector<std::optional<std::uint64_t>> timestamps;
  if (!extract_metadata_list(bound[2], ids.size(), metadata) ||
      !extract_timestamp_list(bound[3], ids.size(), timestamps)) {
    return nullptr;
  }
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    if (!check_dim(state, vectors[i].size(), ("item " + std::to_string(i) + ": vector").c_str())) {
      return nullptr;
    }
  }
  korvane_core::WriteBatch batch;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (kind == Kind::Insert) {
      batch.insert(std::move(ids[i]), std::move(vectors[i]), std::move(metadata[i]), timestamps[i]);
    } else {
      batch.upsert(std::move(ids[i]), std::move(vectors[i]), std::move(metadata[i]), timestamps[i]);
    }
  }
  return commit(*store, std::move(batch));
}

}  // namespace

PyObject* korvane_insert_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] { return write_many(self, args, kwargs, kInsertMany, Kind::Insert); });
}

PyObject* korvane_upsert_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] { return write_many(self, args, kwargs, kUpsertMany, Kind::Upsert); });
}

PyObject* korvane_upsert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[4] = {};
    if (!bind_arguments(kUpsert, args, kwargs, bound)) return nullptr;
    State& state = state_of(self);
    Access access(state, Access::Mode::Exclusive);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    std::string id;
    std::vector<float> vector;
    Metadata metadata;
    std::optional<std::uint64_t> timestamp;
    if (!extract_text(bound[0], "id", id) ||
        !check_one_vector(bound[1], "vector",
                          "expected one vector, not several; upsert_many() takes several") ||
        !extract_vector(bound[1], "vector", vector) ||
        !extract_metadata_value(bound[2], "metadata", metadata) ||
        !extract_timestamp(bound[3], "timestamp", timestamp)) {
      return nullptr;
    }
    if (!check_dim(state, vector.size(), "vector")) return nullptr;
    korvane_core::WriteBatch batch;
    batch.upsert(std::move(id), std::move(vector), std::move(metadata), timestamp);
    return commit(*store, std::move(batch));
  });
}

PyObject* korvane_delete_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1] = {};
    if (!bind_arguments(kDeleteMany, args, kwargs, bound)) return nullptr;
    Access access(state_of(self), Access::Mode::Exclusive);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    std::vector<std::string> ids;
    if (!extract_text_list(bound[0], "ids", ids)) return nullptr;
    korvane_core::WriteBatch batch;
    for (std::string& id : ids) batch.remove(std::move(id));
    return commit(*store, std::move(batch));
  });
}

}  // namespace korvane_python
