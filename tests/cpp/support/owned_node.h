#pragma once
// Owned Node values for tests and benchmarks: encoding a Node into a
// payload, interning it, reading a stored node back as a Node, and the
// canonical text of an owned parameter map. Production code records
// borrowed payload bytes (NodeRef) and reads through views; these turn the
// plain value types of store/node.h into those forms and back.
#include <span>
#include <string>
#include <string_view>

#include "store/node.h"
#include "store/payload.h"
#include "store/store.h"
#include "support/expected.h"

namespace tavrine {

// Appends the whole payload of a node given by its fields (only those of
// the kind are read). An External without a descriptor is refused with
// std::invalid_argument.
void encode_payload(std::string& out, NodeKind kind, std::string_view name, const ParamMap& params,
                    const PayloadDescriptor* descriptor, std::span<const StageMember> members);

// A payload encoded into owned bytes.
struct EncodedPayload {
  NodeKind kind = NodeKind::Source;
  std::string bytes;
  bool has_nan = false;
  PayloadKey key() const noexcept { return PayloadKey{kind, bytes, has_nan}; }
  static EncodedPayload of(const Node& node);
  // Encodes the given fields in place of this payload's (only those of the
  // kind are read; no params is the empty map) and returns the node with
  // `inputs`, which borrows these bytes.
  NodeRef set(NodeKind kind, std::string_view name, const ParamMap* params, const PayloadDescriptor* descriptor,
              std::span<const StageMember> members, std::span<const NodeId> inputs);
};

// Records the node (Store::intern of its encoding; a Source's inputs are
// ignored).
Expected<NodeId, BadNodeId> intern(Store& store, const Node& node);

// Owned copies of stored parts.
ParamValue to_value(const ParamValueRef& v);
ParamMap to_map(ParamsView params);
PayloadDescriptor to_descriptor(const DescriptorView& d);
StageMember to_member(const MemberRef& m);
Node to_node(const NodeView& view);

// The canonical parameter text of an owned map (append_param_text of its
// encoding).
std::string canonical_param_text(const ParamMap& params);

namespace opt {
// The symbol of an owned node (append_payload_symbol of its encoding).
std::string node_symbol(const Node& node);
}  // namespace opt

}  // namespace tavrine
