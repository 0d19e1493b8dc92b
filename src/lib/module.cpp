// The extension module tavrine_core._core, which the package tavrine_core
// re-exports: two-phase initialisation. The definition has no per-module
// state and no method table; the exec step adds the classes and `version`,
// each name also appended to `__all__`. Everything it creates names the
// package as its module (kPublicModule), which is where users find it.
//
// The classes (and the PanicException class, errors.cpp) are created once
// per process and shared by every module object made from this definition:
// an object made through one import stays usable with the classes of a
// re-import. For the same reason the module declines subinterpreters.
#include "lib/binding.h"
#include "lib/descriptor.h"
#include "lib/detach.h"
#include "lib/graph_store.h"
#include "lib/incremental_reducer.h"

// The build states whether the interpreter it targets is a debug one
// (TAVRINE_PY_DEBUG, from CMakeLists.txt). A module whose headers disagree
// would load, but its reference counting would not match the interpreter's,
// so a mixed build is refused here rather than shipped.
#if defined(TAVRINE_PY_DEBUG)
#if TAVRINE_PY_DEBUG && !defined(Py_REF_DEBUG)
#error "building for a debug interpreter against a release pyconfig.h: Py_REF_DEBUG is not defined"
#elif !TAVRINE_PY_DEBUG && defined(Py_REF_DEBUG)
#error "building for a release interpreter against a debug pyconfig.h: Py_REF_DEBUG is defined"
#endif
#endif

namespace tavrine::py {

namespace {

constexpr const char kPublicModule[] = "tavrine_core";

PyObject* version(PyObject* /*module*/) { return check(PyUnicode_FromString(TAVRINE_VERSION)); }

PyMethodDef g_version_def = noargs_row<version>("version", "version()\n--\n\n");

// The classes, in the order the module lists them.
struct ClassRow {
  const char* name;
  PyTypeObject* (*create)();
  PyTypeObject* (*get)() noexcept;
};
const ClassRow kClasses[] = {
    {"GraphStore", &create_graph_store_type, &graph_store_type},
    {"PayloadDescriptor", &create_descriptor_type, &descriptor_type},
    {"IncrementalReducer", &create_incremental_reducer_type, &incremental_reducer_type},
};

PyMutex g_types_lock{};
bool g_types_ready = false;

class MutexGuard {
 public:
  explicit MutexGuard(PyMutex& m) : m_(m) { PyMutex_Lock(&m_); }
  ~MutexGuard() { PyMutex_Unlock(&m_); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  PyMutex& m_;
};

void ensure_types() {
  MutexGuard guard(g_types_lock);
  if (g_types_ready) return;
  for (const ClassRow& row : kClasses) row.create();
  g_types_ready = true;
}

// Sets `name` on the module and appends it to `__all__` (made on first use).
void add(PyObject* module, const char* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* raw = nullptr;
  if (PyDict_GetItemStringRef(dict, "__all__", &raw) < 0) throw_pyerr();
  Ref all = Ref::steal(raw);
  if (!all) {
    all = Ref::checked(PyList_New(0));
    if (PyDict_SetItemString(dict, "__all__", all.get()) < 0) throw_pyerr();
  } else if (!PyList_Check(all.get())) {
    raise(PyExc_TypeError, "__all__ must be a list");
  }
  Ref text = Ref::checked(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) < 0) throw_pyerr();
  if (PyModule_AddObjectRef(module, name, value) < 0) throw_pyerr();
}

int exec_module(PyObject* module) {
  return exception_barrier([&]() -> int {
    ensure_types();
    install_lock_wait_hooks();
    for (const ClassRow& row : kClasses) add(module, row.name, reinterpret_cast<PyObject*>(row.get()));
    Ref module_name = Ref::checked(PyUnicode_FromString(kPublicModule));
    Ref fn = Ref::checked(PyCFunction_NewEx(&g_version_def, module, module_name.get()));
    add(module, "version", fn.get());
    return 0;
  });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "tavrine_core._core",
    "",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tavrine::py

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&tavrine::py::g_def); }
