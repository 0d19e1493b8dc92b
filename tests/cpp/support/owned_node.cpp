#include "owned_node.h"

#include <memory>
#include <stdexcept>

#include "optimizer/engine.h"

namespace tavrine {

void encode_payload(std::string& out, NodeKind kind, std::string_view name, const ParamMap& params,
                    const PayloadDescriptor* descriptor, std::span<const StageMember> members) {
  PayloadEncoder enc(out);
  switch (kind) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction:
      enc.str(name);
      enc.params(params);
      return;
    case NodeKind::External:
      if (descriptor == nullptr) throw std::invalid_argument("an external node carries a descriptor");
      enc.descriptor(*descriptor);
      enc.params(params);
      return;
    case NodeKind::Stage: {
      MemberEncoder me(out);
      for (const StageMember& m : members) {
        me.member(m.token, m.refs.size());
        for (const StageRef& r : m.refs) me.ref(r.kind, r.index);
      }
      me.finish();
      return;
    }
    case NodeKind::Exchange: enc.params(params); return;
  }
}

namespace {

bool payload_has_nan(const EncodedPayload& e) {
  return e.kind != NodeKind::Stage && has_nan(e.key().view().params());
}

}  // namespace

EncodedPayload EncodedPayload::of(const Node& node) {
  EncodedPayload e;
  e.kind = node.kind;
  encode_payload(e.bytes, node.kind, node.name, node.params, node.descriptor.get(), node.members);
  e.has_nan = payload_has_nan(e);
  return e;
}

NodeRef EncodedPayload::set(NodeKind k, std::string_view name, const ParamMap* params,
                            const PayloadDescriptor* descriptor, std::span<const StageMember> members,
                            std::span<const NodeId> inputs) {
  static const ParamMap kEmpty;
  kind = k;
  bytes.clear();
  encode_payload(bytes, k, name, params ? *params : kEmpty, descriptor, members);
  has_nan = payload_has_nan(*this);
  return NodeRef{key(), k == NodeKind::Source ? std::span<const NodeId>() : inputs};
}

Expected<NodeId, BadNodeId> intern(Store& store, const Node& node) {
  const EncodedPayload payload = EncodedPayload::of(node);
  std::span<const NodeId> inputs = node.kind == NodeKind::Source ? std::span<const NodeId>{} : node.inputs;
  return store.intern(NodeRef{payload.key(), inputs});
}

ParamValue to_value(const ParamValueRef& v) {
  switch (v.tag()) {
    case ParamValue::Tag::Int: return ParamValue::of_int(v.as_int());
    case ParamValue::Tag::Float: return ParamValue::of_float_bits(v.float_bits());
    case ParamValue::Tag::Bool: return ParamValue::of_bool(v.as_bool());
    case ParamValue::Tag::Str: return ParamValue::of_str(std::string(v.as_str()));
  }
  return ParamValue();
}

ParamMap to_map(ParamsView params) {
  ParamMap map;
  map.entries.reserve(params.size());
  for (ParamRef p : params) map.entries.push_back(Param{std::string(p.key), to_value(p.value)});
  return map;
}

PayloadDescriptor to_descriptor(const DescriptorView& d) {
  PayloadDescriptor out{std::string(d.kind()),    std::string(d.content_hash()), std::string(d.framework()),
                        std::string(d.version()), std::string(d.io_schema()),    std::nullopt};
  if (const auto ref = d.preprocessing_ref()) out.preprocessing_ref = std::string(*ref);
  return out;
}

StageMember to_member(const MemberRef& m) {
  StageMember out{std::string(m.token()), {}};
  const std::uint32_t n = m.ref_count();
  out.refs.reserve(n);
  for (std::uint32_t k = 0; k < n; ++k) out.refs.push_back(m.ref(k));
  return out;
}

Node to_node(const NodeView& view) {
  Node n;
  n.kind = view.kind();
  if (kind_has_name(n.kind)) n.name = std::string(view.name());
  if (n.kind != NodeKind::Stage) n.params = to_map(view.params());
  if (n.kind == NodeKind::External) n.descriptor = std::make_shared<const PayloadDescriptor>(to_descriptor(view.descriptor()));
  for (MemberRef m : view.members()) n.members.push_back(to_member(m));
  const auto inputs = view.inputs();
  n.inputs.assign(inputs.begin(), inputs.end());
  return n;
}

std::string canonical_param_text(const ParamMap& params) {
  std::string bytes;
  PayloadEncoder(bytes).params(params);
  std::string out;
  append_param_text(out, ParamsView(bytes.data()));
  return out;
}

namespace opt {

std::string node_symbol(const Node& node) {
  const EncodedPayload p = EncodedPayload::of(node);
  std::string out;
  append_payload_symbol(out, p.key().view());
  return out;
}

}  // namespace opt

}  // namespace tavrine
