// The floor of nodes(): the time the interpreter itself needs to build the
// same list of dicts, in C, for the graph of a blob (bench/blob_bench.py
// hands it the graph it measures nodes() on).
//
//   build/bench/nodes_floor BLOB
//
// Per node a dict built item by item with PyDict_SetItem, keys made once
// and shared, one name object per payload, a new int per id (and per input)
// and a params dict with its values; the list is sized up front. Stage
// members and descriptors are left out (the benchmark graph has no Stage,
// and a descriptor dict costs the same in both). The collector stays on, as
// a caller of nodes() would have it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "blob/blob.h"
#include "store/payload.h"

namespace {

using namespace tavrine;

PyObject* text(std::string_view s) { return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr); }

PyObject* value_of(const ParamValueRef& v) {
  switch (v.tag()) {
    case ParamValue::Tag::Int: return PyLong_FromLongLong(v.as_int());
    case ParamValue::Tag::Float: return PyFloat_FromDouble(v.as_float());
    case ParamValue::Tag::Bool: return Py_NewRef(v.as_bool() ? Py_True : Py_False);
    case ParamValue::Tag::Str: return text(v.as_str());
  }
  return nullptr;
}

double build_once(const Snapshot& snap, PyObject* const keys[6], PyObject* const kinds[6]) {
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<PyObject*> names(snap.payload_count(), nullptr);
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(snap.size()));
  for (NodeId id = 0; id < snap.end_id(); ++id) {
    const NodeView n = snap.node(id);
    PyObject* d = PyDict_New();
    PyObject* id_int = PyLong_FromUnsignedLongLong(id);
    const auto in = n.inputs();
    PyObject* inputs = PyList_New(static_cast<Py_ssize_t>(in.size()));
    for (std::size_t k = 0; k < in.size(); ++k) {
      PyList_SET_ITEM(inputs, static_cast<Py_ssize_t>(k), PyLong_FromUnsignedLongLong(in[k]));
    }
    PyObject*& name = names[n.payload_id()];
    if (name == nullptr) name = text(n.name());
    PyObject* params = PyDict_New();
    for (const ParamRef p : n.params()) {
      PyObject* key = text(p.key);
      PyObject* value = value_of(p.value);
      PyDict_SetItem(params, key, value);
      Py_DECREF(key);
      Py_DECREF(value);
    }
    PyDict_SetItem(d, keys[0], id_int);
    PyDict_SetItem(d, keys[1], Py_False);
    PyDict_SetItem(d, keys[2], inputs);
    PyDict_SetItem(d, keys[3], kinds[static_cast<int>(n.kind())]);
    PyDict_SetItem(d, keys[4], name);
    PyDict_SetItem(d, keys[5], params);
    Py_DECREF(id_int);
    Py_DECREF(inputs);
    Py_DECREF(params);
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(id), d);
  }
  const auto t1 = std::chrono::steady_clock::now();
  Py_DECREF(list);
  for (PyObject* name : names) Py_XDECREF(name);
  return std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: nodes_floor BLOB\n");
    return 2;
  }
  std::ifstream f(argv[1], std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  auto store = read_blob(bytes);
  if (!store) {
    std::fprintf(stderr, "nodes_floor: %s\n", store.error().message().c_str());
    return 1;
  }
  const Snapshot snap = (*store)->snapshot();
  Py_Initialize();
  const char* key_names[6] = {"id", "output", "inputs", "kind", "name", "params"};
  PyObject* keys[6];
  for (int k = 0; k < 6; ++k) keys[k] = PyUnicode_InternFromString(key_names[k]);
  PyObject* kinds[6];
  for (int k = 0; k < 6; ++k) kinds[k] = PyUnicode_InternFromString(std::string(kind_name(static_cast<NodeKind>(k))).c_str());
  double best = 1e9;
  for (int rep = 0; rep < 3; ++rep) best = std::min(best, build_once(snap, keys, kinds));
  std::printf("%.1f\n", best / static_cast<double>(snap.size()) * 1e9);
  Py_FinalizeEx();
  return 0;
}
