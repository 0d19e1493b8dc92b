#pragma once
// The arguments and results shared by the reduction methods of GraphStore
// (reduction_methods.cpp) and the finalize methods of IncrementalReducer.
#include <optional>
#include <vector>

#include "lib/pyref.h"
#include "optimizer/reduce.h"

namespace tavrine::py {

// The report dict: the six counts under their names.
PyObject* report_dict(const opt::ReductionReport& report);
// (reduced GraphStore, report dict).
PyObject* reduction_tuple(opt::ReductionResult result);
// (reduced GraphStore, report dict, list of output ids).
PyObject* reduction_triple(opt::ReductionResult result);
// `maximal_fusion`, then `outputs`, converted with their argument prefixes.
bool fusion_arg(PyObject* obj);
std::optional<std::vector<NodeId>> outputs_arg(PyObject* obj);

}  // namespace tavrine::py
