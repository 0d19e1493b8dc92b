#pragma once
// A deliberately literal, slow model of the e-graph, the matcher and the runner, written
// straight from the algorithm descriptions: e-nodes are copied into parent lists, pending
// entries and memo keys; stale memo keys are kept; every rebuild re-sorts every class; every
// search scans every class in ascending id order. The fast engine must agree with it
// exactly (same class ids, sizes, merge counts, matches) on every sequence of operations.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "support/panic.h"

namespace egraph::reference {

struct NodeHash {
  std::size_t operator()(const SymbolLang& n) const { return n.hash(); }
};

class RefGraph {
 public:
  struct Class {
    std::vector<SymbolLang> nodes;
    std::vector<std::pair<SymbolLang, ClassId>> parents;
  };

  ClassId find(ClassId id) const {
    while (uf_.at(id) != id) id = uf_[id];
    return id;
  }
  ClassId find_mut(ClassId id) {
    while (uf_.at(id) != id) {
      uf_[id] = uf_[uf_[id]];
      id = uf_[id];
    }
    return id;
  }
  SymbolLang canon(SymbolLang n) const {
    for (ClassId& c : n.children) c = find(c);
    return n;
  }
  ClassId add(SymbolLang n) {
    n = canon(n);
    if (auto it = memo_.find(n); it != memo_.end()) return find(it->second);
    const ClassId id = static_cast<ClassId>(uf_.size());
    uf_.push_back(id);
    classes_[id] = Class{{n}, {}};
    for (ClassId c : n.children) classes_.at(c).parents.emplace_back(n, id);
    pending_.emplace_back(n, id);
    memo_.emplace(n, id);
    clean_ = false;
    return id;
  }
  std::optional<ClassId> lookup(const SymbolLang& n) const {
    auto it = memo_.find(canon(n));
    if (it == memo_.end()) return std::nullopt;
    return find(it->second);
  }
  bool unite(ClassId a, ClassId b) {
    clean_ = false;
    ClassId ra = find_mut(a), rb = find_mut(b);
    if (ra == rb) return false;
    if (classes_.at(ra).parents.size() < classes_.at(rb).parents.size()) std::swap(ra, rb);
    uf_[rb] = ra;
    Class loser = std::move(classes_.at(rb));
    classes_.erase(rb);
    pending_.insert(pending_.end(), loser.parents.begin(), loser.parents.end());
    Class& w = classes_.at(ra);
    concat(w.nodes, loser.nodes);
    concat(w.parents, loser.parents);
    return true;
  }
  std::size_t rebuild() {
    std::size_t merges = 0;
    while (!pending_.empty()) {
      auto [n, c] = pending_.back();
      pending_.pop_back();
      for (ClassId& ch : n.children) ch = find_mut(ch);
      auto [it, inserted] = memo_.try_emplace(n, c);
      if (!inserted) {
        const ClassId old = it->second;
        it->second = c;
        if (unite(old, c)) ++merges;
      }
    }
    for (auto& [id, cls] : classes_) {
      for (SymbolLang& n : cls.nodes) {
        for (ClassId& ch : n.children) ch = find_mut(ch);
      }
      std::sort(cls.nodes.begin(), cls.nodes.end());
      cls.nodes.erase(std::unique(cls.nodes.begin(), cls.nodes.end()), cls.nodes.end());
    }
    clean_ = true;
    return merges;
  }

  std::size_t total_size() const { return memo_.size(); }
  std::size_t number_of_classes() const { return classes_.size(); }
  std::size_t number_of_ids() const { return uf_.size(); }
  bool is_clean() const { return clean_; }
  const std::map<ClassId, Class>& classes() const { return classes_; }

 private:
  template <class T>
  static void concat(std::vector<T>& w, std::vector<T>& l) {
    if (l.size() > w.size()) std::swap(w, l);
    w.insert(w.end(), l.begin(), l.end());
  }

  std::vector<ClassId> uf_;
  std::map<ClassId, Class> classes_;
  std::unordered_map<SymbolLang, ClassId, NodeHash> memo_;
  std::vector<std::pair<SymbolLang, ClassId>> pending_;
  bool clean_ = false;
};

// One substitution: values in the order of `vars` of the search.
using Row = std::vector<ClassId>;
struct RefMatches {
  std::vector<Symbol> vars;
  std::vector<std::pair<ClassId, std::vector<Row>>> groups;
  std::size_t total() const {
    std::size_t n = 0;
    for (const auto& g : groups) n += g.second.size();
    return n;
  }
};

// Tree-walking matcher: every way `pos` of `t` matches class `cls`, extending `bind`.
inline void match_rec(const RefGraph& g, const PatternTerm& t, std::size_t pos, ClassId cls,
                      std::vector<std::pair<Symbol, ClassId>>& bind,
                      const std::function<void(std::vector<std::pair<Symbol, ClassId>>&)>& k) {
  const PatternElem& e = t[pos];
  if (e.is_var()) {
    for (const auto& [v, id] : bind) {
      if (v == e.sym) {
        if (g.find(id) == g.find(cls)) k(bind);
        return;
      }
    }
    bind.emplace_back(e.sym, cls);
    k(bind);
    bind.pop_back();
    return;
  }
  for (const SymbolLang& n : g.classes().at(g.find(cls)).nodes) {
    if (n.op != e.sym || n.children.size() != e.children.size()) continue;
    // Match the children left to right.
    std::function<void(std::size_t, std::vector<std::pair<Symbol, ClassId>>&)> child =
        [&](std::size_t i, std::vector<std::pair<Symbol, ClassId>>& b) {
          if (i == e.children.size()) {
            k(b);
            return;
          }
          match_rec(g, t, e.children[i], n.children[i], b, [&](auto& b2) { child(i + 1, b2); });
        };
    child(0, bind);
  }
}

// Every class in ascending order; within a class all matches, truncated to the limit.
inline RefMatches ref_search(const RefGraph& g, const Pattern& p, std::size_t limit) {
  RefMatches out;
  for (const auto& [v, r] : p.program().subst) out.vars.push_back(v);
  if (!g.is_clean() && g.number_of_classes() > 0 && limit > 0) throw tavrine::Panic("Tried to search a dirty e-graph!");
  std::size_t remaining = limit;
  for (const auto& [id, cls] : g.classes()) {
    if (remaining == 0) break;
    std::vector<Row> rows;
    std::vector<std::pair<Symbol, ClassId>> bind;
    match_rec(g, p.term(), p.term().size() - 1, id, bind, [&](auto& b) {
      if (rows.size() >= remaining) return;
      Row row;
      for (Symbol v : out.vars) {
        for (const auto& [bv, bid] : b) {
          if (bv == v) row.push_back(bid);
        }
      }
      rows.push_back(std::move(row));
    });
    if (rows.empty()) continue;
    remaining -= rows.size();
    out.groups.emplace_back(id, std::move(rows));
  }
  return out;
}

inline std::size_t ref_apply(RefGraph& g, const Pattern& p, const RefMatches& m) {
  std::size_t merged = 0;
  const PatternTerm& t = p.term();
  for (const auto& [cls, rows] : m.groups) {
    for (const Row& row : rows) {
      std::vector<ClassId> ids(t.size());
      for (std::size_t i = 0; i < t.size(); ++i) {
        const PatternElem& e = t[i];
        if (e.is_var()) {
          const auto it = std::find(m.vars.begin(), m.vars.end(), e.sym);
          ids[i] = row.at(static_cast<std::size_t>(it - m.vars.begin()));
        } else {
          IdList kids;
          for (ClassId c : e.children) kids.push_back(ids[c]);
          ids[i] = g.add(SymbolLang(e.sym, kids.span()));
        }
      }
      if (g.unite(ids.back(), cls)) ++merged;
    }
  }
  return merged;
}

struct RefRule {
  Symbol name;
  Pattern searcher;
  Pattern applier;
};

struct RefIteration {
  std::size_t nodes = 0, classes = 0, rebuild_merges = 0;
  std::vector<std::pair<Symbol, std::size_t>> applied;
  std::optional<StopKind> stop;
};

// The runner and backoff scheduler, literally, without any clock (no time limit).
class RefRunner {
 public:
  RefRunner(RefGraph g, std::size_t iter_limit, std::size_t node_limit, std::uint64_t match_limit = 1000,
            std::uint64_t ban_length = 5)
      : g_(std::move(g)), iter_limit_(iter_limit), node_limit_(node_limit), match_limit_(match_limit),
        ban_length_(ban_length) {}

  StopKind run(const std::vector<RefRule>& rules) {
    g_.rebuild();
    for (;;) {
      RefIteration it = one(rules);
      std::optional<StopKind> stop = it.stop;
      iters_.push_back(std::move(it));
      if (!stop) stop = limits();
      if (stop) return *stop;
    }
  }
  const RefGraph& graph() const { return g_; }
  const std::vector<RefIteration>& iterations() const { return iters_; }

 private:
  struct Stats {
    std::uint64_t applied = 0, banned_until = 0, times_banned = 0;
  };
  std::optional<StopKind> limits() const {
    if (g_.total_size() > node_limit_) return StopKind::NodeLimit;
    if (iters_.size() >= iter_limit_) return StopKind::IterationLimit;
    return std::nullopt;
  }
  Stats& stats(Symbol name) {
    for (auto& [n, s] : stats_) {
      if (n == name) return s;
    }
    stats_.emplace_back(name, Stats{});
    return stats_.back().second;
  }
  RefMatches search(std::size_t i, const RefRule& r) {
    Stats& s = stats(r.name);
    RefMatches none;
    for (const auto& [v, reg] : r.searcher.program().subst) none.vars.push_back(v);
    if (i < s.banned_until) return none;
    const std::uint64_t threshold = match_limit_ << s.times_banned;
    RefMatches m = ref_search(g_, r.searcher, threshold + 1);
    if (m.total() > threshold) {
      const std::uint64_t len = ban_length_ << s.times_banned;
      s.times_banned += 1;
      s.banned_until = i + len;
      return none;
    }
    s.applied += 1;
    return m;
  }
  bool can_stop(std::size_t i) {
    std::vector<Stats*> banned;
    for (auto& [n, s] : stats_) {
      if (s.banned_until > i) banned.push_back(&s);
    }
    if (banned.empty()) return true;
    std::uint64_t m = ~std::uint64_t{0};
    for (Stats* s : banned) m = std::min(m, s->banned_until);
    for (Stats* s : banned) s->banned_until -= m - i;
    return false;
  }
  RefIteration one(const std::vector<RefRule>& rules) {
    const std::size_t i = iters_.size();
    RefIteration rec;
    std::optional<StopKind> stop = limits();
    rec.nodes = g_.total_size();
    rec.classes = g_.number_of_classes();
    std::vector<RefMatches> ms;
    if (!stop) {
      for (const RefRule& r : rules) {
        ms.push_back(search(i, r));
        if ((stop = limits())) break;
      }
    }
    if (!stop) {
      for (std::size_t k = 0; k < rules.size(); ++k) {
        const std::size_t n = ref_apply(g_, rules[k].applier, ms[k]);
        if (n > 0) {
          auto it = std::find_if(rec.applied.begin(), rec.applied.end(),
                                 [&](const auto& a) { return a.first == rules[k].name; });
          if (it == rec.applied.end()) {
            rec.applied.emplace_back(rules[k].name, n);
          } else {
            it->second += n;
          }
        }
        if ((stop = limits())) break;
      }
    }
    rec.rebuild_merges = g_.rebuild();
    if (!stop && rec.applied.empty() && can_stop(i) && g_.total_size() == rec.nodes &&
        g_.number_of_classes() == rec.classes) {
      stop = StopKind::Saturated;
    }
    rec.stop = stop;
    return rec;
  }

  RefGraph g_;
  std::vector<RefIteration> iters_;
  std::vector<std::pair<Symbol, Stats>> stats_;
  std::size_t iter_limit_, node_limit_;
  std::uint64_t match_limit_, ban_length_;
};

}  // namespace egraph::reference
