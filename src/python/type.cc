#include "python/type.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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

PyObject* none() {
  Py_IncRef(Py_None);
  return Py_None;
}

namespace {

// Fills a new tuple; PyTuple_SetItem takes each reference, also on failure.
PyRef make_tuple(std::initializer_list<PyRef*> items) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return tuple;
  Py_ssize_t i = 0;
  for (PyRef* item : items) {
    if (!*item || PyTuple_SetItem(tuple.get(), i++, item->release()) != 0) return PyRef();
  }
  return tuple;
}

}  // namespace

PyRef results_to_list(const std::vector<korvane_core::SearchResult>& results, bool decode) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return list;
  Py_ssize_t i = 0;
  for (const korvane_core::SearchResult& result : results) {
    PyRef id = text_to_python(result.id);
    // Widening keeps the 32-bit score exact.
    PyRef score = PyRef::steal(PyFloat_FromDouble(static_cast<double>(result.score)));
    PyRef metadata = metadata_out(result.metadata, decode);
    PyRef tuple = make_tuple({&id, &score, &metadata});
    if (!tuple || PyList_SetItem(list.get(), i++, tuple.release()) != 0) return PyRef();
  }
  return list;
}

namespace {

constexpr const char* kNewParameters[] = {"path"};
constexpr const char* kOpenParameters[] = {"path", "metric", "dim"};
constexpr const char* kInsertParameters[] = {"id", "vector", "metadata"};
constexpr const char* kSearchParameters[] = {"query", "k"};
constexpr const char* kIdParameters[] = {"id"};

const Signature kNew{"Korvane.__new__()", kNewParameters, 1};
const Signature kOpen{"Korvane.open()", kOpenParameters, 1, 1};
const Signature kInsert{"Korvane.insert()", kInsertParameters, 2};
const Signature kSearch{"Korvane.search()", kSearchParameters, 2};
const Signature kGet{"Korvane.get()", kIdParameters, 1};
const Signature kDelete{"Korvane.delete()", kIdParameters, 1};

bool parse_metric(PyObject* obj, korvane_core::Metric& out) {
  std::string name;
  if (!extract_text(obj, "metric", name)) return false;
  if (name == "cosine") {
    out = korvane_core::Metric::Cosine;
  } else if (name == "dot") {
    out = korvane_core::Metric::Dot;
  } else if (name == "euclidean") {
    out = korvane_core::Metric::Euclidean;
  } else if (name == "manhattan") {
    out = korvane_core::Metric::Manhattan;
  } else {
    raise_error(PyExc_ValueError, "unknown metric '" + name +
                                      "': expected 'cosine', 'dot', 'euclidean' or 'manhattan'");
    return false;
  }
  return true;
}

// Opens the store, then makes the instance; nothing is allocated when opening fails. The
// settings saved in the file are used; those in `wanted` must agree with them (ValueError).
PyObject* open_instance(PyTypeObject* subtype, const std::string& path,
                        const korvane_core::Settings* wanted) {
  auto opened = [&] {
    // Loading every record is the slow part of opening; other threads run meanwhile.
    WithoutGil unlocked;
    return wanted ? korvane_core::Korvane::open(path, *wanted) : korvane_core::Korvane::open(path);
  }();
  if (!opened) {
    if (opened.error().code == korvane_core::KorvaneError::Code::Config) {
      raise_error(PyExc_ValueError, opened.error().message);
    } else {
      raise_core_error(opened.error());
    }
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

PyObject* korvane_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1] = {};
    if (!bind_arguments(kNew, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!extract_path(bound[0], "path", path)) return nullptr;
    return open_instance(subtype, path, nullptr);
  });
}

PyObject* korvane_open(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[3] = {};
    if (!bind_arguments(kOpen, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!extract_path(bound[0], "path", path)) return nullptr;
    korvane_core::Settings wanted;
    if (bound[1] != nullptr) {
      korvane_core::Metric metric = korvane_core::Metric::Cosine;
      if (!parse_metric(bound[1], metric)) return nullptr;
      wanted.metric = metric;
    }
    if (bound[2] != nullptr && bound[2] != Py_None) {
      std::uint64_t value = 0;
      if (!extract_strict_count(bound[2], "dim", value)) return nullptr;
      if (value == 0) {
        raise_error(PyExc_ValueError, "dim must be positive");
        return nullptr;
      }
      if (value > korvane_core::Settings::kMaxDim) {
        raise_error(PyExc_ValueError, "dim must be at most " +
                                          std::to_string(korvane_core::Settings::kMaxDim) +
                                          ", not " + std::to_string(value));
        return nullptr;
      }
      wanted.dim = static_cast<std::size_t>(value);
    }
    return open_instance(reinterpret_cast<PyTypeObject*>(cls), path, &wanted);
  });
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

PyObject* korvane_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[3] = {};
    if (!bind_arguments(kInsert, args, kwargs, bound)) return nullptr;
    State& state = state_of(self);
    Access access(state, Access::Mode::Exclusive);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    std::string id;
    std::vector<float> vector;
    std::optional<korvane_storage::Value> metadata;
    if (!extract_text(bound[0], "id", id) || !extract_vector(bound[1], "vector", vector) ||
        !extract_metadata(bound[2], "metadata", metadata)) {
      return nullptr;
    }
    if (!check_dim(state, vector.size(), "vector")) return nullptr;
    auto inserted = [&] {
      WithoutGil unlocked;
      return store->insert(id, std::move(vector), std::move(metadata));
    }();
    if (!inserted) {
      raise_core_error(inserted.error());
      return nullptr;
    }
    return none();
  });
}

PyObject* korvane_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[2] = {};
    if (!bind_arguments(kSearch, args, kwargs, bound)) return nullptr;
    State& state = state_of(self);
    Access access(state, Access::Mode::Shared);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    std::vector<float> query;
    std::uint64_t k = 0;
    if (!check_one_vector(bound[0], "query", kSeveralQueries) ||
        !extract_vector(bound[0], "query", query) || !extract_count(bound[1], "k", k)) {
      return nullptr;
    }
    if (!check_dim(state, query.size(), "query") || !check_finite(query, "query")) return nullptr;
    auto found = [&] {
      WithoutGil unlocked;
      return store->search(query, k);
    }();
    if (!found) {
      raise_core_error(found.error());
      return nullptr;
    }
    return results_to_list(*found).release();
  });
}

PyObject* korvane_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1] = {};
    if (!bind_arguments(kGet, args, kwargs, bound)) return nullptr;
    Access access(state_of(self), Access::Mode::Shared);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    std::string id;
    if (!extract_text(bound[0], "id", id)) return nullptr;
    auto found = store->get(id);
    if (!found) return none();
    return metadata_to_python(found->metadata).release();
  });
}

PyObject* korvane_get_all(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    Access access(state_of(self), Access::Mode::Shared);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(store->size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    bool failed = false;
    store->visit([&](const korvane_core::RecordView& record) {
      PyRef id = text_to_python(record.id);
      PyRef metadata = metadata_to_python(record.metadata);
      PyRef tuple = make_tuple({&id, &metadata});
      failed = !tuple || PyList_SetItem(list.get(), i++, tuple.release()) != 0;
      return !failed;
    });
    return failed ? nullptr : list.release();
  });
}

PyObject* korvane_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1] = {};
    if (!bind_arguments(kDelete, args, kwargs, bound)) return nullptr;
    Access access(state_of(self), Access::Mode::Exclusive);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return nullptr;
    std::string id;
    if (!extract_text(bound[0], "id", id)) return nullptr;
    auto deleted = [&] {
      WithoutGil unlocked;
      return store->delete_(id);
    }();
    if (!deleted) {
      raise_core_error(deleted.error());
      return nullptr;
    }
    return none();
  });
}

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
  return guard([&]() -> PyObject* {
    Access access(state_of(self), Access::Mode::Shared);
    if (access.store() == nullptr) return nullptr;
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

// The slots below return a number, not an object, so they catch C++ exceptions themselves.
Py_ssize_t korvane_len(PyObject* self) {
  try {
    Access access(state_of(self), Access::Mode::Shared);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return -1;
    return static_cast<Py_ssize_t>(store->size());
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
    raise_current_exception();
    return -1;
  }
}

int korvane_contains(PyObject* self, PyObject* key) {
  try {
    Access access(state_of(self), Access::Mode::Shared);
    korvane_core::Korvane* store = access.store();
    if (store == nullptr) return -1;
    std::string id;
    if (!extract_text(key, "id", id)) return -1;
    return store->contains(id) ? 1 : 0;
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
    raise_current_exception();
    return -1;
  }
}

// An instance is true even when empty: having a length must not change what `if store:` meant.
int korvane_bool(PyObject* /*self*/) { return 1; }

template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"insert", as_cfunction(korvane_insert), kArgs,
     "insert($self, id, vector, metadata=None)\n--\n\n"},
    {"search", as_cfunction(korvane_search), kArgs, "search($self, query, k)\n--\n\n"},
    {"get", as_cfunction(korvane_get), kArgs, "get($self, id)\n--\n\n"},
    {"get_all", as_cfunction(korvane_get_all), METH_NOARGS, "get_all($self)\n--\n\n"},
    {"delete", as_cfunction(korvane_delete), kArgs, "delete($self, id)\n--\n\n"},
    {"open", as_cfunction(korvane_open), kArgs | METH_CLASS,
     "open($type, path, *, metric='cosine', dim=None)\n--\n\n"
     "Open or create the store at path with the settings saved in its file, or these.\n\n"
     "path: str or os.PathLike.\n"
     "metric: 'cosine' or 'dot' (similarities, highest first), 'euclidean' or 'manhattan'\n"
     "    (distances, lowest first). Saved in the file when it has none saved.\n"
     "dim: the length every vector, query and stored record must have (ValueError\n"
     "    otherwise), or None. Saved in the file when it has none saved.\n"
     "A metric or dim other than the saved one raises ValueError naming both."},
    {"close", as_cfunction(korvane_close), METH_NOARGS,
     "close($self)\n--\n\n"
     "Close the database file and release its lock and the records' memory.\n\n"
     "Closing again does nothing; any other call on a closed store raises RuntimeError."},
    {"__enter__", as_cfunction(korvane_enter), METH_NOARGS,
     "__enter__($self)\n--\n\nReturn the store itself."},
    {"__exit__", as_cfunction(korvane_exit), METH_VARARGS,
     "__exit__($self, *exc_info)\n--\n\nClose the store."},
    {"query", as_cfunction(korvane_query), kArgs,
     "query($self, query, k, *, where=None, decay=None, now=None, decode=False, ef=None)\n--\n\n"
     "Search for the k best records that meet the conditions.\n\n"
     "query: one vector; k: the number of results.\n"
     "where: a filter, a dict or JSON object text (see count()); only records that pass it\n"
     "    take part.\n"
     "decay: a factor per day of age; a record's score is multiplied by decay ** (age in\n"
     "    days), the age counted from the record's timestamp to now. Records without a\n"
     "    timestamp keep their score.\n"
     "now: seconds since the epoch; the current time when None.\n"
     "decode: give metadata as Python objects instead of JSON text.\n"
     "ef: the index's search width for this query instead of its ef_search."},
    {"search_many", as_cfunction(korvane_search_many), kArgs,
     "search_many($self, queries, k, *, where=None, decode=False)\n--\n\n"
     "search() for each of several queries, in one pass over the records.\n\n"
     "queries: a 2-D float array or a sequence of vectors; k: the number of results per query.\n"
     "where: a filter, as for query().\n"
     "decode: give metadata as Python objects instead of JSON text.\n"
     "Returns one result list per query, each equal to search()'s (with where, to query()'s)."},
    {"enable_index", as_cfunction(korvane_enable_index), kArgs,
     "enable_index($self, m=16, ef_construction=200, ef_search=64, *, m_max=None, "
     "m_max0=None, ml=None, neighbors=None, progress=None)\n--\n\n"
     "Build a graph index over every record; later searches without where or decay use it.\n\n"
     "Such searches are approximate.\n"
     "m: links per node; m_max and m_max0: the caps above and on the lowest layer (default\n"
     "    m and 2 * m); ml: the level factor (default 1 / ln(m)).\n"
     "ef_construction, ef_search: the search widths while building and while searching.\n"
     "neighbors: 'nearest' (the default) or 'diverse' (links spread over directions).\n"
     "progress: called as progress(done, total) at the start, after every 1000 records and\n"
     "    at the end; if it raises, the build stops and the store keeps the index it had."},
    {"save_index", as_cfunction(korvane_save_index), METH_NOARGS,
     "save_index($self)\n--\n\n"
     "Save the index beside the store's file (path + '.index'), as close() also does; the next\n"
     "open loads it when it still describes the records, and rebuilds it otherwise."},
    {"index_info", as_cfunction(korvane_index_info), METH_NOARGS,
     "index_info($self)\n--\n\n"
     "None without an index; otherwise a dict of its settings (m, m_max, m_max0,\n"
     "ef_construction, ef_search, ml, neighbors), its node and deleted-node counts, and\n"
     "source: 'built', 'loaded' (from the saved index) or 'rebuilt' (at open)."},
    {"set_ef_search", as_cfunction(korvane_set_ef_search), kArgs,
     "set_ef_search($self, ef)\n--\n\n"
     "Change the index's search width without rebuilding it."},
    {"insert_many", as_cfunction(korvane_insert_many), kArgs,
     "insert_many($self, ids, vectors, metadata=None, *, timestamps=None)\n--\n\n"
     "insert() for each record, in one transaction: all of them are stored or none.\n\n"
     "ids: a sequence of str; vectors: a 2-D float array or a sequence of vectors.\n"
     "metadata: None or a sequence of metadata, each JSON text, a dict, list, int, float,\n"
     "    bool or None.\n"
     "timestamps: None or a sequence of int (seconds) or None."},
    {"upsert", as_cfunction(korvane_upsert), kArgs,
     "upsert($self, id, vector, metadata=None, *, timestamp=None)\n--\n\n"
     "Replace every record with this id by this one, in one transaction.\n\n"
     "id: str; vector: one vector.\n"
     "metadata: JSON text, a dict, list, int, float, bool, or None for none.\n"
     "timestamp: int seconds (used by query's decay), or None."},
    {"upsert_many", as_cfunction(korvane_upsert_many), kArgs,
     "upsert_many($self, ids, vectors, metadata=None, *, timestamps=None)\n--\n\n"
     "upsert() for each record, in order, in one transaction: all of them are stored or none.\n\n"
     "ids, vectors, metadata, timestamps: as for insert_many()."},
    {"delete_many", as_cfunction(korvane_delete_many), kArgs,
     "delete_many($self, ids)\n--\n\n"
     "delete() for each id, in one transaction.\n\n"
     "ids: a sequence of str; unknown ids are not an error."},
    {"get_vectors", as_cfunction(korvane_get_vectors), kArgs,
     "get_vectors($self, ids)\n--\n\n"
     "Return the stored vectors of these ids as one float32 NumPy array of shape (n, dim).\n\n"
     "ids: a sequence of str; row i is the vector of ids[i]. An unknown id raises KeyError,\n"
     "vectors of different lengths ValueError; NumPy is imported on the first call."},
    {"count", as_cfunction(korvane_count), kArgs,
     "count($self, where=None)\n--\n\n"
     "The number of records that pass the filter where (all records when None). A filter is a\n"
     "JSON object (text or dict): {\"field\": value} for equality, {\"field\": {\"$op\": x}}\n"
     "with $eq $ne $gt $gte $lt $lte $in $nin $exists $contains, and $and, $or, $not.\n"
     "Numbers compare by value (1 equals 1.0); a mistake raises ValueError naming it."},
    {"select", as_cfunction(korvane_select), kArgs,
     "select($self, where=None, *, limit=None, decode=False)\n--\n\n"
     "(id, metadata) of the records that pass where, in store order, at most limit of them;\n"
     "metadata as JSON text, or as Python values with decode=True."},
    {"delete_where", as_cfunction(korvane_delete_where), kArgs,
     "delete_where($self, where)\n--\n\n"
     "Delete every record with the id of a record that passes where, in one transaction;\n"
     "returns how many records were removed."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Korvane(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(korvane_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(korvane_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_sq_length, reinterpret_cast<void*>(korvane_len)},
    {Py_sq_contains, reinterpret_cast<void*>(korvane_contains)},
    {Py_nb_bool, reinterpret_cast<void*>(korvane_bool)},
    {0, nullptr},
};

// No base-type flag (the constructor is the only way to make a valid instance) and no GC flag
// (an instance references no Python objects).
PyType_Spec kSpec = {
    "builtins.Korvane",
    static_cast<int>(sizeof(KorvaneObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyObject* korvane_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&kSpec);
  return type;
}

}  // namespace korvane_python
