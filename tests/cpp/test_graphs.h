#pragma once
// Random values and graphs for property-style tests. Every generator draws
// from one seeded engine, so a failing case is reproduced by its seed.
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/node.h"
#include "store/store.h"
#include "support/owned_node.h"

namespace tavrine::testing {

class Gen {
 public:
  explicit Gen(std::uint64_t seed) : rng_(seed) {}

  std::uint64_t bits() { return rng_(); }
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }
  bool chance(int percent) { return below(100) < static_cast<std::uint64_t>(percent); }

  // Texts that stress every escaping rule: the canonical-text specials, the
  // DOT specials, multi-byte characters, controls and near-miss escapes.
  std::string text(std::size_t max_len = 8) {
    static const char* const kPieces[] = {
        "a", "b", "x", "add", "%", ";", "=", "|", "%3B", "%25", "%7C", "%3D", "%2", "\"", "\\",
        "\n", " ", "\t", "é", "ß", "日本", "😀", "\x01", "op|", "red|", "0", "-", "{", "}", ",",
    };
    std::string s;
    const std::size_t n = below(max_len + 1);
    for (std::size_t i = 0; i < n; ++i) s += kPieces[below(std::size(kPieces))];
    return s;
  }

  double interesting_double() {
    switch (below(12)) {
      case 0: return 0.0;
      case 1: return -0.0;
      case 2: return std::numeric_limits<double>::infinity();
      case 3: return -std::numeric_limits<double>::infinity();
      case 4: {  // a NaN with a random sign and payload
        std::uint64_t b = 0x7FF0000000000000ull | (bits() & 0x800FFFFFFFFFFFFFull);
        if ((b & 0x000FFFFFFFFFFFFFull) == 0) b |= 1;
        double d;
        std::memcpy(&d, &b, 8);
        return d;
      }
      case 5: return static_cast<double>(static_cast<std::int64_t>(bits()));  // huge ints as floats
      case 6: return 1e21 * static_cast<double>(below(1000));
      case 7: return static_cast<double>(below(1000)) / 8.0;
      case 8: return std::numeric_limits<double>::denorm_min() * static_cast<double>(below(5) + 1);
      default: {
        std::uint64_t b = bits();
        double d;
        std::memcpy(&d, &b, 8);
        return d;
      }
    }
  }

  ParamValue value() {
    switch (below(4)) {
      case 0: {
        static const std::int64_t kInts[] = {0, 1, -1, INT64_MIN, INT64_MAX, 42};
        return ParamValue::of_int(chance(50) ? kInts[below(6)] : static_cast<std::int64_t>(bits()));
      }
      case 1: return ParamValue::of_float(interesting_double());
      case 2: return ParamValue::of_bool(chance(50));
      default: return ParamValue::of_str(text());
    }
  }

  // Unique keys, sorted: the shape a map built from a Python dict has.
  ParamMap params(std::size_t max_entries = 4) {
    std::vector<Param> entries;
    const std::size_t n = below(max_entries + 1);
    for (std::size_t i = 0; i < n; ++i) {
      std::string key = text(4);
      bool dup = false;
      for (const Param& p : entries) dup = dup || p.key == key;
      if (!dup) entries.push_back(Param{std::move(key), value()});
    }
    return ParamMap::sorted(std::move(entries));
  }

  std::vector<NodeId> inputs(NodeId count, std::size_t max_inputs = 3) {
    std::vector<NodeId> in;
    if (count == 0) return in;
    const std::size_t n = below(max_inputs + 1);
    for (std::size_t i = 0; i < n; ++i) in.push_back(below(count));
    return in;
  }

  std::shared_ptr<const PayloadDescriptor> descriptor() {
    auto d = std::make_shared<PayloadDescriptor>();
    d->kind = text(3);
    d->content_hash = text(3);
    d->framework = text(3);
    d->version = text(3);
    d->io_schema = text(3);
    if (chance(50)) d->preprocessing_ref = text(3);
    return d;
  }

  // A member token as fusion builds it: "op|" or "red|", the escaped name
  // and, with params, "|" and their canonical text.
  std::string member_token() {
    std::string t = chance(50) ? "op|" : "red|";
    append_escaped(t, text(4));
    ParamMap p = params(3);
    if (!p.empty()) {
      t += '|';
      t += canonical_param_text(p);
    }
    return t;
  }

  // A node of any kind whose inputs name nodes below `count`.
  Node node(NodeId count) {
    Node n;
    NodeKind kind = static_cast<NodeKind>(below(kNodeKindCount));
    if (count == 0) kind = chance(50) ? NodeKind::Source : NodeKind::Exchange;
    n.kind = kind;
    if (kind_has_name(kind)) n.name = text(6);
    if (kind != NodeKind::Stage) n.params = params();
    if (kind != NodeKind::Source) n.inputs = inputs(count);
    if (kind == NodeKind::External) n.descriptor = descriptor();
    if (kind == NodeKind::Stage) {
      const std::size_t m = below(4);
      for (std::size_t j = 0; j < m; ++j) {
        StageMember member{member_token(), {}};
        const std::size_t r = below(3);
        for (std::size_t k = 0; k < r; ++k) {
          if (j > 0 && chance(50)) member.refs.push_back(StageRef{StageRef::Kind::Member, below(j)});
          else member.refs.push_back(StageRef{StageRef::Kind::Input, below(n.inputs.size() + 2)});
        }
        n.members.push_back(std::move(member));
      }
    }
    return n;
  }

  // Interns `n_nodes` random nodes (repeats are frequent with small texts,
  // which exercises hash-consing) and marks a few of them.
  std::unique_ptr<Store> store(std::size_t n_nodes, std::size_t n_marks = 3) {
    auto s = std::make_unique<Store>();
    for (std::size_t i = 0; i < n_nodes; ++i) {
      auto id = intern(*s, node(s->node_count()));
      if (!id) throw std::runtime_error("generated node refers to an unknown id");
    }
    const NodeId count = s->node_count();
    for (std::size_t i = 0; i < n_marks && count > 0; ++i) (void)s->mark_output(below(count));
    return s;
  }

 private:
  std::mt19937_64 rng_;
};

}  // namespace tavrine::testing
