// GraphStore.reduce, reduce_incremental, reduction_report and
// reduce_with_output_ids, and what they share with IncrementalReducer's
// finalize methods. The arguments are converted first; the reduction then
// runs on a snapshot without any lock held, and the result objects are
// built after it returned.
#include "lib/reduction_methods.h"

#include "lib/convert.h"
#include "lib/detach.h"
#include "lib/graph_store.h"
#include "lib/methods.h"

namespace tavrine::py {

PyObject* report_dict(const opt::ReductionReport& report) {
  // The keys go in in field order; callers look values up by key.
  Ref d = Ref::checked(PyDict_New());
  for (const opt::ReportEntry& e : opt::report_entries(report)) {
    Ref value = Ref::checked(PyLong_FromUnsignedLongLong(e.value));
    if (PyDict_SetItemString(d.get(), e.name, value.get()) < 0) throw_pyerr();
  }
  return d.release();
}

PyObject* reduction_tuple(opt::ReductionResult result) {
  Ref report = Ref::checked(report_dict(result.report));
  Ref store = Ref::checked(wrap_store(std::move(result.store)));
  return check(PyTuple_Pack(2, store.get(), report.get()));
}

PyObject* reduction_triple(opt::ReductionResult result) {
  Ref ids = Ref::checked(PyList_New(static_cast<Py_ssize_t>(result.output_ids.size())));
  for (std::size_t i = 0; i < result.output_ids.size(); ++i) {
    PyList_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), id_to_py(result.output_ids[i]));
  }
  Ref pair = Ref::checked(reduction_tuple(std::move(result)));
  return check(PyTuple_Pack(3, PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1), ids.get()));
}

bool fusion_arg(PyObject* obj) {
  if (obj == nullptr) return false;
  return convert_arg("maximal_fusion", [&] { return to_flag(obj); });
}

std::optional<std::vector<NodeId>> outputs_arg(PyObject* obj) {
  return convert_arg("outputs", [&] { return to_optional_ids(obj); });
}

namespace {

opt::ReductionResult reduce_detached(PyObject* self, bool maximal_fusion,
                                     const std::optional<std::vector<NodeId>>& outputs) {
  std::optional<std::span<const NodeId>> ids;
  if (outputs) ids = std::span<const NodeId>(*outputs);
  const Store& store = store_of(self);
  auto result = run_detached(store.node_count(), [&](Interrupt* interrupt) {
    return opt::reduce_store(store, ids, maximal_fusion, nullptr, interrupt);
  });
  if (!result) raise_bad_node_id(result.error());
  return std::move(*result);
}

}  // namespace

PyObject* store_reduce(PyObject* self, const BoundArgs& args) {
  bool maximal = fusion_arg(args[0]);
  auto outputs = outputs_arg(args[1]);
  return reduction_tuple(reduce_detached(self, maximal, outputs));
}

PyObject* store_reduce_incremental(PyObject* self, const BoundArgs& args) {
  auto outputs = outputs_arg(args[0]);
  return reduction_tuple(reduce_detached(self, false, outputs));
}

PyObject* store_reduce_with_output_ids(PyObject* self, const BoundArgs& args) {
  bool maximal = fusion_arg(args[0]);
  auto outputs = outputs_arg(args[1]);
  return reduction_triple(reduce_detached(self, maximal, outputs));
}

PyObject* store_reduction_report(PyObject* self, const BoundArgs& args) {
  auto outputs = outputs_arg(args[0]);
  return report_dict(reduce_detached(self, false, outputs).report);
}

}  // namespace tavrine::py
