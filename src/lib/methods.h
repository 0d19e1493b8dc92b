#pragma once
// GraphStore methods whose bodies live outside graph_store.cpp, grouped by
// what they serve: the listings (listing.cpp), the blob (blob_io.cpp) and
// the reductions (reduction_methods.cpp). graph_store.cpp lists them in the
// class's method table.
#include "lib/binding.h"

namespace tavrine::py {

// listing.cpp
PyObject* store_nodes(PyObject* self);
PyObject* store_to_dot(PyObject* self);

// blob_io.cpp
inline constexpr ParamSpec kSerializeParams[] = {{"outputs", false}};
inline constexpr Signature kSerialize = make_signature("GraphStore.serialize()", kSerializeParams, 1);
PyObject* store_serialize(PyObject* self, const BoundArgs& args);

inline constexpr ParamSpec kDeserializeParams[] = {{"data", true}};
inline constexpr Signature kDeserialize = make_signature("GraphStore.deserialize()", kDeserializeParams, 1);
PyObject* store_deserialize(PyObject* self, const BoundArgs& args);

// reduction_methods.cpp
inline constexpr ParamSpec kReduceParams[] = {{"maximal_fusion", false}, {"outputs", false}};
inline constexpr Signature kReduce = make_signature("GraphStore.reduce()", kReduceParams, 0);
PyObject* store_reduce(PyObject* self, const BoundArgs& args);

inline constexpr ParamSpec kOutputsOnlyParams[] = {{"outputs", false}};
inline constexpr Signature kReduceIncremental =
    make_signature("GraphStore.reduce_incremental()", kOutputsOnlyParams, 0);
PyObject* store_reduce_incremental(PyObject* self, const BoundArgs& args);

inline constexpr Signature kReductionReport = make_signature("GraphStore.reduction_report()", kOutputsOnlyParams, 0);
PyObject* store_reduction_report(PyObject* self, const BoundArgs& args);

inline constexpr Signature kReduceWithOutputIds =
    make_signature("GraphStore.reduce_with_output_ids()", kReduceParams, 0);
PyObject* store_reduce_with_output_ids(PyObject* self, const BoundArgs& args);

}  // namespace tavrine::py
