// Self-timing benchmarks of the e-graph engine:
//   1. adding 10^6 e-nodes (e-nodes/s),
//   2. rebuild after 10^5 unions,
//   3. a full run of the optimizer's twelve rules over a 10^6-node symbol graph.
// The graph is generated here with a fixed seed: 30% commutative two-input ops over the
// eight commutative words (a sixth of them also present in swapped form), 5% identity ops
// with the exact identity symbol texts, the rest leaves ("src|...") and other ops.
//
// Usage: egraph_bench [nodes=1000000] [repeats=3]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "egraph/egraph.h"

using namespace egraph;
using Clock = std::chrono::steady_clock;

namespace {

double secs_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Process CPU time: on a shared machine it is less disturbed by other processes than the
// wall clock, so both are reported.
double cpu_now() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The bench's numbering of texts, as a caller keeps one per run: values from 1 in order of
// first use.
class Numbering final : public SymbolSource {
 public:
  Symbol symbol(std::string_view text) override {
    const auto [it, added] = values_.try_emplace(std::string(text), static_cast<std::uint32_t>(values_.size() + 1));
    return Symbol::from_value(it->second);
  }

 private:
  std::unordered_map<std::string, std::uint32_t> values_;
};

Numbering& numbering() {
  static Numbering n;
  return n;
}

// Best (smallest) wall and CPU seconds over the repetitions of one measurement.
struct Best {
  double wall = 1e30, cpu = 1e30;
  template <class F>
  void measure(F&& f) {
    const auto t0 = Clock::now();
    const double c0 = cpu_now();
    f();
    cpu = std::min(cpu, cpu_now() - c0);
    wall = std::min(wall, secs_since(t0));
  }
};

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

const char* const kWords[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};
const char* const kIdentity[] = {"op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
                                 "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
const char* const kUnary[] = {"op|neg", "op|exp", "op|log", "op|abs", "red|sum", "op|add|scalar=i0;side=sr"};
const char* const kBinary[] = {"op|sub", "op|div", "op|pow", "op|add|scalar=f0000000000000000", "op|atan2"};

struct SymNode {
  std::string text;
  std::vector<std::uint32_t> children;
};

std::vector<SymNode> make_graph(std::size_t n, std::uint64_t seed) {
  Rng rng{seed};
  std::vector<SymNode> out;
  out.reserve(n);
  auto child = [&]() -> std::uint32_t {
    const std::size_t have = out.size();
    if (rng.next() & 1) return static_cast<std::uint32_t>(have - 1 - rng.below(std::min<std::size_t>(have, 64)));
    return static_cast<std::uint32_t>(rng.below(have));
  };
  while (out.size() < n) {
    const std::size_t r = out.size() < 16 ? 99 : rng.below(100);
    if (r < 25) {  // commutative two-input op; a sixth also present swapped (30% in all)
      const std::string op = std::string("op|") + kWords[rng.below(8)];
      const std::uint32_t a = child(), b = child();
      out.push_back({op, {a, b}});
      if (rng.below(5) == 0 && out.size() < n) out.push_back({op, {b, a}});
    } else if (r < 30) {  // identity op
      out.push_back({kIdentity[rng.below(4)], {child()}});
    } else if (r < 50) {
      out.push_back({kUnary[rng.below(6)], {child()}});
    } else if (r < 65) {
      out.push_back({kBinary[rng.below(5)], {child(), child()}});
    } else if (r < 70) {
      out.push_back({"op|where", {child(), child(), child()}});
    } else {
      out.push_back({"src|v" + std::to_string(out.size()), {}});
    }
  }
  return out;
}

std::vector<Rewrite> twelve_rules() {
  std::vector<Rewrite> rules;
  for (const char* w : kWords) {
    rules.push_back(Rewrite::make_or_panic(std::string("commute-") + w,
                                           Pattern::parse_or_panic(std::string("(op|") + w + " ?a ?b)", numbering()),
                                           Pattern::parse_or_panic(std::string("(op|") + w + " ?b ?a)", numbering()),
                                           numbering()));
  }
  for (int k = 0; k < 4; ++k) {
    rules.push_back(Rewrite::make_or_panic("identity-" + std::to_string(k),
                                           Pattern::parse_or_panic(std::string("(") + kIdentity[k] + " ?x)", numbering()),
                                           Pattern::parse_or_panic("?x", numbering()), numbering()));
  }
  return rules;
}

struct Interned {
  std::vector<Symbol> ops;
  std::vector<std::uint32_t> child_off;
  std::vector<std::uint32_t> kids;
};

Interned intern_all(const std::vector<SymNode>& g) {
  Interned out;
  out.ops.reserve(g.size());
  out.child_off.reserve(g.size() + 1);
  for (const SymNode& n : g) {
    out.ops.push_back(numbering().symbol(n.text));
    out.child_off.push_back(static_cast<std::uint32_t>(out.kids.size()));
    out.kids.insert(out.kids.end(), n.children.begin(), n.children.end());
  }
  out.child_off.push_back(static_cast<std::uint32_t>(out.kids.size()));
  return out;
}

// Adds every node (children mapped through the ids recorded so far), as the optimizer does.
EGraph add_all(const Interned& in, std::vector<ClassId>& ids, EGraph* start = nullptr) {
  EGraph g = start ? std::move(*start) : EGraph();
  ids.assign(in.ops.size(), 0);
  std::vector<ClassId> kids;
  for (std::size_t i = 0; i < in.ops.size(); ++i) {
    kids.clear();
    for (std::uint32_t k = in.child_off[i]; k < in.child_off[i + 1]; ++k) kids.push_back(ids[in.kids[k]]);
    ids[i] = g.find(g.add(in.ops[i], kids));
  }
  return g;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
  std::printf("e-graph benchmark: %zu-node symbol graph, seed 42, best of %d\n", n, repeats);

  auto t0 = Clock::now();
  const std::vector<SymNode> graph = make_graph(n, 42);
  std::printf("  generate graph            %8.3f s\n", secs_since(t0));
  t0 = Clock::now();
  const Interned in = intern_all(graph);
  const double t_intern = secs_since(t0);
  std::printf("  intern %zu texts       %8.3f s  (%.1f ns/text)\n", n, t_intern, t_intern * 1e9 / n);

  // 1. Adding e-nodes (as the optimizer does: one add per node, then find).
  std::vector<ClassId> ids;
  Best add;
  for (int r = 0; r < repeats; ++r) {
    EGraph g;
    add.measure([&] { g = add_all(in, ids); });
    if (r == 0) std::printf("  e-graph: %zu ids, %zu classes\n", g.number_of_ids(), g.number_of_classes());
  }
  Best add_reserved, add_graph;
  for (int r = 0; r < repeats; ++r) {
    EGraph g;
    add_reserved.measure([&] {
      g.reserve(n, in.kids.size());
      g = add_all(in, ids, &g);
    });
  }
  std::vector<ClassId> ids2(n);
  for (int r = 0; r < repeats; ++r) {
    EGraph g;
    add_graph.measure([&] {
      g.reserve(n, in.kids.size());
      g.add_graph(in.ops, in.child_off, in.kids, ids2);
    });
  }
  if (ids2 != ids) {
    std::printf("add_graph disagrees with add\n");
    return 1;
  }
  std::printf("[add]     %zu e-nodes: wall %.3f s = %.1f ns/op = %.2f M e-nodes/s;  cpu %.3f s = %.1f ns/op = %.2f M e-nodes/s\n",
              n, add.wall, add.wall * 1e9 / n, n / add.wall / 1e6, add.cpu, add.cpu * 1e9 / n, n / add.cpu / 1e6);
  std::printf("          with reserve: wall %.1f ns/op = %.2f M e-nodes/s;  cpu %.1f ns/op = %.2f M e-nodes/s\n",
              add_reserved.wall * 1e9 / n, n / add_reserved.wall / 1e6, add_reserved.cpu * 1e9 / n,
              n / add_reserved.cpu / 1e6);
  std::printf("          add_graph + reserve: wall %.1f ns/op = %.2f M e-nodes/s;  cpu %.1f ns/op = %.2f M e-nodes/s\n",
              add_graph.wall * 1e9 / n, n / add_graph.wall / 1e6, add_graph.cpu * 1e9 / n, n / add_graph.cpu / 1e6);
  Best first_rebuild;
  for (int r = 0; r < repeats; ++r) {
    EGraph g = add_all(in, ids);
    first_rebuild.measure([&] { g.rebuild(); });
  }
  std::printf("[rebuild] first, after adding (links parent lists): wall %.3f s, cpu %.3f s\n", first_rebuild.wall,
              first_rebuild.cpu);

  // 2. Rebuild after 10^5 unions of random leaf pairs (congruences then cascade upwards).
  {
    std::vector<ClassId> leaves;
    for (std::size_t i = 0; i < n; ++i) {
      if (graph[i].children.empty()) leaves.push_back(ids[i]);
    }
    const std::size_t unions = std::min<std::size_t>(100000, leaves.size() / 2);
    Best uni, reb;
    std::size_t merges = 0, classes_after = 0;
    for (int r = 0; r < repeats; ++r) {
      EGraph g = add_all(in, ids);
      g.rebuild();
      Rng rng{7};
      uni.measure([&] {
        for (std::size_t u = 0; u < unions; ++u) {
          g.union_classes(leaves[rng.below(leaves.size())], leaves[rng.below(leaves.size())]);
        }
      });
      reb.measure([&] { merges = g.rebuild(); });
      classes_after = g.number_of_classes();
    }
    std::printf("[unions]  %zu unions: wall %.3f s = %.1f ns/op;  cpu %.3f s\n", unions, uni.wall,
                uni.wall * 1e9 / unions, uni.cpu);
    std::printf("[rebuild] after %zu unions: wall %.3f s, cpu %.3f s  (%zu congruence merges, %zu classes left)\n",
                unions, reb.wall, reb.cpu, merges, classes_after);
  }

  // 3. The twelve rules over the graph, with the optimizer's settings (the run includes the
  //    runner's first rebuild).
  {
    const std::vector<Rewrite> rules = twelve_rules();
    Best run;
    std::vector<IterationRecord> best_iters;
    std::string stop_text;
    std::size_t classes_after = 0, size_after = 0;
    for (int r = 0; r < repeats; ++r) {
      EGraph g = add_all(in, ids);
      Runner runner;
      const double before = run.wall;
      run.measure([&] { runner.with_egraph(std::move(g)).with_iter_limit(12).with_node_limit(4 * n + 1024).run(rules); });
      if (r > 0 && !(run.wall < before)) continue;
      best_iters = runner.iterations();
      std::ostringstream stop;
      stop << *runner.stop_reason();
      stop_text = stop.str();
      classes_after = runner.egraph().number_of_classes();
      size_after = runner.egraph().total_size();
    }
    std::printf("[run]     twelve rules: wall %.3f s, cpu %.3f s (best of %d): stop %s after %zu iterations, "
                "%zu -> %zu classes, total size %zu\n",
                run.wall, run.cpu, repeats, stop_text.c_str(), best_iters.size(), best_iters[0].egraph_classes,
                classes_after, size_after);
    for (std::size_t i = 0; i < best_iters.size(); ++i) {
      const IterationRecord& it = best_iters[i];
      std::size_t applied = 0;
      for (const auto& [name, k] : it.applied) applied += k;
      std::printf("          iter %2zu: %7.1f ms (search %6.1f, apply %6.1f, rebuild %6.1f)  size %zu, classes %zu, "
                  "applied %zu, rebuild merges %zu\n",
                  i, it.total_time * 1e3, it.search_time * 1e3, it.apply_time * 1e3, it.rebuild_time * 1e3,
                  it.egraph_nodes, it.egraph_classes, applied, it.n_rebuilds);
    }
  }
  return 0;
}
