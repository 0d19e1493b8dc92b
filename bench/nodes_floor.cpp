// The floor of nodes(): the time the interpreter itself needs to build the
// same list of dicts in C, for the same graph shape as bench/blob_bench.py
// measures (two-input ops without params): per node a dict of six items
// with a new int id, a two-int input list, shared kind and name texts and an
// empty params dict, each item set with PyDict_SetItem. Run with the
// collector on, as a caller of nodes() would have it.
//
//   build/bench/nodes_floor [nodes]
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

double build_once(Py_ssize_t n, PyObject* const keys[6], PyObject* kind, PyObject* name) {
  const auto t0 = std::chrono::steady_clock::now();
  PyObject* list = PyList_New(n);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* d = PyDict_New();
    PyObject* id = PyLong_FromSsize_t(i);
    PyObject* inputs = PyList_New(2);
    PyList_SET_ITEM(inputs, 0, PyLong_FromSsize_t(i > 0 ? i - 1 : 0));
    PyList_SET_ITEM(inputs, 1, PyLong_FromSsize_t(i > 1 ? i - 2 : 0));
    PyObject* params = PyDict_New();
    PyDict_SetItem(d, keys[0], id);
    PyDict_SetItem(d, keys[1], Py_False);
    PyDict_SetItem(d, keys[2], inputs);
    PyDict_SetItem(d, keys[3], kind);
    PyDict_SetItem(d, keys[4], name);
    PyDict_SetItem(d, keys[5], params);
    Py_DECREF(id);
    Py_DECREF(inputs);
    Py_DECREF(params);
    PyList_SET_ITEM(list, i, d);
  }
  const auto t1 = std::chrono::steady_clock::now();
  Py_DECREF(list);
  return std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const Py_ssize_t n = argc > 1 ? std::atol(argv[1]) : 1000000;
  Py_Initialize();
  const char* names[6] = {"id", "output", "inputs", "kind", "name", "params"};
  PyObject* keys[6];
  for (int k = 0; k < 6; ++k) keys[k] = PyUnicode_InternFromString(names[k]);
  PyObject* kind = PyUnicode_InternFromString("op");
  PyObject* name = PyUnicode_FromString("add");
  double best = 1e9;
  for (int rep = 0; rep < 5; ++rep) best = std::min(best, build_once(n, keys, kind, name));
  std::printf("nodes() floor: %.1f ns/node (%zd dicts built with the plain C API, collector on)\n", best / n * 1e9,
              static_cast<std::size_t>(n));
  Py_FinalizeEx();
  return 0;
}
