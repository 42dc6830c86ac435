#include "python/type.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/korvane.h"
#include "python/binding.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/pyref.h"

namespace korvane_python {
namespace {

struct KorvaneObject {
  PyObject_HEAD
  // Set once by the constructor, never replaced; destroyed first by the destructor.
  std::unique_ptr<korvane_core::Korvane> store;
  // 0: free; n: n shared borrows; all ones: one exclusive borrow.
  std::atomic<std::size_t> borrow;
};

KorvaneObject& instance(PyObject* self) { return *reinterpret_cast<KorvaneObject*>(self); }

constexpr std::size_t kExclusive = std::numeric_limits<std::size_t>::max();

// Holds one borrow of an instance's flag for a scope; check ok() before using the store.
class Borrow {
 public:
  enum class Mode { Shared, Exclusive };

  Borrow(std::atomic<std::size_t>& flag, Mode mode) : flag_(flag), mode_(mode) {
    if (mode == Mode::Exclusive) {
      std::size_t expected = 0;
      ok_ = flag.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                         std::memory_order_relaxed);
      if (!ok_) raise_error(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    std::size_t current = flag.load(std::memory_order_relaxed);
    while (current != kExclusive) {
      if (flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
        ok_ = true;
        return;
      }
    }
    raise_error(PyExc_RuntimeError, "Already mutably borrowed");
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (!ok_) return;
    if (mode_ == Mode::Exclusive) {
      flag_.store(0, std::memory_order_release);
    } else {
      flag_.fetch_sub(1, std::memory_order_release);
    }
  }

  bool ok() const { return ok_; }

 private:
  std::atomic<std::size_t>& flag_;
  Mode mode_;
  bool ok_ = false;
};

PyObject* none() {
  Py_IncRef(Py_None);
  return Py_None;
}

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

constexpr const char* kNewParameters[] = {"path"};
constexpr const char* kInsertParameters[] = {"id", "vector", "metadata"};
constexpr const char* kSearchParameters[] = {"query", "k"};
constexpr const char* kIdParameters[] = {"id"};

const Signature kNew{"Korvane.__new__()", kNewParameters, 1};
const Signature kInsert{"Korvane.insert()", kInsertParameters, 2};
const Signature kSearch{"Korvane.search()", kSearchParameters, 2};
const Signature kGet{"Korvane.get()", kIdParameters, 1};
const Signature kDelete{"Korvane.delete()", kIdParameters, 1};

PyObject* korvane_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1] = {};
    if (!bind_arguments(kNew, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!extract_text(bound[0], "path", path)) return nullptr;
    auto opened = korvane_core::Korvane::open(path);
    if (!opened) {
      raise_core_error(opened.error());
      return nullptr;
    }
    // Allocating only now means a failed open leaves no half-made instance behind. Should the
    // allocation fail, `opened` closes the database again on the way out.
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
    PyObject* self = alloc(subtype, 0);
    if (self == nullptr) return nullptr;
    KorvaneObject& obj = instance(self);
    new (&obj.store) std::unique_ptr<korvane_core::Korvane>(std::move(*opened));
    new (&obj.borrow) std::atomic<std::size_t>(0);
    return self;
  });
}

void korvane_dealloc(PyObject* self) {
  // Read before freeing: the instance's reference to its heap type is released last.
  PyTypeObject* type = Py_TYPE(self);
  // Closes the database and releases its file lock before the memory goes.
  instance(self).store.~unique_ptr();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyObject* korvane_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[3] = {};
    if (!bind_arguments(kInsert, args, kwargs, bound)) return nullptr;
    KorvaneObject& obj = instance(self);
    Borrow borrow(obj.borrow, Borrow::Mode::Exclusive);
    if (!borrow.ok()) return nullptr;
    std::string id;
    std::vector<float> vector;
    std::optional<korvane_storage::Value> metadata;
    if (!extract_text(bound[0], "id", id) || !extract_vector(bound[1], "vector", vector) ||
        !extract_metadata(bound[2], "metadata", metadata)) {
      return nullptr;
    }
    auto inserted = obj.store->insert(id, std::move(vector), std::move(metadata));
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
    KorvaneObject& obj = instance(self);
    Borrow borrow(obj.borrow, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    std::vector<float> query;
    std::uint64_t k = 0;
    if (!extract_vector(bound[0], "query", query) || !extract_count(bound[1], "k", k)) {
      return nullptr;
    }
    auto found = obj.store->search(query, k);
    if (!found) {
      raise_core_error(found.error());
      return nullptr;
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found->size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const korvane_core::SearchResult& result : *found) {
      PyRef id = text_to_python(result.id);
      // Widening keeps the 32-bit score exact.
      PyRef score = PyRef::steal(PyFloat_FromDouble(static_cast<double>(result.score)));
      PyRef metadata = metadata_to_python(result.metadata);
      PyRef tuple = make_tuple({&id, &score, &metadata});
      if (!tuple || PyList_SetItem(list.get(), i++, tuple.release()) != 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* korvane_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1] = {};
    if (!bind_arguments(kGet, args, kwargs, bound)) return nullptr;
    KorvaneObject& obj = instance(self);
    Borrow borrow(obj.borrow, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    std::string id;
    if (!extract_text(bound[0], "id", id)) return nullptr;
    auto found = obj.store->get(id);
    if (!found) return none();
    return metadata_to_python(found->metadata).release();
  });
}

PyObject* korvane_get_all(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    KorvaneObject& obj = instance(self);
    Borrow borrow(obj.borrow, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    const korvane_core::RecordTable& records = obj.store->get_all();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (std::size_t slot : records.live_slots()) {
      PyRef id = text_to_python(records.id(slot));
      PyRef metadata = metadata_to_python(records.metadata(slot));
      PyRef tuple = make_tuple({&id, &metadata});
      if (!tuple || PyList_SetItem(list.get(), i++, tuple.release()) != 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* korvane_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1] = {};
    if (!bind_arguments(kDelete, args, kwargs, bound)) return nullptr;
    KorvaneObject& obj = instance(self);
    Borrow borrow(obj.borrow, Borrow::Mode::Exclusive);
    if (!borrow.ok()) return nullptr;
    std::string id;
    if (!extract_text(bound[0], "id", id)) return nullptr;
    auto deleted = obj.store->delete_(id);
    if (!deleted) {
      raise_core_error(deleted.error());
      return nullptr;
    }
    return none();
  });
}

template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kMethods[] = {
    {"insert", as_cfunction(korvane_insert), METH_VARARGS | METH_KEYWORDS,
     "insert($self, id, vector, metadata=None)\n--\n\n"},
    {"search", as_cfunction(korvane_search), METH_VARARGS | METH_KEYWORDS,
     "search($self, query, k)\n--\n\n"},
    {"get", as_cfunction(korvane_get), METH_VARARGS | METH_KEYWORDS, "get($self, id)\n--\n\n"},
    {"get_all", as_cfunction(korvane_get_all), METH_NOARGS, "get_all($self)\n--\n\n"},
    {"delete", as_cfunction(korvane_delete), METH_VARARGS | METH_KEYWORDS,
     "delete($self, id)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Korvane(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(korvane_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(korvane_dealloc)},
    {Py_tp_methods, kMethods},
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
