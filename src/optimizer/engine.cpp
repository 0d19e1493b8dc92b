#include "optimizer/engine.h"

#include "support/decimal.h"
#include "support/panic.h"

namespace tavrine::opt {

namespace {

void append_params_part(std::string& out, ParamsView params) {
  if (!params.empty()) {
    out += '|';
    append_param_text(out, params);
  }
}

}  // namespace

void append_payload_symbol(std::string& out, const PayloadView& p) {
  switch (p.kind()) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction:
      out += p.kind() == NodeKind::Source ? "src|" : p.kind() == NodeKind::Op ? "op|" : "red|";
      append_escaped(out, p.name());
      append_params_part(out, p.params());
      return;
    case NodeKind::External: {
      const DescriptorView d = p.descriptor();
      out += "ext|";
      for (std::string_view f : {d.kind(), d.content_hash(), d.framework(), d.version(), d.io_schema()}) {
        append_escaped(out, f);
        out += '|';
      }
      if (const auto ref = d.preprocessing_ref()) {
        append_escaped(out, *ref);
      } else {
        out += '%';
      }
      append_params_part(out, p.params());
      return;
    }
    case NodeKind::Stage:
      out += "stage|";
      append_decimal(out, p.members().size());
      for (MemberRef m : p.members()) {
        out += '|';
        append_escaped(out, m.token());
        out += '=';
        for (std::uint32_t k = 0; k < m.ref_count(); ++k) {
          if (k) out += ';';
          const StageRef r = m.ref(k);
          out += r.kind == StageRef::Kind::Input ? 'i' : 'm';
          append_decimal(out, r.index);
        }
      }
      return;
    case NodeKind::Exchange:
      out += "exch";
      append_params_part(out, p.params());
      return;
  }
  panic("node kind is one of the six kinds");
}

void append_node_symbol(std::string& out, const NodeView& n) { append_payload_symbol(out, n.payload().view()); }

std::string node_symbol(const NodeView& n) {
  std::string out;
  append_node_symbol(out, n);
  return out;
}

std::uint64_t SymbolTable::hash(std::string_view text) const noexcept {
  return detail::mix64(detail::hash_bytes(seed_, text));
}

std::pair<std::uint32_t, bool> SymbolTable::intern(std::string_view text) {
  expect(texts_.size() < npos, "fewer than 2^32 - 1 distinct symbols");
  auto [id, added] = texts_.intern(hash(text), text, [](const std::string& stored, std::string_view t) {
    return detail::same_text(stored, t);
  }, [](std::string_view t) { return std::string(t); });
  return {static_cast<std::uint32_t>(id), added};
}

std::uint32_t SymbolTable::find(std::string_view text) const {
  const std::size_t id = texts_.find(hash(text), text, [](const std::string& stored, std::string_view t) {
    return detail::same_text(stored, t);
  });
  return id == texts_.npos ? npos : static_cast<std::uint32_t>(id);
}

void SymbolGraph::check_well_formed() const {
  const std::size_t n = size();
  expect(child_begin_.size() == n + 1 && boundary_.size() == n, "symbol graph arrays agree in length");
  expect(child_begin_[0] == 0 && child_begin_[n] == children_.size(), "symbol graph child offsets cover its children");
  // Plain loops over the arrays, each condition folded into one flag per node, so that
  // checking a graph of millions of nodes costs a few sequential passes.
  const std::size_t symbols = symbols_->size();
  const std::uint32_t* sym = symbol_of_.data();
  const std::uint32_t* begin = child_begin_.data();
  const Pos* kids = children_.data();
  bool ok = true;
  for (Pos i = 0; i < n; ++i) {
    ok &= sym[i] < symbols && begin[i] <= begin[i + 1];
    for (std::uint32_t k = begin[i]; k < begin[i + 1]; ++k) ok &= kids[k] < i;
    if (!ok) break;
  }
  expect(ok, "symbol graph node names a known symbol and earlier children");
  for (Pos r : roots) expect(r < n, "symbol graph root is a node");
}

}  // namespace tavrine::opt
