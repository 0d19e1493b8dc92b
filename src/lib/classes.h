#pragma once
// The module's classes are heap types built from a type description: immutable (no
// attribute can be set on the class), not subclassable, and without an
// instance dict, so instances change state only through their methods.
#include "lib/pyref.h"

namespace tavrine::py {

// `slots` must outlive the class (a static array); `name` is the qualified
// name ("tavrine_core.GraphStore").
inline PyTypeObject* make_class(const char* name, std::size_t basicsize, PyType_Slot* slots) {
  PyType_Spec description = {name, static_cast<int>(basicsize), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&description)));
}

}  // namespace tavrine::py
