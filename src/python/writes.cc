// Writing: insert and delete, and the batch writes insert_many, upsert, upsert_many, delete_many
// and delete_where. A batch write gathers its records into one WriteBatch, which the core
// commits in one transaction: every record is stored, or, on any failure, none, in the file and
// in memory. Argument errors name the item at fault.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "korvane/korvane.h"
#include "python/call.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/instance.h"
#include "python/methods.h"
#include "python/values.h"

namespace korvane_python {
namespace {

using Mode = Access::Mode;
using Metadata = std::optional<korvane_storage::Value>;
using Timestamp = std::optional<std::uint64_t>;

constexpr const char* kInsertParameters[] = {"id", "vector", "metadata"};
constexpr const char* kIdParameters[] = {"id"};
constexpr const char* kManyParameters[] = {"ids", "vectors", "metadata", "timestamps"};
constexpr const char* kUpsertParameters[] = {"id", "vector", "metadata", "timestamp"};
constexpr const char* kIdsParameters[] = {"ids"};
constexpr const char* kWhereParameters[] = {"where"};

const Method kInsert{{"Korvane.insert()", kInsertParameters, 2}, Mode::Exclusive};
const Method kDelete{{"Korvane.delete()", kIdParameters, 1}, Mode::Exclusive};
const Method kInsertMany{{"Korvane.insert_many()", kManyParameters, 2, 3}, Mode::Exclusive,
                         ErrorSource::Batch};
const Method kUpsertMany{{"Korvane.upsert_many()", kManyParameters, 2, 3}, Mode::Exclusive,
                         ErrorSource::Batch};
const Method kUpsert{{"Korvane.upsert()", kUpsertParameters, 2, 3}, Mode::Exclusive,
                     ErrorSource::Batch};
const Method kDeleteMany{{"Korvane.delete_many()", kIdsParameters, 1}, Mode::Exclusive,
                         ErrorSource::Batch};
const Method kDeleteWhere{{"Korvane.delete_where()", kWhereParameters, 1}, Mode::Exclusive};

bool extract_timestamp(PyObject* obj, const char* name, Timestamp& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::uint64_t value = 0;
  if (!extract_strict_count(obj, name, value)) return false;
  out = value;
  return true;
}

// An optional argument with one item per id (metadata, timestamps): absent (null or None) gives
// `count` empty items; otherwise each item through convert(item, out), and a count other than
// the ids' is refused.
template <class T, class Convert>
bool extract_per_id(PyObject* obj, const char* name, std::size_t count, std::vector<T>& out,
                    Convert&& convert) {
  static constexpr SequenceOf kPerId{"expected a sequence", "expected a sequence, not a str",
                                     "expected a sequence with one item per id, not a dict"};
  out.assign(count, T{});
  if (obj == nullptr || obj == Py_None) return true;
  Items items;
  if (!items.open(obj, name, kPerId)) return false;
  // Items past the count are not converted; the count check below reports them.
  if (!items.each([&](std::size_t i, PyObject* item) { return i >= count || convert(item, out[i]); })) {
    return false;
  }
  if (items.size() != count) {
    raise_error(PyExc_ValueError, std::string(name) + " has " + std::to_string(items.size()) +
                                      " items, but ids has " + std::to_string(count));
    return false;
  }
  return true;
}

enum class Kind { Insert, Upsert };

PyObject* write_many(Call& call, Kind kind) {
  std::vector<std::string> ids;
  std::vector<std::vector<float>> vectors;
  if (!extract_text_list(call.args[0], "ids", ids) ||
      !check_several_vectors(call.args[1], "vectors",
                             kind == Kind::Insert ? "insert()" : "upsert()") ||
      !extract_vectors(call.args[1], "vectors", vectors)) {
    return nullptr;
  }
  if (vectors.size() != ids.size()) {
    raise_error(PyExc_ValueError, "vectors has " + std::to_string(vectors.size()) +
                                      " items, but ids has " + std::to_string(ids.size()));
    return nullptr;
  }
  std::vector<Metadata> metadata;
  std::vector<Timestamp> timestamps;
  if (!extract_per_id(call.args[2], "metadata", ids.size(), metadata,
                      [](PyObject* item, Metadata& out) {
                        return extract_metadata_value(item, nullptr, out);
                      }) ||
      !extract_per_id(call.args[3], "timestamps", ids.size(), timestamps,
                      [](PyObject* item, Timestamp& out) {
                        return extract_timestamp(item, nullptr, out);
                      })) {
    return nullptr;
  }
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    if (!check_dim(call.state, vectors[i].size(),
                   ("item " + std::to_string(i) + ": vector").c_str())) {
      return nullptr;
    }
  }
  korvane_core::WriteBatch batch;
  batch.reserve(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (kind == Kind::Insert) {
      batch.insert(std::move(ids[i]), std::move(vectors[i]), std::move(metadata[i]), timestamps[i]);
    } else {
      batch.upsert(std::move(ids[i]), std::move(vectors[i]), std::move(metadata[i]), timestamps[i]);
    }
  }
  // Only the batch holds the records now: the moved-from lists go before the write.
  std::vector<std::string>().swap(ids);
  std::vector<std::vector<float>>().swap(vectors);
  std::vector<Metadata>().swap(metadata);
  std::vector<Timestamp>().swap(timestamps);
  return call.core([&] { return call.store.write(std::move(batch)); });
}

}  // namespace

PyObject* korvane_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kInsert, [](Call& call) -> PyObject* {
    std::string id;
    std::vector<float> vector;
    Metadata metadata;
    if (!extract_text(call.args[0], "id", id) || !extract_vector(call.args[1], "vector", vector) ||
        !extract_metadata(call.args[2], "metadata", metadata) ||
        !check_dim(call.state, vector.size(), "vector")) {
      return nullptr;
    }
    return call.core(
        [&] { return call.store.insert(id, std::move(vector), std::move(metadata)); });
  });
}

PyObject* korvane_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kDelete, [](Call& call) -> PyObject* {
    std::string id;
    if (!extract_text(call.args[0], "id", id)) return nullptr;
    return call.core([&] { return call.store.delete_(id); });
  });
}

PyObject* korvane_insert_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kInsertMany, [](Call& call) { return write_many(call, Kind::Insert); });
}

PyObject* korvane_upsert_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kUpsertMany, [](Call& call) { return write_many(call, Kind::Upsert); });
}

PyObject* korvane_upsert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kUpsert, [](Call& call) -> PyObject* {
    std::string id;
    std::vector<float> vector;
    Metadata metadata;
    Timestamp timestamp;
    if (!extract_text(call.args[0], "id", id) ||
        !check_one_vector(call.args[1], "vector",
                          "expected one vector, not several; upsert_many() takes several") ||
        !extract_vector(call.args[1], "vector", vector) ||
        !extract_metadata_value(call.args[2], "metadata", metadata) ||
        !extract_timestamp(call.args[3], "timestamp", timestamp) ||
        !check_dim(call.state, vector.size(), "vector")) {
      return nullptr;
    }
    korvane_core::WriteBatch batch;
    batch.upsert(std::move(id), std::move(vector), std::move(metadata), timestamp);
    return call.core([&] { return call.store.write(std::move(batch)); });
  });
}

PyObject* korvane_delete_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kDeleteMany, [](Call& call) -> PyObject* {
    std::vector<std::string> ids;
    if (!extract_text_list(call.args[0], "ids", ids)) return nullptr;
    korvane_core::WriteBatch batch;
    for (std::string& id : ids) batch.remove(std::move(id));
    return call.core([&] { return call.store.write(std::move(batch)); });
  });
}

PyObject* korvane_delete_where(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run(self, args, kwargs, kDeleteWhere, [](Call& call) -> PyObject* {
    if (call.args[0] == Py_None) {
      raise_error(PyExc_TypeError, "argument 'where': expected a str or dict, not None");
      return nullptr;
    }
    std::optional<korvane_core::Filter> where;
    if (!extract_filter(call.args[0], "where", where)) return nullptr;
    return call.core([&] { return call.store.remove_where(*where); },
                     [](std::size_t removed) { return PyLong_FromSize_t(removed); });
  });
}

}  // namespace korvane_python
