// The module korvane: the entry point and nothing else. It holds no state and no functions of
// its own; its one export is the class (python/class.h); it also carries __version__.
//
// Initialisation is single-phase and happens once per process. The module object is kept for
// the process's life, and a second initialisation (a re-import after `del sys.modules[...]`, or
// a subinterpreter) is refused with ImportError: the type object and the stores behind it are
// process-wide and cannot be handed to a second module.

#include <Python.h>

#include "python/errors.h"
#include "python/pyref.h"
#include "python/class.h"
#include "python/texts.h"

namespace korvane_python {
namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "korvane",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;

// Appends name to module.__all__, creating the list when the module has none, then sets the
// attribute itself.
bool add_exported(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  }
  if (!PyList_Check(all.get())) {
    raise_error(PyExc_TypeError, "'__all__' of module korvane is not a list");
    return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) != 0) return false;
  return PyObject_SetAttrString(module, name, value) == 0;
}

PyObject* initialise() {
  if (g_module != nullptr) {
    raise_error(PyExc_ImportError, texts::kInitialisedTwice);
    return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  PyObject* type = korvane_type();
  if (type == nullptr || !add_exported(module.get(), "Korvane", type)) return nullptr;
  // The package's version (CMake's project version, which pyproject.toml reads too); not in
  // __all__.
  if (PyModule_AddStringConstant(module.get(), "__version__", KORVANE_VERSION) != 0) return nullptr;
  g_module = module.get();
  Py_IncRef(g_module);
  return module.release();
}

}  // namespace
}  // namespace korvane_python

PyMODINIT_FUNC PyInit_korvane(void) {
  return korvane_python::guard(korvane_python::initialise);
}
