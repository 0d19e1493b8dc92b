#pragma once
// The Python class PayloadDescriptor: an immutable PayloadDescriptor value.
#include "lib/pyref.h"
#include "store/node.h"

namespace tavrine::py {

// Creates the class; called once per process by the module's exec step.
PyTypeObject* create_descriptor_type();
// The class (nullptr before the module was first executed).
PyTypeObject* descriptor_type() noexcept;

// The value held by a PayloadDescriptor instance, or nullptr when `obj` is
// not one. Valid as long as `obj` lives.
const PayloadDescriptor* descriptor_value(PyObject* obj) noexcept;

}  // namespace tavrine::py
