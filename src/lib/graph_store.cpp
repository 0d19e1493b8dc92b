#include "lib/graph_store.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "lib/binding.h"
#include "lib/classes.h"
#include "lib/convert.h"
#include "lib/methods.h"
#include "support/panic.h"

namespace tavrine::py {

namespace {

// Shared, so that a call handed the object as an argument can keep the
// store alive for as long as it runs, whatever becomes of the object.
using GraphStoreClass = NativeClass<std::shared_ptr<Store>>;

constexpr Signature kNew = make_signature("GraphStore.__new__()");

PyObject* graph_store_new(PyTypeObject* type, const BoundArgs& /*args*/) {
  return GraphStoreClass::make(type, std::make_shared<Store>());
}

PyObject* id_result(const Expected<NodeId, BadNodeId>& result) {
  if (!result) raise_bad_node_id(result.error());
  return id_to_py(*result);
}

// Encodes the node's payload and interns it. Runs after every argument is
// converted, so no Python code can run between the two steps, and the
// scratch bytes can be per thread.
Expected<NodeId, BadNodeId> intern(PyObject* self, NodeKind kind, std::string_view name, const ParamMap& params,
                                   std::span<const NodeId> inputs, const PayloadDescriptor* descriptor = nullptr) {
  // The common payload, a short name without params, is encoded on the stack.
  constexpr std::size_t kShort = 56;
  if (params.empty() && descriptor == nullptr && kind_has_name(kind) && name.size() <= kShort) {
    char buf[kShort + 8];
    enc::store_u32(buf, static_cast<std::uint32_t>(name.size()));
    std::memcpy(buf + 4, name.data(), name.size());
    enc::store_u32(buf + 4 + name.size(), 0);
    return store_of(self).intern(NodeRef{PayloadKey{kind, {buf, name.size() + 8}, false}, inputs});
  }
  thread_local std::string bytes;
  struct Trim {
    // A thread that once recorded a huge payload does not keep its room.
    ~Trim() {
      if (bytes.capacity() > (std::size_t{1} << 16)) std::string().swap(bytes);
    }
  } trim;
  bytes.clear();
  PayloadEncoder enc(bytes);
  if (kind_has_name(kind)) enc.str(name);
  if (descriptor) enc.descriptor(*descriptor);
  const std::size_t params_at = bytes.size();
  enc.params(params);
  const bool nan = has_nan(ParamsView(bytes.data() + params_at));
  return store_of(self).intern(NodeRef{PayloadKey{kind, bytes, nan}, inputs});
}

// The most common recording call, add_op(name, [a, b]): an exact ASCII str
// name, an exact list or tuple of at most four small non-negative ints, no
// params. It is converted and interned here without the general machinery;
// any other call (or an id that names no node) returns nullptr without an
// error set, and the general path takes over from the start, with the same
// outcome as if this had not been tried.
PyObject* quick_named(PyObject* self, NodeKind kind, const BoundArgs& args) {
  PyObject* name = args[0];
  PyObject* list = args[1];
  PyObject* params = args[2];
  if ((params != nullptr && params != Py_None) || !PyUnicode_CheckExact(name) || !PyUnicode_IS_COMPACT_ASCII(name)) {
    return nullptr;
  }
  const Py_ssize_t name_len = PyUnicode_GET_LENGTH(name);
  constexpr Py_ssize_t kShortName = 48;
  constexpr Py_ssize_t kFewInputs = 4;
  if (name_len > kShortName) return nullptr;
  NodeId ids[kFewInputs];
  Py_ssize_t n = 0;
  bool ok = false;
  if (PyList_CheckExact(list)) {
    // Another thread may resize the list (free-threaded build): the
    // critical section keeps its items in place while they are read.
    Py_BEGIN_CRITICAL_SECTION(list);
    n = PyList_GET_SIZE(list);
    ok = n <= kFewInputs && read_small_ids(PySequence_Fast_ITEMS(list), n, ids);
    Py_END_CRITICAL_SECTION();
  } else if (PyTuple_CheckExact(list)) {
    n = PyTuple_GET_SIZE(list);
    ok = n <= kFewInputs && read_small_ids(PySequence_Fast_ITEMS(list), n, ids);
  }
  if (!ok) return nullptr;
  char buf[kShortName + 8];
  enc::store_u32(buf, static_cast<std::uint32_t>(name_len));
  std::memcpy(buf + 4, PyUnicode_DATA(name), static_cast<std::size_t>(name_len));
  enc::store_u32(buf + 4 + name_len, 0);
  const PayloadKey payload{kind, {buf, static_cast<std::size_t>(name_len) + 8}, false};
  auto id = store_of(self).intern(NodeRef{payload, {ids, static_cast<std::size_t>(n)}});
  if (!id) return nullptr;
  return id_to_py(*id);
}

std::string_view name_arg(PyObject* obj) {
  return convert_arg("name", [&] { return to_text(obj); });
}

void inputs_arg(PyObject* obj, IdBuffer& out) {
  convert_arg("inputs", [&] { to_ids(obj, out); });
}

// ---- recording ----------------------------------------------------------------
// Each converts its arguments in the order below, then interns once.

constexpr ParamSpec kAddSourceParams[] = {{"name", true}, {"params", false}};
constexpr Signature kAddSource = make_signature("GraphStore.add_source()", kAddSourceParams, 2);

PyObject* add_source(PyObject* self, const BoundArgs& args) {
  std::string_view name = name_arg(args[0]);
  ParamMap params = to_params(args[1]);
  auto id = intern(self, NodeKind::Source, name, params, {});
  if (!id) panic("source has no inputs");
  return id_to_py(*id);
}

// add_op and add_reduction: a named node with inputs, of the kind in the
// method's name.
constexpr ParamSpec kAddNamedParams[] = {{"name", true}, {"inputs", true}, {"params", false}};
constexpr Signature kAddOp = make_signature("GraphStore.add_op()", kAddNamedParams, 3);
constexpr Signature kAddReduction = make_signature("GraphStore.add_reduction()", kAddNamedParams, 3);

template <NodeKind Kind>
PyObject* add_named(PyObject* self, const BoundArgs& args) {
  if (PyObject* id = quick_named(self, Kind, args)) return id;
  std::string_view name = name_arg(args[0]);
  IdBuffer inputs;
  inputs_arg(args[1], inputs);
  ParamMap params = to_params(args[2]);
  return id_result(intern(self, Kind, name, params, inputs.span()));
}

constexpr ParamSpec kAddExternalParams[] = {{"descriptor", true}, {"inputs", true}, {"params", false}};
constexpr Signature kAddExternal = make_signature("GraphStore.add_external()", kAddExternalParams, 3);

PyObject* add_external(PyObject* self, const BoundArgs& args) {
  IdBuffer inputs;
  inputs_arg(args[1], inputs);
  PayloadDescriptor scratch;
  const PayloadDescriptor& descriptor = to_descriptor(args[0], scratch);
  ParamMap params = to_params(args[2]);
  return id_result(intern(self, NodeKind::External, {}, params, inputs.span(), &descriptor));
}

constexpr ParamSpec kAddExchangeParams[] = {{"inputs", true}, {"params", false}};
constexpr Signature kAddExchange = make_signature("GraphStore.add_exchange()", kAddExchangeParams, 2);

PyObject* add_exchange(PyObject* self, const BoundArgs& args) {
  IdBuffer inputs;
  inputs_arg(args[0], inputs);
  ParamMap params = to_params(args[1]);
  return id_result(intern(self, NodeKind::Exchange, {}, params, inputs.span()));
}

// ---- counts and marks -----------------------------------------------------------

PyObject* node_count(PyObject* self) { return id_to_py(store_of(self).node_count()); }

PyObject* outputs(PyObject* self) { return ids_to_list(store_of(self).outputs()); }

// ---- the class ------------------------------------------------------------------

constexpr const char kDoc[] =
    "GraphStore()\n--\n\n"
    "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
    "share across threads under the GIL and free-threaded 3.14t).";

// In this order: add_source, add_op, add_reduction, add_external,
// add_exchange, node_count, to_dot, serialize, deserialize (static), nodes,
// outputs, reduce, reduce_incremental, reduction_report,
// reduce_with_output_ids. A method joins with
// one row here and its body, which receives the bound slots of its
// Signature, for example
//
//   constexpr ParamSpec kReduceParams[] = {{"maximal_fusion", false}, {"outputs", false}};
//   constexpr Signature kReduce = make_signature("GraphStore.reduce()", kReduceParams, 0);
//   PyObject* reduce(PyObject* self, const BoundArgs& args);   // args[0], args[1]
//   ... method_row<kReduce, reduce>("reduce", "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n...")
//
// (static_method_row for deserialize, noargs_row for methods without
// parameters; the converters are in convert.h).
PyMethodDef kMethods[] = {
    method_row<kAddSource, add_source>("add_source", "add_source($self, name, params=None)\n--\n\n"),
    method_row<kAddOp, add_named<NodeKind::Op>>("add_op", "add_op($self, name, inputs, params=None)\n--\n\n"),
    method_row<kAddReduction, add_named<NodeKind::Reduction>>("add_reduction",
                                                            "add_reduction($self, name, inputs, params=None)\n--\n\n"),
    method_row<kAddExternal, add_external>("add_external",
                                           "add_external($self, descriptor, inputs, params=None)\n--\n\n"),
    method_row<kAddExchange, add_exchange>(
        "add_exchange",
        "add_exchange($self, inputs, params=None)\n--\n\n"
        "Record an `Exchange` boundary (plan M39 \u00a72.1). No `name` \u2014 an Exchange's identity is its\n"
        "`scheme` ParamMap (`params`) + its one logical input; `nodes()[i][\"kind\"] == \"exchange\"`."),
    noargs_row<node_count>("node_count", "node_count($self)\n--\n\n"),
    noargs_row<store_to_dot>("to_dot", "to_dot($self)\n--\n\n"),
    method_row<kSerialize, store_serialize>(
        "serialize",
        "serialize($self, outputs=None)\n--\n\n"
        "Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:\n"
        "the serializable IR \u2014 not cloudpickle \u2014 is the canonical durable representation). With\n"
        "`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\n"
        "property of the compile request); the default keeps the marks-based behavior."),
    static_method_row<kDeserialize, store_deserialize>(
        "deserialize",
        "deserialize(data)\n--\n\n"
        "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n"
        "`serialize` of the result is byte-identical to the input (plan M8 determinism gate)."),
    noargs_row<store_nodes>(
        "nodes",
        "nodes($self)\n--\n\n"
        "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n"
        "`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
        "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
        "`descriptor` dict for external nodes and `n_members` for stage nodes."),
    noargs_row<outputs>("outputs",
                        "outputs($self)\n--\n\n"
                        "The marked output node ids, in mark order (what an IR evaluator returns, in order)."),
    method_row<kReduce, store_reduce>(
        "reduce",
        "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
        "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n"
        "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in\n"
        "to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is\n"
        "pinned by the frozen M4 suite)."),
    method_row<kReduceIncremental, store_reduce_incremental>(
        "reduce_incremental",
        "reduce_incremental($self, *, outputs=None)\n--\n\n"
        "One-shot incremental reduction of the current graph (same result as `reduce`). For genuine\n"
        "step-by-step reduction while building, use `IncrementalReducer`."),
    method_row<kReductionReport, store_reduction_report>(
        "reduction_report",
        "reduction_report($self, *, outputs=None)\n--\n\n"
        "The reduction report for the current graph, without keeping the reduced store."),
    method_row<kReduceWithOutputIds, store_reduce_with_output_ids>(
        "reduce_with_output_ids",
        "reduce_with_output_ids($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
        "Reduce exactly as `reduce` does and also say where each output went. Returns\n"
        "(reduced store, report, output_ids): the first two as `reduce` returns them, and\n"
        "`output_ids` a list with one reduced node id per entry of the output list used (the\n"
        "given `outputs`, or the store's marks), in that order, duplicates kept. Outputs proved\n"
        "equal share one id, though the reduced store marks that node once."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* create_graph_store_type() {
  return GraphStoreClass::create(
      {"tavrine_core.GraphStore", kDoc, &constructor_entry<kNew, graph_store_new>, kMethods, nullptr});
}

PyTypeObject* graph_store_type() noexcept { return GraphStoreClass::type(); }

PyObject* wrap_store(std::shared_ptr<Store> store) { return GraphStoreClass::make(std::move(store)); }
PyObject* wrap_store(std::unique_ptr<Store> store) {
  return GraphStoreClass::make(std::shared_ptr<Store>(std::move(store)));
}

Store& store_of(PyObject* self) noexcept { return *GraphStoreClass::value(self); }

const std::shared_ptr<Store>& to_store(PyObject* obj) {
  const std::shared_ptr<Store>* store = GraphStoreClass::value_if(obj);
  if (store == nullptr) raise_type_mismatch(obj, "GraphStore");
  return *store;
}

void raise_bad_node_id(const BadNodeId& error) { raise(PyExc_ValueError, error.message().c_str()); }

}  // namespace tavrine::py
