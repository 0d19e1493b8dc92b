#pragma once
// The Python class IncrementalReducer: one opt::IncrementalReducer per
// object. The reducer locks itself; its methods convert their arguments
// before calling it and build their results after it returned.
#include "lib/pyref.h"

namespace tavrine::py {

// Creates the class; called once per process by the module's exec step.
PyTypeObject* create_incremental_reducer_type();
// The class (nullptr before the module was first executed).
PyTypeObject* incremental_reducer_type() noexcept;

}  // namespace tavrine::py
