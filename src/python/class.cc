// The class Korvane: its methods' table with their signatures and doc strings, its slots, and
// the type object made from them.
#include "python/class.h"

#include "python/instance.h"
#include "python/methods.h"
#include "python/texts.h"

namespace korvane_python {
namespace {

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
     "m_max0=None, ml=None, neighbors=None, progress=None, threads=None)\n--\n\n"
     "Build a graph index over every record; later searches without where or decay use it.\n\n"
     "Such searches are approximate.\n"
     "m: links per node; m_max and m_max0: the caps above and on the lowest layer (default\n"
     "    m and 2 * m); ml: the level factor (default 1 / ln(m)).\n"
     "ef_construction, ef_search: the search widths while building and while searching.\n"
     "neighbors: 'nearest' (the default) or 'diverse' (links spread over directions).\n"
     "progress: called as progress(done, total) at the start, after every 1000 records and\n"
     "    at the end; if it raises, the build stops and the store keeps the index it had.\n"
     "threads: how many threads build the graph (default: one per core); 1 builds it\n"
     "    sequentially, the same graph every time for the same levels."},
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
    texts::kClassName,
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
